#include "densematch/global_motion.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "simd/target_clones.h"

namespace densecorr {

namespace {

// A similarity that moves the points' centroid to 0 and their mean distance
// from it to sqrt(2): the linear systems below are then well conditioned.
struct Normaliser {
  double scale = 1.0, cx = 0.0, cy = 0.0;
};

Normaliser NormaliserOf(const std::vector<PointMatch>& m, bool second) {
  Normaliser t;
  const double n = static_cast<double>(m.size());
  for (const PointMatch& p : m) {
    t.cx += second ? p.x2 : p.x1;
    t.cy += second ? p.y2 : p.y1;
  }
  t.cx /= n;
  t.cy /= n;
  double spread = 0.0;
  for (const PointMatch& p : m)
    spread += std::hypot((second ? p.x2 : p.x1) - t.cx, (second ? p.y2 : p.y1) - t.cy);
  spread /= n;
  t.scale = spread > 1e-9 ? std::sqrt(2.0) / spread : 1.0;
  return t;
}

// Least-squares homography (h33 = 1) through the listed matches, in the
// normalised coordinates, mapped back to pixels.
bool FitThrough(const std::vector<PointMatch>& m, const int* index, int count,
                const Normaliser& t1, const Normaliser& t2, Homography* out) {
  double ata[64] = {}, atb[8] = {};
  for (int k = 0; k < count; ++k) {
    const PointMatch& p = m[index[k]];
    const double x = (p.x1 - t1.cx) * t1.scale, y = (p.y1 - t1.cy) * t1.scale;
    const double X = (p.x2 - t2.cx) * t2.scale, Y = (p.y2 - t2.cy) * t2.scale;
    const double rows[2][8] = {{x, y, 1, 0, 0, 0, -x * X, -y * X},
                               {0, 0, 0, x, y, 1, -x * Y, -y * Y}};
    const double rhs[2] = {X, Y};
    for (int r = 0; r < 2; ++r) {
      for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) ata[i * 8 + j] += rows[r][i] * rows[r][j];
        atb[i] += rows[r][i] * rhs[r];
      }
    }
  }
  if (!SolveLinear(ata, atb, 8)) return false;
  const double hn[9] = {atb[0], atb[1], atb[2], atb[3], atb[4], atb[5], atb[6], atb[7], 1.0};
  // H = T2^-1 * Hn * T1, with T = [s 0 -s*cx; 0 s -s*cy; 0 0 1].
  const double t1m[9] = {t1.scale, 0, -t1.scale * t1.cx, 0, t1.scale, -t1.scale * t1.cy, 0, 0, 1};
  const double t2i[9] = {1 / t2.scale, 0, t2.cx, 0, 1 / t2.scale, t2.cy, 0, 0, 1};
  double tmp[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0.0;
      for (int k = 0; k < 3; ++k) s += hn[i * 3 + k] * t1m[k * 3 + j];
      tmp[i * 3 + j] = s;
    }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0.0;
      for (int k = 0; k < 3; ++k) s += t2i[i * 3 + k] * tmp[k * 3 + j];
      out->h[i * 3 + j] = s;
    }
  for (double v : out->h)
    if (!std::isfinite(v)) return false;
  return true;
}

// The matches within the threshold, by index (the samples' counts come
// from CountRange).
void ListInliers(const std::vector<PointMatch>& m, const Homography& model, double threshold2,
                 std::vector<int>* which) {
  which->clear();
  for (std::size_t k = 0; k < m.size(); ++k) {
    double X, Y;
    if (!model.Apply(m[k].x1, m[k].y1, &X, &Y)) continue;
    const double ex = X - m[k].x2, ey = Y - m[k].y2;
    if (ex * ex + ey * ey <= threshold2) which->push_back(static_cast<int>(k));
  }
}

// The matches' coordinates as planes of doubles, for counting in vectors.
struct MatchPlanes {
  std::vector<double> x1, y1, x2, y2;
  explicit MatchPlanes(const std::vector<PointMatch>& m)
      : x1(m.size()), y1(m.size()), x2(m.size()), y2(m.size()) {
    for (std::size_t k = 0; k < m.size(); ++k) {
      x1[k] = m[k].x1;
      y1[k] = m[k].y1;
      x2[k] = m[k].x2;
      y2[k] = m[k].y2;
    }
  }
};

// Inliers of h among matches [begin, end): Homography::Apply's operations
// and ListInliers' test per match, without a branch (a match whose W is
// not above 1e-12 computes a value and drops it), so that the loop runs in
// vectors with the same bits per lane.
DENSECORR_WIDE_CLONES
int CountRange(const double* h, const double* __restrict x1, const double* __restrict y1,
               const double* __restrict x2, const double* __restrict y2, int begin, int end,
               double threshold2) {
  int count = 0;
  for (int k = begin; k < end; ++k) {
    const double x = x1[k], y = y1[k];
    const double w = h[6] * x + h[7] * y + h[8];
    const double ex = (h[0] * x + h[1] * y + h[2]) / w - x2[k];
    const double ey = (h[3] * x + h[4] * y + h[5]) / w - y2[k];
    count += static_cast<int>(w > 1e-12) & static_cast<int>(ex * ex + ey * ey <= threshold2);
  }
  return count;
}

// Refits `model` to every match within `threshold` pixels of it, a few
// times while that keeps as many: a model fitted to the few matches RANSAC's
// tight threshold lets through can stray several pixels away from them.
void Polish(const std::vector<PointMatch>& matches, double threshold, Homography* model) {
  const Normaliser t1 = NormaliserOf(matches, false), t2 = NormaliserOf(matches, true);
  std::vector<int> which, refit_which;
  ListInliers(matches, *model, threshold * threshold, &which);
  for (int round = 0; round < 3; ++round) {
    Homography refit;
    if (!FitThrough(matches, which.data(), static_cast<int>(which.size()), t1, t2, &refit)) break;
    ListInliers(matches, refit, threshold * threshold, &refit_which);
    if (refit_which.size() < which.size()) break;
    *model = refit;
    which.swap(refit_which);
  }
}

}  // namespace

bool SolveLinear(double* a, double* b, int n) {
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int r = col + 1; r < n; ++r)
      if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col])) pivot = r;
    if (!(std::fabs(a[pivot * n + col]) > 1e-12)) return false;
    if (pivot != col) {
      for (int c = 0; c < n; ++c) std::swap(a[col * n + c], a[pivot * n + c]);
      std::swap(b[col], b[pivot]);
    }
    for (int r = col + 1; r < n; ++r) {
      const double f = a[r * n + col] / a[col * n + col];
      if (f == 0.0) continue;
      for (int c = col; c < n; ++c) a[r * n + c] -= f * a[col * n + c];
      b[r] -= f * b[col];
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    double s = b[r];
    for (int c = r + 1; c < n; ++c) s -= a[r * n + c] * b[c];
    b[r] = s / a[r * n + r];
  }
  return true;
}

bool Homography::Apply(double x, double y, double* ox, double* oy) const {
  const double w = h[6] * x + h[7] * y + h[8];
  if (!(w > 1e-12)) return false;
  *ox = (h[0] * x + h[1] * y + h[2]) / w;
  *oy = (h[3] * x + h[4] * y + h[5]) / w;
  return true;
}

bool Homography::Inverse(Homography* out) const {
  const double* a = h;
  const double c[9] = {a[4] * a[8] - a[5] * a[7], a[2] * a[7] - a[1] * a[8],
                       a[1] * a[5] - a[2] * a[4], a[5] * a[6] - a[3] * a[8],
                       a[0] * a[8] - a[2] * a[6], a[2] * a[3] - a[0] * a[5],
                       a[3] * a[7] - a[4] * a[6], a[1] * a[6] - a[0] * a[7],
                       a[0] * a[4] - a[1] * a[3]};
  const double det = a[0] * c[0] + a[1] * c[3] + a[2] * c[6];
  if (!std::isfinite(det) || std::fabs(det) < 1e-15) return false;
  // The exact inverse (not just up to scale): a point in front (W > 0)
  // maps back to one in front.
  for (int i = 0; i < 9; ++i) out->h[i] = c[i] / det;
  return true;
}

int FitHomography(const std::vector<PointMatch>& matches, const HomographyFitParams& params,
                  Homography* model, std::vector<std::uint8_t>* inliers) {
  *model = Homography();
  if (inliers != nullptr) inliers->assign(matches.size(), 0);
  const int n = static_cast<int>(matches.size());
  if (n < 4) return 0;
  const Normaliser t1 = NormaliserOf(matches, false), t2 = NormaliserOf(matches, true);
  const double threshold2 = double{params.inlier_threshold} * params.inlier_threshold;

  std::uint32_t state = params.seed != 0 ? params.seed : 1u;
  const auto next = [&state](int range) {
    // xorshift32: a fixed sequence on every platform.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<int>(state % static_cast<std::uint32_t>(range));
  };
  // The samples are drawn in sequence, scored in parallel (each one's count
  // on its own), and the first of the highest counts wins: the same model
  // whatever the thread count.
  const int n_samples = std::max(0, params.n_samples);
  std::vector<int> picks(4 * static_cast<std::size_t>(n_samples));
  for (int s = 0; s < n_samples; ++s) {
    int* pick = picks.data() + 4 * s;
    for (int k = 0; k < 4; ++k) {
      bool repeat;
      do {
        pick[k] = next(n);
        repeat = false;
        for (int j = 0; j < k; ++j) repeat = repeat || pick[j] == pick[k];
      } while (repeat);
    }
  }
  std::vector<Homography> models(n_samples);
  std::vector<int> counts(n_samples, 0);
  const MatchPlanes planes(matches);
  // A sample stops counting once even all the matches it has not reached
  // would leave it below a count another sample has: it can be neither the
  // highest count nor the first of them, so the winner stays the same
  // whatever the order the samples finish in (its count stays 0).
  std::atomic<int> best_seen{0};
  constexpr int kChunk = 512;
#ifdef _OPENMP
#pragma omp parallel for schedule(dynamic, 8) if (n_samples * std::int64_t{n} > 100000)
#endif
  for (int s = 0; s < n_samples; ++s) {
    if (!FitThrough(matches, picks.data() + 4 * s, 4, t1, t2, &models[s])) continue;
    int count = 0;
    bool whole = true;
    for (int begin = 0; begin < n; begin += kChunk) {
      const int end = std::min(n, begin + kChunk);
      count += CountRange(models[s].h, planes.x1.data(), planes.y1.data(), planes.x2.data(),
                          planes.y2.data(), begin, end, threshold2);
      if (count + (n - end) < best_seen.load(std::memory_order_relaxed)) {
        whole = false;
        break;
      }
    }
    if (!whole) continue;
    counts[s] = count;
    int seen = best_seen.load(std::memory_order_relaxed);
    while (count > seen && !best_seen.compare_exchange_weak(seen, count)) {
    }
  }
  Homography best;
  int best_count = 0;
  for (int s = 0; s < n_samples; ++s) {
    if (counts[s] > best_count) {
      best_count = counts[s];
      best = models[s];
    }
  }
  if (best_count < 4) return 0;
  // Refit on the consensus, which settles the model and usually widens it.
  std::vector<int> which;
  ListInliers(matches, best, threshold2, &which);
  for (int round = 0; round < 3; ++round) {
    Homography refit;
    if (!FitThrough(matches, which.data(), static_cast<int>(which.size()), t1, t2, &refit)) break;
    std::vector<int> refit_which;
    ListInliers(matches, refit, threshold2, &refit_which);
    const int count = static_cast<int>(refit_which.size());
    if (count < best_count) break;
    best = refit;
    best_count = count;
    which.swap(refit_which);
  }
  *model = best;
  if (inliers != nullptr)
    for (int k : which) (*inliers)[k] = 1;
  return best_count;
}

bool FitGlobalMotion(const std::vector<PointMatch>& matches, const HomographyFitParams& params,
                     const ModelDisagreement& disagreement, Homography* model) {
  constexpr std::int64_t kMinSupport = 64;
  const auto n = static_cast<std::int64_t>(matches.size());
  std::vector<std::uint8_t> inliers;
  const std::int64_t count = FitHomography(matches, params, model, &inliers);
  if (count < 4) return false;
  const bool majority = 2 * count >= n;
  std::vector<PointMatch> rest;
  for (std::size_t k = 0; k < matches.size(); ++k) {
    if (!inliers[k]) rest.push_back(matches[k]);
  }
  const auto left_out = static_cast<std::int64_t>(rest.size());
  if (left_out < kMinSupport || 5 * left_out < n) return majority;
  Homography rival;
  const std::int64_t rival_count = FitHomography(rest, params, &rival);
  if (rival_count < kMinSupport || 10 * rival_count < n) return majority;
  // Both judged after a refit to every match near them: the rival's
  // consensus is the matches the first model left out, often one part of
  // the image, and a model fitted there strays far from it (on a rendered
  // view of a facade, by enough to flip the verdict with a change of the
  // refinement's settings).
  Homography near_model = *model, near_rival = rival;
  const double near = 2.0 * params.inlier_threshold;
  Polish(matches, near, &near_model);
  Polish(matches, near, &near_rival);
  const double first = disagreement(near_model, near_rival);
  const double second = disagreement(near_rival, near_model);
  if (first < 0.0 || second < 0.0) return majority;
  if (second < 0.8 * first) {
    *model = near_rival;
    return majority || 4 * rival_count >= n;
  }
  return majority || (first < 0.8 * second && 4 * count >= n);
}

}  // namespace densecorr
