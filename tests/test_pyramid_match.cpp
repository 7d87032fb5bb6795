#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "reference.h"
#include "test_threads.h"

namespace {

PyramidMatchParams Params(int grid, int levels, int rx, int ry, float truncate_const) {
  PyramidMatchParams p;
  p.grid_size = grid;
  p.n_tree_level = levels;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.truncate_const = truncate_const;
  return p;
}

ref::PyramidResult RunCore(const ref::Image& a, const ref::Image& b, const PyramidMatchParams& p) {
  const auto g = densecorr::ComputePyramidGeometry(a.width, a.height, p.grid_size,
                                                   p.search_radius[0], p.search_radius[1],
                                                   p.n_tree_level);
  ref::PyramidResult r;
  r.node_cost.assign(static_cast<size_t>(g.n_shift) * g.n_cell, -7.0f);
  r.shifts.assign(2 * static_cast<size_t>(g.n_shift), -7);
  r.n_shift_x = g.n_shift_x;
  r.n_shift_y = g.n_shift_y;
  PyramidMatch().RunPyramidMatch(a.desc(), b.desc(), p, r.node_cost.data(), r.shifts.data());
  return r;
}

// A volume with given planes, pooled through the public pooling operation.
std::vector<float> Pool(const std::vector<float>& volume, int width, int height, int grid,
                        int levels) {
  const auto p = Params(grid, levels, 0, 0, 0.0f);
  const int n_cell = densecorr::PyramidCellCount(levels);
  std::vector<float> cost(n_cell, -7.0f);
  PyramidMatch().ComputeNodeCost(volume.data(), width, height, p, grid, cost.data());
  return cost;
}

TEST(PyramidGeometry, SampleCountsAndRanges) {
  PyramidMatch pm;
  int nx, ny, rx[2], ry[2];
  pm.ComputeSearchGrid(10, 9, 3, 5, 3, nx, ny, rx, ry);
  EXPECT_EQ(nx, 4);  // x = 0, 3, 6, 9
  EXPECT_EQ(ny, 3);
  EXPECT_EQ(rx[0], -3);
  EXPECT_EQ(rx[1], 3);
  EXPECT_EQ(ry[0], -3);
  pm.ComputeSearchGrid(10, 0, 2, 1, 0, &nx, &ny, rx, ry);
  EXPECT_EQ(nx, 5);
  EXPECT_EQ(ny, 0);
  EXPECT_EQ(rx[0], 0);  // radius below the grid: the single translation 0
  EXPECT_EQ(rx[1], 0);
}

TEST(PyramidGeometry, ShiftOrderRadius5x3Grid2) {
  std::mt19937 rng(1);
  const auto a = ref::RandomImage(rng, 6, 7, 2), b = ref::RandomImage(rng, 6, 7, 2);
  const auto r = RunCore(a, b, Params(2, 1, 5, 3, 1.0f));
  ASSERT_EQ(r.n_shift_x, 5);
  ASSERT_EQ(r.n_shift_y, 3);
  ASSERT_EQ(r.shifts.size(), 30u);
  const std::vector<int> head = {-4, -2, -4, 0, -4, 2, -2, -2};
  EXPECT_EQ(std::vector<int>(r.shifts.begin(), r.shifts.begin() + 8), head);
  EXPECT_EQ(r.shifts[28], 4);
  EXPECT_EQ(r.shifts[29], 2);
}

TEST(PyramidGeometry, CellCounts) {
  const int expected[] = {0, 1, 5, 21, 85};
  for (int L = 0; L <= 4; ++L) EXPECT_EQ(densecorr::PyramidCellCount(L), expected[L]) << L;
  EXPECT_EQ(densecorr::PyramidCellCount(-3), 0);
  EXPECT_EQ(densecorr::PyramidCellCount(15), 357913941);
  EXPECT_EQ(densecorr::PyramidCellCount(16), -1);
}

TEST(PyramidGeometry, OversizedCountsFailBeforeAnyOutput) {
  std::mt19937 rng(2);
  const auto a = ref::RandomImage(rng, 4, 4, 1);
  float cost = -7.0f;
  int shift = -7;
  // 2*(2^30)+1 translations per axis do not fit 32 bits.
  EXPECT_THROW(PyramidMatch().RunPyramidMatch(a.desc(), a.desc(),
                                              Params(1, 1, 1 << 30, 0, 1.0f), &cost, &shift),
               std::bad_alloc);
  // 4^16 does not fit 32 bits.
  EXPECT_THROW(PyramidMatch().RunPyramidMatch(a.desc(), a.desc(), Params(1, 16, 0, 0, 1.0f),
                                              &cost, &shift),
               std::bad_alloc);
  // A volume of 16385^2 translations x 16 samples overflows the 32-bit count.
  EXPECT_THROW(PyramidMatch().RunPyramidMatch(a.desc(), a.desc(),
                                              Params(1, 1, 8192, 8192, 1.0f), &cost, &shift),
               std::bad_alloc);
  EXPECT_EQ(cost, -7.0f);
  EXPECT_EQ(shift, -7);
}

TEST(PyramidClipping, EqualKeptLargerClippedNegativeAndNaN) {
  // Image 1 one pixel, one channel; image 2 holds four candidates in a row.
  ref::Image a{1, 1, 1, {0.0f}};
  ref::Image b{4, 1, 1, {3.0f, 2.0f, 5.0f, std::numeric_limits<float>::quiet_NaN()}};
  auto r = RunCore(a, b, Params(1, 1, 3, 0, 3.0f));
  // Translations dx = -3..3; only dx = 0..3 land inside image 2.
  ASSERT_EQ(r.node_cost.size(), 7u);
  EXPECT_EQ(r.node_cost[3], 3.0f);  // equal to the clip: kept
  EXPECT_EQ(r.node_cost[4], 2.0f);
  EXPECT_EQ(r.node_cost[5], 3.0f);  // 5 clipped to 3
  EXPECT_TRUE(std::isnan(r.node_cost[6]));
  EXPECT_EQ(r.node_cost[0], 3.0f);  // outside image 2: the pre-fill
  r = RunCore(a, b, Params(1, 1, 3, 0, -1.0f));
  EXPECT_EQ(r.node_cost[4], -1.0f);  // a negative clip replaces every distance
  EXPECT_TRUE(std::isnan(r.node_cost[6]));
}

TEST(PyramidClipping, OutOfImageTranslationsAndNarrowImage2) {
  std::mt19937 rng(3);
  const auto a = ref::RandomImage(rng, 4, 6, 3);
  const auto b = ref::RandomImage(rng, 4, 3, 3);  // narrower than image 1
  const float tc = 100.0f;
  const auto p = Params(1, 3, 0, 0, tc);
  std::vector<float> volume(24, tc);
  const int shift[2] = {0, 0};
  PyramidMatch().ComputeShiftDist(a.desc(), b.desc(), 1, p, volume.data(), shift);
  for (int s = 0; s < 24; ++s) {
    const int x = s / 4, y = s % 4;
    if (x >= 3)
      EXPECT_EQ(volume[s], tc) << "sample beyond image 2's width keeps the pre-fill";
    else
      EXPECT_EQ(volume[s], ref::Dist(a, y, x, b, y, x, 3));
  }
  const int left[2] = {-2, 0};
  std::fill(volume.begin(), volume.end(), tc);
  PyramidMatch().ComputeShiftDist(a.desc(), b.desc(), 1, p, volume.data(), left);
  EXPECT_EQ(volume[0], tc);  // x1 = 0 moved to x2 = -2
  EXPECT_NE(volume[2 * 4], tc);
}

TEST(PyramidPooling, FiveByFourThreeLevels) {
  // One translation; plane V(ix, iy) = ix*4 + iy + 1 (exact in float).
  std::vector<float> plane(20);
  for (int i = 0; i < 20; ++i) plane[i] = static_cast<float>(i + 1);
  const auto cost = Pool(plane, 5, 4, 1, 3);
  ASSERT_EQ(cost.size(), 21u);
  EXPECT_FLOAT_EQ(cost[0], 210.0f / 20.0f);
  auto mean = [&](int x0, int x1, int y0, int y1) {
    float s = 0;
    for (int x = x0; x <= x1; ++x)
      for (int y = y0; y <= y1; ++y) s += plane[x * 4 + y];
    return s / static_cast<float>((x1 - x0 + 1) * (y1 - y0 + 1));
  };
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      EXPECT_EQ(cost[1 + 2 * i + j], mean(2 * i, 2 * i + 1, 2 * j, 2 * j + 1)) << i << j;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(cost[5 + 4 * i + j], plane[i * 4 + j]);
}

TEST(PyramidPooling, UndividedSizesIgnoreLeftoversAtThatLevelOnly) {
  // 7 x 5 samples, level 1 cells are 3 x 2: column 6 and row 4 belong to no cell.
  std::vector<float> plane(35, 1.0f);
  for (int y = 0; y < 5; ++y) plane[6 * 5 + y] = 1000.0f;  // last column
  for (int x = 0; x < 7; ++x) plane[x * 5 + 4] = 1000.0f;  // last row
  const auto cost = Pool(plane, 7, 5, 1, 2);
  EXPECT_GT(cost[0], 100.0f);  // level 0 covers everything
  for (int c = 1; c < 5; ++c) EXPECT_EQ(cost[c], 1.0f);
}

TEST(PyramidPooling, EmptyCellsAreNaNAndEmptyPlanesWriteNothing) {
  std::vector<float> plane(6, 2.0f);  // 3 x 2 samples, level 2 has 4 x 4 cells of width 0
  const auto cost = Pool(plane, 3, 2, 1, 3);
  EXPECT_EQ(cost[0], 2.0f);
  for (int c = 5; c < 21; ++c) EXPECT_TRUE(std::isnan(cost[c])) << c;
  float sentinel[2] = {-1.0f, -1.0f};
  PyramidMatch::BuildIntegralImage(plane.data(), sentinel, 0, 5);
  PyramidMatch::BuildIntegralImage(plane.data(), sentinel, 5, 0);
  EXPECT_EQ(sentinel[0], -1.0f);
  // An image with rows but no columns has no samples; the call still succeeds.
  ref::Image a{0, 4, 2, {}};
  const auto r = RunCore(a, a, Params(1, 1, 1, 1, 5.0f));
  for (float v : r.node_cost) EXPECT_TRUE(std::isnan(v));
}

TEST(PyramidPooling, NoLevelsWritesNoCostButStillTheShifts) {
  std::mt19937 rng(4);
  const auto a = ref::RandomImage(rng, 5, 5, 2);
  for (int L : {0, -2}) {
    const auto r = RunCore(a, a, Params(2, L, 2, 2, 1.0f));
    EXPECT_TRUE(r.node_cost.empty());
    EXPECT_EQ(r.shifts.size(), 18u);
  }
}

struct Shape {
  int h1, w1, h2, w2, f, grid, levels, rx, ry;
  float tc;
};

TEST(PyramidBitExact, MatchesLiteralLoopsOnRandomInputs) {
  const Shape shapes[] = {
      {16, 20, 16, 20, 5, 1, 3, 3, 2, 2.0f},   {17, 23, 12, 31, 8, 2, 3, 7, 5, 1.5f},
      {33, 29, 40, 25, 3, 3, 3, 10, 4, 10.0f}, {9, 40, 9, 40, 17, 4, 2, 13, 9, 3.0f},
      {24, 24, 20, 20, 1, 1, 4, 2, 3, 0.5f},   {12, 10, 30, 30, 0, 2, 2, 4, 4, 1.0f},
      {31, 7, 5, 50, 33, 1, 2, 6, 6, 4.0f},
  };
  std::mt19937 rng(5);
  for (const Shape& s : shapes) {
    for (int special : {0, 7}) {
      const auto a = ref::RandomImage(rng, s.h1, s.w1, s.f, special);
      auto b = ref::RandomImage(rng, s.h2, s.w2, s.f, special);
      const auto p = Params(s.grid, s.levels, s.rx, s.ry, s.tc);
      const auto expected = ref::Pyramid(a, b, p);
      for (int threads : {1, 2, 3}) {
        WithThreads(threads, [&] {
          const auto r = RunCore(a, b, p);
          EXPECT_EQ(r.shifts, expected.shifts);
          EXPECT_TRUE(ref::SameBits(r.node_cost, expected.node_cost))
              << s.h1 << "x" << s.w1 << " f" << s.f << " threads " << threads;
        });
      }
    }
  }
}

}  // namespace
