// Every kernel table the processor supports, bit for bit against the literal
// loop nests, on 1, 2 and 3 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_kernels.h"
#include "cellcost/shift_dist.h"
#include "simd/dispatch.h"
#include "densedisp/pixel_kernels.h"
#include "reference.h"
#include "test_threads.h"

namespace {

using densecorr::simd::Isa;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kSentinel = -777.0f;  // marks volume entries a pass must leave alone

// One supported instruction set's tables of both modules.
struct KernelPath {
  const char* name;
  const densecorr::ShiftKernels& shift;
  const densecorr::PixelKernels& pixel;
};

std::vector<KernelPath> Paths() {
  std::vector<KernelPath> paths;
  for (Isa isa : densecorr::simd::SupportedIsas()) {
    paths.push_back({densecorr::simd::IsaName(isa), densecorr::ShiftKernelsFor(isa),
                     densecorr::PixelKernelsFor(isa)});
  }
  return paths;
}

// Runs body(path) for every supported instruction set on 1, 2 and 3
// threads; the trace names the combination that failed.
template <class Body>
void ForEveryPath(Body body) {
  for (const KernelPath& path : Paths()) {
    for (int threads : {1, 2, 3}) {
      SCOPED_TRACE(std::string(path.name) + ", " + std::to_string(threads) + " threads");
      WithThreads(threads, [&] { body(path); });
    }
  }
}

// The pixel search from `field` on every kernel path and thread count gives
// the literal loops' displacements and the same cost bits.
void ExpectPixelMatchOnEveryPath(const ref::Image& a, const ref::Image& b,
                                 const std::vector<int>& field, const PixelMatchParams& p) {
  std::vector<int> expected_disp = field;
  std::vector<float> expected_cost;
  ref::Pixel(a, b, expected_disp, expected_cost, p);
  ForEveryPath([&](const KernelPath& path) {
    std::vector<int> disp = field;
    std::vector<float> cost(expected_cost.size(), -7.0f);
    densecorr::RunPixelMatchWith(path.pixel, a.desc(), b.desc(), disp.data(), cost.data(), p);
    EXPECT_EQ(disp, expected_disp);
    EXPECT_TRUE(ref::SameBits(cost, expected_cost));
  });
}

PyramidMatchParams PyramidParams(int grid, int levels, int rx, int ry, float tc) {
  PyramidMatchParams p;
  p.grid_size = grid;
  p.n_tree_level = levels;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.truncate_const = tc;
  return p;
}

PixelMatchParams PixelParams(int grid, int rx, int ry, float deform, float tc) {
  PixelMatchParams p;
  p.search_grid_size = grid;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.deform_coeff = deform;
  p.truncate_const = tc;
  p.label_mismatch_cost = 0.0f;
  return p;
}

// The clipped distance volume of a translation list, written literally over
// a volume that starts as `prefill`.
std::vector<float> LiteralShiftVolume(const ref::Image& a, const ref::Image& b, int grid,
                                      const std::vector<int>& shifts, float tc, float prefill) {
  int sx = 0, sy = 0;
  for (int pos = 0; pos < a.width; pos += grid) ++sx;
  for (int pos = 0; pos < a.height; pos += grid) ++sy;
  const int n_shift = static_cast<int>(shifts.size() / 2), n_sample = sx * sy;
  std::vector<float> vol(static_cast<size_t>(n_shift) * n_sample, prefill);
  for (int s = 0; s < n_sample; ++s) {
    const int x1 = grid * (s / sy), y1 = grid * (s % sy);
    for (int k = 0; k < n_shift; ++k) {
      const long long x2 = static_cast<long long>(x1) + shifts[2 * k];
      const long long y2 = static_cast<long long>(y1) + shifts[2 * k + 1];
      if (x2 < 0 || x2 >= b.width || y2 < 0 || y2 >= b.height) continue;
      const float d =
          ref::Dist(a, y1, x1, b, static_cast<int>(y2), static_cast<int>(x2), a.feat_dim);
      vol[static_cast<size_t>(k) * n_sample + s] = d > tc ? tc : d;
    }
  }
  return vol;
}

// The unclipped distance volume of an offset list around a displacement
// field, written literally over a volume that starts as `prefill`.
std::vector<float> LiteralPixelVolume(const ref::Image& a, const ref::Image& b,
                                      const std::vector<int>& disp, const std::vector<int>& offsets,
                                      float prefill) {
  const int n = static_cast<int>(offsets.size() / 2), n_pixel = a.width * a.height;
  std::vector<float> vol(static_cast<size_t>(n) * n_pixel, prefill);
  for (int p = 0; p < n_pixel; ++p) {
    const int x = p / a.height, y = p % a.height;
    for (int k = 0; k < n; ++k) {
      const long long x2 = static_cast<long long>(x) + disp[2 * p] + offsets[2 * k];
      const long long y2 = static_cast<long long>(y) + disp[2 * p + 1] + offsets[2 * k + 1];
      if (x2 < 0 || x2 >= b.width || y2 < 0 || y2 >= b.height) continue;
      vol[static_cast<size_t>(k) * n_pixel + p] =
          ref::Dist(a, y, x, b, static_cast<int>(y2), static_cast<int>(x2), a.feat_dim);
    }
  }
  return vol;
}

// A displacement field constant over block x block tiles, values in +-spread.
std::vector<int> BlockField(std::mt19937& rng, int height, int width, int block, int spread) {
  std::uniform_int_distribution<int> u(-spread, spread);
  std::vector<int> field(2 * static_cast<size_t>(height) * width);
  const int bw = (width + block - 1) / block, bh = (height + block - 1) / block;
  std::vector<int> values(2 * static_cast<size_t>(bw) * bh);
  for (int& v : values) v = u(rng);
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const size_t p = static_cast<size_t>(x) * height + y, b = (x / block) * bh + y / block;
      field[2 * p] = values[2 * b];
      field[2 * p + 1] = values[2 * b + 1];
    }
  }
  return field;
}

std::vector<int> RandomField(std::mt19937& rng, int n_pixel, int spread) {
  std::uniform_int_distribution<int> u(-spread, spread);
  std::vector<int> field(2 * static_cast<size_t>(n_pixel));
  for (int& v : field) v = u(rng);
  return field;
}

// Runs of random lengths (1 .. 2*max lanes) with one displacement each: both
// the pixel-lane and the offset-lane kernels, and the switches between them.
std::vector<int> RunField(std::mt19937& rng, int n_pixel, int spread) {
  std::uniform_int_distribution<int> u(-spread, spread), len(1, 2 * densecorr::simd::kMaxLanes);
  std::vector<int> field(2 * static_cast<size_t>(n_pixel));
  for (int p = 0; p < n_pixel;) {
    const int dx = u(rng), dy = u(rng);
    for (int end = std::min(n_pixel, p + len(rng)); p < end; ++p) {
      field[2 * p] = dx;
      field[2 * static_cast<size_t>(p) + 1] = dy;
    }
  }
  return field;
}

// ---------------------------------------------------------------- dispatch

TEST(KernelDispatch, TablesKeepTheBoundsThePackingReliesOn) {
  const auto paths = Paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(densecorr::simd::SelectIsa(), densecorr::simd::SupportedIsas().front());
  EXPECT_STREQ(paths.back().name, "portable");
  std::set<std::string> names;
  for (const KernelPath& t : paths) {
    EXPECT_TRUE(names.insert(t.name).second) << t.name;
    EXPECT_STREQ(t.shift.name, t.name);
    EXPECT_STREQ(t.pixel.name, t.name);
    for (int lanes : {t.shift.lanes, t.pixel.pixel_lanes}) {
      EXPECT_GE(lanes, 1);
      EXPECT_LE(lanes, densecorr::simd::kMaxLanes) << t.name;
    }
    EXPECT_GE(t.shift.max_tile, 1);
    EXPECT_LE(t.shift.max_tile, densecorr::kShiftMaxTile) << t.name;
    EXPECT_GE(t.pixel.pixel_max_tile, 1);
  }
}

// ---------------------------------------------------------------- cellcost

struct PyramidCase {
  int h1, w1, h2, w2, f, grid, levels, rx, ry;
  float tc;
};

TEST(CellcostKernels, PipelineMatchesLiteralLoopsOnEveryPath) {
  const PyramidCase cases[] = {
      {16, 20, 16, 20, 5, 1, 3, 3, 2, 2.0f},     // rows a multiple of the lanes
      {17, 23, 12, 31, 8, 2, 3, 7, 5, 1.5f},     // odd sizes, image 2 shorter and wider
      {33, 29, 40, 25, 3, 3, 3, 10, 4, 10.0f},   // G = 3
      {9, 40, 9, 40, 17, 4, 2, 13, 9, 3.0f},     // G = 4, one vector of rows
      {70, 9, 50, 12, 2, 1, 2, 11, 30, 1.0f},    // many rows, long tiles of row shifts
      {24, 24, 20, 20, 1, 1, 4, 0, 0, 0.5f},     // radius 0, one channel
      {12, 10, 30, 30, 0, 2, 2, 4, 4, 1.0f},     // no channels
      {31, 7, 5, 50, 33, 1, 2, 6, 6, 4.0f},      // image 2 only 5 rows high
      {40, 35, 41, 33, 6, 2, 3, 40, 40, -1.0f},  // negative clip, radius beyond image 2
      // Row shifts whose inside rows take 1, 2 or 3 vectors in short runs:
      // tiles that mix vector counts and both ends of the column.
      {34, 12, 30, 14, 3, 1, 2, 3, 20, 2.0f},
      {40, 8, 23, 10, 4, 1, 2, 2, 19, 1.0f},
      {19, 9, 38, 9, 2, 1, 2, 1, 25, 3.0f},  // image 2 taller: rows leave at both ends
  };
  std::mt19937 rng(11);
  for (const PyramidCase& c : cases) {
    for (int special : {0, 5}) {
      SCOPED_TRACE(std::to_string(c.h1) + "x" + std::to_string(c.w1) + " G" +
                   std::to_string(c.grid) + " special " + std::to_string(special));
      const auto a = ref::RandomImage(rng, c.h1, c.w1, c.f, special);
      const auto b = ref::RandomImage(rng, c.h2, c.w2, c.f, special);
      const auto p = PyramidParams(c.grid, c.levels, c.rx, c.ry, c.tc);
      const auto expected = ref::Pyramid(a, b, p);
      const auto g = densecorr::ComputePyramidGeometry(
          a.width, a.height, p.grid_size, p.search_radius[0], p.search_radius[1], p.n_tree_level);
      ForEveryPath([&](const KernelPath& path) {
        std::vector<float> cost(static_cast<size_t>(g.n_shift) * g.n_cell, -7.0f);
        std::vector<int> shifts(2 * static_cast<size_t>(g.n_shift), -7);
        densecorr::RunPyramidMatchWith(path.shift, a.desc(), b.desc(), p, cost.data(), shifts.data());
        EXPECT_EQ(shifts, expected.shifts);
        EXPECT_TRUE(ref::SameBits(cost, expected.node_cost));
      });
    }
  }
}

// The plan's tiles cover the translation list in order, each one column
// shift with consecutive row shifts, and on a full grid no tile is left
// shorter than the latency of the kernel's additions needs.
TEST(CellcostKernels, TilesPartitionTheListIntoRunsLongEnough) {
  struct PlanCase {
    int h, w, grid, rx, ry;
  };
  const PlanCase cases[] = {
      {34, 12, 1, 3, 20},   // vector counts change every few row shifts
      {120, 160, 1, 4, 24}, // long columns
      {32, 40, 4, 64, 48},  // one or two vectors per translation
      {9, 9, 1, 2, 30},     // most translations leave image 2
  };
  std::mt19937 rng(13);
  for (const PlanCase& c : cases) {
    const auto a = ref::RandomImage(rng, c.h, c.w, 2, 0);
    const auto g = densecorr::ComputePyramidGeometry(c.w, c.h, c.grid, c.rx, c.ry, 1);
    std::vector<int> shifts;
    for (int ix = 0; ix < g.n_shift_x; ++ix) {
      for (int iy = 0; iy < g.n_shift_y; ++iy) {
        shifts.push_back(g.shift_range_x[0] + ix * c.grid);
        shifts.push_back(g.shift_range_y[0] + iy * c.grid);
      }
    }
    for (const KernelPath& path : Paths()) {
      SCOPED_TRACE(std::string(path.name) + " " + std::to_string(c.h) + "x" +
                   std::to_string(c.w) + " G" + std::to_string(c.grid));
      const auto plan = densecorr::PlanShiftDist(path.shift, a.desc(), a.desc(), c.grid, g,
                                                 shifts.data(), nullptr, 1.0f, true);
      ASSERT_TRUE(plan.on_grid);
      const densecorr::ShiftDistJob& job = plan.job;
      // Row shifts that keep some sample row inside image 2.
      const int inside_lo = -(g.n_sample_y - 1), inside_hi = g.n_sample_y - 1;
      int next = 0;
      for (int i = 0; i < job.n_tiles; ++i) {
        const densecorr::ShiftTile& tile = job.tiles[i];
        ASSERT_EQ(tile.first_k, next);
        ASSERT_GE(tile.count, 1);
        ASSERT_LE(tile.count, path.shift.max_tile);
        for (int t = 0; t < tile.count; ++t) {
          EXPECT_EQ(shifts[2 * (next + t)], tile.tx * c.grid);
          EXPECT_EQ(shifts[2 * (next + t) + 1], (tile.ty + t) * c.grid);
        }
        const bool all_inside = tile.ty >= inside_lo && tile.ty + tile.count - 1 <= inside_hi;
        const int inside_run = std::min(inside_hi, g.shift_range_y[1] / c.grid) -
                               std::max(inside_lo, g.shift_range_y[0] / c.grid) + 1;
        const int shortest =
            std::min({inside_run, densecorr::kMinShiftRun, path.shift.max_tile / 2});
        if (all_inside) {
          EXPECT_GE(tile.count, shortest) << "tile " << i;
        }
        next += tile.count;
      }
      EXPECT_EQ(next, g.n_shift);
    }
  }
}

// A table's running column sums against the scalar definition: every row
// count and translation count around the vector sizes, both the first
// column and a later one, with infinities, NaN and signed zeros; the sums
// land where SumIndex says, and nothing is written past the rounded-up
// translations.
TEST(CellcostKernels, ColumnSumsMatchTheRunningSumsDownEachColumn) {
  std::mt19937 rng(14);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  std::uniform_int_distribution<int> pick(0, 40);
  const float specials[] = {kNaN, kInf, -kInf, -0.0f, 0.0f};
  for (const KernelPath& path : Paths()) {
    if (path.shift.column_sums == nullptr) continue;
    const int lanes = path.shift.sum_lanes;
    ASSERT_GE(lanes, 1);
    ASSERT_LE(lanes, densecorr::simd::kMaxLanes);
    for (int rows : {1, 7, 16, 17, 33, 40}) {
      for (int count : {1, 5, 16, 17, 37}) {
        SCOPED_TRACE(std::string(path.name) + " rows " + std::to_string(rows) + " count " +
                     std::to_string(count));
        const size_t n = static_cast<size_t>(rows) * count;
        const int rounded = (count + lanes - 1) / lanes * lanes;
        const size_t n_left = static_cast<size_t>(rows) * rounded;
        constexpr size_t kGuard = 64;
        constexpr float kGuardValue = 12345.0f;
        std::vector<float> column(n), left(n_left + kGuard, kGuardValue);
        // Two columns in turn: the first, then a later one onto its sums.
        std::vector<float> expected(n);
        for (bool first : {true, false}) {
          SCOPED_TRACE(first ? "first column" : "later column");
          for (float& v : column) v = pick(rng) < 3 ? specials[pick(rng) % 5] : u(rng);
          for (int t = 0; t < count; ++t) {
            float r = 0.0f;
            for (int iy = 0; iy < rows; ++iy) {
              float& out = expected[static_cast<size_t>(t) * rows + iy];
              r = r + column[static_cast<size_t>(t) * rows + iy];
              out = first ? r : r + out;
            }
          }
          path.shift.column_sums(column.data(), rows, count, first, left.data());
          for (int t = 0; t < count; ++t) {
            for (int iy = 0; iy < rows; ++iy) {
              const float want = expected[static_cast<size_t>(t) * rows + iy];
              const float got = left[static_cast<size_t>(densecorr::SumIndex(lanes, rows, t, iy))];
              // (NaN payloads aside: a NaN table is pooled again from its plane.)
              if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(got)) << t << ", " << iy;
              } else {
                EXPECT_TRUE(ref::SameBits(std::vector<float>{got}, std::vector<float>{want}))
                    << t << ", " << iy << ": " << got << " vs " << want;
              }
            }
          }
          for (size_t i = n_left; i < left.size(); ++i) ASSERT_EQ(left[i], kGuardValue) << i;
        }
      }
    }
  }
}

// The layout of the running sums: translations interleaved in groups of
// sum_lanes, rows of a group contiguous; 1 is the plain column-by-column one.
TEST(CellcostKernels, SumIndexInterleavesTranslationsByGroup) {
  EXPECT_EQ(densecorr::SumIndex(1, 7, 3, 5), 3 * 7 + 5);
  EXPECT_EQ(densecorr::SumIndex(16, 7, 3, 5), 5 * 16 + 3);
  EXPECT_EQ(densecorr::SumIndex(16, 7, 17, 0), 16 * 7 + 1);
  EXPECT_EQ(densecorr::SumIndex(16, 7, 31, 6), 16 * 7 + 6 * 16 + 15);
  // Every (t, iy) of a rounded-up block gets its own slot.
  std::vector<int> seen(32 * 5, 0);
  for (int t = 0; t < 32; ++t) {
    for (int iy = 0; iy < 5; ++iy) ++seen[static_cast<size_t>(densecorr::SumIndex(16, 5, t, iy))];
  }
  for (int v : seen) EXPECT_EQ(v, 1);
}

// The distance pass alone: only in-image entries may change unless asked to
// fill, and arbitrary translation lists (off the grid, out of order,
// repeated, near the 32-bit limit) give the literal volume.
TEST(CellcostKernels, DistancePassWritesExactlyTheInImageEntries) {
  std::mt19937 rng(12);
  const auto a = ref::RandomImage(rng, 21, 18, 4, 9);
  const auto b = ref::RandomImage(rng, 19, 23, 4, 9);
  const float tc = 1.25f;
  struct ListCase {
    int grid;
    std::vector<int> shifts;
  };
  const ListCase lists[] = {
      {2, {-4, -2, -4, 0, -4, 2, 0, -2, 0, 0, 0, 2, 2, 0, 4, 4, 40, 0}},  // on the grid
      {2, {1, 0, 0, 1, -3, 5}},                                           // off the grid
      {3, {9, 3, -3, 0, 9, 3, 0, -21, 0, 18, -18, 6, 3, 3}},              // repeats, order
      {1, {INT_MAX, 0, 0, INT_MIN, INT_MIN, INT_MAX, 5, -7, 0, 0}},       // near the limit
      {1, {0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 1, -30}},
  };
  for (const ListCase& list : lists) {
    const int n_shift = static_cast<int>(list.shifts.size() / 2);
    // The radius only sizes the geometry the pass recomputes; it reads the list.
    const int radius_x = list.grid * (n_shift / 2);
    const auto p = PyramidParams(list.grid, 1, radius_x, 0, tc);
    const auto g = densecorr::ComputePyramidGeometry(a.width, a.height, list.grid, radius_x, 0, 1);
    ASSERT_EQ(g.n_shift, n_shift);
    const auto kept = LiteralShiftVolume(a, b, list.grid, list.shifts, tc, kSentinel);
    const auto filled = LiteralShiftVolume(a, b, list.grid, list.shifts, tc, tc);
    ForEveryPath([&](const KernelPath& path) {
      for (bool fill : {false, true}) {
        std::vector<float> vol(kept.size(), kSentinel);
        densecorr::ComputeShiftDistWith(path.shift, a.desc(), b.desc(), list.grid, p, vol.data(),
                                        list.shifts.data(), fill);
        EXPECT_TRUE(ref::SameBits(vol, fill ? filled : kept))
            << "grid " << list.grid << " fill " << fill;
      }
    });
  }
}

// Every count of inside rows from one to three vectors, at either end of the
// column and in neither (image 2 shorter): row shifts in consecutive runs
// (tiles of several translations, covers anchored at either end) and every
// second or third one (tiles of one). A cover's partial end may run on a
// shorter vector, which must hold exactly the rows the full ones leave.
TEST(CellcostKernels, CoversOfEveryRowCountMatchTheLiteralLoop) {
  std::mt19937 rng(15);
  const float tc = 2.5f;
  for (const int h2 : {41, 30, 50}) {
    const auto a = ref::RandomImage(rng, 41, 3, 3, 5);
    const auto b = ref::RandomImage(rng, h2, 3, 3, 5);
    for (const int step : {1, 2, 3}) {
      std::vector<int> shifts;
      // An odd count, as the geometry the pass recomputes from the radius.
      for (int ty = -45 / step * step; ty <= 45; ty += step) {
        shifts.push_back(0);
        shifts.push_back(ty);
      }
      const int n_shift = static_cast<int>(shifts.size() / 2);
      const auto p = PyramidParams(1, 1, n_shift / 2, 0, tc);
      ASSERT_EQ(densecorr::ComputePyramidGeometry(3, 41, 1, n_shift / 2, 0, 1).n_shift, n_shift);
      const auto kept = LiteralShiftVolume(a, b, 1, shifts, tc, kSentinel);
      const auto filled = LiteralShiftVolume(a, b, 1, shifts, tc, tc);
      ForEveryPath([&](const KernelPath& path) {
        for (bool fill : {false, true}) {
          std::vector<float> vol(kept.size(), kSentinel);
          densecorr::ComputeShiftDistWith(path.shift, a.desc(), b.desc(), 1, p, vol.data(),
                                          shifts.data(), fill);
          EXPECT_TRUE(ref::SameBits(vol, fill ? filled : kept))
              << "image 2 " << h2 << " rows, step " << step << ", fill " << fill;
        }
      });
    }
  }
}

// The clip at its edges: small integer channels make many distances exact
// (0, 1, 2, 3 ...), so clips equal to a distance, signed zeros, clips just
// either side of one, negative, infinite and NaN clips all meet distances
// they tie with; NaN and infinite samples give NaN and infinite sums. Every
// path and tile size against the literal loop, bit for bit.
TEST(CellcostKernels, ClipTiesSignedZerosAndNaNMatchTheLiteralLoop) {
  std::mt19937 rng(31);
  std::uniform_int_distribution<int> level(0, 2), rare(0, 60);
  ref::Image a = ref::RandomImage(rng, 37, 9, 4), b = ref::RandomImage(rng, 37, 9, 4);
  for (ref::Image* im : {&a, &b}) {
    for (float& v : im->values) {
      const int r = rare(rng);
      v = r == 0 ? kNaN : (r == 1 ? kInf : static_cast<float>(level(rng)));
    }
  }
  // Column shifts -1 .. 1, each with row shifts -20 .. 20: tiles of every
  // size, inside rows from none to all.
  std::vector<int> shifts;
  for (int tx = -1; tx <= 1; ++tx) {
    for (int ty = -20; ty <= 20; ++ty) {
      shifts.push_back(tx);
      shifts.push_back(ty);
    }
  }
  const int n_shift = static_cast<int>(shifts.size() / 2);
  const float clips[] = {-0.0f, 0.0f,  1.0f, 2.0f, 3.0f, std::nextafter(2.0f, 0.0f),
                         std::nextafter(2.0f, 3.0f), -1.0f, kInf, -kInf, kNaN, std::sqrt(2.0f)};
  for (float tc : clips) {
    const auto p = PyramidParams(1, 1, 1, 20, tc);
    const auto g = densecorr::ComputePyramidGeometry(a.width, a.height, 1, 1, 20, 1);
    ASSERT_EQ(g.n_shift, n_shift);
    const auto expected = LiteralShiftVolume(a, b, 1, shifts, tc, tc);
    ForEveryPath([&](const KernelPath& path) {
      std::vector<float> vol(expected.size(), kSentinel);
      densecorr::ComputeShiftDistWith(path.shift, a.desc(), b.desc(), 1, p, vol.data(),
                                      shifts.data(), true);
      size_t first_diff = 0;
      while (first_diff < vol.size() &&
             std::memcmp(&vol[first_diff], &expected[first_diff], sizeof(float)) == 0) {
        ++first_diff;
      }
      EXPECT_EQ(first_diff, vol.size())
          << "clip " << tc << ": " << vol[first_diff] << " vs " << expected[first_diff];
    });
  }
}

// ---------------------------------------------------------------- densedisp

struct PixelCase {
  int h1, w1, h2, w2, f, grid, rx, ry;
  float deform, tc;
};

TEST(DensedispKernels, PipelineMatchesLiteralLoopsOnEveryPath) {
  const PixelCase cases[] = {
      {32, 20, 32, 20, 5, 1, 2, 2, 0.1f, 3.0f},   // rows a multiple of the lanes
      {37, 19, 29, 41, 8, 1, 3, 3, 0.05f, 2.0f},  // odd sizes
      {23, 17, 30, 22, 3, 2, 4, 3, 0.2f, 1.5f},   // G = 2: anchored at -radius
      {18, 25, 18, 25, 4, 3, 5, 4, 0.0f, 9.0f},   // G = 3
      {40, 9, 33, 12, 2, 4, 8, 9, -0.1f, 2.5f},   // G = 4, negative penalty
      {21, 13, 21, 13, 1, 1, 0, 0, 0.3f, 1.0f},   // radius 0, one channel
      {19, 11, 25, 9, 0, 1, 2, 1, 0.5f, 4.0f},    // no channels
      {50, 6, 7, 40, 6, 1, 9, 12, 0.02f, kInf},   // image 2 short: masked lanes
      // Many short offset columns: a band's tiles are run in several batches.
      {70, 20, 64, 24, 4, 1, 40, 1, 0.01f, 5.0f},
      // More offsets than a block of 32 rows holds: blocks of a few rows.
      {45, 12, 40, 14, 3, 1, 32, 32, 0.001f, 8.0f},
      // Planes a multiple of 4 KB (16 columns of 128 rows) and not, tall
      // enough that the fused call's copies of image 2 end inside it:
      // offset lanes of segments shorter than a vector (5 and 7 offsets)
      // must not load past the copy.
      {128, 16, 128, 16, 3, 1, 3, 2, 0.05f, 2.0f},
      {127, 17, 131, 15, 2, 1, 2, 3, 0.05f, 2.0f},
      // Pixel-lane tiles whose members lie G rows apart: image 2 shorter
      // than a vector (masked members), columns of 25 offsets split into
      // several tiles; and a grid too coarse to group (members 70 apart).
      {50, 6, 7, 40, 6, 2, 9, 24, 0.02f, kInf},
      {41, 9, 44, 11, 3, 3, 3, 21, 0.05f, 2.0f},
      {30, 5, 30, 5, 2, 70, 140, 140, 0.0f, 3.0f},
  };
  std::mt19937 rng(21);
  for (const PixelCase& c : cases) {
    const int n_pixel = c.h1 * c.w1;
    const std::vector<int> fields[] = {
        BlockField(rng, c.h1, c.w1, 16, 6), RandomField(rng, n_pixel, 8), RunField(rng, n_pixel, 5),
        std::vector<int>(2 * n_pixel, 0),
        std::vector<int>(2 * n_pixel, 1000)};  // every candidate outside image 2
    for (int special : {0, 6}) {
      const auto a = ref::RandomImage(rng, c.h1, c.w1, c.f, special);
      const auto b = ref::RandomImage(rng, c.h2, c.w2, c.f, special);
      const auto p = PixelParams(c.grid, c.rx, c.ry, c.deform, c.tc);
      for (size_t fi = 0; fi < sizeof(fields) / sizeof(fields[0]); ++fi) {
        SCOPED_TRACE(std::to_string(c.h1) + "x" + std::to_string(c.w1) + " G" +
                     std::to_string(c.grid) + " field " + std::to_string(fi) + " special " +
                     std::to_string(special));
        ExpectPixelMatchOnEveryPath(a, b, fields[fi], p);
      }
    }
  }
}

// The fused call copies what a band of 32 rows reads into a space of at
// most densecorr::kMaxPanelFloats floats; a column that alone needs more
// (many channels, or a wide search around scattered displacements) reads
// the images directly, beside columns that fit.
TEST(DensedispKernels, ColumnsTooLargeForTheCopiesMatchLiteralLoops) {
  struct Shape {
    int h1, w1, h2, w2, f, radius;
  };
  // 32 rows x 8200 channels of image 1 exceed the space on their own; so
  // does a column's part of image 2 with radius 18 under scattered
  // displacements (57 x 88 pixels x 64 channels), not without them.
  const Shape shapes[] = {{32, 3, 33, 4, 8200, 1}, {40, 24, 96, 64, 64, 18}};
  static_assert(32 * 8200 > densecorr::kMaxPanelFloats, "image 1 must overflow");
  static_assert(57 * 88 * 64 > densecorr::kMaxPanelFloats, "image 2 must overflow");
  std::mt19937 rng(29);
  for (const Shape& s : shapes) {
    const int n_pixel = s.h1 * s.w1;
    // Still, scattered, and still in the left half but scattered in the right.
    std::vector<int> mixed = RandomField(rng, n_pixel, 10);
    std::fill(mixed.begin(), mixed.begin() + n_pixel, 0);
    const std::vector<int> fields[] = {std::vector<int>(2 * n_pixel, 0),
                                       RandomField(rng, n_pixel, 10), mixed};
    const auto a = ref::RandomImage(rng, s.h1, s.w1, s.f, 6);
    const auto b = ref::RandomImage(rng, s.h2, s.w2, s.f, 6);
    const auto p = PixelParams(1, s.radius, s.radius, 0.01f, 50.0f);
    for (size_t fi = 0; fi < sizeof(fields) / sizeof(fields[0]); ++fi) {
      SCOPED_TRACE(std::to_string(s.f) + " channels, field " + std::to_string(fi));
      ExpectPixelMatchOnEveryPath(a, b, fields[fi], p);
    }
  }
}

// Where most pixels take offset lanes, the fused call runs them in the order
// of their candidates instead of pixel order, in groups of columns: pieces
// wider than a group (few channels and a 3 x 3 search, so that a block spans
// the whole width), pixel-lane runs among them, and displacements far beyond
// the order's reach (they only lose the order).
TEST(DensedispKernels, PixelsRunInTheOrderOfTheirCandidatesMatchLiteralLoops) {
  std::mt19937 rng(31);
  const int h = 70, w = 150;
  const int n_pixel = h * w;
  std::vector<int> far = RandomField(rng, n_pixel, 400);
  // Every third column near its place, so that orders are close, not equal.
  for (int p = 0; p < n_pixel; p += 3 * h) {
    std::fill(far.begin() + 2 * p, far.begin() + 2 * std::min(n_pixel, p + h), 1);
  }
  std::vector<int> mixed = RandomField(rng, n_pixel, 30);
  const std::vector<int> runs = RunField(rng, n_pixel, 30);
  // Runs in every other band of 16 columns, scattered pixels between them.
  for (int x = 0; x < w; x += 32) {
    const size_t from = 2 * static_cast<size_t>(x) * h;
    const size_t to = std::min(mixed.size(), from + 2 * static_cast<size_t>(16) * h);
    std::copy(runs.begin() + from, runs.begin() + to, mixed.begin() + from);
  }
  const auto a = ref::RandomImage(rng, h, w, 3, 6);
  const auto b = ref::RandomImage(rng, h + 9, w - 20, 3, 6);
  for (const auto& field : {RandomField(rng, n_pixel, 30), far, mixed}) {
    ExpectPixelMatchOnEveryPath(a, b, field, PixelParams(1, 1, 1, 0.02f, 7.0f));
  }
}

// Neighbouring columns with the same displacements share their candidates,
// and the fused call runs their tiles in pairs: equal columns in runs of odd
// and even lengths (a piece or a block can end inside a pair), equal in one
// band of rows but not the next, searches 3 to 9 rows tall (pairs up to 7)
// and one so wide that two columns' tiles overflow a batch; NaN and
// infinities in either column of a pair.
TEST(DensedispKernels, ColumnsThatShareCandidatesMatchLiteralLoops) {
  std::mt19937 rng(37);
  const int h = 75, w = 47;
  std::vector<int> field(2 * static_cast<size_t>(h) * w);
  std::uniform_int_distribution<int> shift(-6, 6), length(1, 5);
  for (int x = 0; x < w;) {
    const int dx = shift(rng), dy = shift(rng);
    for (int end = std::min(w, x + length(rng)); x < end; ++x) {
      for (int y = 0; y < h; ++y) {
        const size_t p = static_cast<size_t>(x) * h + y;
        // From row 40 on every third column keeps its own displacement.
        const bool own = y >= 40 && x % 3 == 0;
        field[2 * p] = own ? dx + 1 : dx;
        field[2 * p + 1] = dy;
      }
    }
  }
  const auto a = ref::RandomImage(rng, h, w, 5, 6);
  const auto b = ref::RandomImage(rng, h + 11, w + 4, 5, 6);
  for (const auto& radius : {std::pair<int, int>{2, 1}, {3, 2}, {3, 3}, {2, 4}, {70, 1}}) {
    SCOPED_TRACE("radius " + std::to_string(radius.first) + " x " +
                 std::to_string(radius.second));
    ExpectPixelMatchOnEveryPath(a, b, field, PixelParams(1, radius.first, radius.second, 0.03f,
                                                         6.0f));
  }
}

// The distance pass alone, with offset lists the driver never builds
// (shuffled, repeated, near the 32-bit limit) and displacement fields that
// put whole runs or single lanes outside image 2.
TEST(DensedispKernels, DistancePassWritesExactlyTheInImageEntries) {
  std::mt19937 rng(22);
  const int h1 = 35, w1 = 14;
  const auto a = ref::RandomImage(rng, h1, w1, 5, 11);
  const auto b = ref::RandomImage(rng, 26, 17, 5, 11);
  // A grid of 61 x 3 offsets: more tiles per band than run in one batch.
  std::vector<int> wide;
  for (int sx = -30; sx <= 30; ++sx) {
    for (int sy = -1; sy <= 1; ++sy) wide.insert(wide.end(), {sx, sy});
  }
  const std::vector<int> offset_lists[] = {
      {0, -1, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 1, 0},
      {3, 1, -2, 0, 3, 1, 0, 0, 0, 1, 5, -6},
      {INT_MAX, 0, 0, INT_MIN, -1, INT_MAX, 0, 0, INT_MIN, 2},
      wide,
  };
  std::vector<int> extreme(2 * h1 * w1);
  for (size_t i = 0; i < extreme.size(); ++i) extreme[i] = (i % 3 == 0) ? INT_MAX : -2;
  const std::vector<int> fields[] = {BlockField(rng, h1, w1, 16, 12), RunField(rng, h1 * w1, 20),
                                     RandomField(rng, h1 * w1, 30), extreme};
  for (const auto& offsets : offset_lists) {
    const int n = static_cast<int>(offsets.size() / 2);
    for (const auto& field : fields) {
      const auto kept = LiteralPixelVolume(a, b, field, offsets, kSentinel);
      const auto filled = LiteralPixelVolume(a, b, field, offsets, 2.5f);
      ForEveryPath([&](const KernelPath& path) {
        for (bool fill : {false, true}) {
          std::vector<float> vol(kept.size(), kSentinel);
          densecorr::ComputeDescDistWith(path.pixel, a.desc(), b.desc(), vol.data(), field.data(),
                                         offsets.data(), n, 2.5f, fill);
          EXPECT_TRUE(ref::SameBits(vol, fill ? filled : kept)) << "fill " << fill;
        }
      });
    }
  }
}

// Selection on hand-made volumes: ties, NaN, +-Inf, totals at the largest
// finite value, and pixel counts around the vector widths.
TEST(DensedispKernels, SelectionKeepsFirstMinimumAndSkipsNaN) {
  const std::vector<int> offsets = {-1, 0, 0, 0, 1, 0, 0, 1};
  const float fmax = std::numeric_limits<float>::max();
  const float specials[] = {kNaN, kInf, -kInf, fmax, 0.0f, -0.0f, 1.0f, 1.0f, 2.0f};
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> pick(0, sizeof(specials) / sizeof(specials[0]) - 1);
  // (up to four vectors run side by side: tails of one to four vectors too)
  for (int n_pixel : {1, 7, 8, 9, 15, 16, 17, 33, 48, 63, 64, 65, 4097, 5000}) {
    for (float deform : {0.0f, 0.5f, -0.25f, kInf}) {
      std::vector<float> vol(4 * static_cast<size_t>(n_pixel));
      for (float& v : vol) v = specials[pick(rng)];
      std::vector<int> start(2 * n_pixel);
      for (int& v : start) v = pick(rng) == 0 ? INT_MAX : pick(rng) - 4;
      // Literal selection.
      std::vector<int> expected_disp = start;
      std::vector<float> expected_cost(n_pixel);
      for (int p = 0; p < n_pixel; ++p) {
        int best = -1;
        float mn = fmax;
        for (int k = 0; k < 4; ++k) {
          const float pen = (std::fabs(static_cast<float>(offsets[2 * k])) +
                             std::fabs(static_cast<float>(offsets[2 * k + 1]))) *
                            deform;
          const float total = vol[static_cast<size_t>(k) * n_pixel + p] + pen;
          if (total < mn) {
            mn = total;
            best = k;
          }
        }
        if (best < 0) {
          expected_cost[p] = kInf;
          continue;
        }
        for (int i : {0, 1}) {
          expected_disp[2 * p + i] =
              static_cast<int>(static_cast<unsigned>(expected_disp[2 * p + i]) +
                               static_cast<unsigned>(offsets[2 * best + i]));
        }
        expected_cost[p] = vol[static_cast<size_t>(best) * n_pixel + p];
      }
      ForEveryPath([&](const KernelPath& path) {
        std::vector<int> disp = start;
        std::vector<float> cost(n_pixel, -7.0f);
        densecorr::ComputeBestDisparityWith(path.pixel, vol.data(), disp.data(), cost.data(),
                                            offsets.data(), deform, n_pixel, 1, 4);
        EXPECT_EQ(disp, expected_disp) << n_pixel << " pixels, deform " << deform;
        EXPECT_TRUE(ref::SameBits(cost, expected_cost)) << n_pixel << " pixels";
      });
    }
  }
  // No offsets at all: every pixel keeps its displacement and gets +Inf.
  ForEveryPath([&](const KernelPath& path) {
    std::vector<int> disp = {3, -4, 5, 6, 7, 8};
    std::vector<float> cost(3, -7.0f);
    densecorr::ComputeBestDisparityWith(path.pixel, nullptr, disp.data(), cost.data(), nullptr, 1.0f, 3,
                                        1, 0);
    EXPECT_EQ(disp, (std::vector<int>{3, -4, 5, 6, 7, 8}));
    EXPECT_EQ(cost, std::vector<float>(3, kInf));
  });
}

}  // namespace
