// Every int32 a caller can pass, near both ends of the range: displacements,
// radii, grid steps, region bounds and region displacements. In the
// sanitizer build UBSan stops at the first signed overflow, so these tests
// pass only if no intermediate wraps; the expected values pin that positions
// are formed wide and that the final update wraps as 32-bit arithmetic does.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "densedisp/pixel_match.h"
#include "densedisp/search_offsets.h"
#include "reference.h"

namespace {

constexpr int M = INT_MAX;
const float kInf = std::numeric_limits<float>::infinity();

std::vector<int> Offsets(int grid, int rx, int ry) {
  int n = -1;
  auto list = densecorr::BuildSearchOffsets(grid, rx, ry, &n);
  return std::vector<int>(list.get(), list.get() + 2 * n);
}

TEST(PixelLimits, OffsetGridsAtTheEndsOfTheRange) {
  // Steps that reach the far end of the range exactly, and steps past it.
  EXPECT_EQ(Offsets(M, M, 0), (std::vector<int>{-M, 0, 0, 0, M, 0}));
  EXPECT_EQ(Offsets(M, 0, M), (std::vector<int>{0, -M, 0, 0, 0, M}));
  const int q = 1 << 30;
  EXPECT_EQ(Offsets(q, M, 0),
            (std::vector<int>{-M, 0, -M + q, 0, -M + q + q, 0, -M + q + q + q, 0}));
  EXPECT_EQ(Offsets(M, M - 1, 0), (std::vector<int>{-(M - 1), 0, 1, 0}));
  // A step or radius outside the rules gives no offset at all.
  for (int bad : {0, -1, INT_MIN}) {
    EXPECT_TRUE(Offsets(bad, 1, 1).empty()) << bad;
    EXPECT_TRUE(Offsets(1, bad == 0 ? -5 : bad, 1).empty()) << bad;
  }
  // Counts beyond 32 bits end the call before anything is allocated.
  EXPECT_THROW(Offsets(1, M, 0), std::bad_alloc);
  EXPECT_THROW(Offsets(1, M, M), std::bad_alloc);  // each axis near 2^32: no 64-bit product
  EXPECT_THROW(Offsets(1, (1 << 30) - 1, 0), std::bad_alloc);  // 2^31 - 1 offsets, 2^32 ints
  EXPECT_THROW(Offsets(1, 40000, 40000), std::bad_alloc);
}

// Image 1 of 3 rows x 2 columns; image 2 of 4 x 3. With the grid (M, M) the
// offsets are every pair of {-M, 0, M}; a displacement of (M, INT_MIN) is
// brought back into image 2 only by the offset (-M, M), at (x, y - 1).
struct ExtremeCase {
  ref::Image a, b;
  std::vector<int> field;
  PixelMatchParams params{M, {M, M}, 0.0f, 1e30f, 0.0f};

  explicit ExtremeCase(std::uint32_t seed) {
    std::mt19937 rng(seed);
    a = ref::RandomImage(rng, 3, 2, 2);
    b = ref::RandomImage(rng, 4, 3, 2);
    for (int p = 0; p < 6; ++p) {
      field.push_back(M);
      field.push_back(INT_MIN);
    }
  }
};

TEST(PixelLimits, BasicPipelineWithDisplacementsAtTheLimits) {
  for (float deform : {0.0f, 1e-9f}) {
    ExtremeCase c(1);
    c.params.deform_coeff = deform;
    std::vector<float> cost(6, -7.0f);
    PixelMatch().RunPixelMatch(c.a.desc(), c.b.desc(), c.field.data(), cost.data(), c.params);
    for (int p = 0; p < 6; ++p) {
      const int x = p / 3, y = p % 3;
      SCOPED_TRACE(p);
      if (y == 0) {
        // Nothing lands in image 2: the first offset (-M, -M) wins on the
        // out-of-image cost alone when no penalty separates the candidates;
        // INT_MIN - M wraps to 1.
        if (deform == 0.0f) {
          EXPECT_EQ(c.field[2 * p], 0);
          EXPECT_EQ(c.field[2 * p + 1], 1);
        }
        EXPECT_EQ(cost[p], 1e30f);
      } else {
        EXPECT_EQ(c.field[2 * p], 0);
        EXPECT_EQ(c.field[2 * p + 1], -1);
        EXPECT_EQ(cost[p], ref::Dist(c.a, y, x, c.b, y - 1, x, 2));
      }
    }
  }
}

TEST(PixelLimits, LabelPipelineWithDisplacementsAtTheLimits) {
  // Labels 0 never match image 2's 1s, labels 1 do, and 2 is the wildcard.
  const unsigned char labels1[6] = {2, 0, 1, 0, 2, 2};
  const unsigned char ones[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  ExtremeCase c(2);
  c.params.truncate_const = 10.0f;
  c.params.label_mismatch_cost = 0.125f;
  std::vector<float> cost(6);
  PixelMatch().RunPixelMatch(c.a.desc(), c.b.desc(), labels1, ones, c.field.data(), cost.data(),
                             c.params);
  for (int p = 0; p < 6; ++p) {
    const int x = p / 3, y = p % 3;
    SCOPED_TRACE(p);
    if (y == 0) {
      EXPECT_EQ(c.field[2 * p + 1], 1);
      EXPECT_EQ(cost[p], 10.0f);
    } else {
      // The one in-image candidate wins: its distance, or the mismatch cost.
      EXPECT_EQ(c.field[2 * p], 0);
      EXPECT_EQ(c.field[2 * p + 1], -1);
      EXPECT_EQ(cost[p], labels1[p] == 0 ? 0.125f : ref::Dist(c.a, y, x, c.b, y - 1, x, 2));
    }
  }
}

TEST(PixelLimits, RegionPipelineWithBoundsAndDisplacementsAtTheLimits) {
  ExtremeCase c(4);
  std::vector<float> cost(6, kInf);
  std::vector<int> field(12, 77);
  const int regions[] = {
      M,       INT_MIN, INT_MIN, M,        // reversed columns: selects nothing
      INT_MIN, INT_MIN, INT_MIN, INT_MIN,  // wholly outside
      M,       M,       M,       M,        // wholly outside on the far side
      INT_MIN, M,       INT_MIN, M,        // the whole image, and then some
  };
  const int region_disparities[] = {0, 0, 0, 0, 0, 0, M, INT_MIN};
  PixelMatch().RunPixelMatch(c.a.desc(), c.b.desc(), regions, region_disparities, field.data(),
                             cost.data(), 4, c.params);
  for (int p = 0; p < 6; ++p) {
    const int x = p / 3, y = p % 3;
    SCOPED_TRACE(p);
    if (y == 0) {
      // No candidate inside image 2 at all: the pixel is not touched.
      EXPECT_EQ(field[2 * p], 77);
      EXPECT_EQ(cost[p], kInf);
    } else {
      // Replaced, not added: region displacement plus offset, wrapped.
      EXPECT_EQ(field[2 * p], 0);
      EXPECT_EQ(field[2 * p + 1], -1);
      EXPECT_EQ(cost[p], ref::Dist(c.a, y, x, c.b, y - 1, x, 2));
    }
  }
  // Negative counts of regions select nothing.
  std::vector<int> untouched(12, 5);
  PixelMatch().RunPixelMatch(c.a.desc(), c.b.desc(), regions, region_disparities, untouched.data(),
                             cost.data(), INT_MIN, c.params);
  EXPECT_EQ(untouched, std::vector<int>(12, 5));
}

TEST(PixelLimits, PixelCountsBeyond32BitsFailBeforeTouchingAnything) {
  // The data pointers are never followed: the count check comes first.
  const Descriptor huge{nullptr, 65536, 65536, 1};
  const Descriptor small{nullptr, 0, 0, 1};
  int field = 9;
  float cost = 9.0f;
  const PixelMatchParams p{1, {0, 0}, 0.0f, 1.0f, 0.0f};
  EXPECT_THROW(PixelMatch().RunPixelMatch(huge, small, &field, &cost, p), std::bad_alloc);
  EXPECT_EQ(field, 9);
  EXPECT_EQ(cost, 9.0f);
  // Empty images on either side with extreme sizes on the other axis.
  const Descriptor wide_empty{nullptr, M, 0, 3};
  PixelMatch().RunPixelMatch(wide_empty, huge, &field, &cost, p);
  EXPECT_EQ(field, 9);
}

TEST(PixelLimits, EmptyImageTwoWithASideAtTheLimit) {
  // Image 2 has no pixels however wide it claims to be: every candidate
  // leaves it, and the call costs what image 1's pixels cost, not its width.
  std::mt19937 rng(7);
  const ref::Image a = ref::RandomImage(rng, 20, 6, 4);
  static const float no_data = 0.0f;
  for (const Descriptor& b : {Descriptor{&no_data, M, 0, 4}, Descriptor{&no_data, 0, M, 4}}) {
    std::vector<int> field(240, 0);
    std::vector<float> cost(120, -7.0f);
    PixelMatch().RunPixelMatch(a.desc(), b, field.data(), cost.data(),
                               PixelMatchParams{1, {6, 2}, 0.5f, 4.0f, 0.0f});
    // Every candidate costs truncate_const, so the penalty alone picks the
    // zero offset and the field stays.
    for (int p = 0; p < 120; ++p) {
      EXPECT_EQ(field[2 * p], 0);
      EXPECT_EQ(field[2 * p + 1], 0);
      EXPECT_EQ(cost[p], 4.0f);
    }
  }
}

PyramidMatchParams PyramidParams(int grid, int levels, int rx, int ry) {
  PyramidMatchParams p;
  p.grid_size = grid;
  p.n_tree_level = levels;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.truncate_const = 3.0f;
  return p;
}

TEST(PyramidLimits, TranslationGridsReachingTheEndsOfTheRange) {
  std::mt19937 rng(5);
  const ref::Image a = ref::RandomImage(rng, 3, 3, 2);
  // One sample (the grid step exceeds the image); the translations along x
  // are -R, 0, R with R the radius rounded down to the step.
  for (int grid : {1 << 30, M}) {
    SCOPED_TRACE(grid);
    const int r = grid * (M / grid);
    const auto g = densecorr::ComputePyramidGeometry(3, 3, grid, M, 0, 1);
    ASSERT_EQ(g.n_shift, 3);
    std::vector<float> cost(3, -7.0f);
    std::vector<int> shifts(6, -7);
    PyramidMatch().RunPyramidMatch(a.desc(), a.desc(), PyramidParams(grid, 1, M, 0), cost.data(),
                                   shifts.data());
    EXPECT_EQ(shifts, (std::vector<int>{-r, 0, 0, 0, r, 0}));
    EXPECT_EQ(cost[0], 3.0f);
    EXPECT_EQ(cost[1], 0.0f);  // the sample against itself
    EXPECT_EQ(cost[2], 3.0f);
  }
}

TEST(PyramidLimits, HugeStepsOnSmallImages) {
  // A step far beyond the image leaves one sample and one translation per
  // axis; the call must cost what that one sample costs.
  std::mt19937 rng(8);
  const ref::Image a = ref::RandomImage(rng, 12, 12, 5), b = ref::RandomImage(rng, 13, 13, 5);
  for (int grid : {M, M - 1, 715827883, 1 << 30}) {
    SCOPED_TRACE(grid);
    float cost = -7.0f;
    int shifts[2] = {-7, -7};
    PyramidMatch().RunPyramidMatch(a.desc(), b.desc(), PyramidParams(grid, 1, 12, 12), &cost,
                                   shifts);
    EXPECT_EQ(shifts[0], 0);
    EXPECT_EQ(shifts[1], 0);
    const float d = ref::Dist(a, 0, 0, b, 0, 0, 5);
    EXPECT_EQ(cost, d > 3.0f ? 3.0f : d);
  }
}

TEST(PyramidLimits, DegenerateParametersAndSizes) {
  std::mt19937 rng(6);
  const ref::Image a = ref::RandomImage(rng, 3, 3, 2);
  float cost = -7.0f;
  int shift = -7;
  // Steps below 1 and negative radii give no translation: nothing written.
  for (const auto& p : {PyramidParams(0, 1, 1, 1), PyramidParams(INT_MIN, 1, 1, 1),
                        PyramidParams(1, 1, INT_MIN, 0), PyramidParams(1, 1, 0, -1)}) {
    PyramidMatch().RunPyramidMatch(a.desc(), a.desc(), p, &cost, &shift);
    EXPECT_EQ(cost, -7.0f);
    EXPECT_EQ(shift, -7);
  }
  EXPECT_THROW(
      PyramidMatch().RunPyramidMatch(a.desc(), a.desc(), PyramidParams(1, M, 0, 0), &cost, &shift),
      std::bad_alloc);
  std::vector<int> shifts(2, -7);
  PyramidMatch().RunPyramidMatch(a.desc(), a.desc(), PyramidParams(1, INT_MIN, 0, 0), &cost,
                                 shifts.data());
  EXPECT_EQ(shifts, (std::vector<int>{0, 0}));
  // An image of no rows but 2^31 - 1 columns: no sample, no read.
  const Descriptor empty{nullptr, M, 0, 4};
  PyramidMatch().RunPyramidMatch(empty, a.desc(), PyramidParams(1, 0, 0, 0), &cost, shifts.data());
  int nx = -1, ny = -1, range_x[2], range_y[2];
  PyramidMatch().ComputeSearchGrid(M, M, 1, M, INT_MIN, nx, ny, range_x, range_y);
  EXPECT_EQ(nx, M);
  EXPECT_EQ(range_x[0], -M);
  EXPECT_EQ(range_y[0], INT_MIN);  // -INT_MIN has no int; it maps onto itself
  PyramidMatch().ComputeSearchGrid(M, M, M, M, M, nx, ny, range_x, range_y);
  EXPECT_EQ(nx, 1);
  EXPECT_EQ(range_x[1], M);
}

}  // namespace
