#include "densematch/match_images.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#ifdef _OPENMP
#include <omp.h>
#endif

#ifdef DENSEMATCH_PROFILE
#include <cstdio>
#include <ctime>
#endif

#include "cellcost/pyramid_match.h"
#include "common/int_arith.h"
#include "common/scratch.h"
#include "densedisp/pixel_match.h"
#include "densematch/flow_refine.h"
#include "densematch/frame.h"
#include "densematch/global_motion.h"
#include "densematch/match_steps.h"
#include "densematch/pyramid_inference.h"
#include "densematch/stereo_edges.h"
#include "simd/target_clones.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

std::atomic<std::int64_t> g_match_passes{0};
std::atomic<std::int64_t> g_images_described{0};

// Stage times on stderr, for builds with DENSEMATCH_PROFILE defined.
#ifdef DENSEMATCH_PROFILE
struct StageClock {
  std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
  std::clock_t last_cpu = std::clock();
  void Mark(const char* stage) {
    const auto now = std::chrono::steady_clock::now();
    const std::clock_t cpu = std::clock();
    std::fprintf(stderr, "  %-12s %7.1f ms (cpu %7.1f ms)\n", stage,
                 std::chrono::duration<double, std::milli>(now - last).count(),
                 1000.0 * (cpu - last_cpu) / CLOCKS_PER_SEC);
    last = now;
    last_cpu = cpu;
  }
};
#else
struct StageClock {
  void Mark(const char*) {}
};
#endif

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(std::string("MatchImages: ") + what);
}

void CheckImage(const ImageView& image) {
  Require(image.width >= 1 && image.height >= 1, "images must have at least one pixel");
  Require(image.channels == 1 || image.channels == 3, "images must be grey or RGB");
  Require(image.data != nullptr, "image data missing");
  // Descriptor planes are indexed with 32-bit pixel and element counts.
  Require(std::int64_t{image.width} * image.height * 128 <= INT_MAX, "image too large");
}

// What the options leave open, settled from the image sizes.
struct Plan {
  int grid = 0, levels = 0, radius_x = 0, radius_y = 0, refine_radius = 0;
};

int SampleCount(int size, int grid) { return (size + grid - 1) / grid; }

// Each option's range, named in the message as the Octave module names it.
// grid_size stops at 2^24 so that sums of the grid step, the radii (at most
// the image sides, below 2^24) and their doubles stay within an int.
void RequireWhole(const char* name, int value, int lo, int hi) {
  if (value >= lo && value <= hi) return;
  throw std::invalid_argument(std::string("MatchImages: ") + name +
                              " must be a whole number from " + std::to_string(lo) + " to " +
                              std::to_string(hi) + ", got " + std::to_string(value));
}

void RequireReal(const char* name, float value, float lo, float hi) {
  if (value >= lo && value <= hi) return;  // false for NaN
  std::ostringstream text;
  text << "MatchImages: " << name << " must lie from " << lo << " to " << hi << ", got " << value;
  throw std::invalid_argument(text.str());
}

Plan MakePlan(const ImageView& image1, const ImageView& image2, const MatchOptions& o) {
  RequireWhole("grid_size", o.grid_size, 0, 1 << 24);
  RequireWhole("n_tree_level", o.n_tree_level, 0, 15);
  RequireWhole("refine_radius", o.refine_radius, 0, 64);
  RequireWhole("refine_step", o.refine_step, 1, 64);
  RequireWhole("bp_iterations", o.bp_iterations, 0, 1000);
  RequireWhole("flow_warps", o.flow_warps, 0, 100);
  RequireWhole("flow_coarse_warps", o.flow_coarse_warps, 0, 100);
  RequireWhole("flow_fixed_point", o.flow_fixed_point, 0, 100);
  RequireWhole("flow_sor", o.flow_sor, 0, 1000);
  RequireWhole("flow_scales", o.flow_scales, 1, 64);
  RequireWhole("median_radius", o.median_radius, 0, 64);
  RequireWhole("snap_radius", o.snap_radius, 0, 31);
  // Weights up to 1e6: their products with translation and pixel counts
  // stay finite in the inference and the refinement.
  const std::pair<const char*, float> weights[] = {
      {"cell_truncate", o.cell_truncate},       {"neighbour_weight", o.neighbour_weight},
      {"neighbour_truncate", o.neighbour_truncate}, {"parent_weight", o.parent_weight},
      {"parent_truncate", o.parent_truncate},   {"deform_coeff", o.deform_coeff},
      {"flow_smoothness", o.flow_smoothness},   {"flow_brightness", o.flow_brightness},
      {"flow_gradient", o.flow_gradient},       {"flow_edge", o.flow_edge},
      {"flow_anchor", o.flow_anchor}};
  for (const auto& weight : weights) RequireReal(weight.first, weight.second, 0.0f, 1e6f);
  RequireReal("flow_sigma", o.flow_sigma, 0.0f, 20.0f);
  RequireReal("flow_scale_factor", o.flow_scale_factor, 0.25f, 0.95f);
  RequireReal("consistency_threshold", o.consistency_threshold, -1e6f, 1e6f);
  Plan plan;
  const int longer = std::max({image1.width, image1.height, image2.width, image2.height});
  plan.grid = o.grid_size > 0 ? o.grid_size : std::max(1, (longer + 40) / 80);
  const int min_samples = std::min(SampleCount(image1.width, plan.grid),
                                   SampleCount(image1.height, plan.grid));
  const int min_samples2 = std::min(SampleCount(image2.width, plan.grid),
                                    SampleCount(image2.height, plan.grid));
  if (o.n_tree_level > 0) {
    Require((1 << (o.n_tree_level - 1)) <= std::min(min_samples, min_samples2),
            "n_tree_level too large for the images' sample grids");
    plan.levels = o.n_tree_level;
  } else {
    plan.levels = 1;
    while (plan.levels < 6 && (3 << plan.levels) <= std::min(min_samples, min_samples2))
      ++plan.levels;
  }
  // A quarter of the longer side reaches most displacements between two views
  // of one scene; each axis covers its own extent at least.
  const int reach = (longer + 3) / 4;
  plan.radius_x = o.search_radius_x >= 0 ? o.search_radius_x : reach;
  plan.radius_y = o.rectified ? 0 : o.search_radius_y >= 0 ? o.search_radius_y : reach;
  // Radii beyond both images cannot find anything new.
  const int limit_x = std::max(image1.width, image2.width);
  const int limit_y = std::max(image1.height, image2.height);
  plan.radius_x = std::min(plan.radius_x, limit_x);
  plan.radius_y = std::min(plan.radius_y, limit_y);
  // Rounded up to the translation grid, which cellcost rounds down.
  plan.radius_x = (plan.radius_x + plan.grid - 1) / plan.grid * plan.grid;
  plan.radius_y = (plan.radius_y + plan.grid - 1) / plan.grid * plan.grid;
  // Half a translation step covers what the cells' grid leaves between its
  // steps; the refinement's coarse scales take care of the rest.
  plan.refine_radius =
      o.refine_radius > 0 ? o.refine_radius : std::min(std::max(plan.grid / 2, 1), 4);
  return plan;
}

// One image at the working precision: its descriptor and its planar pixels.
struct Side {
  int width = 0, height = 0, channels = 0, feat_dim = 0;
  ScratchBlock<float> desc;  // 2 MB aligned: all huge pages
  Index desc_plane = 0;      // floats from one channel to the next
  ScratchBlock<float> pixels;
  std::vector<std::uint8_t> frame;  // 1 per pixel of the black frame; empty: none
  // Each pixel's squared descriptor length (the two images' sides only: see
  // Describe), which the anchors' weights and the wider window's rule read.
  ScratchBlock<float> length2;
  Descriptor descriptor() const {
    return Descriptor{desc.get(), width, height, feat_dim, desc_plane};
  }
  PlanarImage planar() const { return PlanarImage{pixels.get(), width, height, channels}; }
};

// lend: a block free until the descriptor is done (the refinement's, which
// the call holds anyway), for the descriptor's working memory where it is
// large enough; null or too small: the descriptor takes its own.
Side PrepareSide(const ImageView& image, const DescribeOptions& options, int feat_dim,
                 bool fill_frame, StopToken* stop, FlowScratch* lend = nullptr) {
  g_images_described.fetch_add(1, std::memory_order_relaxed);
  Side s;
  s.width = image.width;
  s.height = image.height;
  s.channels = image.channels;
  s.feat_dim = feat_dim;
  const Index n = Index{image.width} * image.height;
  s.pixels = AllocScratch<float>(n * image.channels);
  ReadPlanar(image, s.pixels.get());
  if (fill_frame) s.frame = FindFrame(s.pixels.get(), s.width, s.height, s.channels);
  // Channels an odd number of cache lines apart: the distances read a
  // pixel's channels together.
  s.desc_plane = OddLineFloats(n);
  s.desc = AllocScratchBlock<float>(s.desc_plane * feat_dim);
  const std::int64_t work = DescribeScratchFloats(s.width, s.height, options);
  float* const scratch =
      lend != nullptr && lend->bytes() >= work * std::int64_t{sizeof(float)} ? lend->Reserve(work)
                                                                              : nullptr;
  if (s.frame.empty()) {
    DescribeImage(image, options, s.desc.get(), stop, s.desc_plane, scratch);
  } else {
    // The descriptor sees the filled image as well.
    FillFrame(s.frame, s.width, s.height, s.channels, s.pixels.get());
    DescribeImage(ColumnMajorImage(s.pixels.get(), PixelType::kFloat32, s.width, s.height,
                                   s.channels),
                  options, s.desc.get(), stop, s.desc_plane, scratch);
  }
  // The gaps are never read as values, but nothing is left uninitialised.
  for (int c = 0; c < feat_dim; ++c)
    std::fill(s.desc.get() + c * s.desc_plane + n, s.desc.get() + (c + 1) * s.desc_plane, 0.0f);
  return s;
}

// The grey mean of an RGB side, for pairing with a grey image.
ScratchBlock<float> GreyOf(const Side& s) {
  const Index n = Index{s.width} * s.height;
  auto grey = AllocScratch<float>(n);
  for (Index p = 0; p < n; ++p) {
    float sum = 0.0f;
    for (int c = 0; c < s.channels; ++c) sum += s.pixels[c * n + p];
    grey[p] = sum / s.channels;
  }
  return grey;
}

// Sums of squared differences between P pixels of d1 (a[p]: the pixel's
// first channel; channels n1 apart) and K targets each in d2 (b[p * K + k];
// channels n2 apart). Every sum starts at zero and adds its channels in
// order, as a lone pixel's would; the P x K sums are independent, so the
// adder has work while each one waits on its previous channel, and they
// stay in registers instead of a column buffer. With SSE, four sums share
// a vector: the four targets of a pixel, or four pixels' single targets;
// every lane still does the scalar operations, so the bits are the same.
template <int P, int K>
inline void SquaredSums(const float* const* a, const float* const* b, Index n1, Index n2,
                        int channels, float* out) {
#if defined(__SSE2__)
  if constexpr (K == 4 || (K == 1 && P % 4 == 0)) {
    constexpr int V = P * K / 4;
    __m128 acc[V];
    for (int i = 0; i < V; ++i) acc[i] = _mm_setzero_ps();
    Index oa = 0, ob = 0;
    for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
#pragma GCC unroll 8
      for (int i = 0; i < V; ++i) {
        __m128 value;
        if constexpr (K == 4)
          value = _mm_set1_ps(a[i][oa]);
        else
          value = _mm_setr_ps(a[4 * i][oa], a[4 * i + 1][oa], a[4 * i + 2][oa], a[4 * i + 3][oa]);
        const __m128 target =
            _mm_setr_ps(b[4 * i][ob], b[4 * i + 1][ob], b[4 * i + 2][ob], b[4 * i + 3][ob]);
        const __m128 e = _mm_sub_ps(value, target);
        acc[i] = _mm_add_ps(acc[i], _mm_mul_ps(e, e));
      }
    }
    for (int i = 0; i < V; ++i) _mm_storeu_ps(out + 4 * i, acc[i]);
    return;
  }
#endif
  float acc[P * K] = {};
  Index oa = 0, ob = 0;
  for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) {
      const float value = a[p][oa];
#pragma GCC unroll 4
      for (int k = 0; k < K; ++k) {
        const float e = value - b[p * K + k][ob];
        acc[p * K + k] += e * e;
      }
    }
  }
  for (int i = 0; i < P * K; ++i) out[i] = acc[i];
}

#if defined(__SSE2__)
// Asks for the line `ahead` floats past p, which may lie past the end of
// its array: the address is formed as an integer, and a prefetch never
// faults.
inline void PrefetchAhead(const float* p, Index ahead) {
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(p) +
                                 static_cast<std::uintptr_t>(ahead * Index{sizeof(float)});
  _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
}
#endif

// SquaredSums<16, 1> where the pixels and their targets are both sixteen
// consecutive floats of a plane (a[p] = a + p, b[p] = b + p): plain vector
// loads, the same lanes and order, so the same bits.
inline void SquaredSumsRun16(const float* a, const float* b, Index n1, Index n2, int channels,
                             float* out) {
#if defined(__SSE2__)
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  Index oa = 0, ob = 0;
  for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
    // The next sixteen rows' lines of the same planes (a plane apart: no
    // hardware prefetcher follows).
    PrefetchAhead(a + oa, 16);
    PrefetchAhead(b + ob, 16);
    for (int i = 0; i < 4; ++i) {
      const __m128 e = _mm_sub_ps(_mm_loadu_ps(a + oa + 4 * i), _mm_loadu_ps(b + ob + 4 * i));
      acc[i] = _mm_add_ps(acc[i], _mm_mul_ps(e, e));
    }
  }
  for (int i = 0; i < 4; ++i) _mm_storeu_ps(out + 4 * i, acc[i]);
#else
  const float* pa[16];
  const float* pb[16];
  for (int p = 0; p < 16; ++p) {
    pa[p] = a + p;
    pb[p] = b + p;
  }
  SquaredSums<16, 1>(pa, pb, n1, n2, channels, out);
#endif
}

// SquaredSums<16, 1> for sixteen arbitrary pixels and targets, where each
// group of four pixels (or of their targets) that lie consecutively in
// their plane is read with one vector load instead of four scalar ones:
// the neighbour cells' candidates change at cell borders, which most blocks
// of sixteen rows cross. The lanes, and so the bits, are SquaredSums'.
inline void SquaredSums16(const float* const* a, const float* const* b, Index n1, Index n2,
                          int channels, float* out) {
#if defined(__SSE2__)
  bool run_a[4], run_b[4];
  for (int i = 0; i < 4; ++i) {
    run_a[i] = a[4 * i + 1] == a[4 * i] + 1 && a[4 * i + 2] == a[4 * i] + 2 &&
               a[4 * i + 3] == a[4 * i] + 3;
    run_b[i] = b[4 * i + 1] == b[4 * i] + 1 && b[4 * i + 2] == b[4 * i] + 2 &&
               b[4 * i + 3] == b[4 * i] + 3;
  }
  __m128 acc[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  Index oa = 0, ob = 0;
  for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
    // As in SquaredSumsRun16: the next sixteen rows' lines of these planes,
    // for the first and the last target (the displacement changes little
    // from one block of rows to the next).
    PrefetchAhead(a[0] + oa, 16);
    PrefetchAhead(b[0] + ob, 16);
    PrefetchAhead(b[15] + ob, 16);
    for (int i = 0; i < 4; ++i) {
      const float* const* pa = a + 4 * i;
      const float* const* pb = b + 4 * i;
      const __m128 value = run_a[i] ? _mm_loadu_ps(pa[0] + oa)
                                    : _mm_setr_ps(pa[0][oa], pa[1][oa], pa[2][oa], pa[3][oa]);
      const __m128 target = run_b[i] ? _mm_loadu_ps(pb[0] + ob)
                                     : _mm_setr_ps(pb[0][ob], pb[1][ob], pb[2][ob], pb[3][ob]);
      const __m128 e = _mm_sub_ps(value, target);
      acc[i] = _mm_add_ps(acc[i], _mm_mul_ps(e, e));
    }
  }
  for (int i = 0; i < 4; ++i) _mm_storeu_ps(out + 4 * i, acc[i]);
#else
  SquaredSums<16, 1>(a, b, n1, n2, channels, out);
#endif
}

// Distances between the pixels (x, y), y = 0 .. height-1, of d1 and the
// pixels (qx[y], qy[y]) of d2, sixteen pixels of the column at a time. A
// target outside d2 reads d2's pixel 0, then gives +Inf. (The sums stay in
// registers: the column buffer is no longer needed.)
void ColumnDistances(const Descriptor& d1, const Descriptor& d2, int x, const int* qx,
                     const int* qy, float* /*sum*/, float* out) {
  const int h = d1.height;
  const Index n1 = PlaneOf(d1), n2 = PlaneOf(d2);
  const float* column = d1.data + Index{x} * h;
  const float* a[16];
  const float* b[16];
  float sums[16];
  bool inside[16];
  for (int y = 0; y < h; y += 16) {
    const int count = std::min(16, h - y);
    for (int p = 0; p < count; ++p) {
      const int tx = qx[y + p], ty = qy[y + p];
      inside[p] = tx >= 0 && tx < d2.width && ty >= 0 && ty < d2.height;
      a[p] = column + y + p;
      b[p] = d2.data + (inside[p] ? Index{tx} * d2.height + ty : 0);
    }
    bool run = count == 16;
    for (int p = 1; p < count && run; ++p) run = inside[p] == inside[0] && b[p] == b[0] + p;
    if (run && inside[0]) {
      // One displacement down the sixteen rows: consecutive targets.
      SquaredSumsRun16(a[0], b[0], n1, n2, d1.feat_dim, sums);
    } else if (count == 16) {
      SquaredSums16(a, b, n1, n2, d1.feat_dim, sums);
    } else {
      for (int p = 0; p < count; ++p) SquaredSums<1, 1>(a + p, b + p, n1, n2, d1.feat_dim, sums + p);
    }
    for (int p = 0; p < count; ++p)
      out[y + p] = inside[p] ? std::sqrt(sums[p]) : std::numeric_limits<float>::infinity();
  }
}

// Per-thread column buffers.
struct ColumnScratch {
  std::vector<int> qx, qy;
  std::vector<float> sum, dist[4], sums[4];
  std::vector<Index> target[4];
  explicit ColumnScratch(int h) : qx(h), qy(h), sum(h) {
    for (auto& d : dist) d.resize(h);
    for (auto& d : sums) d.resize(h);
    for (auto& t : target) t.resize(h);
  }
};

// ColumnDistances for the four neighbours left, right, above and below of
// each pixel's match (disp: the column's (dx, dy) pairs) into s.dist[0..3],
// four pixels (sixteen distances) at a time in one pass over the channels; each
// distance still sums its channels in order. A target outside d2 reads its
// pixel 0, then gives +Inf.
void NeighbourDistances(const Descriptor& d1, const Descriptor& d2, int x, const int* disp,
                        ColumnScratch& s) {
  const int h = d1.height;
  const Index n1 = PlaneOf(d1), n2 = PlaneOf(d2);
  const int step[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (int k = 0; k < 4; ++k) {
    Index* target = s.target[k].data();
    for (int y = 0; y < h; ++y) {
      const int qx = x + disp[2 * y] + step[k][0], qy = y + disp[2 * y + 1] + step[k][1];
      const bool inside = qx >= 0 && qx < d2.width && qy >= 0 && qy < d2.height;
      target[y] = inside ? Index{qx} * d2.height + qy : -1;
    }
  }
  const float* column = d1.data + Index{x} * h;
  const float* a[4];
  const float* b[16];
  float sums[16];
  const auto finish = [&](int y, int count) {
    for (int p = 0; p < count; ++p) {
      for (int k = 0; k < 4; ++k) {
        s.dist[k][y + p] = s.target[k][y + p] >= 0 ? std::sqrt(sums[4 * p + k])
                                                   : std::numeric_limits<float>::infinity();
      }
    }
  };
  const auto aim = [&](int y, int count) {
    for (int p = 0; p < count; ++p) {
      a[p] = column + y + p;
      for (int k = 0; k < 4; ++k) {
        const Index t = s.target[k][y + p];
        b[4 * p + k] = d2.data + (t < 0 ? 0 : t);
      }
    }
  };
  // Whether all four neighbours of row y's match lie inside d2, away from
  // its first and last rows and columns (no neighbour then wraps into the
  // next column, or leaves the plane).
  const auto interior = [&](int yy) {
    const int qx = x + disp[2 * yy], qy = yy + disp[2 * yy + 1];
    return qx >= 1 && qx + 1 < d2.width && qy >= 1 && qy + 1 < d2.height;
  };
  int y = 0;
  for (; y + 4 <= h; y += 4) {
#if defined(__SSE2__)
    if (interior(y) && interior(y + 1) && interior(y + 2) && interior(y + 3)) {
      // Four pixels to a vector (their rows are consecutive in d1's
      // column), each neighbour at a fixed offset from its pixel's match:
      // five pointers instead of twenty, all in registers.
      const float* t[4];
      for (int p = 0; p < 4; ++p)
        t[p] = d2.data + (Index{x + disp[2 * (y + p)]} * d2.height + (y + p) + disp[2 * (y + p) + 1]);
      const float* const col = column + y;
      const Index step_x = d2.height;
      __m128 left = _mm_setzero_ps(), right = _mm_setzero_ps(), above = _mm_setzero_ps(),
             below = _mm_setzero_ps();
      Index oa = 0, ob = 0;
      if (t[1] == t[0] + 1 && t[2] == t[0] + 2 && t[3] == t[0] + 3) {
        // One displacement for all four (the usual case): their matches are
        // consecutive too, and so is each neighbour.
        for (int c = 0; c < d1.feat_dim; ++c, oa += n1, ob += n2) {
          const __m128 value = _mm_loadu_ps(col + oa);
          const float* const t0 = t[0] + ob;
          // The next column reads the same rows, a column on: channels lie a
          // plane apart, a stride the hardware does not prefetch.
          PrefetchAhead(col + oa, h);
          PrefetchAhead(t0, 2 * step_x);
          const auto add = [&](__m128& acc, Index off) {
            const __m128 e = _mm_sub_ps(value, _mm_loadu_ps(t0 + off));
            acc = _mm_add_ps(acc, _mm_mul_ps(e, e));
          };
          add(left, -step_x);
          add(right, step_x);
          add(above, -1);
          add(below, 1);
        }
      } else {
        for (int c = 0; c < d1.feat_dim; ++c, oa += n1, ob += n2) {
          const __m128 value = _mm_loadu_ps(col + oa);
          const float* const t0 = t[0] + ob;
          // The next column's lines, as above, for the first and last target.
          PrefetchAhead(col + oa, h);
          PrefetchAhead(t0, 2 * step_x);
          PrefetchAhead(t[3] + ob, 2 * step_x);
          const float* const t1 = t[1] + ob;
          const float* const t2 = t[2] + ob;
          const float* const t3 = t[3] + ob;
          const auto add = [&](__m128& acc, Index off) {
            const __m128 e =
                _mm_sub_ps(value, _mm_setr_ps(t0[off], t1[off], t2[off], t3[off]));
            acc = _mm_add_ps(acc, _mm_mul_ps(e, e));
          };
          add(left, -step_x);
          add(right, step_x);
          add(above, -1);
          add(below, 1);
        }
      }
      // Lanes are pixels here; finish() reads sums[4 * pixel + neighbour].
      _MM_TRANSPOSE4_PS(left, right, above, below);
      _mm_storeu_ps(sums, left);
      _mm_storeu_ps(sums + 4, right);
      _mm_storeu_ps(sums + 8, above);
      _mm_storeu_ps(sums + 12, below);
      finish(y, 4);
      continue;
    }
#endif
    aim(y, 4);
    SquaredSums<4, 4>(a, b, n1, n2, d1.feat_dim, sums);
    finish(y, 4);
  }
  for (; y < h; ++y) {
    aim(y, 1);
    SquaredSums<1, 4>(a, b, n1, n2, d1.feat_dim, sums);
    finish(y, 1);
  }
}

// The cells' translations spread to pixels: bilinear between the centres of
// the finest cells, rounded to whole pixels.
void CellsToPixels(const int* labels, const int* shifts, int width, int height, const Plan& plan,
                   int* disparity) {
  const int l = plan.levels - 1;
  const int n = 1 << l;
  const int level_offset = ((1 << (2 * l)) - 1) / 3;
  const int cw = SampleCount(width, plan.grid) / n, ch = SampleCount(height, plan.grid) / n;
  const float cell_w = static_cast<float>(cw * plan.grid), cell_h = static_cast<float>(ch * plan.grid);
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      // Cell i's centre lies at (i + 0.5) * cell_w - 0.5 in pixels.
      const float fx = std::min(std::max((x + 0.5f) / cell_w - 0.5f, 0.0f), n - 1.0f);
      const float fy = std::min(std::max((y + 0.5f) / cell_h - 0.5f, 0.0f), n - 1.0f);
      const int i0 = static_cast<int>(fx), j0 = static_cast<int>(fy);
      const int i1 = std::min(i0 + 1, n - 1), j1 = std::min(j0 + 1, n - 1);
      const float ax = fx - i0, ay = fy - j0;
      float value[2];
      for (int axis = 0; axis < 2; ++axis) {
        const auto at = [&](int i, int j) {
          return static_cast<float>(shifts[2 * labels[level_offset + i * n + j] + axis]);
        };
        value[axis] = (at(i0, j0) * (1.0f - ax) + at(i1, j0) * ax) * (1.0f - ay) +
                      (at(i0, j1) * (1.0f - ax) + at(i1, j1) * ax) * ay;
      }
      const Index p = Index{x} * height + y;
      disparity[2 * p] = static_cast<int>(std::lround(value[0]));
      disparity[2 * p + 1] = static_cast<int>(std::lround(value[1]));
    }
  }
}

// Each pixel also tries the translations of the finest cells around its own
// (3 x 3) and keeps whichever its descriptor matches best, the bilinear
// value first among equals: structures thinner than a cell (leaves, poles)
// move with a neighbouring cell more often than with the average of theirs.
void TryNeighbourCells(const Descriptor& da, const Descriptor& db, const int* labels,
                       const int* shifts, const Plan& plan, StopToken* stop, int* disparity) {
  const int width = da.width, height = da.height;
  const int l = plan.levels - 1;
  const int n = 1 << l;
  const int level_offset = ((1 << (2 * l)) - 1) / 3;
  const int cell_w = SampleCount(width, plan.grid) / n * plan.grid;
  const int cell_h = SampleCount(height, plan.grid) / n * plan.grid;
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    ColumnScratch s(height);
    std::vector<float> best(height);
    std::vector<int> best_x(height), best_y(height), rows(height);
    std::vector<const int*> candidate(9 * std::size_t(n));
    std::vector<char> repeated(9 * std::size_t(n));
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
    for (int x = 0; x < width; ++x) {
      if (StopNow(stop)) continue;
      int* disp = disparity + 2 * Index{x} * height;
      const int i = std::min(x / cell_w, n - 1);
      for (int y = 0; y < height; ++y) {
        s.qx[y] = x + disp[2 * y];
        s.qy[y] = y + disp[2 * y + 1];
        best_x[y] = disp[2 * y];
        best_y[y] = disp[2 * y + 1];
      }
      ColumnDistances(da, db, x, s.qx.data(), s.qy.data(), s.sum.data(), best.data());
      // Per cell row j of this column, candidate k = 3 (di + 1) + (dj + 1):
      // its translation, and whether an earlier candidate of the row has
      // the same one (the pixels' loop then only compares with their own).
      for (int j = 0; j < n; ++j) {
        for (int k = 0; k < 9; ++k) {
          const int ci = std::min(std::max(i + k / 3 - 1, 0), n - 1);
          const int cj = std::min(std::max(j + k % 3 - 1, 0), n - 1);
          const int* t = shifts + 2 * labels[level_offset + ci * n + cj];
          bool repeat = false;
          for (int e = 0; e < k && !repeat; ++e) {
            const int* q = candidate[9 * j + e];
            repeat = q[0] == t[0] && q[1] == t[1];
          }
          candidate[9 * j + k] = t;
          repeated[9 * j + k] = repeat;
        }
      }
      for (int di = -1; di <= 1; ++di) {
        for (int dj = -1; dj <= 1; ++dj) {
          const int k = 3 * (di + 1) + (dj + 1);
          // Only the pixels whose candidate is new: neighbouring cells often
          // share a translation.
          int count = 0;
          for (int y = 0; y < height; ++y) {
            const int j = std::min(y / cell_h, n - 1);
            const int* t = candidate[9 * j + k];
            const bool seen =
                repeated[9 * j + k] || (t[0] == disp[2 * y] && t[1] == disp[2 * y + 1]);
            const int tx = x + t[0], ty = y + t[1];
            if (seen || tx < 0 || tx >= db.width || ty < 0 || ty >= db.height) continue;
            s.qx[count] = tx;
            s.qy[count] = ty;
            rows[count] = y;
            ++count;
          }
          // Sixteen candidates per pass over the channels, their sums in
          // registers (the same bits as one candidate at a time).
          const Index n1 = PlaneOf(da), n2 = PlaneOf(db);
          const float* column = da.data + Index{x} * height;
          for (int k0 = 0; k0 < count; k0 += 16) {
            const int block = std::min(16, count - k0);
            const float* a[16];
            const float* b[16];
            for (int k = 0; k < block; ++k) {
              a[k] = column + rows[k0 + k];
              b[k] = db.data + (Index{s.qx[k0 + k]} * db.height + s.qy[k0 + k]);
            }
            bool run = block == 16;
            for (int k = 1; k < block && run; ++k) run = a[k] == a[0] + k && b[k] == b[0] + k;
            if (run) {
              // Sixteen consecutive rows of one cell: consecutive targets.
              SquaredSumsRun16(a[0], b[0], n1, n2, da.feat_dim, s.sum.data() + k0);
            } else if (block == 16) {
              SquaredSums16(a, b, n1, n2, da.feat_dim, s.sum.data() + k0);
            } else {
              for (int k = 0; k < block; ++k)
                SquaredSums<1, 1>(a + k, b + k, n1, n2, da.feat_dim, s.sum.data() + k0 + k);
            }
          }
          for (int k = 0; k < count; ++k) {
            const int y = rows[k];
            const float dist = std::sqrt(s.sum[k]);
            if (dist < best[y]) {
              best[y] = dist;
              best_x[y] = s.qx[k] - x;
              best_y[y] = s.qy[k] - y;
            }
          }
        }
      }
      for (int y = 0; y < height; ++y) {
        disp[2 * y] = best_x[y];
        disp[2 * y + 1] = best_y[y];
      }
    }
  }
  ThrowIfStopped(stop);
}

// Offset of a parabola's minimum through distances cm, c0, cp one pixel
// apart, within half a pixel; 0 unless c0 is a true minimum with both
// neighbours inside image 2 (finite).
inline float ParabolaOffset(float cm, float c0, float cp) {
  const float curvature = cm - 2.0f * c0 + cp;
  if (std::isfinite(c0) && std::isfinite(cm) && std::isfinite(cp) && curvature > 0.0f)
    return std::min(std::max(0.5f * (cm - cp) / curvature, -0.5f), 0.5f);
  return 0.0f;
}

// Sum of squared differences between pixel a of d1 and pixel b of d2, its
// channels in order.
inline float SquaredSum(const float* a, const float* b, Index n1, Index n2, int channels) {
  float acc = 0.0f;
  for (int c = 0; c < channels; ++c) {
    const float e = a[c * n1] - b[c * n2];
    acc += e * e;
  }
  return acc;
}

// The 3 x 3 window's sums for pixel a and the d2 pixels around b (columns
// `step` apart): out[3 * (sx + 1) + (sy + 1)]. Each column of the window is
// one load of rows -1 .. 2 (the last lane dropped), so rows -1 .. 2 of
// columns -1 .. 1 must lie inside the plane. Each sum adds its channels in
// order, as SquaredSum does.
inline void WindowSums(const float* a, const float* b, Index step, Index n1, Index n2,
                       int channels, float* out) {
#if defined(__SSE2__)
  __m128 acc[3] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  Index oa = 0, ob = 0;
  for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
    const __m128 value = _mm_set1_ps(a[oa]);
    for (int i = 0; i < 3; ++i) {
      const __m128 e = _mm_sub_ps(value, _mm_loadu_ps(b + (i - 1) * step - 1 + ob));
      acc[i] = _mm_add_ps(acc[i], _mm_mul_ps(e, e));
    }
  }
  float lanes[4];
  for (int i = 0; i < 3; ++i) {
    _mm_storeu_ps(lanes, acc[i]);
    for (int j = 0; j < 3; ++j) out[3 * i + j] = lanes[j];
  }
#else
  for (int k = 0; k < 9; ++k)
    out[k] = SquaredSum(a, b + (k / 3 - 1) * step + (k % 3 - 1), n1, n2, channels);
#endif
}

#if defined(__SSE2__)
// WindowSums for four consecutive pixels a .. a+3 whose targets b .. b+3
// are consecutive too (one displacement): out[4 * k + p] for candidate k of
// pixel p; rows -1 .. 4 of columns -1 .. 1 around b must lie inside the plane.
inline void WindowSums4(const float* a, const float* b, Index step, Index n1, Index n2,
                        int channels, float* out) {
  __m128 acc[9];
  for (auto& x : acc) x = _mm_setzero_ps();
  Index oa = 0, ob = 0;
  for (int c = 0; c < channels; ++c, oa += n1, ob += n2) {
    // Lines some rows ahead (the channels lie a plane apart: no hardware
    // prefetcher follows): of the pixel, and of the window's right column,
    // the one the previous column of pixels did not read.
    PrefetchAhead(a + oa, 32);
    PrefetchAhead(b + step + ob, 64);
    const __m128 value = _mm_loadu_ps(a + oa);
    for (int k = 0; k < 9; ++k) {
      const __m128 e =
          _mm_sub_ps(value, _mm_loadu_ps(b + (k / 3 - 1) * step + (k % 3 - 1) + ob));
      acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(e, e));
    }
  }
  for (int k = 0; k < 9; ++k) _mm_storeu_ps(out + 4 * k, acc[k]);
}
#endif

// Sub-pixel position of each match from a parabola through the descriptor
// distances at the whole-pixel optimum and its four neighbours.
void ParabolaStep(const Descriptor& d1, const Descriptor& d2, const int* disparity,
                  const float* best_cost, StopToken* stop, float* u, float* v) {
  const int w = d1.width, h = d1.height;
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    ColumnScratch s(h);
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
    for (int x = 0; x < w; ++x) {
      if (StopNow(stop)) continue;
      const int* disp = disparity + 2 * Index{x} * h;
      NeighbourDistances(d1, d2, x, disp, s);
      for (int y = 0; y < h; ++y) {
        const Index p = Index{x} * h + y;
        const float c0 = best_cost[p];
        u[p] = static_cast<float>(disp[2 * y]) + ParabolaOffset(s.dist[0][y], c0, s.dist[1][y]);
        v[p] = static_cast<float>(disp[2 * y + 1]) + ParabolaOffset(s.dist[2][y], c0, s.dist[3][y]);
      }
    }
  }
  ThrowIfStopped(stop);
}

// Room for `count` ints in a block of floats (one size and alignment): their
// lifetimes begin there, the floats' end.
int* IntsIn(float* room, Index count) {
  static_assert(sizeof(int) == sizeof(float) && alignof(int) <= alignof(float),
                "an int takes a float's room");
  for (Index i = 0; i < count; ++i) ::new (static_cast<void*>(room + i)) int;
  return std::launder(reinterpret_cast<int*>(room));
}

// One direction of the descriptor match, from side a's pixels to side b's:
// cells, pixels, parabola. The cell costs and the inference's messages lie
// in `borrow`'s block (the refinement's, free until then: memory already
// faulted in, or that the refinement then finds so).
void MatchDirection(const Side& a, const Side& b, const Plan& plan, const MatchOptions& o,
                    FlowScratch* borrow, float* u, float* v) {
  const Descriptor da = a.descriptor(), db = b.descriptor();
  const Index n = Index{a.width} * a.height;
  StageClock clock;

  PyramidMatchParams cell_params{plan.grid, plan.levels, {plan.radius_x, plan.radius_y},
                                 o.cell_truncate};
  const int n_shift_x = 2 * (plan.radius_x / plan.grid) + 1;
  const int n_shift_y = 2 * (plan.radius_y / plan.grid) + 1;
  const int n_shift = CheckedCount(std::int64_t{n_shift_x} * n_shift_y);
  const int n_cell = ((1 << (2 * plan.levels)) - 1) / 3;
  const auto lines = [](std::int64_t floats) { return (floats + 15) / 16 * 16; };
  const std::int64_t n_cost = lines(std::int64_t{n_shift} * n_cell);
  const std::int64_t n_messages = lines(InferenceScratchFloats(n_shift_x, n_shift_y, plan.levels));
  const std::int64_t n_field = lines(2 * n);
  // The cell costs, the inference's messages and the pixel fields all lie in
  // the borrowed block: buffers of their own would be fresh memory as well.
  float* const node_cost = borrow->Reserve(n_cost + n_messages + 2 * n_field + lines(n));
  int* const disparity = IntsIn(node_cost + n_cost + n_messages, 2 * n);
  int* const filtered = IntsIn(node_cost + n_cost + n_messages + n_field, 2 * n);
  float* const best_cost = node_cost + n_cost + n_messages + 2 * n_field;
  auto shifts = AllocScratch<int>(2 * std::int64_t{n_shift});
  PyramidMatch cells;
  cells.SetStopToken(o.stop);
  cells.RunPyramidMatch(da, db, cell_params, node_cost, shifts.get());
  clock.Mark("cellcost");

  PyramidInferenceParams bp;
  bp.neighbour_weight = o.neighbour_weight;
  bp.neighbour_truncate = o.neighbour_truncate;
  bp.parent_weight = o.parent_weight;
  bp.parent_truncate = o.parent_truncate;
  bp.n_iterations = o.bp_iterations;
  auto labels = AllocScratch<int>(n_cell);
  InferCellShifts(node_cost, n_shift_x, n_shift_y, plan.levels, bp, labels.get(), o.stop,
                  node_cost + n_cost);
  clock.Mark("inference");

  CellsToPixels(labels.get(), shifts.get(), a.width, a.height, plan, disparity);
  clock.Mark("cells to pixels");
  TryNeighbourCells(da, db, labels.get(), shifts.get(), plan, o.stop, disparity);
  clock.Mark("neighbour cells");

  // Candidates outside image 2 cost more than any distance of the unit-length
  // descriptors, so they win only where nothing inside does.
  const float outside_cost = 2.0f;
  const int along_y = o.rectified ? 0 : 1;
  PixelMatchParams wide{o.refine_step, {plan.refine_radius, along_y * plan.refine_radius},
                        o.deform_coeff, outside_cost, 0.0f};
  PixelMatch pixels;
  pixels.SetStopToken(o.stop);
  pixels.RunPixelMatch(da, db, disparity, best_cost, wide);
  MedianField(disparity, a.width, a.height, filtered);
  clock.Mark("pixel search");
  if (o.rectified) {
    PixelMatchParams fine{1, {1, 0}, o.deform_coeff, outside_cost, 0.0f};
    pixels.RunPixelMatch(da, db, filtered, best_cost, fine);
    ParabolaStep(da, db, filtered, best_cost, o.stop, u, v);
    std::fill(v, v + n, 0.0f);
  } else {
    LastSearchAndParabola(da, db, filtered, o.deform_coeff, outside_cost, o.stop, u, v);
  }
  clock.Mark("last search and parabola");
}

// How far from a pixel the descriptor reads the image: its farthest cell
// centre, that cell's pooling window, and the gradient's central difference.
int DescriptorReach(const DescribeOptions& o) {
  const int centre = static_cast<int>(std::lround((o.grid_cells - 1) / 2.0 * o.cell_size));
  return centre + (o.cell_size - 1) + 1;
}

// Weight of each pixel's descriptor match in the refinement: 0 where the
// match does not come back from image 2 (back_u null: not tested) or where
// either descriptor reads past its image's edge (within `reach` of it; at
// most a quarter of the side, so that small images keep their middle),
// scaled down on flat patches, whose descriptors are short and say little.
// Past the edge a descriptor pools padding that the other image shows as
// content (or the black beside a rendered image that the other image does
// not show), and such matches land several pixels inside image 2.
// Each pixel's squared descriptor length (channels summed in order), w x h
// floats column-major: 1 on texture for root-normalised vectors, less on
// flat areas.
void SquaredLengths(const Descriptor& d, float* out) {
  const int w = d.width, h = d.height;
  const Index plane = PlaneOf(d);
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    float* column = out + Index{x} * h;
    for (int y = 0; y < h; ++y) column[y] = 0.0f;
    for (int c = 0; c < d.feat_dim; ++c) {
      const float* channel = d.data + c * plane + Index{x} * h;
      for (int y = 0; y < h; ++y) column[y] += channel[y] * channel[y];
    }
  }
}

void MatchWeights(const Side& side, const float* u, const float* v, const float* back_u,
                  const float* back_v, int w2, int h2, float threshold, int reach,
                  float* weight) {
  const int w = side.width, h = side.height;
  const auto margin = [reach](int side) {
    return static_cast<float>(std::min(reach, (side - 1) / 4));
  };
  const float mx1 = margin(w), my1 = margin(h), mx2 = margin(w2), my2 = margin(h2);
  const float* const length2 = side.length2.get();
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      float wgt = std::min(length2[p], 1.0f);
      const float x2 = x + u[p], y2 = y + v[p];
      if (!(x2 >= mx2 && x2 <= w2 - 1.0f - mx2 && y2 >= my2 && y2 <= h2 - 1.0f - my2) ||
          x < mx1 || x > w - 1.0f - mx1 || y < my1 || y > h - 1.0f - my1) {
        wgt = 0.0f;
      } else if (back_u != nullptr) {
        const float ex = u[p] + SampleBilinear(back_u, w2, h2, x2, y2);
        const float ey = v[p] + SampleBilinear(back_v, w2, h2, x2, y2);
        if (ex * ex + ey * ey > threshold * threshold) wgt = 0.0f;
      }
      weight[p] = wgt;
    }
  }
}

// How far `model` strays from a plain translation over a w x h image: the
// largest move of a corner relative to the centre's. Infinite when part of
// the image maps behind the camera.
double DepartureFromTranslation(const Homography& model, int w, int h) {
  const double cx = 0.5 * (w - 1), cy = 0.5 * (h - 1);
  double tx, ty;
  if (!model.Apply(cx, cy, &tx, &ty)) return std::numeric_limits<double>::infinity();
  tx -= cx;
  ty -= cy;
  double largest = 0.0;
  for (int corner = 0; corner < 4; ++corner) {
    const double x = (corner & 1) ? w - 1.0 : 0.0, y = (corner & 2) ? h - 1.0 : 0.0;
    double X, Y;
    if (!model.Apply(x, y, &X, &Y)) return std::numeric_limits<double>::infinity();
    largest = std::max(largest, std::hypot(X - x - tx, Y - y - ty));
  }
  return largest;
}

// Image b seen through `model` in a w x h frame: pixel (x, y) shows b at
// model(x, y), bilinear, b's border extended beyond its edges.
ScratchBlock<float> WarpThrough(const PlanarImage& b, const Homography& model, int w, int h) {
  const Index n = Index{w} * h, nb = Index{b.width} * b.height;
  auto out = AllocScratch<float>(n * b.channels);
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      double X = -1.0, Y = -1.0;
      model.Apply(x, y, &X, &Y);
      const Index p = Index{x} * h + y;
      for (int c = 0; c < b.channels; ++c)
        out[c * n + p] = SampleBilinear(b.data + c * nb, b.width, b.height,
                                        static_cast<float>(X), static_cast<float>(Y));
    }
  }
  return out;
}

// A field found between image a and image b seen through `model` (in a's
// frame), brought to b's own coordinates: a + w lies at model(a + w) in b.
void ComposeThrough(const Homography& model, int w, int h, float* u, float* v) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      double X, Y;
      if (model.Apply(x + double{u[p]}, y + double{v[p]}, &X, &Y)) {
        u[p] = static_cast<float>(X - x);
        v[p] = static_cast<float>(Y - y);
      }
    }
  }
}

FlowRefineParams RefineParams(const MatchOptions& o) {
  FlowRefineParams fr;
  fr.smoothness = o.flow_smoothness;
  fr.brightness = o.flow_brightness;
  fr.gradient = o.flow_gradient;
  fr.presmooth_sigma = o.flow_sigma;
  fr.edge_sharpness = o.flow_edge;
  fr.anchor = o.flow_anchor;
  // The pull's window a little wider than the descriptor's pooling grid
  // (cells 3 px apart at the working size: sigma 5 px). Measured on the
  // default warp family, whose striped leaves and ribbed textures the
  // matches follow a few pixels along the stripes, both ways alike: 65
  // unseen warps 99.49 -> 99.55 % within 1 px (butterfly/33107 97.2 -> 100
  // %), 130 more 99.63 -> 99.65 %; the field family, views and stereo pairs
  // as before.
  const int cell = o.descriptor.cell_size > 0 ? o.descriptor.cell_size : 3;
  fr.pull_structure_sigma = 5.0f / 3.0f * static_cast<float>(cell);
  // Matches that stray past image 2's edge keep a data term up to 4 px
  // beyond it at the working size (scaled with the cells). Without one,
  // the pixels whose true match lies within a few pixels of the edge were
  // wrong ten times as often as the rest, mostly pushed outwards. Measured
  // on the default warp family (within 1 px): 65 unseen warps 99.55 ->
  // 99.66 %, 130 more 99.65 -> 99.76 %; the field family's 54 textured
  // pairs 99.80 -> 99.84 %. A margin read at the nearest point instead
  // (the border replicated) lost on the field family; margins of 1 - 5 px
  // gain alike, 8 px and more less.
  fr.edge_margin = 4.0f / 3.0f * static_cast<float>(cell);
  // The two finest scales (full and 3/4 size) follow the data and the
  // smoothness alone. Measured against the finest alone: synthetic pairs
  // 99.58 -> 99.61 % within 1 px, mean EPE 0.093 -> 0.086 px (a blob of
  // confirmed wrong matches on baboon's ridges no longer held); seven held-out
  // rendered pairs 99.00 -> 99.01 %, 0.116 -> 0.112 px; stereo unchanged.
  fr.unguided_scales = 2;
  fr.n_scales = o.flow_scales;
  fr.scale_factor = o.flow_scale_factor;
  fr.n_warps = o.flow_warps;
  fr.n_coarse_warps = o.flow_coarse_warps;
  fr.n_fixed_point = o.flow_fixed_point;
  fr.n_sor = o.flow_sor;
  // Measured on the accuracy command's pairs: synthetic 98.2 -> 98.6 % within
  // 1 px, mean EPE 0.23 -> 0.20 px, every pair and scale gaining.
  fr.bicubic = true;
  fr.horizontal_only = o.rectified;
  return fr;
}

// A refinement that may stop before its finest scale: what completing it
// needs.
struct RefineState {
  ScratchBlock<float> start_u, start_v;  // the field it started from
  bool paused = false;
};

// Pixel values far beyond [0, 1] can overflow the refinement's squares;
// such pixels keep their descriptor match rather than report a number
// that is none.
void KeepFinite(const RefineState& state, Index n, float* u, float* v) {
  for (Index p = 0; p < n; ++p) {
    if (!std::isfinite(u[p]) || !std::isfinite(v[p])) {
      u[p] = state.start_u[p];
      v[p] = state.start_v[p];
    }
  }
}

FlowRefineParams RefineParams(const MatchOptions& o, const PlanarImage& image_a,
                              const std::uint8_t* no_data) {
  FlowRefineParams fr = RefineParams(o);
  fr.no_data = no_data;
  fr.no_data_width = image_a.width;
  fr.no_data_height = image_a.height;
  return fr;
}

// Refines (u, v); with `pause`, stops before the finest scale where there
// is more than one (state->paused), for FinishRefine to complete.
void Refine(const PlanarImage& image_a, const PlanarImage& image_b, const MatchOptions& o,
            const float* weight, FlowScratch* scratch, StopToken* stop, float* u, float* v,
            const std::uint8_t* no_data, bool pause, RefineState* state) {
  if (o.flow_warps <= 0 || o.flow_fixed_point <= 0) return;
  FlowRefineParams fr = RefineParams(o, image_a, no_data);
  fr.stop_before_finest = pause;
  const Index n = Index{image_a.width} * image_a.height;
  state->start_u = AllocScratch<float>(n);
  state->start_v = AllocScratch<float>(n);
  std::copy(u, u + n, state->start_u.get());
  std::copy(v, v + n, state->start_v.get());
  state->paused = RefineFlow(image_a, image_b, fr, weight, u, v, scratch, stop);
  if (!state->paused) KeepFinite(*state, n, u, v);
}

// Completes a refinement that Refine paused (the same arguments).
void FinishRefine(const PlanarImage& image_a, const PlanarImage& image_b, const MatchOptions& o,
                  const float* weight, FlowScratch* scratch, StopToken* stop, float* u, float* v,
                  const std::uint8_t* no_data, RefineState* state) {
  if (!state->paused) return;
  const FlowRefineParams fr = RefineParams(o, image_a, no_data);
  RefineFlowFinest(image_a, image_b, fr, weight, state->start_u.get(), state->start_v.get(), u, v,
                   scratch, stop);
  state->paused = false;
  KeepFinite(*state, Index{image_a.width} * image_a.height, u, v);
}

// Runs two stages that read nothing the other writes. With two or three
// threads: side by side, one thread each, first() on the calling thread,
// second(true) on the other, their own loops serial (no barrier per
// block of work, which on a busy machine waits for whichever thread the
// scheduler has set aside, and the small loops that stay serial overlap).
// Otherwise first(), then second(false): one thread has nothing to share,
// and four or more do better splitting each stage's loops (nested regions
// would need a process-wide OpenMP setting). Each stage's result is the
// same either way: the cores give the same bits whatever their thread
// count.
// allowed = false: always one after the other. stop: the caller's token,
// polled by the calling thread while it waits for the other (whose own
// polls only relay it), so that a Ctrl-C does not wait for the slower side.
template <class First, class Second>
void SideBySide(const First& first, const Second& second, bool allowed = true,
                StopToken* stop = nullptr) {
#ifdef _OPENMP
  const int threads = omp_get_max_threads();
  if (allowed && threads >= 2 && threads <= 3 && !omp_in_parallel()) {
    std::exception_ptr errors[2];
    int team = 0;
    // The calling thread waits for the other on a condition, woken the
    // moment it is done (sleeping in fixed steps cost up to a step each
    // time), and polls the caller's token between waits.
    std::mutex mutex;
    std::condition_variable done;
    bool second_done = false;
#pragma omp parallel num_threads(2)
    {
#pragma omp single
      team = omp_get_num_threads();
      if (team == 2) {
        const int me = omp_get_thread_num();
        omp_set_num_threads(1);
        try {
          if (me == 0)
            first();
          else
            second(true);
        } catch (...) {
          errors[me] = std::current_exception();
        }
        if (me == 1) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            second_done = true;
          }
          done.notify_one();
        } else {
          std::unique_lock<std::mutex> lock(mutex);
          while (!second_done) {
            if (stop != nullptr) {
              lock.unlock();
              stop->StopRequested(true);
              lock.lock();
              if (second_done) break;
            }
            done.wait_for(lock, std::chrono::milliseconds(2));
          }
        }
      }
    }
    if (team == 2) {
      for (const auto& error : errors)
        if (error) std::rethrow_exception(error);
      return;
    }
  }
#else
  (void)allowed;
  (void)stop;
#endif
  first();
  second(false);
}

// Where the images differ by a viewpoint: image b seen through `model` in
// image a's frame, its descriptor, and the field found against it, composed
// back to b's coordinates.
void MatchThrough(const Side& a, const PlanarImage& planar_b, const Homography& model,
                  const Plan& plan, const MatchOptions& o, FlowScratch* borrow, float* u,
                  float* v) {
  const auto warped = WarpThrough(planar_b, model, a.width, a.height);
  const Side seen = PrepareSide(
      ColumnMajorImage(warped.get(), PixelType::kFloat32, a.width, a.height, planar_b.channels),
      o.descriptor, a.feat_dim, false, o.stop, borrow);  // b's frame is filled already
  MatchDirection(a, seen, plan, o, borrow, u, v);
  ComposeThrough(model, a.width, a.height, u, v);
}

// Pixels of a's field whose match lies inside b and whose match back from
// there returns within `threshold` (back_u null: the inside test alone).
void CheckField(const float* u, const float* v, const float* back_u, const float* back_v, int wa,
                int ha, int wb, int hb, float threshold, std::uint8_t* valid) {
  const float threshold2 = threshold * threshold;
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < wa; ++x) {
    for (int y = 0; y < ha; ++y) {
      const Index p = Index{x} * ha + y;
      const float x2 = x + u[p], y2 = y + v[p];
      bool ok = x2 >= 0.0f && x2 <= wb - 1.0f && y2 >= 0.0f && y2 <= hb - 1.0f;
      if (ok && back_u != nullptr) {
        const float ex = u[p] + SampleBilinear(back_u, wb, hb, x2, y2);
        const float ey = v[p] + SampleBilinear(back_v, wb, hb, x2, y2);
        ok = ex * ex + ey * ey <= threshold2;
      }
      valid[p] = ok ? 1 : 0;
    }
  }
}

// The refinements' blocks, held for the whole call and reserved before
// anything else: the descriptors' working memory and the matches' cell costs
// borrow them first, so that one stage after another touches the same
// memory (a fresh page costs a fault and its clearing, and on a process's
// first call the host may have to back it as well). `scratch` serves the
// forward direction, and the backward one unless that runs beside it
// (`beside`).
struct RefineBlocks {
  FlowScratch scratch, beside;
};

// Bytes of each direction's refinement block (0: none runs).
struct RefineBytes {
  std::int64_t forward = 0, backward = 0;
};
RefineBytes RefineBlockBytes(const PlanarImage& planar1, const PlanarImage& planar2,
                             const MatchOptions& o, bool check) {
  RefineBytes bytes;
  if (o.flow_warps <= 0 || o.flow_fixed_point <= 0) return bytes;
  const FlowRefineParams fr = RefineParams(o);
  bytes.forward = RefineFlowScratchBytes(planar1, planar2, fr, true);
  if (check) bytes.backward = RefineFlowScratchBytes(planar2, planar1, fr, true);
  return bytes;
}

// Both fields of one pass: (u, v) from image 1 to image 2 and, when the
// check is on, (back_u, back_v) the other way.
struct Fields {
  ScratchBlock<float> u, v, back_u, back_v;
  // What the refinements' finest scale needs, where MatchPass stopped them
  // before it (FinishPass).
  struct Refinements {
    // The call's blocks (RefineBlocks) they run in.
    FlowScratch *scratch = nullptr, *beside_scratch = nullptr;
    bool beside = false;
    ScratchBlock<float> weight1, weight2;
    RefineState forward, backward;
    // Image 2 brought to image 1's brightness (PhotometricMatch), where the
    // refinements read that instead of image 2.
    ScratchBlock<float> matched2;
    // Image 1 within what image 2 can show (PhotometricMatch), where the
    // refinements read that instead of image 1.
    ScratchBlock<float> matched1;
    PlanarImage Image1(const PlanarImage& planar1) const {
      return matched1 ? PlanarImage{matched1.get(), planar1.width, planar1.height,
                                    planar1.channels}
                      : planar1;
    }
    // What the refinements read as image 2 (planar2: image 2 itself).
    PlanarImage Image2(const PlanarImage& planar2) const {
      return matched2 ? PlanarImage{matched2.get(), planar2.width, planar2.height,
                                    planar2.channels}
                      : planar2;
    }
  };
  std::unique_ptr<Refinements> pending;
  // The pass stopped after its matches, which `settled` found to agree
  // with what the caller has (no refinement, the fields unfinished).
  bool settled = false;
};

// Whether a pass's matches (u, v and their weights, MatchWeights') show
// nothing new to the caller: then the pass need not go on.
using Settled = std::function<bool(const float* u, const float* v, const float* weight)>;

// Adds one observation, row . x = value, to the normal equations (ata, atb)
// of a least-squares fit of n unknowns.
void AddNormalRow(const double* row, double value, int n, double* ata, double* atb) {
  for (int r = 0; r < n; ++r) {
    atb[r] += row[r] * value;
    for (int q = 0; q < n; ++q) ata[r * n + q] += row[r] * row[q];
  }
}

// Three robust spreads (1.4826 times the median) of a fit's residuals, at
// least 0.01: past it a block strays from the fit. Reorders `residual`.
double StrayLimit(std::vector<double>* residual) {
  const auto middle = residual->begin() + residual->size() / 2;
  std::nth_element(residual->begin(), middle, residual->end());
  return std::max(3.0 * 1.4826 * *middle, 0.01);
}

// Image 2's brightness against image 1's at the reliable matches on
// texture (weight 1/2 or more; off either image's frame), channel by
// channel: the gain and offset that take image 1's values to image 2's.
// Fitted to the means of blocks of 16 x 16 pixels (their values in image 1,
// and image 2's at their matches; blocks with 64 such matches or more), from
// the two sets' means and spreads, symmetric in the two images, then again
// without the blocks that stray from that fit by more than three spreads of
// their residuals (occlusions, wrong matches): resampling, blur or a change
// of scale soften image 2's finest detail, which lowers the spread of its
// pixels but not of such means. Where some channel's gain strays from 1 by
// more than 3 % or its offset from 0 by more than 1/100 of the range, image
// 2 mapped back to image 1's brightness, into `out` (planar2's size), image 1
// within what image 2 can show into `out1` (left empty where that is all of
// it; see the end), and true; false otherwise. The refinement compares
// brightness and its gradient: an exposure's gain of 1.15 moved a tenth of
// the rendered pairs' pixels by more than a pixel, while the normalised
// descriptor hardly notices. Exposures that clip (image 2 blown out or
// crushed over a fifth of a rendered pair and more) left the fit without a
// model or with a wrong one, and the refinement pulled the clipped areas
// towards whatever texture lay nearest: six rendered pairs with image 2 at
// 1.6 times the light went from 85 to 97 % of their pixels within 1 px. A
// third model, a tone curve, maps image 2 back where a gamma or a camera's
// response bends the values (a gamma of 2: 80 -> 99 %).
// Deterministic: sums in block order, in double.
bool PhotometricMatch(const Side& side1, const Side& side2, const PlanarImage& planar1,
                      const PlanarImage& planar2, const float* u, const float* v,
                      const float* weight, ScratchBlock<float>* out, ScratchBlock<float>* out1) {
  const int w1 = planar1.width, h1 = planar1.height, w2 = planar2.width, h2 = planar2.height;
  const int nc = planar1.channels;
  if (planar2.channels != nc || nc > 3) return false;  // grey or colour
  const Index n1 = Index{w1} * h1, n2 = Index{w2} * h2;
  constexpr int kBlock = 16, kMinInBlock = 64, kMinBlocks = 16;
  const int bx = (w1 + kBlock - 1) / kBlock, by = (h1 + kBlock - 1) / kBlock;
  const auto usable = [&](int x, int y, Index p) {
    if (!(weight[p] >= 0.5f)) return false;
    if (!side1.frame.empty() && side1.frame[p]) return false;
    if (side2.frame.empty()) return true;
    const long x2 = std::lround(x + u[p]), y2 = std::lround(y + v[p]);
    return x2 >= 0 && x2 < w2 && y2 >= 0 && y2 < h2 && !side2.frame[x2 * h2 + y2];
  };
  // Each image's extremes, every channel: where a value sits at one, the
  // exposure may have clipped it.
  float lo1[3], hi1[3], lo2[3], hi2[3];
  const auto extremes = [](const float* data, Index n, float* lo, float* hi) {
    float a = data[0], b = data[0];
#ifdef _OPENMP
#pragma omp parallel for schedule(static) reduction(min : a) reduction(max : b)
#endif
    for (Index q = 0; q < n; ++q) {
      a = std::min(a, data[q]);
      b = std::max(b, data[q]);
    }
    *lo = a;
    *hi = b;
  };
  for (int c = 0; c < nc; ++c) {
    extremes(planar1.data + c * n1, n1, lo1 + c, hi1 + c);
    extremes(planar2.data + c * n2, n2, lo2 + c, hi2 + c);
  }
  // Bit c set where a pixel or one of its 8 neighbours has channel c within
  // kClipBand of that channel's extremes: a match a pixel off, or a sample
  // between a clipped pixel and the next, reads the clipped value in part.
  constexpr float kClipBand = 2.0f / 255.0f;
  const auto near_extremes = [&](const PlanarImage& image, const float* lo, const float* hi) {
    const int w = image.width, h = image.height;
    const Index n = Index{w} * h;
    std::vector<std::uint8_t> at(n), across(n), near(n);
    // Each pixel's bits, then their OR over the column's neighbours, then
    // over the row's (columns in parallel; every value is its own).
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
    for (int x = 0; x < w; ++x) {
      std::uint8_t* const column = at.data() + Index{x} * h;
      for (int y = 0; y < h; ++y) {
        unsigned bits = 0;
        for (int c = 0; c < nc; ++c) {
          const float value = image.data[c * n + Index{x} * h + y];
          if (!(value > lo[c] + kClipBand && value < hi[c] - kClipBand)) bits |= 1u << c;
        }
        column[y] = static_cast<std::uint8_t>(bits);
      }
      std::uint8_t* const out = across.data() + Index{x} * h;
      for (int y = 0; y < h; ++y)
        out[y] = column[y] | (y > 0 ? column[y - 1] : 0) | (y + 1 < h ? column[y + 1] : 0);
    }
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
    for (int x = 0; x < w; ++x) {
      const std::uint8_t* const middle = across.data() + Index{x} * h;
      const std::uint8_t* const left = x > 0 ? middle - h : middle;
      const std::uint8_t* const right = x + 1 < w ? middle + h : middle;
      std::uint8_t* const out = near.data() + Index{x} * h;
      for (int y = 0; y < h; ++y) out[y] = left[y] | middle[y] | right[y];
    }
    return near;
  };
  const std::vector<std::uint8_t> near1 = near_extremes(planar1, lo1, hi1),
                                  near2 = near_extremes(planar2, lo2, hi2);
  // Each block's means, every channel (blocks with too few matches: NaN),
  // over all its matches and over those that read no clipped value (`kept`:
  // the linear model holds on any subset of a block's pixels, not on the
  // clipped ones), in parallel over the columns of blocks.
  const std::size_t n_all = static_cast<std::size_t>(bx) * by;
  struct Means {
    // Image 1's values and their squares and cubes, image 2's values.
    std::vector<double> one, one2, one3, two;
  } every, kept;
  for (Means* m : {&every, &kept}) {
    m->one.resize(n_all * nc);
    m->one2.resize(n_all * nc);
    m->one3.resize(n_all * nc);
    m->two.resize(n_all * nc);
  }
  // Where each block's matches lie in image 2, all of them (where the
  // channels' kept ones lie in the block matters little).
  std::vector<double> at_x(n_all), at_y(n_all);
  Index all_usable = 0, one_sided = 0;
#ifdef _OPENMP
#pragma omp parallel for schedule(static) reduction(+ : all_usable, one_sided)
#endif
  for (int i = 0; i < bx; ++i) {
    for (int j = 0; j < by; ++j) {
      // [0]: every match, [1]: those of each channel that read no clipped
      // value of it.
      double count[2][3] = {}, a[2][3] = {}, a2[2][3] = {}, a3[2][3] = {}, b[2][3] = {};
      double sx = 0.0, sy = 0.0;
      for (int x = i * kBlock; x < std::min(w1, (i + 1) * kBlock); ++x) {
        for (int y = j * kBlock; y < std::min(h1, (j + 1) * kBlock); ++y) {
          const Index p = Index{x} * h1 + y;
          if (!usable(x, y, p)) continue;
          const long x2 = std::lround(x + u[p]), y2 = std::lround(y + v[p]);
          const unsigned clipped1 = near1[p];
          const unsigned clipped2 =
              x2 >= 0 && x2 < w2 && y2 >= 0 && y2 < h2 ? near2[x2 * h2 + y2] : 0u;
          sx += x + u[p];
          sy += y + v[p];
          for (int c = 0; c < nc; ++c) {
            const bool clipped = ((clipped1 | clipped2) >> c) & 1u;
            ++all_usable;
            one_sided += ((clipped1 ^ clipped2) >> c) & 1u;
            const double one = planar1.data[c * n1 + p];
            const double two = SampleBilinear(planar2.data + c * n2, w2, h2, x + u[p], y + v[p]);
            for (int set = 0; set < (clipped ? 1 : 2); ++set) {
              count[set][c] += 1.0;
              a[set][c] += one;
              a2[set][c] += one * one;
              a3[set][c] += one * one * one;
              b[set][c] += two;
            }
          }
        }
      }
      const std::size_t block = static_cast<std::size_t>(i) * by + j;
      for (int set = 0; set < 2; ++set) {
        Means& m = set == 0 ? every : kept;
        // Half the matches suffice without the clipped ones, which take
        // whole stretches of a block.
        const double enough = set == 0 ? kMinInBlock : kMinInBlock / 2;
        for (int c = 0; c < nc; ++c) {
          const std::size_t k = c * n_all + block;
          const double n = std::max(count[set][c], 1.0);
          m.one[k] = count[set][c] >= enough ? a[set][c] / n
                                             : std::numeric_limits<double>::quiet_NaN();
          m.one2[k] = a2[set][c] / n;
          m.one3[k] = a3[set][c] / n;
          m.two[k] = b[set][c] / n;
        }
      }
      at_x[block] = sx / std::max(count[0][0], 1.0);
      at_y[block] = sy / std::max(count[0][0], 1.0);
    }
  }
  // Where a tenth of the matches' channels or more read a clipped value on
  // one side only (an exposure that blows out or crushes part of one image),
  // the fit of each channel without the matches that read a clipped value of
  // it, which may rest on fewer blocks (a sixteenth of them, 32 at least);
  // otherwise on every match (clipped alike, as a chessboard's black squares
  // in both, the values agree), and again without them where no model fits
  // that and a fiftieth of the matches' channels read a one-sided clip.
  bool skip_clipped = false, pooled = false;
  const Means* means = &every;
  double share = 4.0;
  int min_blocks = kMinBlocks;
  const auto leave_clipped_out = [&] {
    skip_clipped = true;
    means = &kept;
    share = 16.0;
    min_blocks = 2 * kMinBlocks;
  };
  if (all_usable > 0 && one_sided * 10 >= all_usable) leave_clipped_out();
  std::vector<double> gain(nc, 1.0), offset(nc, 0.0), m1, m2, residual;
  bool departs = false;
  double uniform_spread = 0.0, field_spread = 0.0;  // the widest channel's
  // One gain and offset a channel (false: none fits).
  const auto uniform = [&] {
    const std::vector<double>&mean1 = means->one, &mean2 = means->two;
    for (int c = 0; c < nc; ++c) {
      if (pooled && c > 0) {
        gain[c] = gain[0];
        offset[c] = offset[0];
        continue;
      }
      m1.clear();
      m2.clear();
      for (std::size_t k = pooled ? 0 : c * n_all; k < (pooled ? nc : c + 1) * n_all; ++k) {
        if (std::isnan(mean1[k])) continue;
        m1.push_back(mean1[k]);
        m2.push_back(mean2[k]);
      }
      const int n_blocks = static_cast<int>(m1.size());
      double g = 1.0, o = 0.0, limit = std::numeric_limits<double>::infinity();
      for (int round = 0; round < 3; ++round) {
        double k = 0.0, s1 = 0.0, s2 = 0.0, s11 = 0.0, s22 = 0.0;
        residual.clear();
        for (int b = 0; b < n_blocks; ++b) {
          if (!(std::fabs(m2[b] - (g * m1[b] + o)) <= limit)) continue;
          k += 1.0;
          s1 += m1[b];
          s2 += m2[b];
          s11 += m1[b] * m1[b];
          s22 += m2[b] * m2[b];
        }
        // Too few blocks (a quarter of them at least), or a channel without
        // large-scale contrast: nothing to tell.
        if (k < min_blocks || share * k < static_cast<double>(n_all)) return false;
        const double centre1 = s1 / k, centre2 = s2 / k;
        const double var1 = s11 / k - centre1 * centre1, var2 = s22 / k - centre2 * centre2;
        if (!(var1 > 1e-5) || !(var2 > 1e-5)) return false;
        g = std::sqrt(var2 / var1);
        o = centre2 - g * centre1;
        for (int b = 0; b < n_blocks; ++b) residual.push_back(std::fabs(m2[b] - (g * m1[b] + o)));
        limit = StrayLimit(&residual);
      }
      gain[c] = g;
      offset[c] = o;
      // Blocks that scatter about the fit: matches too wrong to tell (on the
      // rendered views and pans, a first pass whose few reliable matches
      // suggested gains of 0.78 - 1.13 with residuals of 0.05 - 0.49; real
      // exposures fit within 0.03 - 0.05). Gains within 1/5 - 5 (a bracket of
      // two stops and more: image 2 at a quarter of the light took four
      // rendered warps from 45 - 64 % of their pixels within 1 px to 95 - 100
      // %; 0.5 - 2 before).
      uniform_spread = std::max(uniform_spread, limit);
      if (!(g > 0.2 && g < 5.0) || limit > 0.06) return false;
      departs = departs || std::fabs(g - 1.0) > 0.03 || std::fabs(o) > 0.01;
    }
    return true;
  };
  // A gain that varies smoothly over image 2 (a quadratic in its
  // coordinates, as vignetting, or light falling across the scene, and an
  // offset), fitted by least squares to the blocks, again without those that
  // stray; the same tests on the spread and on the gains at a grid of image
  // 2's points. It serves where one gain does not fit, or where it fits with
  // under half the spread (aloe's, a stereo pair's: 0.014 against 0.029).
  constexpr int kTerms = 7;
  std::vector<double> field(static_cast<std::size_t>(nc) * kTerms, 0.0);
  const double half_w = 0.5 * (w2 - 1), half_h = 0.5 * (h2 - 1);
  const auto terms = [&](double x2, double y2, double* t) {
    const double x = (x2 - half_w) / std::max(half_w, 1.0);
    const double y = (y2 - half_h) / std::max(half_h, 1.0);
    t[0] = 1.0;
    t[1] = x;
    t[2] = y;
    t[3] = x * x;
    t[4] = x * y;
    t[5] = y * y;
  };
  const auto field_gain = [&](const double* coef, double x2, double y2) {
    double t[6];
    terms(x2, y2, t);
    double g = 0.0;
    for (int k = 0; k < 6; ++k) g += coef[k] * t[k];
    return g;
  };
  const auto varying = [&] {
    const std::vector<double>&mean1 = means->one, &mean2 = means->two;
    if (pooled) return false;
    departs = false;
    for (int c = 0; c < nc; ++c) {
      double* const coef = field.data() + static_cast<std::size_t>(c) * kTerms;
      coef[0] = 1.0;
      double limit = std::numeric_limits<double>::infinity();
      for (int round = 0; round < 3; ++round) {
        double ata[kTerms * kTerms] = {}, atb[kTerms] = {}, k = 0.0;
        for (std::size_t b = 0; b < n_all; ++b) {
          const double one = mean1[c * n_all + b], two = mean2[c * n_all + b];
          if (std::isnan(one)) continue;
          if (!(std::fabs(two - (field_gain(coef, at_x[b], at_y[b]) * one + coef[6])) <= limit))
            continue;
          double row[kTerms];
          terms(at_x[b], at_y[b], row);
          for (int t = 0; t < 6; ++t) row[t] *= one;
          row[6] = 1.0;
          AddNormalRow(row, two, kTerms, ata, atb);
          k += 1.0;
        }
        if (k < 2 * kMinBlocks || share * k < static_cast<double>(n_all)) return false;
        if (!SolveLinear(ata, atb, kTerms)) return false;
        std::copy(atb, atb + kTerms, coef);
        residual.clear();
        for (std::size_t b = 0; b < n_all; ++b) {
          const double one = mean1[c * n_all + b];
          if (std::isnan(one)) continue;
          const double fit = field_gain(coef, at_x[b], at_y[b]) * one + coef[6];
          residual.push_back(std::fabs(mean2[c * n_all + b] - fit));
        }
        limit = StrayLimit(&residual);
      }
      field_spread = std::max(field_spread, limit);
      if (limit > 0.06) return false;
      for (int i = 0; i <= 8; ++i) {
        for (int j = 0; j <= 8; ++j) {
          const double g = field_gain(coef, i * (w2 - 1) / 8.0, j * (h2 - 1) / 8.0);
          if (!(g > 0.2 && g < 5.0)) return false;
          departs = departs || std::fabs(g - 1.0) > 0.03;
        }
      }
      departs = departs || std::fabs(coef[6]) > 0.01;
    }
    return true;
  };
  // A tone curve: image 2's value a cubic in image 1's, the same over the
  // image (a camera's response, or a change of exposure it maps through a
  // curve, as a gamma). Fitted to the blocks by least squares on the means of
  // image 1's values, squares and cubes (the mean of a cubic over a block is
  // that cubic of these means, whatever the spread inside), again without
  // those that stray; rising with a slope within 1/20 - 20 over the range of
  // the blocks' means (checked at 65 points), and carried on past it along
  // its slope at the ends (a cubic strays fast where it has no data).
  constexpr int kCurveTerms = 4, kCurvePoints = 64;
  std::vector<double> curve(static_cast<std::size_t>(nc) * kCurveTerms, 0.0);
  double curve_spread = 0.0, support_lo[3] = {}, support_hi[3] = {};
  const auto cubic = [](const double* coef, double x) {
    return coef[0] + x * (coef[1] + x * (coef[2] + x * coef[3]));
  };
  const auto cubic_slope = [](const double* coef, double x) {
    return coef[1] + x * (2.0 * coef[2] + x * 3.0 * coef[3]);
  };
  const auto tone = [&](int c, double x) {
    const double* const coef = curve.data() + static_cast<std::size_t>(c) * kCurveTerms;
    const double end = std::min(std::max(x, support_lo[c]), support_hi[c]);
    return cubic(coef, end) + (x - end) * cubic_slope(coef, end);
  };
  bool curve_departs = false;
  const auto toned = [&] {
    const std::vector<double>&mean1 = means->one, &mean2 = means->two, &mean1_2 = means->one2,
                              &mean1_3 = means->one3;
    for (int c = 0; c < nc; ++c) {
      double* const coef = curve.data() + static_cast<std::size_t>(c) * kCurveTerms;
      if (pooled && c > 0) {
        std::copy(curve.data(), curve.data() + kCurveTerms, coef);
        support_lo[c] = support_lo[0];
        support_hi[c] = support_hi[0];
        continue;
      }
      const std::size_t first = pooled ? 0 : c * n_all, last = (pooled ? nc : c + 1) * n_all;
      coef[1] = 1.0;
      double limit = std::numeric_limits<double>::infinity();
      const auto fit_at = [&](std::size_t at) {
        return coef[0] + coef[1] * mean1[at] + coef[2] * mean1_2[at] + coef[3] * mean1_3[at];
      };
      for (int round = 0; round < 3; ++round) {
        double ata[kCurveTerms * kCurveTerms] = {}, atb[kCurveTerms] = {}, k = 0.0;
        for (std::size_t at = first; at < last; ++at) {
          if (std::isnan(mean1[at]) || !(std::fabs(mean2[at] - fit_at(at)) <= limit)) continue;
          const double row[kCurveTerms] = {1.0, mean1[at], mean1_2[at], mean1_3[at]};
          AddNormalRow(row, mean2[at], kCurveTerms, ata, atb);
          k += 1.0;
        }
        if (k < 2 * kMinBlocks || share * k < static_cast<double>(n_all)) return false;
        if (!SolveLinear(ata, atb, kCurveTerms)) return false;
        std::copy(atb, atb + kCurveTerms, coef);
        residual.clear();
        for (std::size_t at = first; at < last; ++at)
          if (!std::isnan(mean1[at])) residual.push_back(std::fabs(mean2[at] - fit_at(at)));
        limit = StrayLimit(&residual);
      }
      curve_spread = std::max(curve_spread, limit);
      if (limit > 0.06) return false;
      support_lo[c] = std::numeric_limits<double>::infinity();
      support_hi[c] = -support_lo[c];
      for (std::size_t at = first; at < last; ++at) {
        if (std::isnan(mean1[at])) continue;
        support_lo[c] = std::min(support_lo[c], mean1[at]);
        support_hi[c] = std::max(support_hi[c], mean1[at]);
      }
      if (!(support_hi[c] > support_lo[c])) return false;
      for (int i = 0; i <= kCurvePoints; ++i) {
        const double x = support_lo[c] + (support_hi[c] - support_lo[c]) * i / kCurvePoints;
        const double d = cubic_slope(coef, x);
        if (!(d > 0.05 && d < 20.0)) return false;
        curve_departs = curve_departs || std::fabs(cubic(coef, x) - x) > 0.01;
      }
    }
    return true;
  };
  // The best of the three: one gain, or the gain over the image where it
  // fits with under half the spread, or the curve where it fits with under
  // half the spread of those (a gamma of 2 on the rendered pairs: 0.05
  // against 0.01).
  enum class Model { kUniform, kField, kCurve } model = Model::kUniform;
  const auto choose = [&] {
    model = Model::kUniform;
    uniform_spread = field_spread = curve_spread = 0.0;
    departs = curve_departs = false;
    double model_spread = std::numeric_limits<double>::infinity();
    if (uniform()) {
      const bool uniform_departs = departs;
      model_spread = uniform_spread;
      if (varying() && field_spread < 0.5 * uniform_spread) {
        model = Model::kField;
        model_spread = field_spread;
      } else {
        departs = uniform_departs;
      }
    } else if (varying()) {
      model = Model::kField;
      model_spread = field_spread;
    }
    const bool others_depart = departs;
    if (toned() && (std::isinf(model_spread) || curve_spread < 0.5 * model_spread)) {
      model = Model::kCurve;
      departs = curve_departs;
    } else if (std::isinf(model_spread)) {
      return false;
    } else {
      departs = others_depart;
    }
    return true;
  };
  if (!choose()) {
    if (!skip_clipped && !(all_usable > 0 && one_sided * 50 >= all_usable)) return false;
    if (!skip_clipped) leave_clipped_out();
    if (!choose()) {
      // A colour channel clipped over most of the image leaves too few
      // blocks of its own: one model for every channel, fitted to all
      // their blocks (an exposure scales them alike).
      if (nc == 1) return false;
      pooled = true;
      if (!choose()) return false;
    }
  }
  const bool uniform_fits = model == Model::kUniform;
  if (!departs) return false;
  // The curve's inverse, channel by channel, tabulated over the values it
  // takes on its support (bisection), and carried on past its ends as the
  // curve is.
  constexpr int kTable = 1024;
  std::vector<double> inverse;
  if (model == Model::kCurve) {
    inverse.resize(static_cast<std::size_t>(nc) * (kTable + 1));
    for (int c = 0; c < nc; ++c) {
      const double t0 = tone(c, support_lo[c]), t1 = tone(c, support_hi[c]);
      for (int i = 0; i <= kTable; ++i) {
        const double t = t0 + (t1 - t0) * i / kTable;
        double a = support_lo[c], b = support_hi[c];
        for (int step = 0; step < 40; ++step) {
          const double mid = 0.5 * (a + b);
          (tone(c, mid) < t ? a : b) = mid;
        }
        inverse[static_cast<std::size_t>(c) * (kTable + 1) + i] = 0.5 * (a + b);
      }
    }
  }
  const auto untone = [&](int c, double t) {
    const double* const coef = curve.data() + static_cast<std::size_t>(c) * kCurveTerms;
    const double t0 = tone(c, support_lo[c]), t1 = tone(c, support_hi[c]);
    if (t <= t0) return support_lo[c] + (t - t0) / cubic_slope(coef, support_lo[c]);
    if (t >= t1) return support_hi[c] + (t - t1) / cubic_slope(coef, support_hi[c]);
    const double at = (t - t0) / (t1 - t0) * kTable;
    const int i = std::min(static_cast<int>(at), kTable - 1);
    const double* const row = inverse.data() + static_cast<std::size_t>(c) * (kTable + 1);
    return row[i] + (at - i) * (row[i + 1] - row[i]);
  };
  *out = AllocScratch<float>(n2 * nc);
  for (int c = 0; c < nc; ++c) {
    const float* const two = planar2.data + c * n2;
    float* const to = out->get() + c * n2;
    if (model == Model::kCurve) {
      for (Index q = 0; q < n2; ++q) to[q] = static_cast<float>(untone(c, two[q]));
      continue;
    }
    if (uniform_fits) {
      const float a = static_cast<float>(1.0 / gain[c]), b = static_cast<float>(offset[c]);
      for (Index q = 0; q < n2; ++q) to[q] = (two[q] - b) * a;
      continue;
    }
    const double* const coef = field.data() + static_cast<std::size_t>(c) * kTerms;
    const float b = static_cast<float>(coef[6]);
    for (int x = 0; x < w2; ++x) {
      for (int y = 0; y < h2; ++y) {
        const Index q = Index{x} * h2 + y;
        to[q] = (two[q] - b) * static_cast<float>(1.0 / field_gain(coef, x, y));
      }
    }
  }
  // Where the clipping is one-sided, both images within the range that both
  // can show, in image 1's values: where image 2 is blown out but image 1
  // shows texture (or image 1 sits at its floor where image 2 shows the
  // shadows), brightness and its gradient cannot agree, and the refinement
  // would pull towards whatever texture lies nearest; clipped alike, both
  // are flat up to the same edge. Image 2 mapped back is clamped to image
  // 1's extremes; image 1 to image 2's extremes mapped back at its match,
  // into `out1` where that clamps a value. (On pairs whose clipping is
  // alike, a chessboard's black squares in both, the clamps only flattened
  // the noise of such areas, and the fit's offset decided by how much.)
  if (!skip_clipped) return true;
  for (int c = 0; c < nc; ++c) {
    float* const to = out->get() + c * n2;
    for (Index q = 0; q < n2; ++q) to[q] = std::min(std::max(to[q], lo1[c]), hi1[c]);
  }
  *out1 = AllocScratch<float>(n1 * nc);
  bool narrower = false;
  for (int c = 0; c < nc; ++c) {
    const double* const coef = field.data() + static_cast<std::size_t>(c) * kTerms;
    for (int x = 0; x < w1; ++x) {
      for (int y = 0; y < h1; ++y) {
        const Index p = Index{x} * h1 + y;
        double g = gain[c], o = offset[c];
        if (model == Model::kField) {
          const bool moved = std::isfinite(u[p]) && std::isfinite(v[p]);
          g = field_gain(coef, moved ? x + u[p] : x, moved ? y + v[p] : y);
          o = coef[6];
        }
        const float one = planar1.data[c * n1 + p];
        const float lo = static_cast<float>(model == Model::kCurve ? untone(c, lo2[c])
                                                                   : (lo2[c] - o) / g);
        const float hi = static_cast<float>(model == Model::kCurve ? untone(c, hi2[c])
                                                                   : (hi2[c] - o) / g);
        const float clamped = std::min(std::max(one, lo), hi);
        narrower = narrower || clamped != one;
        out1->get()[c * n1 + p] = clamped;
      }
    }
  }
  if (!narrower) *out1 = ScratchBlock<float>();
  return true;
}

// One pass: descriptor matches both ways (through `model` and its inverse
// when given, in a window `plan` sized for what they leave), refined on the
// images themselves, each field guided by its matches that the other
// confirms. pause: the refinements stop before their finest scale (where
// they have more than one), left in `pending` for FinishPass.
Fields MatchPass(const Side& side1, const Side& side2, const PlanarImage& planar1,
                 const PlanarImage& planar2, const Plan& plan, const Plan& back_plan,
                 const MatchOptions& o, const Homography* model, const Homography* inverse,
                 bool check, RefineBlocks* blocks, bool pause = false,
                 const Settled* settled = nullptr) {
  g_match_passes.fetch_add(1, std::memory_order_relaxed);
  const int w1 = side1.width, h1 = side1.height, w2 = side2.width, h2 = side2.height;
  const Index n1 = Index{w1} * h1, n2 = Index{w2} * h2;
  const auto poll = [&o] {
    if (o.stop != nullptr && o.stop->StopRequested(true)) throw Stopped();
  };
  // Only the calling thread may reach the host's poll: work beside it polls
  // a token that relays the caller's.
  StopToken relay(RelayStop, o.stop);
  StopToken* const beside_stop = o.stop != nullptr ? &relay : nullptr;
  // The refinements' blocks first: the matches borrow them (see
  // RefineBlocks).
  auto r = std::make_unique<Fields::Refinements>();
  FlowScratch* const scratch = r->scratch = &blocks->scratch;
  FlowScratch* const beside_scratch = r->beside_scratch = &blocks->beside;
  const bool refine = o.flow_warps > 0 && o.flow_fixed_point > 0;
  const RefineBytes sizes = RefineBlockBytes(planar1, planar2, o, check);
  const std::int64_t forward_bytes = sizes.forward, backward_bytes = sizes.backward;
  scratch->Reserve(std::max(forward_bytes, backward_bytes) / Index{sizeof(float)});
  Fields f;
  f.u = AllocScratch<float>(n1);
  f.v = AllocScratch<float>(n1);
  const auto forward_match = [&] {
    if (model != nullptr)
      MatchThrough(side1, planar2, *model, plan, o, scratch, f.u.get(), f.v.get());
    else
      MatchDirection(side1, side2, plan, o, scratch, f.u.get(), f.v.get());
  };
  if (check) {
    f.back_u = AllocScratch<float>(n2);
    f.back_v = AllocScratch<float>(n2);
    MatchOptions back_options = o;
    const auto backward_match = [&](bool beside) {
      back_options.stop = beside ? beside_stop : o.stop;
      FlowScratch* const borrow = beside ? beside_scratch : scratch;
      if (beside) borrow->Reserve(backward_bytes / Index{sizeof(float)});
      if (inverse != nullptr)
        MatchThrough(side2, planar1, *inverse, back_plan, back_options, borrow, f.back_u.get(),
                     f.back_v.get());
      else
        MatchDirection(side2, side1, back_plan, back_options, borrow, f.back_u.get(),
                       f.back_v.get());
    };
    SideBySide(forward_match, backward_match, true, o.stop);
  } else {
    forward_match();
  }
  poll();
  StageClock clock;
  if (refine) {
    const float match_threshold = 1.0f;
    r->weight1 = AllocScratch<float>(n1);
    float* const weight1 = r->weight1.get();
    const int reach = DescriptorReach(o.descriptor);
    const auto forward_weights = [&] {
      MatchWeights(side1, f.u.get(), f.v.get(), f.back_u.get(), f.back_v.get(), w2,
                   h2, match_threshold, reach, weight1);
    };
    // Both weights before either refinement, which moves the fields the
    // other's weights read.
    if (check) {
      r->weight2 = AllocScratch<float>(n2);
      SideBySide(forward_weights, [&](bool) {
        MatchWeights(side2, f.back_u.get(), f.back_v.get(), f.u.get(), f.v.get(), w1,
                     h1, match_threshold, reach, r->weight2.get());
      });
    } else {
      forward_weights();
    }
    poll();
    if (settled != nullptr && (*settled)(f.u.get(), f.v.get(), weight1)) {
      f.settled = true;
      return f;
    }
    // Both refinements compare image 1 with image 2 at its brightness.
    PhotometricMatch(side1, side2, planar1, planar2, f.u.get(), f.v.get(), weight1,
                     &r->matched2, &r->matched1);
    const PlanarImage matched1 = r->Image1(planar1), matched2 = r->Image2(planar2);
    const auto forward = [&] {
      // Image 1's frame shows nothing to match: no data term there, the
      // surrounding motion carried in (on the accuracy command's rendered
      // pairs of a photo with a black edge of its own, 0.04 - 0.74 point
      // more within 1 px).
      Refine(matched1, matched2, o, weight1, scratch, o.stop, f.u.get(), f.v.get(),
             side1.frame.empty() ? nullptr : side1.frame.data(), pause, &r->forward);
    };
    if (check) {
      // One after the other, both refinements share one block of memory.
      // The backward field serves the check and keeps its data on image 2's
      // frame: without them 0.1 - 0.2 point fewer matches beside the frame
      // were confirmed on the rendered pairs, no larger a share of them right.
      const auto backward = [&](bool beside) {
        Refine(matched2, matched1, o, r->weight2.get(), beside ? beside_scratch : scratch,
               beside ? beside_stop : o.stop, f.back_u.get(), f.back_v.get(), nullptr, pause,
               &r->backward);
      };
      // Side by side, each refinement has a block of its own: only where
      // both leave half of the memory free (the other block, if the matches
      // had it, goes back first). The scratch cache's blocks are ours to reuse.
      std::int64_t available = AvailableMemoryBytes();
      if (available >= 0) available += static_cast<std::int64_t>(ScratchCacheBytes());
      const bool beside =
          available < 0 || forward_bytes + backward_bytes <= (available + beside_scratch->bytes()) / 2;
      if (!beside) beside_scratch->Release();
      r->beside = beside;
      SideBySide(forward, backward, beside, o.stop);
      poll();
    } else {
      forward();
    }
    clock.Mark("variational");
  }
  if (r->forward.paused || r->backward.paused) f.pending = std::move(r);
  return f;
}

// Completes the refinements MatchPass paused (its arguments), as they would
// have run.
void FinishPass(const Side& side1, const PlanarImage& planar1, const PlanarImage& planar2,
                const MatchOptions& o, Fields* f) {
  if (!f->pending) return;
  Fields::Refinements& r = *f->pending;
  StopToken relay(RelayStop, o.stop);
  StopToken* const beside_stop = o.stop != nullptr ? &relay : nullptr;
  StageClock clock;
  const PlanarImage matched1 = r.Image1(planar1), matched2 = r.Image2(planar2);
  const auto forward = [&] {
    FinishRefine(matched1, matched2, o, r.weight1.get(), r.scratch, o.stop, f->u.get(), f->v.get(),
                 side1.frame.empty() ? nullptr : side1.frame.data(), &r.forward);
  };
  const auto backward = [&](bool beside) {
    FinishRefine(matched2, matched1, o, r.weight2.get(), beside ? r.beside_scratch : r.scratch,
                 beside ? beside_stop : o.stop, f->back_u.get(), f->back_v.get(), nullptr,
                 &r.backward);
  };
  SideBySide(forward, backward, r.beside, o.stop);
  clock.Mark("variational, finest scale");
  f->pending.reset();
}

// Mean distance of image 1's descriptors at sample points to image 2's where
// `model` takes them, each clipped at `clip`, over the points that both
// models take inside image 2 (and off its frame), so that two models are
// judged on the same pixels; -1 when there are none.
double MeanModelDistance(const Side& side1, const Side& side2, const Homography& model,
                         const Homography& other, int step, float clip) {
  const int w1 = side1.width, h1 = side1.height, w2 = side2.width, h2 = side2.height;
  const Descriptor d1 = side1.descriptor(), d2 = side2.descriptor();
  const std::ptrdiff_t plane1 = PlaneOf(d1), plane2 = PlaneOf(d2);
  const auto target = [&](const Homography& h, int x, int y, Index* q) {
    double ox = 0.0, oy = 0.0;
    if (!h.Apply(x, y, &ox, &oy)) return false;
    const long x2 = std::lround(ox), y2 = std::lround(oy);
    if (!(x2 >= 0 && x2 < w2 && y2 >= 0 && y2 < h2)) return false;
    *q = Index{x2} * h2 + y2;
    return side2.frame.empty() || !side2.frame[*q];
  };
  // Each point's clipped distance in parallel (-1: not judged), then their
  // sum in point order: the same total whatever the thread count.
  const int first = step / 2;
  const int nx = w1 > first ? (w1 - first + step - 1) / step : 0;
  const int ny = h1 > first ? (h1 - first + step - 1) / step : 0;
  std::vector<double> value(static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny));
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int i = 0; i < nx; ++i) {
    const int x = first + i * step;
    for (int j = 0; j < ny; ++j) {
      const int y = first + j * step;
      const Index p = Index{x} * h1 + y;
      double& out = value[static_cast<std::size_t>(i) * ny + j];
      out = -1.0;
      Index q = 0, q_other = 0;
      if ((!side1.frame.empty() && side1.frame[p]) || !target(model, x, y, &q) ||
          !target(other, x, y, &q_other))
        continue;
      double sum = 0.0;
      for (int c = 0; c < d1.feat_dim; ++c) {
        const double diff = double{d1.data[p + c * plane1]} - d2.data[q + c * plane2];
        sum += diff * diff;
      }
      out = std::min(std::sqrt(sum), double{clip});
    }
  }
  double total = 0.0;
  Index count = 0;
  for (const double v : value) {
    if (v < 0.0) continue;
    total += v;
    ++count;
  }
  return count > 0 ? total / static_cast<double>(count) : -1.0;
}

// The homography behind the reliable matches of a refined field (the one at
// least half of them agree with, or one that lays image 1's descriptors onto
// image 2's clearly better than a rival: see FitGlobalMotion), when it
// strays from a translation by more than `tolerance` pixels somewhere in
// image 1 (a fit to a plain translation strays by a pixel or so at the
// corners of a small image) and maps both images in front of each other;
// false otherwise.
bool FindGlobalMotion(const Side& side1, const Side& side2, const float* u, const float* v,
                      const std::uint8_t* valid, double tolerance, Homography* model,
                      Homography* inverse) {
  const int w1 = side1.width, h1 = side1.height, w2 = side2.width, h2 = side2.height;
  const Index n1 = Index{w1} * h1;
  // About 4800 samples at 320 x 240 whatever the image size.
  const int step = std::max(1, static_cast<int>(std::lround(std::sqrt(n1 / 4800.0))));
  std::vector<PointMatch> points;
  for (int x = step / 2; x < w1; x += step) {
    for (int y = step / 2; y < h1; y += step) {
      const Index p = Index{x} * h1 + y;
      if (!valid[p]) continue;
      PointMatch m;
      m.x1 = static_cast<float>(x);
      m.y1 = static_cast<float>(y);
      m.x2 = x + u[p];
      m.y2 = y + v[p];
      points.push_back(m);
    }
  }
  // Too few reliable matches to trust a model of eight parameters.
  if (points.size() < 64) return false;
  HomographyFitParams fit;
  fit.inlier_threshold = 2.0f;
  // Distances of descriptors of unit length lie in [0, 2]; clipped at 1, a
  // few pixels that match under neither model do not drown the rest.
  const ModelDisagreement disagreement = [&](const Homography& m, const Homography& rival) {
    return MeanModelDistance(side1, side2, m, rival, step, 1.0f);
  };
  if (!FitGlobalMotion(points, fit, disagreement, model)) return false;
  if (!model->Inverse(inverse)) return false;
  return DepartureFromTranslation(*model, w1, h1) > tolerance &&
         std::isfinite(DepartureFromTranslation(*inverse, w2, h2));
}

}  // namespace

namespace {

// The inside median of MedianField for one column: n entries of the
// interleaved (dx, dy) field, entry i between i - 2 and i + 2 of its own
// axis in the columns left (c0), own (c1) and right (c2). Loops over
// independent entries with no branch, so that they run in vectors.
DENSECORR_WIDE_CLONES
void MedianColumn(const int* __restrict c0, const int* __restrict c1, const int* __restrict c2,
                  int n, int* __restrict dst) {
  const auto med3 = [](int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
  };
  for (int i = 0; i < n; ++i) {
    const int* col[3] = {c0, c1, c2};
    int lo[3], mid[3], hi[3];
    for (int k = 0; k < 3; ++k) {
      const int a = col[k][i - 2], b = col[k][i], c = col[k][i + 2];
      lo[k] = std::min(std::min(a, b), c);
      hi[k] = std::max(std::max(a, b), c);
      mid[k] = med3(a, b, c);
    }
    dst[i] = med3(std::max(std::max(lo[0], lo[1]), lo[2]), med3(mid[0], mid[1], mid[2]),
                  std::min(std::min(hi[0], hi[1]), hi[2]));
  }
}

}  // namespace

// Inside, the median of nine comes from each column's sorted three (the
// largest of the minima, the median of the medians, the smallest of the
// maxima, and their median): branch-free, and exact like any selection.
void MedianField(const int* in, int width, int height, int* out) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < width; ++x) {
    const auto general = [&](int y) {
      int values[9];
      for (int axis = 0; axis < 2; ++axis) {
        int count = 0;
        for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx)
          for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, height - 1); ++yy)
            values[count++] = in[2 * (Index{xx} * height + yy) + axis];
        std::nth_element(values, values + count / 2, values + count);
        out[2 * (Index{x} * height + y) + axis] = values[count / 2];
      }
    };
    if (x == 0 || x + 1 >= width || height < 3) {
      for (int y = 0; y < height; ++y) general(y);
      continue;
    }
    general(0);
    const Index first = 2 * (Index{x} * height + 1), column = 2 * Index{height};
    MedianColumn(in + first - column, in + first, in + first + column, 2 * (height - 2),
                 out + first);
    general(height - 1);
  }
}

// Between two valid pixels of its row, an occluded pixel shows the surface
// behind (the one that moves less). With valid pixels on one side only
// there is no such choice: copying that side's value, a constant, into a
// slanted surface's gap erred by the slope times the distance where the
// pixel's own refined value mostly held (ten rendered slanted pairs: 99.24
// -> 99.38 % within 1 px; layered scenes and the stereo pair gained too).
void FillFromTheBackground(int w, int h, const std::uint8_t* valid, float* dx) {
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    std::vector<float> left(static_cast<std::size_t>(w));
    std::vector<std::uint8_t> has_left(static_cast<std::size_t>(w));
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
    for (int y = 0; y < h; ++y) {
      bool seen = false;
      float last = 0.0f;
      for (int x = 0; x < w; ++x) {
        const Index p = Index{x} * h + y;
        if (valid[p]) {
          seen = true;
          last = dx[p];
        }
        left[x] = last;
        has_left[x] = seen;
      }
      seen = false;
      for (int x = w - 1; x >= 0; --x) {
        const Index p = Index{x} * h + y;
        if (valid[p]) {
          seen = true;
          last = dx[p];
          continue;
        }
        if (has_left[x] && seen) dx[p] = std::fabs(left[x]) <= std::fabs(last) ? left[x] : last;
      }
    }
  }
}

// One pass instead of RunPixelMatch and ParabolaStep: the search's fused
// driver had only nine offsets a pixel to spread its set-up over, and the
// parabola's distances at the winner's neighbours are mostly among the nine
// (the winner is usually the centre). Its sums are the kernels' (each adds
// its channels in order), so the bits are the same.
void LastSearchAndParabola(const Descriptor& d1, const Descriptor& d2, const int* field,
                           float deform_coeff, float outside_cost, StopToken* stop, float* u,
                           float* v) {
  const int w = d1.width, h = d1.height, w2 = d2.width, h2 = d2.height;
  const Index n1 = PlaneOf(d1), n2 = PlaneOf(d2);
  float penalty[9];
  for (int k = 0; k < 9; ++k) {
    const float sx = std::fabs(static_cast<float>(k / 3 - 1));
    const float sy = std::fabs(static_cast<float>(k % 3 - 1));
    penalty[k] = (sx + sy) * deform_coeff;
  }
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kOutside = -1.0f;  // the sum of a candidate outside image 2
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
    std::vector<float> sums(9 * std::size_t(h));
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
    for (int x = 0; x < w; ++x) {
      if (StopNow(stop)) continue;
      const int* disp = field + 2 * Index{x} * h;
      const float* column = d1.data + Index{x} * h;
      const auto target = [&](int y) {
        return d2.data + (Index{x + disp[2 * y]} * h2 + (y + disp[2 * y + 1]));
      };
      // Whether rows ty - 1 .. ty + last + 1 of columns tx - 1 .. tx + 1
      // around row y's target lie inside d2.
      const auto interior = [&](int y, int last) {
        const int tx = x + disp[2 * y], ty = y + disp[2 * y + 1];
        return tx >= 1 && tx + 1 < w2 && ty >= 1 && ty + last + 1 < h2;
      };
      for (int y = 0; y < h;) {
        float* const out = sums.data() + 9 * Index{y};
#if defined(__SSE2__)
        if (y + 4 <= h && interior(y, 4)) {
          bool one = true;
          for (int p = 1; p < 4 && one; ++p)
            one = disp[2 * (y + p)] == disp[2 * y] && disp[2 * (y + p) + 1] == disp[2 * y + 1];
          if (one) {
            float four[36];
            WindowSums4(column + y, target(y), h2, n1, n2, d1.feat_dim, four);
            for (int p = 0; p < 4; ++p)
              for (int k = 0; k < 9; ++k) out[9 * p + k] = four[4 * k + p];
            y += 4;
            continue;
          }
        }
#endif
        if (interior(y, 1)) {
          WindowSums(column + y, target(y), h2, n1, n2, d1.feat_dim, out);
        } else {
          for (int k = 0; k < 9; ++k) {
            const int tx = x + disp[2 * y] + k / 3 - 1, ty = y + disp[2 * y + 1] + k % 3 - 1;
            out[k] = tx >= 0 && tx < w2 && ty >= 0 && ty < h2
                         ? SquaredSum(column + y, d2.data + (Index{tx} * h2 + ty), n1, n2,
                                      d1.feat_dim)
                         : kOutside;
          }
        }
        ++y;
      }
      for (int y = 0; y < h; ++y) {
        const float* const sum = sums.data() + 9 * Index{y};
        bool inside[9];
        float dist[9];
        for (int k = 0; k < 9; ++k) {
          inside[k] = sum[k] != kOutside;
          dist[k] = inside[k] ? std::sqrt(sum[k]) : outside_cost;
        }
        // Strict and ordered, as the selection's: the first lowest total
        // wins, and not a number never does.
        float lowest = std::numeric_limits<float>::max(), cost = kInf;
        int best = -1;
        for (int k = 0; k < 9; ++k) {
          const float value = dist[k];
          const float total = value + penalty[k];
          if (total < lowest) {
            lowest = total;
            best = k;
            cost = value;
          }
        }
        const int bx = best < 0 ? 0 : best / 3 - 1, by = best < 0 ? 0 : best % 3 - 1;
        const int dx = WrappingAdd(disp[2 * y], bx), dy = WrappingAdd(disp[2 * y + 1], by);
        // The winner's neighbour (bx + ox, by + oy): from the window where it
        // lies in it, else measured; +Inf outside image 2.
        const auto neighbour = [&](int ox, int oy) {
          const int nx = bx + ox, ny = by + oy;
          if (nx >= -1 && nx <= 1 && ny >= -1 && ny <= 1) {
            const int k = 3 * (nx + 1) + (ny + 1);
            return inside[k] ? dist[k] : kInf;
          }
          const int tx = x + dx + ox, ty = y + dy + oy;
          if (tx < 0 || tx >= w2 || ty < 0 || ty >= h2) return kInf;
          return std::sqrt(
              SquaredSum(column + y, d2.data + (Index{tx} * h2 + ty), n1, n2, d1.feat_dim));
        };
        const Index p = Index{x} * h + y;
        u[p] = static_cast<float>(dx) + ParabolaOffset(neighbour(-1, 0), cost, neighbour(1, 0));
        v[p] = static_cast<float>(dy) + ParabolaOffset(neighbour(0, -1), cost, neighbour(0, 1));
      }
    }
  }
  ThrowIfStopped(stop);
}

namespace {

// Both images described once for the call (a second try with a wider window
// reads the same descriptors): the options with the cell size chosen, and
// the pixel values the continuous refinement compares, colour where both
// images have it, grey otherwise.
struct Described {
  MatchOptions options;
  int feat_dim = 0;
  Side side1, side2;
  ScratchBlock<float> grey1, grey2;
  RefineBlocks blocks;  // reserved before the descriptors, which borrow them
  PlanarImage planar1() const {
    return grey1 ? PlanarImage{grey1.get(), side1.width, side1.height, 1} : side1.planar();
  }
  PlanarImage planar2() const {
    return grey2 ? PlanarImage{grey2.get(), side2.width, side2.height, 1} : side2.planar();
  }
};

void Describe(const ImageView& image1, const ImageView& image2, const MatchOptions& given,
              Described* d) {
  const Plan plan = MakePlan(image1, image2, given);
  MatchOptions& options = d->options;
  options = given;
  if (options.descriptor.cell_size == 0)
    options.descriptor.cell_size = std::min(16, std::max(3, (3 * plan.grid + 2) / 4));
  const int feat_dim = DescriptorChannels(options.descriptor);
  Require(feat_dim >= 1 && feat_dim <= 128,
          "descriptor has more than 128 channels (n_orientations * grid_cells^2)");
  d->feat_dim = feat_dim;
  if (options.stop != nullptr && options.stop->StopRequested(true)) throw Stopped();
  StageClock clock;
  StopToken relay(RelayStop, options.stop);
  const auto lengths = [](Side& side) {
    side.length2 = AllocScratch<float>(Index{side.width} * side.height);
    SquaredLengths(side.descriptor(), side.length2.get());
  };
  // The refinements' blocks as the first pass will reserve them (its
  // planes: colour where both images have it, grey otherwise).
  const int nc = image1.channels == image2.channels ? image1.channels : 1;
  const RefineBytes sizes = RefineBlockBytes(
      PlanarImage{nullptr, image1.width, image1.height, nc},
      PlanarImage{nullptr, image2.width, image2.height, nc}, options,
      options.consistency_threshold > 0.0f);
  d->blocks.scratch.Reserve(std::max(sizes.forward, sizes.backward) / Index{sizeof(float)});
  SideBySide(
      [&] {
        d->side1 = PrepareSide(image1, options.descriptor, feat_dim, options.fill_frame,
                               options.stop, &d->blocks.scratch);
        lengths(d->side1);
      },
      [&](bool beside) {
        // Beside the first, as the backward match will run.
        FlowScratch* const lend = beside ? &d->blocks.beside : &d->blocks.scratch;
        if (beside) lend->Reserve(sizes.backward / Index{sizeof(float)});
        d->side2 = PrepareSide(image2, options.descriptor, feat_dim, options.fill_frame,
                               beside && options.stop != nullptr ? &relay : options.stop, lend);
        lengths(d->side2);
      },
      true, options.stop);
  clock.Mark("describe");
  if (d->side1.channels != d->side2.channels) {
    if (d->side1.channels == 3)
      d->grey1 = GreyOf(d->side1);
    else
      d->grey2 = GreyOf(d->side2);
  }
}

// One whole match of the described images within the window (radius_x,
// radius_y; negative: chosen from the image size). With `settled`, the first
// pass asks it after its matches whether to go on; where it says no, an
// empty result and *stopped_settled set. With `start`, the first pass sees
// each image from the other's frame through that homography (and its
// inverse), in the window chosen for the image's own size.
MatchResult MatchWithin(const ImageView& image1, const ImageView& image2, Described& d,
                        int radius_x, int radius_y, const Settled* settled = nullptr,
                        bool* stopped_settled = nullptr, const Homography* start = nullptr) {
  MatchOptions options = d.options;
  options.search_radius_x = radius_x;
  options.search_radius_y = radius_y;
  Homography start_inverse;
  if (start != nullptr && !start->Inverse(&start_inverse)) return MatchResult();
  const Plan plan = MakePlan(image1, start != nullptr ? image1 : image2, options);
  // Between stages the call polls its caller; inside the cell-cost and
  // pixel-search passes their drivers do.
  const auto poll = [&options] {
    if (options.stop != nullptr && options.stop->StopRequested(true)) throw Stopped();
  };
  poll();
  const Side& side1 = d.side1;
  const Side& side2 = d.side2;
  const PlanarImage planar1 = d.planar1(), planar2 = d.planar2();

  const Index n1 = Index{image1.width} * image1.height;
  const Index n2 = Index{image2.width} * image2.height;
  const int w1 = image1.width, h1 = image1.height, w2 = image2.width, h2 = image2.height;
  const bool check = options.consistency_threshold > 0.0f;
  Plan back_plan = MakePlan(image2, start != nullptr ? image2 : image1, options);
  if (start == nullptr) {
    back_plan.radius_x = plan.radius_x;
    back_plan.radius_y = plan.radius_y;
  }
  poll();
  // Where a second pass may follow, the global motion is judged on the
  // fields refined through every scale but the finest, and the finest scale
  // (a third of the refinement's time) is paid for only where no second
  // pass follows. Against the finished fields, on 58 pairs (the accuracy
  // command's and two more): the same decision on each, the viewpoint pairs
  // as accurate.
  const bool may_move = check && options.global_motion && !options.rectified;
  Fields f = MatchPass(side1, side2, planar1, planar2, plan, back_plan, options, start,
                       start != nullptr ? &start_inverse : nullptr, check, &d.blocks, may_move,
                       settled);
  if (f.settled) {
    if (stopped_settled != nullptr) *stopped_settled = true;
    return MatchResult();
  }
  std::vector<std::uint8_t> valid(n1, 0);
  CheckField(f.u.get(), f.v.get(), f.back_u.get(), f.back_v.get(), w1, h1, w2, h2,
             options.consistency_threshold, valid.data());

  // A change of viewpoint that one homography explains: a second pass with
  // each image seen from the other's frame, in a window sized for what the
  // homography leaves (a quarter of the first, at least two translation
  // steps). Each pixel keeps the second pass's match where that one holds or
  // the first's does not.
  Homography model, inverse;
  StageClock clock2;
  // The second pass pays where the descriptor's lack of rotation and scale
  // invariance bites: from about 6 degrees of rotation or a zoom of 1.08 on
  // rendered pairs, where the corners stray by 8 % of the half-diagonal.
  // Below 5 % (3 degrees) the first pass is as good alone, and a stereo pair,
  // whose background plane strays by a few pixels, would pay twice the time
  // for a few tenths of a point.
  const double half_diagonal = 0.5 * std::hypot(static_cast<double>(w1), static_cast<double>(h1));
  const double tolerance = std::max({static_cast<double>(plan.grid), 3.0, 0.05 * half_diagonal});
  const bool moved = may_move && FindGlobalMotion(side1, side2, f.u.get(), f.v.get(),
                                                  valid.data(), tolerance, &model, &inverse);
  clock2.Mark("global fit");
  if (!moved && f.pending) {
    FinishPass(side1, planar1, planar2, options, &f);
    CheckField(f.u.get(), f.v.get(), f.back_u.get(), f.back_v.get(), w1, h1, w2, h2,
               options.consistency_threshold, valid.data());
  }
  // The paused refinements end here; their blocks, the call's, serve the
  // second pass.
  f.pending.reset();
  if (moved) {
    const auto residual = [](Plan p) {
      const int reach = std::max(2 * p.grid, std::max(p.radius_x, p.radius_y) / 4);
      const int rounded = (reach + p.grid - 1) / p.grid * p.grid;
      p.radius_x = std::min(p.radius_x, rounded);
      p.radius_y = std::min(p.radius_y, rounded);
      return p;
    };
    const Plan plan2 = residual(MakePlan(image1, image1, options));
    const Plan back_plan2 = residual(MakePlan(image2, image2, options));
    // The matches through the homography leave no large displacement for
    // the refinement's coarse scales to carry; there the images, blurred
    // and small, only pulled the field off them (a repeated facade by whole
    // periods, a tilted plane's far side by pixels). So this pass refines at
    // the two finest scales, the coarser of them still held by its matches.
    MatchOptions second = options;
    second.flow_scales = std::min(options.flow_scales, 2);
    Fields g = MatchPass(side1, side2, planar1, planar2, plan2, back_plan2, second, &model,
                         &inverse, check, &d.blocks);
    std::vector<std::uint8_t> valid2(n1, 0), back_valid(n2, 0), back_valid2(n2, 0);
    CheckField(g.u.get(), g.v.get(), g.back_u.get(), g.back_v.get(), w1, h1, w2, h2,
               options.consistency_threshold, valid2.data());
    CheckField(f.back_u.get(), f.back_v.get(), f.u.get(), f.v.get(), w2, h2, w1, h1,
               options.consistency_threshold, back_valid.data());
    CheckField(g.back_u.get(), g.back_v.get(), g.u.get(), g.v.get(), w2, h2, w1, h1,
               options.consistency_threshold, back_valid2.data());
    // The first pass's fields stopped before the refinement's last step,
    // which replaces values that are not finite: such a pixel never passes
    // the check, so none of them is kept here.
    for (Index p = 0; p < n1; ++p) {
      if (valid2[p] || !valid[p]) {
        f.u[p] = g.u[p];
        f.v[p] = g.v[p];
      }
    }
    for (Index p = 0; p < n2; ++p) {
      if (back_valid2[p] || !back_valid[p]) {
        f.back_u[p] = g.back_u[p];
        f.back_v[p] = g.back_v[p];
      }
    }
    clock2.Mark("second pass");
  }

  poll();
  MatchResult result;
  result.width = w1;
  result.height = h1;
  result.dx.assign(f.u.get(), f.u.get() + n1);
  result.dy.assign(f.v.get(), f.v.get() + n1);
  result.cost.assign(n1, 0.0f);
  if (moved) {
    result.valid.assign(n1, 0);
    CheckField(f.u.get(), f.v.get(), f.back_u.get(), f.back_v.get(), w1, h1, w2, h2,
               options.consistency_threshold, result.valid.data());
  } else {
    result.valid = std::move(valid);  // the fields it checked are the result
  }
  // A frame pixel shows nothing to match, a match on image 2's frame nothing
  // that image 1 shows.
  const auto drop_frame = [&] {
    if (side1.frame.empty() && side2.frame.empty()) return;
    for (int x = 0; x < w1; ++x) {
      for (int y = 0; y < h1; ++y) {
        const Index p = Index{x} * h1 + y;
        if (!result.valid[p]) continue;
        if (!side1.frame.empty() && side1.frame[p]) {
          result.valid[p] = 0;
        } else if (!side2.frame.empty()) {
          // Valid matches lie inside image 2.
          const long x2 = std::lround(x + result.dx[p]), y2 = std::lround(y + result.dy[p]);
          if (side2.frame[x2 * h2 + y2]) result.valid[p] = 0;
        }
      }
    }
  };
  drop_frame();

  if (options.rectified) {
    FillFromTheBackground(w1, h1, result.valid.data(), result.dx.data());
    if (options.median_radius > 0) {
      EdgeMedianParams median;
      median.radius = options.median_radius;
      EdgeAwareMedian(planar1.data, planar1.channels, w1, h1, median, result.dx.data(),
                      options.stop);
    }
    if (options.snap_radius > 0) {
      EdgeSnapParams snap;
      snap.radius = options.snap_radius;
      SnapToEdges(planar1.data, w1, h1, planar2.data, w2, h2, planar1.channels,
                  result.valid.data(), snap, result.dx.data(), options.stop);
    }
    // The edge steps move valid matches too (to a neighbour's disparity, which
    // near image 2's edge may lead out of it): one that now leaves image 2, or
    // lands on its frame, loses its flag. (The consistency stays that of the
    // field the steps started from, as for the pixels they fill.)
    std::vector<std::uint8_t> still(n1, 0);
    CheckField(result.dx.data(), result.dy.data(), nullptr, nullptr, w1, h1, w2, h2,
               options.consistency_threshold, still.data());
    for (Index p = 0; p < n1; ++p) result.valid[p] = result.valid[p] & still[p];
    drop_frame();
  }

  // The descriptor distance at each match rounded to whole pixels; +Inf
  // where it leaves image 2.
  const Descriptor d1 = side1.descriptor(), d2 = side2.descriptor();
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
  ColumnScratch s(h1);
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
  for (int x = 0; x < w1; ++x) {
    if (StopNow(options.stop)) continue;
    for (int y = 0; y < h1; ++y) {
      const Index p = Index{x} * h1 + y;
      const float x2 = x + result.dx[p], y2 = y + result.dy[p];
      const bool inside = x2 >= 0.0f && x2 <= w2 - 1.0f && y2 >= 0.0f && y2 <= h2 - 1.0f;
      s.qx[y] = inside ? static_cast<int>(std::lround(x2)) : -1;
      s.qy[y] = inside ? static_cast<int>(std::lround(y2)) : -1;
    }
    ColumnDistances(d1, d2, x, s.qx.data(), s.qy.data(), s.sum.data(),
                    result.cost.data() + Index{x} * h1);
  }
  }
  ThrowIfStopped(options.stop);
  return result;
}

// Image 1's pixels whose descriptor is not flat (squared length at least
// 1/2; root-normalised vectors of texture have length 1): a flat area's
// matches cost nothing and pass the check wherever the field is smooth, so
// they say nothing about whether a window found the motion.
std::vector<std::uint8_t> TexturedPixels(const Side& side) {
  const Index n = Index{side.width} * side.height;
  std::vector<std::uint8_t> textured(static_cast<std::size_t>(n));
  for (Index p = 0; p < n; ++p) textured[p] = side.length2[p] >= 0.5f;
  return textured;
}

// The middle value of values[0 .. count) (reordered), count > 0.
float Median(float* values, Index count) {
  float* const middle = values + count / 2;
  std::nth_element(values, middle, values + count);
  return *middle;
}

Index Confirmed(const MatchResult& r, const std::vector<std::uint8_t>& textured) {
  Index count = 0;
  for (std::size_t p = 0; p < r.valid.size(); ++p) count += r.valid[p] && textured[p];
  return count;
}

// The median descriptor distance of the confirmed matches on texture (+inf:
// none). (Its buffer comes from the scratch blocks kept between calls: a
// fresh one costs a page fault per 4 kB.)
float MedianConfirmedCost(const MatchResult& r, const std::vector<std::uint8_t>& textured) {
  auto costs = AllocScratch<float>(static_cast<std::int64_t>(r.valid.size()));
  Index count = 0;
  for (std::size_t p = 0; p < r.valid.size(); ++p) {
    if (r.valid[p] && textured[p]) costs[count++] = r.cost[p];
  }
  return count == 0 ? std::numeric_limits<float>::infinity() : Median(costs.get(), count);
}

// Whether the median displacement of the confirmed matches on texture
// reaches 3/4 of the window on either axis: the motion may lie beyond it,
// and what the window found at its edge may be a repeated structure a
// period short of it (a facade panned by 112 px against an 80 px window:
// half the pixels confirmed a period off, their median distance just below
// the clip or just above it as the settings moved). On the evaluation's
// pairs whose motion lies inside the window the median stays below 0.45 of
// it.
bool AtWindowEdge(const MatchResult& r, const std::vector<std::uint8_t>& textured, int radius_x,
                  int radius_y) {
  const auto n = static_cast<std::int64_t>(r.valid.size());
  auto ax = AllocScratch<float>(n), ay = AllocScratch<float>(n);
  Index count = 0;
  for (std::size_t p = 0; p < r.valid.size(); ++p) {
    if (!r.valid[p] || !textured[p]) continue;
    ax[count] = std::fabs(r.dx[p]);
    ay[count++] = std::fabs(r.dy[p]);
  }
  if (count == 0) return false;
  return Median(ax.get(), count) >= 0.75f * radius_x ||
         Median(ay.get(), count) >= 0.75f * radius_y;
}

// Whether confirmed matches on texture agree: a quarter of the textured
// pixels or more (`confirmed` of `n_textured`), at a median distance below
// the cell costs' clip.
bool Agree(Index confirmed, float median, Index n_textured, float clip) {
  return confirmed * 4 >= n_textured && median < clip;
}

bool AgreeAligned(const Described& d, const MatchResult& r,
                  const std::vector<std::uint8_t>& textured, float clip,
                  Homography* fitted = nullptr);

// AgreeAligned's answer for one match, kept for the steps after the one
// that measured it: each measure warps image 2 and describes it again.
struct AlignedVerdict {
  bool measured = false;
  bool agrees = false;
  Homography fitted;  // the homography the matches fit (where one does)
};

// AgreeAligned through `verdict`: measured the first time only. The
// verdict belongs to one match and one description of the images.
bool AgreeAlignedOnce(const Described& d, const MatchResult& r,
                      const std::vector<std::uint8_t>& textured, float clip,
                      AlignedVerdict* verdict) {
  if (!verdict->measured) {
    verdict->agrees = AgreeAligned(d, r, textured, clip, &verdict->fitted);
    verdict->measured = true;
  }
  return verdict->agrees;
}

// Agree, or matches that confirm a quarter of the textured pixels at
// distances past the clip but agree where the images are aligned
// (AgreeAligned, through `verdict`): a turn of the camera with a tilt
// changes the descriptors even where the match is right, and neither a
// wider window nor a smoother descriptor helps there.
bool AgreesAsSeenOrAligned(const Described& d, const MatchResult& r,
                           const std::vector<std::uint8_t>& textured, Index confirmed,
                           float median, Index n_textured, float clip,
                           AlignedVerdict* verdict) {
  return confirmed * 4 >= n_textured &&
         (median < clip || AgreeAlignedOnce(d, r, textured, clip, verdict));
}

// The match of the described images in the window chosen from the image
// size and, where that one misses, in twice that window. `textured` receives
// image 1's textured pixels wherever the check is on (else empty), *aligned
// the aligned agreement of the match returned where it was measured.
MatchResult MatchWithWindows(const ImageView& image1, const ImageView& image2,
                             const MatchOptions& given, Described& described,
                             std::vector<std::uint8_t>* textured_out, AlignedVerdict* aligned) {
  *aligned = AlignedVerdict();
  MatchResult result = MatchWithin(image1, image2, described, given.search_radius_x,
                                   given.search_radius_y);
  // A window chosen from the image size misses displacements beyond it (a
  // pan across a scene, a wide shift): fewer than a quarter of image 1's
  // pixels of texture then find a confirmed match, or those that do pair
  // descriptors that disagree (their median distance at the cell costs'
  // clip or beyond, where a distance says nothing), or they crowd the
  // window's edge (AtWindowEdge). Their distances do not tell a pan the
  // window found from a repeated structure matched a period short of a pan
  // beyond it: both hold them at a fifth to a half of the clip (a rendered
  // pan of a facade by 105 px, in a window of 80, matched 43 % of the
  // pixels a period short). One more try with twice the window is kept
  // if its descriptors agree and it confirms more, or the first's did not
  // agree, or its median distance is a fifth lower or more (a repeated
  // structure a period short can confirm more pixels than the true motion,
  // at distances twice as high). Without the agreement test a
  // mirror-symmetric object, whose halves look alike, lent half of one view
  // to the other's far side; counting flat areas, whose matches cost nothing,
  // it paired two flat backgrounds. A window the caller gave, a rectified
  // pair or a call without the check stays as it is.
  if (!(given.consistency_threshold > 0.0f)) return result;
  std::vector<std::uint8_t>& textured = *textured_out;
  textured = TexturedPixels(described.side1);
  if (given.search_radius_x >= 0 || given.search_radius_y >= 0 || given.rectified) return result;
  const Index confirmed = Confirmed(result, textured);
  const float median = MedianConfirmedCost(result, textured);
  const Plan plan = MakePlan(image1, image2, given);
  const Index n_textured = std::count(textured.begin(), textured.end(), std::uint8_t{1});
  const bool agree = AgreesAsSeenOrAligned(described, result, textured, confirmed, median,
                                           n_textured, given.cell_truncate, aligned);
  if (agree && !AtWindowEdge(result, textured, plan.radius_x, plan.radius_y)) return result;
  MatchOptions wider = given;
  wider.search_radius_x = 2 * plan.radius_x;
  wider.search_radius_y = 2 * plan.radius_y;
  const Plan wide = MakePlan(image1, image2, wider);
  if (wide.radius_x <= plan.radius_x && wide.radius_y <= plan.radius_y) return result;
  // Matches that agreed but crowd the window's edge: the wider try goes on
  // past its matches only where fewer than 85 % of its reliable ones on
  // texture lie within 1.5 px of the first result (the pans the window
  // found: 89 - 99.8 %; the facade matched a period short: 39 %). The
  // refinement and second pass it then saves are most of a match's time.
  const Settled same_motion = [&](const float* u, const float* v, const float* weight) {
    Index reliable = 0, same = 0;
    for (std::size_t p = 0; p < result.dx.size(); ++p) {
      if (!(weight[p] >= 0.5f)) continue;
      ++reliable;
      same += std::fabs(u[p] - result.dx[p]) <= 1.5f && std::fabs(v[p] - result.dy[p]) <= 1.5f;
    }
    return reliable > 0 && 20 * same >= 17 * reliable;
  };
  bool settled = false;
  MatchResult second =
      MatchWithin(image1, image2, described, wider.search_radius_x, wider.search_radius_y,
                  agree ? &same_motion : nullptr, &settled);
  if (settled) return result;
  const float second_median = MedianConfirmedCost(second, textured);
  const bool better = second_median < given.cell_truncate &&
                      (Confirmed(second, textured) > confirmed || !(median < given.cell_truncate) ||
                       second_median <= 0.8f * median);
  if (!better) return result;
  *aligned = AlignedVerdict();
  return second;
}

// What MatchUpright leaves for the judgement of its match, which would
// otherwise describe both images and measure the aligned agreement again.
struct UprightNotes {
  // The images described with the caller's options, where the match came
  // from that description (else null).
  std::unique_ptr<Described> described;
  AlignedVerdict aligned;  // of the match returned, by that description
};

// The match as the images are (no turn): the window chosen from the image
// size, then a wider one and a smoother descriptor where those miss.
// `textured` as MatchWithWindows leaves it.
MatchResult MatchUpright(const ImageView& image1, const ImageView& image2,
                         const MatchOptions& given, std::vector<std::uint8_t>* textured_out,
                         UprightNotes* notes) {
  // Above the working size (images over about 360 px) the automatic cells
  // grow with the grid while the pre-smoothing stays at its pixel scale, so
  // the descriptor sees finer structure than at 320 px, and fine texture
  // changes under a turn: a 25-degree view of an aerial photo at 640 px
  // confirmed too few matches in either window for the global motion
  // (13.9 % within 1 px; 100 % at 320 px). Smoothing in proportion to the
  // cells for every pair cost the rendered warps and field pairs at 640 px
  // 0.1 - 0.6 point, so where neither window's matches agree, one more try
  // with the descriptor scaled as a whole, in the windows as the first, is
  // kept if its median distance lies below the clip and it confirms more.
  // (A real pan of 34 % of the width, with a third of the view in common
  // and a camera turned about its centre, confirmed 11 % of the textured
  // pixels at 640 px in the wider window, 21 % with the smoother descriptor
  // there; neither a quarter.) Calls that fix the cell size, the window or
  // the stereo mode, or turn the check off, stay as they are.
  const float sigma = given.descriptor.smoothing_sigma;
  float smoother_sigma = sigma;
  MatchResult result;
  std::vector<std::uint8_t>& textured = *textured_out;
  {
    auto described = std::make_unique<Described>();
    Describe(image1, image2, given, described.get());
    result = MatchWithWindows(image1, image2, given, *described, &textured, &notes->aligned);
    const float scale = static_cast<float>(described->options.descriptor.cell_size) / 3.0f;
    smoother_sigma = std::min(10.0f, sigma * scale);
    const bool may_retry = given.descriptor.cell_size == 0 && smoother_sigma > sigma &&
                           given.search_radius_x < 0 && given.search_radius_y < 0 &&
                           !given.rectified && given.consistency_threshold > 0.0f;
    // (The check is on, so `textured` is there.)
    const bool keep =
        !may_retry ||
        AgreesAsSeenOrAligned(*described, result, textured, Confirmed(result, textured),
                              MedianConfirmedCost(result, textured),
                              std::count(textured.begin(), textured.end(), std::uint8_t{1}),
                              given.cell_truncate, &notes->aligned);
    if (keep) {
      notes->described = std::move(described);
      return result;
    }
    // (Freed before the smoother description: the two are not held at once.)
  }
  MatchOptions smoother = given;
  smoother.descriptor.smoothing_sigma = smoother_sigma;
  Described described;
  Describe(image1, image2, smoother, &described);
  std::vector<std::uint8_t> judged;  // (by the smoother descriptor)
  AlignedVerdict smoother_aligned;   // (likewise)
  MatchResult third =
      MatchWithWindows(image1, image2, smoother, described, &judged, &smoother_aligned);
  const bool better = MedianConfirmedCost(third, textured) < given.cell_truncate &&
                      Confirmed(third, textured) > Confirmed(result, textured);
  if (!better) return result;
  notes->aligned = AlignedVerdict();
  return third;
}

// A homography between images at half size as one between the images
// themselves: a half-size pixel x is the full-size 2 x + 1/2.
Homography Doubled(const Homography& half) {
  // full = A half A^-1, A = [2 0 1/2; 0 2 1/2; 0 0 1].
  const double* m = half.h;
  double left[9];  // A m
  for (int c = 0; c < 3; ++c) {
    left[c] = 2.0 * m[c] + 0.5 * m[6 + c];
    left[3 + c] = 2.0 * m[3 + c] + 0.5 * m[6 + c];
    left[6 + c] = m[6 + c];
  }
  Homography full;
  for (int r = 0; r < 3; ++r) {
    // (A m) A^-1, A^-1 = [1/2 0 -1/4; 0 1/2 -1/4; 0 0 1].
    full.h[3 * r] = 0.5 * left[3 * r];
    full.h[3 * r + 1] = 0.5 * left[3 * r + 1];
    full.h[3 * r + 2] = -0.25 * (left[3 * r] + left[3 * r + 1]) + left[3 * r + 2];
  }
  return full;
}

// Image 1's centre to image 2's, turned by `eighths` eighths of a full turn
// (exact at the quarter turns).
Homography TurnAbout(int eighths, double zoom, const ImageView& image1, const ImageView& image2) {
  const double half = std::sqrt(0.5);
  const double cosines[8] = {1.0, half, 0.0, -half, -1.0, -half, 0.0, half};
  const double c = zoom * cosines[eighths & 7], s = zoom * cosines[(eighths + 6) & 7];
  const double x1 = 0.5 * (image1.width - 1), y1 = 0.5 * (image1.height - 1);
  const double x2 = 0.5 * (image2.width - 1), y2 = 0.5 * (image2.height - 1);
  Homography turn;
  const double h[9] = {c, -s, x2 - (c * x1 - s * y1), s, c, y2 - (s * x1 + c * y1), 0.0, 0.0, 1.0};
  std::copy(h, h + 9, turn.h);
  return turn;
}

// The descriptor distances of a field's valid matches on texture where the
// images are aligned: image 2 seen in image 1's frame through the
// homography that those matches fit (else `fallback`; neither: none),
// described again, each match compared there with image 1's pixel. A right
// match pairs like descriptors; a field that only kept to a view's motion,
// consistent both ways over two unrelated images, pairs unlike ones. Into
// costs (image 1's size); returns their number. *used (if given): the
// homography they were measured through.
Index AlignedDistances(const Described& d, const Homography* fallback, const float* u,
                       const float* v, const std::uint8_t* valid,
                       const std::vector<std::uint8_t>& textured, float* costs,
                       Homography* used = nullptr) {
  const Side& side1 = d.side1;
  const int w1 = side1.width, h1 = side1.height;
  Homography model, inverse;
  if (!FindGlobalMotion(side1, d.side2, u, v, valid, -1.0, &model, &inverse)) {
    if (fallback == nullptr || !fallback->Inverse(&inverse)) return 0;
    model = *fallback;
  }
  if (used != nullptr) *used = model;
  const PlanarImage planar2 = d.planar2();
  const auto warped = WarpThrough(planar2, model, w1, h1);
  const Side seen = PrepareSide(
      ColumnMajorImage(warped.get(), PixelType::kFloat32, w1, h1, planar2.channels),
      d.options.descriptor, side1.feat_dim, false, d.options.stop);
  const Descriptor d1 = side1.descriptor(), d2 = seen.descriptor();
  const Index plane1 = PlaneOf(d1), plane2 = PlaneOf(d2);
  Index count = 0;
  for (int x = 0; x < w1; ++x) {
    for (int y = 0; y < h1; ++y) {
      const Index p = Index{x} * h1 + y;
      double sx, sy;
      if (!valid[p] || !textured[p] || !inverse.Apply(x + u[p], y + v[p], &sx, &sy)) continue;
      if (!(sx > -0.5 && sx < w1 - 0.5 && sy > -0.5 && sy < h1 - 0.5)) continue;
      const long qx = std::lround(sx), qy = std::lround(sy);
      costs[count++] =
          std::sqrt(SquaredSum(d1.data + p, d2.data + (qx * h1 + qy), plane1, plane2, d1.feat_dim));
    }
  }
  return count;
}

// Whether the valid matches on texture of `r` pair like descriptors where
// the images are aligned through the homography they fit: their median
// distance there below the clip (false where none fits). *fitted (if
// given): that homography.
bool AgreeAligned(const Described& d, const MatchResult& r,
                  const std::vector<std::uint8_t>& textured, float clip, Homography* fitted) {
  auto costs = AllocScratch<float>(static_cast<Index>(textured.size()));
  const Index count = AlignedDistances(d, nullptr, r.dx.data(), r.dy.data(), r.valid.data(),
                                       textured, costs.get(), fitted);
  return count > 0 && Median(costs.get(), count) < clip;
}

// The view of TryTurns (k % 8 eighths of a turn after a zoom of 1, 1.6 or
// 1 / 1.6 for k / 8 = 0, 1, 2) nearest to what `model` does about image 1's
// centre: the rotation and scale of the similarity closest to its Jacobian
// there (the zoom's steps split at their geometric mean).
int NearestView(const Homography& model, const ImageView& image1) {
  const double* m = model.h;
  const double x = 0.5 * (image1.width - 1), y = 0.5 * (image1.height - 1);
  const double d = m[6] * x + m[7] * y + m[8];
  if (!(std::fabs(d) > 0.0)) return 0;
  const double tx = (m[0] * x + m[1] * y + m[2]) / d, ty = (m[3] * x + m[4] * y + m[5]) / d;
  const double j00 = (m[0] - tx * m[6]) / d, j01 = (m[1] - tx * m[7]) / d;
  const double j10 = (m[3] - ty * m[6]) / d, j11 = (m[4] - ty * m[7]) / d;
  const double eighths = std::atan2(j10 - j01, j00 + j11) / std::atan(1.0);
  const double scale = std::sqrt(std::fabs(j00 * j11 - j01 * j10));
  if (!std::isfinite(eighths) || !std::isfinite(scale)) return 0;
  int k = static_cast<int>(std::lround(eighths)) & 7;
  if (scale * scale >= 1.6) k += 8;
  else if (scale * scale * 1.6 <= 1.0) k += 16;
  return k;
}

// A camera turned beyond what the descriptor tolerates (its orientation bins
// are the image's own: from about 35 - 45 degrees on, rendered turns of six
// photos failed whole, 0 - 8 % within 3 px), or zoomed by some 1.6 or more,
// leaves no window's matches agreeing. Where the upright match does not
// agree, image 2 is looked at through views: turns in steps of 45 degrees
// about the images' centres, then, where none is found, the same turns
// after a zoom of 1.6 or 1 / 1.6. A look is a first pass through the view,
// refined through every scale but the finest (a strong change of viewpoint
// confirms few matches before the refinement), on both images at half
// their size where that keeps 120 px, scored by its valid matches on
// texture whose descriptors lie within the clip where the images are
// aligned (AlignedDistances). The view that scores the most, a tenth of
// the textured pixels or more, runs as a whole match starting from the
// homography its look fitted (its second pass finds the rest of the
// change), and so does the runner-up where it scored a third as much or
// more (a view halfway between two steps, an object that looks alike
// turned). A whole match is kept where it agrees as step 10's rule asks,
// its median distance measured where the images are aligned, and confirms
// more than the upright match and the other candidate. A pair whose
// upright match agrees pays nothing. Where it agrees only once the images
// are aligned (a turn with a tilt changes the descriptors even where the
// match is right), `seen_fit` is the homography its matches fit, and only the
// view nearest to that is looked at: a right upright match needs none, and
// one that holds only part of the image (a turn of 42 degrees kept half of
// it) gains that view's whole match.
// `described`: the images described with the caller's options; *turned:
// whether a view was kept.
MatchResult TryTurns(const ImageView& image1, const ImageView& image2, const MatchOptions& given,
                     const std::vector<std::uint8_t>& textured, Described& described,
                     MatchResult upright, const Homography* seen_fit, bool* turned) {
  const Index n_textured = std::count(textured.begin(), textured.end(), std::uint8_t{1});
  const MatchOptions& o = described.options;
  // The looks run on both images at half their size where both keep 120 px
  // on their shorter side (a quarter of the time; the choice of a view is
  // coarse), else on the images themselves.
  const PlanarImage planar1 = described.planar1(), planar2 = described.planar2();
  const bool halve = std::min({image1.width, image1.height, image2.width, image2.height}) >= 240;
  ScratchBlock<float> small1, small2;
  if (halve) {
    const auto half = [](const PlanarImage& image) {
      auto out = AllocScratch<float>(Index{(image.width + 1) / 2} * ((image.height + 1) / 2) *
                                     image.channels);
      Halve(image.data, image.width, image.height, image.channels, out.get());
      return out;
    };
    small1 = half(planar1);
    small2 = half(planar2);
  }
  const ImageView look1 =
      halve ? ColumnMajorImage(small1.get(), PixelType::kFloat32, (planar1.width + 1) / 2,
                               (planar1.height + 1) / 2, planar1.channels)
            : image1;
  const ImageView look2 =
      halve ? ColumnMajorImage(small2.get(), PixelType::kFloat32, (planar2.width + 1) / 2,
                               (planar2.height + 1) / 2, planar2.channels)
            : image2;
  Described small;
  if (halve) Describe(look1, look2, given, &small);
  Described& seen = halve ? small : described;
  const std::vector<std::uint8_t> look_textured = halve ? TexturedPixels(small.side1) : textured;
  const Index look_n_textured =
      std::count(look_textured.begin(), look_textured.end(), std::uint8_t{1});
  std::vector<std::uint8_t> valid(look_textured.size());
  auto look_costs = AllocScratch<float>(static_cast<Index>(look_textured.size()));
  Homography fitted[24];  // each look's homography, at its images' size
  // The views: turns by k % 8 eighths of a full turn after a zoom of
  // kZooms[k / 8] (view 0: the upright match's).
  constexpr double kZooms[3] = {1.0, 1.6, 1.0 / 1.6};
  const auto view = [&](int k, const ImageView& a, const ImageView& b) {
    return TurnAbout(k % 8, kZooms[k / 8], a, b);
  };
  // A view's look (above): its score, and in fitted[k] its homography.
  const auto look = [&](int k) {
    const Homography turn = view(k, look1, look2);
    Homography inverse;
    if (!turn.Inverse(&inverse)) return Index{0};
    const Fields f = MatchPass(seen.side1, seen.side2, seen.planar1(), seen.planar2(),
                               MakePlan(look1, look1, seen.options),
                               MakePlan(look2, look2, seen.options), seen.options, &turn,
                               &inverse, true, &seen.blocks, true);
    CheckField(f.u.get(), f.v.get(), f.back_u.get(), f.back_v.get(), look1.width,
               look1.height, look2.width, look2.height, o.consistency_threshold, valid.data());
    const Index count = AlignedDistances(seen, &turn, f.u.get(), f.v.get(), valid.data(),
                                         look_textured, look_costs.get(), &fitted[k]);
    return static_cast<Index>(std::count_if(look_costs.get(), look_costs.get() + count,
                                            [&](float c) { return c < given.cell_truncate; }));
  };
  // Whether a whole match through a view agrees as step 10's rule asks,
  // its distances measured where the images are aligned. (Counting alone, a
  // view of two unrelated photos confirmed a quarter of the textured pixels
  // where both directions kept to the view's motion.)
  const auto agrees = [&](const MatchResult& r) {
    return Confirmed(r, textured) * 4 >= n_textured &&
           AgreeAligned(described, r, textured, given.cell_truncate);
  };
  MatchResult kept = std::move(upright);
  Index kept_confirmed = Confirmed(kept, textured);
  // One tier of views: each one's score, and the two that scored the most
  // (0: none; the first looked at of equal scores); a view that scores half
  // of the textured pixels ends the looking. Then the whole matches.
  // Whether one is kept.
  Index looked[24] = {};
  const auto tier = [&](std::initializer_list<int> views) {
    int first = 0, second = 0;
    for (const int k : views) {
      if (first != 0 && looked[first] * 2 >= look_n_textured) break;
      looked[k] = look(k);
      if (looked[k] > looked[first]) {
        second = first;
        first = k;
      } else if (looked[k] > looked[second]) {
        second = k;
      }
    }
    if (first == 0 || looked[first] * 10 < look_n_textured) return false;
    bool found = false;
    for (const int k : {first, second}) {
      if (k == 0 || looked[k] * 3 < looked[first]) continue;
      // The whole match starts from the homography the look fitted (a view
      // halfway between two steps was too far off for the descriptor at
      // the full size), brought to the images' size.
      const Homography start = halve ? Doubled(fitted[k]) : fitted[k];
      MatchResult turned =
          MatchWithin(image1, image2, described, -1, -1, nullptr, nullptr, &start);
      const Index confirmed = Confirmed(turned, textured);
      if (confirmed > kept_confirmed && agrees(turned)) {
        kept = std::move(turned);
        kept_confirmed = confirmed;
        found = true;
      }
    }
    return found;
  };
  if (seen_fit != nullptr) {
    const int k = NearestView(*seen_fit, image1);
    *turned = k != 0 && tier({k});
    return kept;
  }
  // The quarter turns first (a camera held sideways or upside down).
  *turned = tier({2, 6, 4, 1, 7, 3, 5}) ||
            tier({8, 10, 14, 12, 9, 15, 11, 13, 16, 18, 22, 20, 17, 23, 19, 21});
  return kept;
}

}  // namespace

std::int64_t MatchPassesRun() { return g_match_passes.load(std::memory_order_relaxed); }
std::int64_t ImagesDescribedRun() {
  return g_images_described.load(std::memory_order_relaxed);
}

MatchResult MatchImages(const ImageView& image1, const ImageView& image2,
                        const MatchOptions& given) {
  CheckImage(image1);
  CheckImage(image2);
  std::vector<std::uint8_t> textured;
  UprightNotes notes;
  MatchResult result = MatchUpright(image1, image2, given, &textured, &notes);
  // Without the check `valid` is the inside test alone: nothing to judge.
  if (textured.empty()) return result;
  const float clip = given.cell_truncate;
  const Index n_textured = std::count(textured.begin(), textured.end(), std::uint8_t{1});
  const Index confirmed = Confirmed(result, textured);
  const float median = MedianConfirmedCost(result, textured);
  if (Agree(confirmed, median, n_textured, clip)) return result;
  // The views belong to the global motion and go with it, where the matcher
  // chooses the window and the pair is not rectified.
  const bool may_turn = given.global_motion && given.search_radius_x < 0 &&
                        given.search_radius_y < 0 && !given.rectified;
  // Few matches (under a quarter of the textured pixels) whose descriptors
  // disagree as a whole (their median distance at the clip or beyond), even
  // where the images are aligned through the homography they fit, show a
  // motion the images do not share: two photos of different scenes kept
  // 18 - 21 % of their pixels valid at 640 px, where both directions kept to
  // one smooth field. Such a field keeps its values and costs, but no pixel
  // of it is valid. (A change of viewpoint that one homography explains
  // leaves its right matches unlike upright, and alike once aligned; an image
  // 2 out of focus leaves them unlike either way, but a blur of 3 px kept
  // 61 - 87 % of the pixels of five rendered pairs confirmed, 88 - 100 %
  // of them right.) Where image 1 has no texture nothing is judged.
  const bool judge = n_textured > 0 && confirmed * 4 < n_textured && !(median < clip);
  if (!may_turn && !judge) return result;
  if (notes.described == nullptr) {
    notes.described = std::make_unique<Described>();
    Describe(image1, image2, given, notes.described.get());
  }
  Described& described = *notes.described;
  if (may_turn) {
    // Matches that confirm a quarter of the textured pixels but whose
    // descriptors differ upright may agree where the images are aligned.
    const bool seen = confirmed * 4 >= n_textured &&
                      AgreeAlignedOnce(described, result, textured, clip, &notes.aligned);
    bool turned = false;
    result = TryTurns(image1, image2, given, textured, described, std::move(result),
                      seen ? &notes.aligned.fitted : nullptr, &turned);
    if (turned) return result;
  }
  if (judge && !AgreeAligned(described, result, textured, clip))
    std::fill(result.valid.begin(), result.valid.end(), std::uint8_t{0});
  return result;
}

}  // namespace densecorr
