#include "densematch/match_images.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#ifdef DENSEMATCH_PROFILE
#include <chrono>
#include <cstdio>
#include <ctime>
#endif

#include "cellcost/pyramid_match.h"
#include "common/scratch.h"
#include "densedisp/pixel_match.h"
#include "densematch/flow_refine.h"
#include "densematch/pyramid_inference.h"

namespace densecorr {

namespace {

using Index = std::ptrdiff_t;

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

Plan MakePlan(const ImageView& image1, const ImageView& image2, const MatchOptions& o) {
  Require(o.grid_size >= 0 && o.n_tree_level >= 0 && o.n_tree_level <= 15, "grid or levels");
  Require(o.refine_radius >= 0 && o.refine_radius <= 64, "refine_radius out of range");
  Require(o.refine_step >= 1 && o.refine_step <= 64, "refine_step out of range");
  Require(o.bp_iterations >= 0 && o.bp_iterations <= 1000, "bp_iterations out of range");
  Require(o.flow_warps >= 0 && o.flow_warps <= 100 && o.flow_fixed_point >= 0 &&
              o.flow_fixed_point <= 100 && o.flow_sor >= 0 && o.flow_sor <= 1000,
          "refinement iteration counts out of range");
  for (float value : {o.cell_truncate, o.neighbour_weight, o.neighbour_truncate, o.parent_weight,
                      o.parent_truncate, o.deform_coeff, o.flow_smoothness, o.flow_brightness,
                      o.flow_gradient, o.flow_sigma, o.flow_edge}) {
    Require(std::isfinite(value) && value >= 0.0f, "weights must be finite and not negative");
  }
  Require(o.flow_sigma <= 20.0f, "flow_sigma out of range");
  Require(std::isfinite(o.flow_anchor) && o.flow_anchor >= 0.0f, "flow_anchor out of range");
  Require(o.flow_scales >= 1 && o.flow_scales <= 64, "flow_scales out of range");
  Require(o.flow_scale_factor >= 0.25f && o.flow_scale_factor <= 0.95f,
          "flow_scale_factor out of range");
  Require(std::isfinite(o.consistency_threshold), "consistency_threshold must be finite");
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
  plan.radius_y = o.search_radius_y >= 0 ? o.search_radius_y : reach;
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
  std::unique_ptr<float[]> desc, pixels;
  Descriptor descriptor() const { return Descriptor{desc.get(), width, height, feat_dim}; }
  PlanarImage planar() const { return PlanarImage{pixels.get(), width, height, channels}; }
};

Side PrepareSide(const ImageView& image, const DescribeOptions& options, int feat_dim) {
  Side s;
  s.width = image.width;
  s.height = image.height;
  s.channels = image.channels;
  s.feat_dim = feat_dim;
  const Index n = Index{image.width} * image.height;
  s.pixels = AllocScratch<float>(n * image.channels);
  ReadPlanar(image, s.pixels.get());
  s.desc = AllocScratch<float>(n * feat_dim);
  DescribeImage(image, options, s.desc.get());
  return s;
}

// The grey mean of an RGB side, for pairing with a grey image.
std::unique_ptr<float[]> GreyOf(const Side& s) {
  const Index n = Index{s.width} * s.height;
  auto grey = AllocScratch<float>(n);
  for (Index p = 0; p < n; ++p) {
    float sum = 0.0f;
    for (int c = 0; c < s.channels; ++c) sum += s.pixels[c * n + p];
    grey[p] = sum / s.channels;
  }
  return grey;
}

// Distances between the pixels (x, y), y = 0 .. height-1, of d1 and the
// pixels (qx[y], qy[y]) of d2, one column at a time: channels outer, so that
// each channel plane is read along the column, and each pixel's sum still
// runs over its channels in order. A target outside d2 gives +Inf.
void ColumnDistances(const Descriptor& d1, const Descriptor& d2, int x, const int* qx,
                     const int* qy, float* sum, float* out) {
  const int h = d1.height;
  const Index n1 = Index{d1.width} * h, n2 = Index{d2.width} * d2.height;
  for (int y = 0; y < h; ++y) sum[y] = 0.0f;
  for (int c = 0; c < d1.feat_dim; ++c) {
    const float* a = d1.data + c * n1 + Index{x} * h;
    const float* b = d2.data + c * n2;
    for (int y = 0; y < h; ++y) {
      if (qx[y] < 0 || qx[y] >= d2.width || qy[y] < 0 || qy[y] >= d2.height) continue;
      const float d = a[y] - b[Index{qx[y]} * d2.height + qy[y]];
      sum[y] += d * d;
    }
  }
  for (int y = 0; y < h; ++y) {
    const bool inside = qx[y] >= 0 && qx[y] < d2.width && qy[y] >= 0 && qy[y] < d2.height;
    out[y] = inside ? std::sqrt(sum[y]) : std::numeric_limits<float>::infinity();
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
// in one pass over the channels: each of d1's planes is read once and the
// target indices are worked out once; each distance still sums its
// channels in order. A target outside d2 reads its pixel 0, then gives +Inf.
void NeighbourDistances(const Descriptor& d1, const Descriptor& d2, int x, const int* disp,
                        ColumnScratch& s) {
  const int h = d1.height;
  const Index n1 = Index{d1.width} * h, n2 = Index{d2.width} * d2.height;
  const int step[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (int k = 0; k < 4; ++k) {
    Index* target = s.target[k].data();
    float* sum = s.sums[k].data();
    for (int y = 0; y < h; ++y) {
      const int qx = x + disp[2 * y] + step[k][0], qy = y + disp[2 * y + 1] + step[k][1];
      const bool inside = qx >= 0 && qx < d2.width && qy >= 0 && qy < d2.height;
      target[y] = inside ? Index{qx} * d2.height + qy : -1;
      sum[y] = 0.0f;
    }
  }
  const Index* t0 = s.target[0].data();
  const Index* t1 = s.target[1].data();
  const Index* t2 = s.target[2].data();
  const Index* t3 = s.target[3].data();
  float* s0 = s.sums[0].data();
  float* s1 = s.sums[1].data();
  float* s2 = s.sums[2].data();
  float* s3 = s.sums[3].data();
  for (int c = 0; c < d1.feat_dim; ++c) {
    const float* a = d1.data + c * n1 + Index{x} * h;
    const float* b = d2.data + c * n2;
    for (int y = 0; y < h; ++y) {
      const float value = a[y];
      const float e0 = value - b[t0[y] < 0 ? 0 : t0[y]];
      const float e1 = value - b[t1[y] < 0 ? 0 : t1[y]];
      const float e2 = value - b[t2[y] < 0 ? 0 : t2[y]];
      const float e3 = value - b[t3[y] < 0 ? 0 : t3[y]];
      s0[y] += e0 * e0;
      s1[y] += e1 * e1;
      s2[y] += e2 * e2;
      s3[y] += e3 * e3;
    }
  }
  for (int k = 0; k < 4; ++k) {
    for (int y = 0; y < h; ++y) {
      s.dist[k][y] = s.target[k][y] >= 0 ? std::sqrt(s.sums[k][y])
                                         : std::numeric_limits<float>::infinity();
    }
  }
}

// 3 x 3 median of an integer field (borders use the pixels that exist):
// removes isolated wrong matches between the two pixel passes.
void MedianField(const int* in, int width, int height, int* out) {
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < width; ++x) {
    int values[9];
    for (int y = 0; y < height; ++y) {
      for (int axis = 0; axis < 2; ++axis) {
        int count = 0;
        for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx)
          for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, height - 1); ++yy)
            values[count++] = in[2 * (Index{xx} * height + yy) + axis];
        std::nth_element(values, values + count / 2, values + count);
        out[2 * (Index{x} * height + y) + axis] = values[count / 2];
      }
    }
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

// Sub-pixel position of each match from a parabola through the descriptor
// distances at the whole-pixel optimum and its four neighbours.
void ParabolaStep(const Descriptor& d1, const Descriptor& d2, const int* disparity,
                  const float* best_cost, float* u, float* v) {
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
      const int* disp = disparity + 2 * Index{x} * h;
      NeighbourDistances(d1, d2, x, disp, s);
      for (int y = 0; y < h; ++y) {
        const Index p = Index{x} * h + y;
        float offset[2] = {0.0f, 0.0f};
        const float c0 = best_cost[p];
        for (int axis = 0; axis < 2; ++axis) {
          const float cm = s.dist[2 * axis][y], cp = s.dist[2 * axis + 1][y];
          const float curvature = cm - 2.0f * c0 + cp;
          // Only a true minimum with both neighbours inside image 2.
          if (std::isfinite(c0) && std::isfinite(cm) && std::isfinite(cp) && curvature > 0.0f)
            offset[axis] = std::min(std::max(0.5f * (cm - cp) / curvature, -0.5f), 0.5f);
        }
        u[p] = static_cast<float>(disp[2 * y]) + offset[0];
        v[p] = static_cast<float>(disp[2 * y + 1]) + offset[1];
      }
    }
  }
}

// One direction of the descriptor match, from side a's pixels to side b's:
// cells, pixels, parabola.
void MatchDirection(const Side& a, const Side& b, const Plan& plan, const MatchOptions& o,
                    float* u, float* v) {
  const Descriptor da = a.descriptor(), db = b.descriptor();
  const Index n = Index{a.width} * a.height;
  StageClock clock;

  PyramidMatchParams cell_params{plan.grid, plan.levels, {plan.radius_x, plan.radius_y},
                                 o.cell_truncate};
  const int n_shift_x = 2 * (plan.radius_x / plan.grid) + 1;
  const int n_shift_y = 2 * (plan.radius_y / plan.grid) + 1;
  const int n_shift = CheckedCount(std::int64_t{n_shift_x} * n_shift_y);
  const int n_cell = ((1 << (2 * plan.levels)) - 1) / 3;
  auto node_cost = AllocScratch<float>(std::int64_t{n_shift} * n_cell);
  auto shifts = AllocScratch<int>(2 * std::int64_t{n_shift});
  PyramidMatch cells;
  cells.SetStopToken(o.stop);
  cells.RunPyramidMatch(da, db, cell_params, node_cost.get(), shifts.get());
  clock.Mark("cellcost");

  PyramidInferenceParams bp;
  bp.neighbour_weight = o.neighbour_weight;
  bp.neighbour_truncate = o.neighbour_truncate;
  bp.parent_weight = o.parent_weight;
  bp.parent_truncate = o.parent_truncate;
  bp.n_iterations = o.bp_iterations;
  auto labels = AllocScratch<int>(n_cell);
  InferCellShifts(node_cost.get(), n_shift_x, n_shift_y, plan.levels, bp, labels.get());
  node_cost.reset();
  clock.Mark("inference");

  auto disparity = AllocScratch<int>(2 * n);
  auto filtered = AllocScratch<int>(2 * n);
  auto best_cost = AllocScratch<float>(n);
  CellsToPixels(labels.get(), shifts.get(), a.width, a.height, plan, disparity.get());

  // Candidates outside image 2 cost more than any distance of the unit-length
  // descriptors, so they win only where nothing inside does.
  const float outside_cost = 2.0f;
  PixelMatchParams wide{o.refine_step, {plan.refine_radius, plan.refine_radius}, o.deform_coeff,
                        outside_cost, 0.0f};
  PixelMatch pixels;
  pixels.SetStopToken(o.stop);
  pixels.RunPixelMatch(da, db, disparity.get(), best_cost.get(), wide);
  MedianField(disparity.get(), a.width, a.height, filtered.get());
  PixelMatchParams fine{1, {1, 1}, o.deform_coeff, outside_cost, 0.0f};
  pixels.RunPixelMatch(da, db, filtered.get(), best_cost.get(), fine);

  clock.Mark("pixel search");
  ParabolaStep(da, db, filtered.get(), best_cost.get(), u, v);
  clock.Mark("parabola");
}

// Weight of each pixel's descriptor match in the refinement: 0 where the
// match does not come back from image 2 (back_u null: not tested), scaled
// down on flat patches, whose descriptors are short and say little.
void MatchWeights(const Descriptor& d, const float* u, const float* v, const float* back_u,
                  const float* back_v, int w2, int h2, float threshold, float* weight) {
  const int w = d.width, h = d.height;
  const Index n = Index{w} * h;
  auto length2 = AllocScratch<float>(n);
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    float* column = length2.get() + Index{x} * h;
    for (int y = 0; y < h; ++y) column[y] = 0.0f;
    for (int c = 0; c < d.feat_dim; ++c) {
      const float* plane = d.data + c * n + Index{x} * h;
      for (int y = 0; y < h; ++y) column[y] += plane[y] * plane[y];
    }
  }
#ifdef _OPENMP
#pragma omp parallel for schedule(static)
#endif
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y) {
      const Index p = Index{x} * h + y;
      float wgt = std::min(length2[p], 1.0f);
      const float x2 = x + u[p], y2 = y + v[p];
      if (x2 < 0.0f || x2 > w2 - 1.0f || y2 < 0.0f || y2 > h2 - 1.0f) {
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

FlowRefineParams RefineParams(const MatchOptions& o) {
  FlowRefineParams fr;
  fr.smoothness = o.flow_smoothness;
  fr.brightness = o.flow_brightness;
  fr.gradient = o.flow_gradient;
  fr.presmooth_sigma = o.flow_sigma;
  fr.edge_sharpness = o.flow_edge;
  fr.anchor = o.flow_anchor;
  fr.n_scales = o.flow_scales;
  fr.scale_factor = o.flow_scale_factor;
  fr.n_warps = o.flow_warps;
  fr.n_fixed_point = o.flow_fixed_point;
  fr.n_sor = o.flow_sor;
  return fr;
}

void Refine(const PlanarImage& image_a, const PlanarImage& image_b, const MatchOptions& o,
            const float* weight, FlowScratch* scratch, float* u, float* v) {
  if (o.flow_warps <= 0 || o.flow_fixed_point <= 0) return;
  const FlowRefineParams fr = RefineParams(o);
  const Index n = Index{image_a.width} * image_a.height;
  auto start_u = AllocScratch<float>(n), start_v = AllocScratch<float>(n);
  std::copy(u, u + n, start_u.get());
  std::copy(v, v + n, start_v.get());
  RefineFlow(image_a, image_b, fr, weight, u, v, scratch);
  // Pixel values far beyond [0, 1] can overflow the refinement's squares;
  // such pixels keep their descriptor match rather than report a number
  // that is none.
  for (Index p = 0; p < n; ++p) {
    if (!std::isfinite(u[p]) || !std::isfinite(v[p])) {
      u[p] = start_u[p];
      v[p] = start_v[p];
    }
  }
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
// allowed = false: always one after the other.
template <class First, class Second>
void SideBySide(const First& first, const Second& second, bool allowed = true) {
#ifdef _OPENMP
  const int threads = omp_get_max_threads();
  if (allowed && threads >= 2 && threads <= 3 && !omp_in_parallel()) {
    std::exception_ptr errors[2];
    int team = 0;
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
      }
    }
    if (team == 2) {
      for (const auto& error : errors)
        if (error) std::rethrow_exception(error);
      return;
    }
  }
#endif
  first();
  second(false);
}

}  // namespace

MatchResult MatchImages(const ImageView& image1, const ImageView& image2,
                        const MatchOptions& options) {
  CheckImage(image1);
  CheckImage(image2);
  const Plan plan = MakePlan(image1, image2, options);
  const int feat_dim = DescriptorChannels(options.descriptor);
  Require(feat_dim >= 1 && feat_dim <= 128, "descriptor options out of range");

  // Between stages the call polls its caller; inside the cell-cost and
  // pixel-search passes their drivers do.
  const auto poll = [&options] {
    if (options.stop != nullptr && options.stop->StopRequested(true)) throw Stopped();
  };
  poll();
  StageClock clock;
  Side side1, side2;
  SideBySide([&] { side1 = PrepareSide(image1, options.descriptor, feat_dim); },
             [&](bool) { side2 = PrepareSide(image2, options.descriptor, feat_dim); });
  clock.Mark("describe");
  // The continuous refinement compares pixel values: colour where both
  // images have it, grey otherwise.
  std::unique_ptr<float[]> grey1, grey2;
  PlanarImage planar1 = side1.planar(), planar2 = side2.planar();
  if (side1.channels != side2.channels) {
    if (side1.channels == 3) {
      grey1 = GreyOf(side1);
      planar1 = PlanarImage{grey1.get(), side1.width, side1.height, 1};
    } else {
      grey2 = GreyOf(side2);
      planar2 = PlanarImage{grey2.get(), side2.width, side2.height, 1};
    }
  }

  const Index n1 = Index{image1.width} * image1.height;
  const Index n2 = Index{image2.width} * image2.height;
  MatchResult result;
  result.width = image1.width;
  result.height = image1.height;
  result.dx.assign(n1, 0.0f);
  result.dy.assign(n1, 0.0f);
  result.cost.assign(n1, 0.0f);
  result.valid.assign(n1, 0);
  poll();
  const auto forward_match = [&] {
    MatchDirection(side1, side2, plan, options, result.dx.data(), result.dy.data());
  };
  std::unique_ptr<float[]> back_u, back_v;
  const bool check = options.consistency_threshold > 0.0f;
  if (check) {
    Plan back_plan = MakePlan(image2, image1, options);
    back_plan.radius_x = plan.radius_x;
    back_plan.radius_y = plan.radius_y;
    back_u = AllocScratch<float>(n2);
    back_v = AllocScratch<float>(n2);
    // Only the calling thread may reach the host's poll: beside the forward
    // match, the backward one polls a token that relays the caller's.
    StopToken relay([](void* caller) { return static_cast<StopToken*>(caller)->stopped(); },
                    options.stop);
    MatchOptions back_options = options;
    const auto backward_match = [&](bool beside) {
      back_options.stop = beside && options.stop != nullptr ? &relay : options.stop;
      MatchDirection(side2, side1, back_plan, back_options, back_u.get(), back_v.get());
    };
    SideBySide(forward_match, backward_match);
  } else {
    forward_match();
  }
  clock = StageClock();
  poll();

  // Both fields refined on the images, each guided by its matches that the
  // other confirms.
  if (options.flow_warps > 0 && options.flow_fixed_point > 0) {
    const float match_threshold = 1.0f;
    FlowScratch flow_scratch;
    auto weight1 = AllocScratch<float>(n1);
    MatchWeights(side1.descriptor(), result.dx.data(), result.dy.data(), back_u.get(),
                 back_v.get(), image2.width, image2.height, match_threshold, weight1.get());
    const auto forward = [&] {
      Refine(planar1, planar2, options, weight1.get(), &flow_scratch, result.dx.data(),
             result.dy.data());
    };
    if (check) {
      auto weight2 = AllocScratch<float>(n2);
      MatchWeights(side2.descriptor(), back_u.get(), back_v.get(), result.dx.data(),
                   result.dy.data(), image1.width, image1.height, match_threshold, weight2.get());
      // One after the other, both refinements share one block of memory.
      FlowScratch beside_scratch;
      const auto backward = [&](bool beside) {
        Refine(planar2, planar1, options, weight2.get(), beside ? &beside_scratch : &flow_scratch,
               back_u.get(), back_v.get());
      };
      // Side by side, each refinement has a block of its own: only where
      // both leave half of the memory free.
      const FlowRefineParams fr = RefineParams(options);
      const std::int64_t both = RefineFlowScratchBytes(planar1, planar2, fr, true) +
                                RefineFlowScratchBytes(planar2, planar1, fr, true);
      const std::int64_t available = AvailableMemoryBytes();
      SideBySide(forward, backward, available < 0 || both <= available / 2);
      poll();
    } else {
      forward();
    }
    clock.Mark("variational");
  }

  const Descriptor d1 = side1.descriptor(), d2 = side2.descriptor();
  const int w1 = image1.width, h1 = image1.height, w2 = image2.width, h2 = image2.height;
  const float threshold2 = options.consistency_threshold * options.consistency_threshold;
#ifdef _OPENMP
#pragma omp parallel
#endif
  {
  ColumnScratch s(h1);
#ifdef _OPENMP
#pragma omp for schedule(static)
#endif
  for (int x = 0; x < w1; ++x) {
    for (int y = 0; y < h1; ++y) {
      const Index p = Index{x} * h1 + y;
      const float x2 = x + result.dx[p], y2 = y + result.dy[p];
      const bool inside = x2 >= 0.0f && x2 <= w2 - 1.0f && y2 >= 0.0f && y2 <= h2 - 1.0f;
      s.qx[y] = inside ? static_cast<int>(std::lround(x2)) : -1;
      s.qy[y] = inside ? static_cast<int>(std::lround(y2)) : -1;
    }
    ColumnDistances(d1, d2, x, s.qx.data(), s.qy.data(), s.sum.data(),
                    result.cost.data() + Index{x} * h1);
    for (int y = 0; y < h1; ++y) {
      const Index p = Index{x} * h1 + y;
      if (s.qx[y] < 0) continue;
      const float x2 = x + result.dx[p], y2 = y + result.dy[p];
      bool ok = true;
      if (check) {
        const float bu = SampleBilinear(back_u.get(), w2, h2, x2, y2);
        const float bv = SampleBilinear(back_v.get(), w2, h2, x2, y2);
        const float ex = result.dx[p] + bu, ey = result.dy[p] + bv;
        ok = ex * ex + ey * ey <= threshold2;
      }
      result.valid[p] = ok ? 1 : 0;
    }
  }
  }
  return result;
}

}  // namespace densecorr
