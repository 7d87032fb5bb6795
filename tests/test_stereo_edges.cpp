// The edge-aware steps for disparities (the colour-weighted median and the
// snap to a row neighbour's disparity): what they repair, what they leave
// alone, and the same bits as plain loops whatever the lanes or threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "densematch/match_steps.h"
#include "densematch/stereo_edges.h"
#include "test_threads.h"

namespace {

using densecorr::EdgeAwareMedian;
using densecorr::EdgeMedianParams;
using densecorr::EdgeSnapParams;
using densecorr::SnapToEdges;

// The slope along a line as its definition reads: the middle one (the
// upper of two) of the sorted differences between consecutive finite values.
float LiteralSlope(const std::vector<float>& line, float least) {
  std::vector<float> steps;
  for (size_t i = 0; i + 1 < line.size(); ++i)
    if (std::isfinite(line[i]) && std::isfinite(line[i + 1]))
      steps.push_back(line[i + 1] - line[i]);
  if (steps.empty()) return 0.0f;
  std::sort(steps.begin(), steps.end());
  const float slope = steps[steps.size() / 2];
  return std::fabs(slope) >= least ? slope : 0.0f;
}

// The filter as its definition reads, one pixel at a time: every window
// sample's weight, the screen on every third column, the test on the whole
// window, the histogram median. Samples outside the image are left out
// (the filter gives them weight +0, which changes no sum).
std::vector<float> Literal(const std::vector<float>& guide, int channels, int w, int h,
                           const EdgeMedianParams& params, const std::vector<float>& field) {
  const int r = std::min(params.radius, std::max(w, h)), n = w * h;
  const float log2e = 1.44269504f;
  const float ce = -log2e / (params.colour_scale * static_cast<float>(channels));
  const float cap = 100.0f / -ce;
  std::vector<float> out(field);
  const auto finite = [](float v) { return std::isfinite(v); };
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      const float centre = field[p];
      if (!finite(centre)) continue;
      const int x0 = std::max(0, x - r), x1 = std::min(w - 1, x + r);
      const int y0 = std::max(0, y - r), y1 = std::min(h - 1, y + r);
      float lo = centre, hi = centre;
      for (int wx = x0; wx <= x1; ++wx)
        for (int wy = y0; wy <= y1; ++wy)
          if (finite(field[wx * h + wy])) {
            lo = std::min(lo, field[wx * h + wy]);
            hi = std::max(hi, field[wx * h + wy]);
          }
      if (!(hi - lo > params.gate)) continue;
      std::vector<float> ws, vs;
      float total = 0.0f, low = 0.0f, high = 0.0f;
      const auto weigh = [&](int stride) {
        ws.clear();
        vs.clear();
        total = low = high = 0.0f;
        for (int wx = x - (x - x0) / stride * stride; wx <= x1; wx += stride)
          for (int wy = y0; wy <= y1; ++wy) {
            float difference = 0.0f;
            for (int c = 0; c < channels; ++c)
              difference += std::fabs(guide[c * n + wx * h + wy] - guide[c * n + p]);
            const float capped = std::isnan(difference) ? cap : std::min(difference, cap);
            const int dx = wx - x, dy = wy - y;
            const float se =
                -std::sqrt(static_cast<float>(dx * dx + dy * dy)) / static_cast<float>(r) * log2e;
            const float wt = densecorr::EdgeMedianExp2(capped * ce + se);
            const float v = finite(field[wx * h + wy]) ? field[wx * h + wy] : centre;
            total += wt;
            low += v < centre - params.gate ? wt : 0.0f;
            high += v > centre + params.gate ? wt : 0.0f;
            ws.push_back(wt);
            vs.push_back(v);
          }
      };
      weigh(3);
      if (!(low > 0.3f * total || high > 0.3f * total)) continue;
      weigh(1);
      if (!(low > 0.5f * total || high > 0.5f * total)) continue;
      std::vector<float> row, column;
      for (int wx = x0; wx <= x1; ++wx) row.push_back(field[wx * h + y]);
      for (int wy = y0; wy <= y1; ++wy) column.push_back(field[x * h + wy]);
      const float sx = LiteralSlope(row, params.slant), sy = LiteralSlope(column, params.slant);
      const float spread = (std::fabs(sx) + std::fabs(sy)) * static_cast<float>(r);
      lo -= spread;
      hi += spread;
      const float bin = std::max(0.125f, (hi - lo) / 1023.0f), per_bin = 1.0f / bin;
      const int bins = std::min(1024, static_cast<int>((hi - lo) * per_bin) + 1);
      std::vector<float> bw(bins, 0.0f), bs(bins, 0.0f);
      size_t i = 0;
      for (int wx = x0; wx <= x1; ++wx)
        for (int wy = y0; wy <= y1; ++wy, ++i) {
          const float v = vs[i] - sx * static_cast<float>(wx - x) - sy * static_cast<float>(wy - y);
          const int b = std::min(bins - 1, std::max(0, static_cast<int>((v - lo) * per_bin)));
          bw[b] += ws[i];
          bs[b] += ws[i] * v;
        }
      float below = 0.0f;
      int b = 0;
      while (b + 1 < bins && below + bw[b] < 0.5f * total) below += bw[b++];
      if (!(bw[b] > 0.0f)) continue;
      const float median = bs[b] / bw[b];
      if (std::fabs(median - centre) > params.gate) out[p] = median;
    }
  return out;
}

void ExpectSameBits(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    std::uint32_t x, y;
    std::memcpy(&x, &a[i], 4);
    std::memcpy(&y, &b[i], 4);
    ASSERT_EQ(x, y) << what << " at " << i << ": " << a[i] << " vs " << b[i];
  }
}

// The step `run` (on a copy of `given`, in place) equals the plain loops'
// result `want` bit for bit on 1 and 3 threads, and `want` moves some
// finite value (else the comparison would prove little).
template <typename Run>
void ExpectLanesMatchLoops(const std::vector<float>& given, const std::vector<float>& want,
                           Run run) {
  int moved = 0;
  for (size_t p = 0; p < given.size(); ++p)
    moved += !(want[p] == given[p]) && std::isfinite(given[p]);
  EXPECT_GT(moved, 0);
  for (const int threads : {1, 3}) {
    std::vector<float> got(given);
    WithThreads(threads, [&] { run(got.data()); });
    ExpectSameBits(got, want, "lanes against plain loops");
  }
}

TEST(EdgeMedian, MovesASpreadDisparityBackToTheImageEdge) {
  // Two surfaces split at column 40: the far one (disparity 4) darker, the
  // near one (12) brighter; the field has the near disparity spread 3 px
  // over the far surface, as smoothness and pooled descriptors leave it.
  const int w = 80, h = 60, edge = 40, spread = 3;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> grain(-0.03f, 0.03f);
  std::vector<float> guide(3 * w * h), field(w * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      for (int c = 0; c < 3; ++c) guide[c * w * h + p] = (x < edge ? 0.25f : 0.7f) + grain(rng);
      // Sub-pixel detail that agrees with its neighbours.
      const float detail = 0.1f * std::sin(0.3f * static_cast<float>(x + 2 * y));
      field[p] = (x < edge - spread ? -4.0f : -12.0f) + detail;
    }
  std::vector<float> out(field);
  EdgeAwareMedian(guide.data(), 3, w, h, EdgeMedianParams(), out.data());
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      if (x >= edge - spread && x < edge) {
        EXPECT_NEAR(out[p], -4.0f, 0.15f) << x << "," << y;
      } else {
        EXPECT_EQ(out[p], field[p]) << x << "," << y;  // bit for bit
      }
    }
}

TEST(EdgeMedian, LeavesASmoothFieldAndFlatWindowsAlone) {
  // A slanted plane under a uniform guide: every median stays within the
  // gate of its middle, up to the image's corners, where the windows are
  // one-sided (a quarter window's median lies some 3.5 px up the slope).
  const int w = 50, h = 40;
  std::vector<float> guide(w * h, 0.5f), field(w * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) field[x * h + y] = 0.1f * x - 0.08f * y + 3.0f;
  std::vector<float> out(field);
  EdgeAwareMedian(guide.data(), 1, w, h, EdgeMedianParams(), out.data());
  ExpectSameBits(out, field, "plane");
  // A radius of 0 is no filter at all.
  EdgeMedianParams none;
  none.radius = 0;
  std::vector<float> step(field);
  for (int p = 0; p < w * h / 2; ++p) step[p] += 30.0f;
  out = step;
  EdgeAwareMedian(guide.data(), 1, w, h, none, out.data());
  ExpectSameBits(out, step, "radius 0");
}

TEST(EdgeMedian, FollowsASteepSlopeAndStillMovesItsEdge) {
  // A steep slanted surface (0.5 px per column, 0.3 per row) under a random
  // guide, whose uneven weights pull a median taken as the values are a
  // pixel or more up or down the slope; beside it, from column 40, a near
  // surface on the same slope whose disparity is spread 3 px over the far one.
  const int w = 80, h = 50, edge = 40, spread = 3;
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> guide(w * h), field(w * h), truth(w * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      const float plane = -4.0f - 0.5f * x + 0.3f * y;
      guide[p] = (x < edge ? 0.2f : 0.7f) + 0.05f * unit(rng);
      truth[p] = x < edge ? plane : plane - 10.0f;
      field[p] = x < edge - spread ? plane : plane - 10.0f;
    }
  std::vector<float> out(field);
  EdgeAwareMedian(guide.data(), 1, w, h, EdgeMedianParams(), out.data());
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      if (x >= edge - spread && x < edge) {
        EXPECT_NEAR(out[p], truth[p], 0.2f) << x << "," << y;
      } else {
        EXPECT_EQ(out[p], field[p]) << x << "," << y;  // bit for bit
      }
    }
  // Taken as they are, the windows' values move pixels of the plane.
  EdgeMedianParams flat;
  flat.slant = HUGE_VALF;
  out = field;
  EdgeAwareMedian(guide.data(), 1, w, h, flat, out.data());
  int moved = 0;
  for (int x = 0; x < edge - spread - 7; ++x)
    for (int y = 0; y < h; ++y) moved += out[x * h + y] != field[x * h + y];
  EXPECT_GT(moved, 0);
}

TEST(EdgeMedian, SameBitsAsPlainLoopsWhateverTheThreadCount) {
  // Random patches of disparity under a random colour guide, with values
  // that are not finite among them, sizes that leave partial lane blocks
  // and windows cut by every border.
  for (const int channels : {1, 3}) {
    const int w = 37, h = 29;
    std::mt19937 rng(11 + channels);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> guide(channels * w * h), field(w * h);
    for (float& g : guide) g = unit(rng);
    // Patches on a slope of their own (0.4 px per column, -0.3 per row)
    // for the second half of the runs.
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y)
        field[x * h + y] = static_cast<float>((x / 6 + y / 5) % 4) * 3.0f + 0.5f * unit(rng) +
                           (channels == 3 ? 0.4f * x - 0.3f * y : 0.0f);
    field[100] = std::numeric_limits<float>::quiet_NaN();
    field[400] = std::numeric_limits<float>::infinity();
    guide[200] = std::numeric_limits<float>::quiet_NaN();
    for (const int radius : {2, 7, 40}) {
      EdgeMedianParams params;
      params.radius = radius;
      params.colour_scale = 0.3f;  // broad weights: many windows move
      params.slant = radius == 2 ? 0.0f : 0.2f;  // every slope followed, or the steep ones
      SCOPED_TRACE(testing::Message() << "channels " << channels << " radius " << radius);
      ExpectLanesMatchLoops(field, Literal(guide, channels, w, h, params, field),
                            [&](float* got) {
                              EdgeAwareMedian(guide.data(), channels, w, h, params, got);
                            });
    }
  }
}

TEST(EdgeMedian, WindowsSpanningPastTheLargestFloatStayAsTheyAre) {
  // Columns of +-3e38: a window's span overflows to +inf, and its values
  // cannot be binned; the middles stay, and the snap runs over them too.
  const int w = 30, h = 20;
  std::vector<float> guide(w * h, 0.5f), field(w * h), one(w * h, 0.3f), two(w * h, 0.6f);
  for (int p = 0; p < w * h; ++p) field[p] = (p / h) % 2 ? 3e38f : -3e38f;
  std::vector<float> out(field);
  EdgeAwareMedian(guide.data(), 1, w, h, EdgeMedianParams(), out.data());
  ExpectSameBits(out, field, "huge values");
  SnapToEdges(one.data(), w, h, two.data(), w, h, 1, nullptr, EdgeSnapParams(), out.data());
}

TEST(EdgeMedian, RefusesBadParameters) {
  std::vector<float> guide(20, 0.5f), field(20, 1.0f);
  EdgeMedianParams bad;
  bad.colour_scale = 0.0f;
  EXPECT_THROW(EdgeAwareMedian(guide.data(), 1, 5, 4, bad, field.data()), std::invalid_argument);
  bad = EdgeMedianParams();
  bad.gate = -1.0f;
  EXPECT_THROW(EdgeAwareMedian(guide.data(), 1, 5, 4, bad, field.data()), std::invalid_argument);
  EXPECT_THROW(EdgeAwareMedian(guide.data(), 5, 1, 4, EdgeMedianParams(), field.data()),
               std::invalid_argument);
  bad = EdgeMedianParams();
  bad.slant = -0.1f;
  EXPECT_THROW(EdgeAwareMedian(guide.data(), 1, 5, 4, bad, field.data()), std::invalid_argument);
  bad = EdgeMedianParams();
  bad.radius = 65;
  EXPECT_THROW(EdgeAwareMedian(guide.data(), 1, 5, 4, bad, field.data()), std::invalid_argument);
}

// The snap as its definition reads, one pixel at a time (window pixels
// outside either image left out: the lanes give them weight +0).
std::vector<float> LiteralSnap(const std::vector<float>& one, int w1, int h1,
                               const std::vector<float>& two, int w2, int h2, int channels,
                               const std::vector<std::uint8_t>& valid, const EdgeSnapParams& sp,
                               const std::vector<float>& dx) {
  const int r = sp.radius, n1 = w1 * h1, n2 = w2 * h2;
  const float log2e = 1.44269504f;
  const float ce = -log2e / (sp.colour_scale * static_cast<float>(channels));
  const float cap = 100.0f / -ce, truncate = sp.truncate * static_cast<float>(channels);
  std::vector<float> out(dx);
  for (int x = 0; x < w1; ++x)
    for (int y = 0; y < h1; ++y) {
      const int p = x * h1 + y;
      const float own = dx[p];
      if (!valid[p] || !std::isfinite(own)) continue;
      std::vector<float> ds{own}, row;
      const int reach = std::min(sp.reach * sp.spacing, 64);
      for (int qx = std::max(0, x - reach); qx <= std::min(w1 - 1, x + reach); ++qx)
        row.push_back(dx[qx * h1 + y]);
      const float slope = LiteralSlope(row, sp.slant);
      for (int k = 1; k <= sp.reach; ++k)
        for (const int s : {-1, 1}) {
          const int xx = std::min(std::max(x + s * k * sp.spacing, 0), w1 - 1);
          bool apart = false;  // a step off the slope between the two
          for (int i = std::min(x, xx); i < std::max(x, xx); ++i)
            apart = apart ||
                    !(std::fabs(dx[(i + 1) * h1 + y] - dx[i * h1 + y] - slope) < sp.edge_step);
          if (!apart) continue;
          const float c = dx[xx * h1 + y] - slope * static_cast<float>(xx - x);
          if (!std::isfinite(c) || std::fabs(c - own) < 1.0f) continue;
          bool seen = false;
          for (size_t i = 1; i < ds.size(); ++i) seen = seen || std::fabs(ds[i] - c) < 0.25f;
          if (!seen) ds.push_back(c);
        }
      if (ds.size() == 1) continue;
      std::vector<float> cost;
      for (const float d : ds) {
        float total = 0.0f;
        for (int qy = y - r; qy <= y + r; ++qy) {
          if (qy < 0 || qy >= h1 || qy >= h2) continue;
          float row_sum = 0.0f;
          for (int qx = std::max(0, x - r); qx <= std::min(w1 - 1, x + r); ++qx) {
            float difference = 0.0f;
            for (int c = 0; c < channels; ++c)
              difference += std::fabs(one[c * n1 + qx * h1 + qy] - one[c * n1 + p]);
            const int ox = qx - x, oy = qy - y;
            const float se =
                -std::sqrt(static_cast<float>(ox * ox + oy * oy)) / static_cast<float>(r) * log2e;
            const float wt = densecorr::EdgeMedianExp2(std::min(difference, cap) * ce + se);
            float x2 = static_cast<float>(qx) + d;
            x2 = std::min(std::max(x2, 0.0f), static_cast<float>(w2 - 1));
            const int i0 = static_cast<int>(x2), i1 = std::min(i0 + 1, w2 - 1);
            const float f = x2 - static_cast<float>(i0);
            float e = 0.0f;
            for (int c = 0; c < channels; ++c) {
              const float l = two[c * n2 + i0 * h2 + qy], rr = two[c * n2 + i1 * h2 + qy];
              e += std::fabs(one[c * n1 + qx * h1 + qy] - (l + f * (rr - l)));
            }
            row_sum += wt * std::min(e, truncate);
          }
          total += row_sum;
        }
        cost.push_back(total);
      }
      float best = HUGE_VALF;
      size_t chosen = 0;
      for (size_t i = 1; i < ds.size(); ++i)
        if (cost[i] < best) {
          best = cost[i];
          chosen = i;
        }
      if (chosen > 0 && best < sp.margin * cost[0]) out[p] = ds[chosen];
    }
  return out;
}

// A rectified pair: a strip (columns 30 .. 41) 12 px of disparity in front
// of a background at 4 px, each with a texture of its own; image 1's pixel
// (x, y) is image 2's (x - d, y).
struct StripPair {
  static constexpr int w = 90, h = 40, x0 = 30, x1 = 42, d_back = 4, d_front = 12;
  std::vector<float> one, two;
  StripPair() : one(3 * w * h), two(3 * w * h) {
    const auto texture = [](double x, int y, int c, bool front) {
      return static_cast<float>(
          front ? 0.6 + 0.3 * std::sin(0.9 * x + 1.7 * y + c)
                : 0.2 + 0.15 * std::sin(0.5 * x + 0.3 * c) * std::cos(0.7 * y + 0.4 * x));
    };
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y)
        for (int c = 0; c < 3; ++c) {
          const bool front1 = x >= x0 && x < x1, front2 = x + d_front >= x0 && x + d_front < x1;
          one[c * w * h + x * h + y] = texture(x, y, c, front1);
          two[c * w * h + x * h + y] =
              front2 ? texture(x + d_front, y, c, true) : texture(x + d_back, y, c, false);
        }
  }
};

TEST(EdgeSnap, TheFarSurfaceBesideANearOneWinsBackItsDisparity) {
  // The near disparity spread 3 px over the background on the strip's
  // right (where the background is seen in both images).
  const StripPair pair;
  const int w = pair.w, h = pair.h;
  std::vector<float> dx(w * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      dx[x * h + y] = x >= pair.x0 && x < pair.x1 + 3 ? -12.0f : -4.0f;
  // The background just left of the strip is hidden in image 2: its match
  // fails the check (and the near disparity would match it better).
  std::vector<std::uint8_t> valid(w * h, 1);
  for (int x = pair.x0 - (pair.d_front - pair.d_back); x < pair.x0; ++x)
    for (int y = 0; y < h; ++y) valid[x * h + y] = 0;
  std::vector<float> out(dx);
  SnapToEdges(pair.one.data(), w, h, pair.two.data(), w, h, 3, valid.data(), EdgeSnapParams(),
              out.data());
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) {
      const int p = x * h + y;
      if (x >= pair.x1 && x < pair.x1 + 3) {
        EXPECT_EQ(out[p], -4.0f) << x << "," << y;
      } else {
        EXPECT_EQ(out[p], dx[p]) << x << "," << y;
      }
    }
  // Pixels marked not valid keep theirs.
  const std::vector<std::uint8_t> none(w * h, 0);
  out = dx;
  SnapToEdges(pair.one.data(), w, h, pair.two.data(), w, h, 3, none.data(), EdgeSnapParams(),
              out.data());
  ExpectSameBits(out, dx, "nothing valid");
}

// Random images under a field dx(x, uniform draw) on one surface, and a
// margin that lets any candidate win: the snap moves nothing; with the
// rules `naive` (what a test means to show wanting) more than `moved_over`
// pixels move.
template <typename Field>
void ExpectOneSurfaceKept(int w, int h, unsigned seed, Field field, const EdgeSnapParams& naive,
                          int moved_over) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> one(w * h), two(w * h), dx(w * h);
  for (float& v : one) v = unit(rng);
  for (float& v : two) v = unit(rng);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) dx[x * h + y] = field(x, unit(rng));
  EdgeSnapParams sp;
  sp.margin = 1e30f;
  std::vector<float> out(dx);
  SnapToEdges(one.data(), w, h, two.data(), w, h, 1, nullptr, sp, out.data());
  ExpectSameBits(out, dx, "one surface");
  EdgeSnapParams loose = naive;
  loose.margin = 1e30f;
  SnapToEdges(one.data(), w, h, two.data(), w, h, 1, nullptr, loose, out.data());
  int moved = 0;
  for (int p = 0; p < w * h; ++p) moved += out[p] != dx[p];
  EXPECT_GT(moved, moved_over);
}

TEST(EdgeSnap, NeighboursOnTheSameSlantedSurfaceAreNoCandidates) {
  // A steep slope (0.5 px per column): carried along the row's slope,
  // every neighbour lands within 1 px of the pixel; taken as they are, they
  // differ by 1.5 px and more.
  EdgeSnapParams naive;
  naive.slant = HUGE_VALF;
  naive.edge_step = 0.0f;
  ExpectOneSurfaceKept(60, 20, 31, [](int x, float r) { return -2.0f - 0.5f * x + 0.2f * r; },
                       naive, 60 * 20 / 2);
}

TEST(EdgeSnap, NeighboursOnTheSameCurvedSurfaceAreNoCandidates) {
  // A curved surface, dx = -1 - 0.01 (x - 30)^2: a neighbour 12 px away,
  // carried along the slope at the pixel, still misses it by up to 1.44 px,
  // but the row reaches it with no step off the slope. With a step of 0
  // parting surfaces, pixels move.
  EdgeSnapParams naive;
  naive.edge_step = 0.0f;
  const auto curve = [](int x, float) {
    return -1.0f - 0.01f * static_cast<float>((x - 30) * (x - 30));
  };
  ExpectOneSurfaceKept(60, 12, 37, curve, naive, 0);
}

TEST(EdgeSnap, SameBitsAsPlainLoopsWhateverTheThreadCount) {
  // Random images (image 2 narrower and shorter: clamped columns, rows
  // left out), a blocky field with values that are not finite, and a mask.
  for (const int channels : {1, 3}) {
    const int w1 = 41, h1 = 23, w2 = 37, h2 = 20;
    std::mt19937 rng(21 + channels);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> one(channels * w1 * h1), two(channels * w2 * h2), dx(w1 * h1);
    for (float& v : one) v = unit(rng);
    for (float& v : two) v = unit(rng);
    std::vector<std::uint8_t> valid(w1 * h1);
    // Blocks on a slope of their own (0.6 px per column) for 3 channels.
    for (int p = 0; p < w1 * h1; ++p) {
      dx[p] = -static_cast<float>((p / h1 / 5) % 3) * 4.0f - 0.3f * unit(rng) -
              (channels == 3 ? 0.6f * static_cast<float>(p / h1) : 0.0f);
      valid[p] = unit(rng) < 0.9f;
    }
    dx[50] = std::numeric_limits<float>::quiet_NaN();
    for (const int radius : {2, 4, 9}) {
      EdgeSnapParams sp;
      sp.radius = radius;
      sp.margin = 1.0f;  // any cheaper candidate: many pixels move
      sp.slant = radius == 2 ? 0.0f : 0.2f;  // every slope followed, or the steep ones
      sp.edge_step = radius == 9 ? 0.0f : 0.5f;
      SCOPED_TRACE(testing::Message() << "channels " << channels << " radius " << radius);
      ExpectLanesMatchLoops(dx, LiteralSnap(one, w1, h1, two, w2, h2, channels, valid, sp, dx),
                            [&](float* got) {
                              SnapToEdges(one.data(), w1, h1, two.data(), w2, h2, channels,
                                          valid.data(), sp, got);
                            });
    }
  }
}

TEST(EdgeSnap, RefusesBadParameters) {
  std::vector<float> image(20, 0.5f), dx(20, 1.0f);
  for (int bad = 0; bad < 5; ++bad) {
    EdgeSnapParams sp;
    if (bad == 4) sp.edge_step = -1.0f;
    if (bad == 3) sp.slant = std::numeric_limits<float>::quiet_NaN();
    if (bad == 0) sp.colour_scale = 0.0f;
    if (bad == 1) sp.radius = 32;
    if (bad == 2) sp.reach = 17;
    EXPECT_THROW(SnapToEdges(image.data(), 5, 4, image.data(), 5, 4, 1, nullptr, sp, dx.data()),
                 std::invalid_argument);
  }
  // A spacing past the row reaches its ends (the positions must not wrap).
  EdgeSnapParams wide;
  wide.spacing = std::numeric_limits<int>::max();
  wide.reach = 16;
  EXPECT_NO_THROW(
      SnapToEdges(image.data(), 5, 4, image.data(), 5, 4, 1, nullptr, wide, dx.data()));
}

TEST(BackgroundFill, FillsGapsBetweenValidPixelsFromTheSurfaceBehind) {
  // Rows of a slanted surface (dx = -0.5 x) whose not-valid pixels carry
  // values of their own: one gap beside a near part (dx -20), one gap
  // between two parts of the surface, one reaching the left border and one
  // the right, and a row with no valid pixel at all.
  const int w = 12, h = 5;
  std::vector<float> dx(w * h);
  std::vector<std::uint8_t> valid(w * h, 1);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y) dx[x * h + y] = -0.5f * x + 0.01f * y;
  for (int x = 6; x < w; ++x) dx[x * h + 0] = -20.0f;  // a near part from column 6
  const auto hide = [&](int y, int from, int to) {
    for (int x = from; x <= to; ++x) {
      valid[x * h + y] = 0;
      dx[x * h + y] = 7.0f + x;  // the gap's own values
    }
  };
  hide(0, 3, 5);
  hide(1, 4, 6);
  hide(2, 0, 2);
  hide(3, 9, 11);
  hide(4, 0, 11);
  std::vector<float> out(dx);
  densecorr::FillFromTheBackground(w, h, valid.data(), out.data());
  for (int x = 0; x < w; ++x) {
    // Between the surface and the near part: the surface's value (nearer 0).
    EXPECT_EQ(out[x * h + 0], x >= 3 && x <= 5 ? dx[2 * h + 0] : dx[x * h + 0]) << x;
    // Between two parts of the surface: the nearer-0 one, its left side.
    EXPECT_EQ(out[x * h + 1], x >= 4 && x <= 6 ? dx[3 * h + 1] : dx[x * h + 1]) << x;
    // Gaps open to a border, and a row without valid pixels, keep their own.
    for (const int y : {2, 3, 4}) EXPECT_EQ(out[x * h + y], dx[x * h + y]) << x << "," << y;
  }
}

}  // namespace
