#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "densedisp/pixel_match.h"
#include "densedisp/search_offsets.h"
#include "reference.h"
#include "test_threads.h"

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

PixelMatchParams Params(int grid, int rx, int ry, float deform, float truncate_const,
                        float mismatch = 0.0f) {
  PixelMatchParams p;
  p.search_grid_size = grid;
  p.search_radius[0] = rx;
  p.search_radius[1] = ry;
  p.deform_coeff = deform;
  p.truncate_const = truncate_const;
  p.label_mismatch_cost = mismatch;
  return p;
}

std::vector<int> OffsetList(int g, int rx, int ry) {
  int n = -1;
  auto list = densecorr::BuildSearchOffsets(g, rx, ry, &n);
  return std::vector<int>(list.get(), list.get() + 2 * n);
}

std::vector<int> RandomField(std::mt19937& rng, int n_pixel, int spread) {
  std::uniform_int_distribution<int> u(-spread, spread);
  std::vector<int> field(2 * static_cast<size_t>(n_pixel));
  for (int& v : field) v = u(rng);
  return field;
}

// One-channel image with the given values, column-major.
ref::Image Column(std::vector<float> values, int height) {
  ref::Image im;
  im.height = height;
  im.width = static_cast<int>(values.size()) / height;
  im.feat_dim = 1;
  im.values = std::move(values);
  return im;
}

TEST(SearchOffsets, GridAnchoredAtMinusRadius) {
  EXPECT_EQ(OffsetList(2, 2, 1), (std::vector<int>{-2, -1, -2, 1, 0, -1, 0, 1, 2, -1, 2, 1}));
  EXPECT_EQ(OffsetList(3, 2, 0), (std::vector<int>{-2, 0, 1, 0}));
  EXPECT_EQ(OffsetList(1, 0, 0), (std::vector<int>{0, 0}));
  EXPECT_EQ(densecorr::CountSearchOffsets(2, 5, 3), 6 * 4);
}

TEST(SearchOffsets, DegenerateStepsAndRadiiGiveNoOffsets) {
  EXPECT_TRUE(OffsetList(0, 2, 2).empty());  // would never reach the radius
  EXPECT_TRUE(OffsetList(-3, 2, 2).empty());
  EXPECT_TRUE(OffsetList(1, -1, 2).empty());
  EXPECT_TRUE(OffsetList(1, 2, INT_MIN).empty());
  // The last step past a radius near the limit must not wrap into a loop.
  EXPECT_EQ(densecorr::CountSearchOffsets(INT_MAX, INT_MAX, 0), 3);
  EXPECT_EQ(OffsetList(INT_MAX, INT_MAX, 0), (std::vector<int>{-INT_MAX, 0, 0, 0, INT_MAX, 0}));
  EXPECT_THROW(densecorr::CountSearchOffsets(1, 1 << 30, 0), std::bad_alloc);
}

TEST(BestDisparity, TieKeepsTheFirstMinimumAndCostHasNoPenalty) {
  const int offsets[] = {-1, 0, 0, 0, 1, 0};
  const float volume[] = {2.0f, 1.5f, 1.0f};  // one pixel, three offsets
  int disp[2] = {7, -3};
  float cost = -1.0f;
  PixelMatch().ComputeBestDisparity(volume, disp, &cost, offsets, 0.5f, 1, 1, 3);
  EXPECT_EQ(disp[0], 7);  // totals 2.5, 1.5, 1.5: (0, 0) wins
  EXPECT_EQ(disp[1], -3);
  EXPECT_EQ(cost, 1.5f);
  // A negative coefficient is applied as given and favours the long offsets.
  PixelMatch().ComputeBestDisparity(volume, disp, &cost, offsets, -0.75f, 1, 1, 3);
  EXPECT_EQ(disp[0], 8);
  EXPECT_EQ(cost, 1.0f);
}

TEST(BestDisparity, NaNNeverWinsAndNoWinnerKeepsTheDisplacement) {
  const int offsets[] = {0, -1, 0, 0, 0, 1};
  // Pixel 0: NaN, 4, NaN. Pixel 1: all NaN. Pixel 2: FLT_MAX, +Inf, NaN.
  const float volume[] = {kNaN, kNaN, FLT_MAX, 4.0f, kNaN, kInf, kNaN, kNaN, kNaN};
  int disp[6] = {1, 1, 2, 2, 3, 3};
  float cost[3] = {-1, -1, -1};
  PixelMatch().ComputeBestDisparity(volume, disp, cost, offsets, 0.0f, 3, 1, 3);
  EXPECT_EQ(cost[0], 4.0f);
  EXPECT_EQ(disp[1], 1);
  for (int p : {1, 2}) {
    EXPECT_EQ(cost[p], kInf) << p;
    EXPECT_EQ(disp[2 * p], p + 1);
    EXPECT_EQ(disp[2 * p + 1], p + 1);
  }
}

TEST(BasicPipeline, OutOfImageCandidateWinsWithTruncateConst) {
  // Image 1: one pixel of value 0. Image 2: two pixels of value 10 and 9.
  const auto a = Column({0.0f}, 1), b = Column({10.0f, 9.0f}, 1);
  std::vector<int> disp = {0, 0};
  std::vector<float> cost(1);
  // Offsets dx = -1, 0, 1; dx = -1 leaves image 2 and costs 5 < 9.
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(),
                             Params(1, 1, 0, 0.0f, 5.0f));
  EXPECT_EQ(disp[0], -1);
  EXPECT_EQ(cost[0], 5.0f);
  // In-image distances are not clipped.
  disp = {0, 0};
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(),
                             Params(1, 1, 0, 0.0f, 50.0f));
  EXPECT_EQ(disp[0], 1);
  EXPECT_EQ(cost[0], 9.0f);
}

TEST(BasicPipeline, NoOffsetsLeaveEveryPixelWithoutWinner) {
  std::mt19937 rng(11);
  const auto a = ref::RandomImage(rng, 4, 3, 2);
  for (int grid : {0, -1}) {
    std::vector<int> disp = {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
    const auto before = disp;
    std::vector<float> cost(12, 0.0f);
    PixelMatch().RunPixelMatch(a.desc(), a.desc(), disp.data(), cost.data(),
                               Params(grid, 2, 2, 1.0f, 1.0f));
    EXPECT_EQ(disp, before);
    for (float c : cost) EXPECT_EQ(c, kInf);
  }
}

TEST(BasicPipeline, OversizedVolumeFailsBeforeTouchingOutputs) {
  std::mt19937 rng(12);
  const auto a = ref::RandomImage(rng, 64, 64, 1);
  std::vector<int> disp(2 * 64 * 64, 3);
  std::vector<float> cost(64 * 64, -2.0f);
  // 4097 x 4097 offsets x 4096 pixels does not fit a 32-bit count.
  EXPECT_THROW(PixelMatch().RunPixelMatch(a.desc(), a.desc(), disp.data(), cost.data(),
                                          Params(1, 2048, 2048, 0.0f, 1.0f)),
               std::bad_alloc);
  for (int v : disp) ASSERT_EQ(v, 3);
  for (float c : cost) ASSERT_EQ(c, -2.0f);
}

TEST(BasicPipeline, ExtremeDisplacementsNeitherWrapNorMatch) {
  const auto a = Column({1.0f, 2.0f}, 1);
  std::vector<int> disp = {INT_MAX, 0, INT_MIN, INT_MIN};
  std::vector<float> cost(2);
  PixelMatch().RunPixelMatch(a.desc(), a.desc(), disp.data(), cost.data(),
                             Params(1, 1, 1, 0.0f, 7.0f));
  // Every candidate is outside image 2: the first offset (-1, -1) wins with the pre-fill.
  EXPECT_EQ(disp, (std::vector<int>{INT_MAX - 1, -1, INT_MAX, INT_MAX}));  // wraps as int32
  EXPECT_EQ(cost, (std::vector<float>{7.0f, 7.0f}));
}

TEST(LabelPipeline, WildcardMismatchAndClipping) {
  // Image 1: one pixel (value 0). Image 2: three pixels in a row, values 1, 4, 9.
  const auto a = Column({0.0f}, 1), b = Column({1.0f, 4.0f, 9.0f}, 1);
  const auto p = Params(1, 1, 0, 0.0f, 3.0f, 100.0f);
  PixelMatch pm;
  auto volume_for = [&](unsigned char l1, std::vector<unsigned char> l2) {
    std::vector<float> volume(3, p.truncate_const);
    const int disp[2] = {1, 0};
    const auto offsets = OffsetList(1, 1, 0);
    pm.ComputeDescDist(a.desc(), b.desc(), &l1, l2.data(), p, volume.data(), disp,
                       offsets.data(), 3);
    return volume;
  };
  // Compatible everywhere: distances 1, 4, 9 clipped at 3.
  EXPECT_EQ(volume_for(2, {0, 1, 5}), (std::vector<float>{1.0f, 3.0f, 3.0f}));
  EXPECT_EQ(volume_for(7, {2, 2, 2}), (std::vector<float>{1.0f, 3.0f, 3.0f}));
  // Label 0 matches only 0 and the wildcard; the mismatch cost is not clipped.
  EXPECT_EQ(volume_for(0, {1, 0, 2}), (std::vector<float>{100.0f, 3.0f, 3.0f}));
  EXPECT_EQ(volume_for(255, {255, 1, 0}), (std::vector<float>{1.0f, 100.0f, 100.0f}));
}

TEST(LabelPipeline, LabelsOfImage2ReadOnlyWhereReached) {
  const auto a = Column({0.0f, 0.0f}, 2), b = Column({1.0f}, 1);
  std::vector<int> disp = {0, 0, 0, 0};
  std::vector<float> cost(2);
  const unsigned char wildcard[2] = {2, 2};
  // Image 1's wildcard decides alone: image 2's map may be absent.
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), wildcard, nullptr, disp.data(), cost.data(),
                             Params(1, 2, 2, 0.0f, 5.0f, 9.0f));
  EXPECT_EQ(cost, (std::vector<float>{1.0f, 1.0f}));
  // A one-pixel map of image 2 is enough for candidates that reach one pixel.
  const unsigned char labels1[2] = {1, 1}, labels2[1] = {0};
  disp = {0, 0, 0, 0};
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), labels1, labels2, disp.data(), cost.data(),
                             Params(1, 2, 2, 0.0f, 5.0f, 9.0f));
  EXPECT_EQ(cost, (std::vector<float>{5.0f, 5.0f}));  // mismatch 9 loses to outside 5
}

std::vector<int> Regions(std::initializer_list<int> values) { return values; }

TEST(RegionUpdate, RectanglesOrderAndStrictImprovement) {
  // Image 1 and 2: 3 x 3, one channel, pixel value = its index.
  std::vector<float> values(9);
  for (int i = 0; i < 9; ++i) values[i] = static_cast<float>(i);
  const auto im = Column(values, 3);
  const auto p = Params(1, 0, 0, 0.0f, 0.0f);
  auto run = [&](const std::vector<int>& regions, const std::vector<int>& rdisp,
                 std::vector<float>& cost, std::vector<int>& disp) {
    PixelMatch().RunPixelMatch(im.desc(), im.desc(), regions.data(), rdisp.data(), disp.data(),
                               cost.data(), static_cast<int>(rdisp.size() / 2), p);
  };
  std::vector<int> disp(18, 42);
  std::vector<float> cost(9, 100.0f);
  // Empty list, reversed rectangles and rectangles outside image 1 change nothing.
  run({}, {}, cost, disp);
  run(Regions({2, 1, 0, 2, 0, 2, 2, 1, 5, 9, 0, 2, -4, -1, 0, 2}), {0, 0, 0, 0, 0, 0, 0, 0},
      cost, disp);
  EXPECT_EQ(disp, std::vector<int>(18, 42));
  EXPECT_EQ(cost, std::vector<float>(9, 100.0f));
  // A rectangle reaching beyond the image updates its pixels inside only: column 2,
  // rows 0..1, matched one row down: |v - (v + 1)| = 1; the displacement is replaced.
  run(Regions({2, 7, -3, 1}), {0, 1}, cost, disp);
  for (int pix = 0; pix < 9; ++pix) {
    const bool inside = pix == 6 || pix == 7;
    EXPECT_EQ(cost[pix], inside ? 1.0f : 100.0f) << pix;
    EXPECT_EQ(disp[2 * pix + 1], inside ? 1 : 42) << pix;
  }
  // Overlapping regions in order: the second ties (cost 1) and must not replace the first.
  run(Regions({2, 2, 0, 0, 2, 2, 0, 0}), {0, 2, 0, 1}, cost, disp);
  EXPECT_EQ(disp[13], 1);  // the tie (|6 - 7| = 1 again) keeps the earlier result
  // A strictly better match (itself, cost 0) replaces it, including a NaN-free pixel.
  run(Regions({2, 2, 0, 0}), {0, 0}, cost, disp);
  EXPECT_EQ(cost[6], 0.0f);
  EXPECT_EQ(disp[12], 0);
  EXPECT_EQ(disp[13], 0);
  // A NaN stored cost is never replaced; neither is an all-outside pixel's +Inf.
  cost[0] = kNaN;
  cost[1] = kInf;
  run(Regions({0, 0, 0, 0, 0, 0, 1, 1}), {0, 0, 50, 0}, cost, disp);
  EXPECT_TRUE(std::isnan(cost[0]));
  EXPECT_EQ(cost[1], kInf);
  EXPECT_EQ(disp[2], 42);
}

TEST(RegionUpdate, DisplacementIsRegionPlusOffsetWithEuclideanPenalty) {
  // Image 2 holds a copy of image 1's only pixel 3 right and 4 down, and a worse
  // match on the region's own displacement.
  ref::Image a = Column({1.0f}, 1);
  ref::Image b = Column(std::vector<float>(8 * 8, 50.0f), 8);
  b.values[3 * 8 + 4] = 1.0f;  // x = 3, y = 4
  b.values[0] = 1.5f;          // x = 0, y = 0
  const std::vector<int> region = {0, 0, 0, 0}, rdisp = {0, 0};
  std::vector<int> disp = {9, 9};
  std::vector<float> cost = {kInf};
  // Offsets up to (3, 4) have Euclidean length 5: with deform 0.1 the far exact
  // match scores 0.5, the near one 0.5 as well, and the earlier offset wins.
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), region.data(), rdisp.data(), disp.data(),
                             cost.data(), 1, Params(1, 4, 4, 0.1f, 0.0f));
  EXPECT_EQ(disp, (std::vector<int>{0, 0}));
  EXPECT_EQ(cost[0], 0.5f + 0.0f);
  disp = {9, 9};
  cost = {kInf};
  PixelMatch().RunPixelMatch(a.desc(), b.desc(), region.data(), rdisp.data(), disp.data(),
                             cost.data(), 1, Params(1, 4, 4, 0.05f, 0.0f));
  EXPECT_EQ(disp, (std::vector<int>{3, 4}));
  EXPECT_EQ(cost[0], 5.0f * 0.05f);
}

struct Shape {
  int h1, w1, h2, w2, f, grid, rx, ry;
  float deform, tc;
};

const Shape kShapes[] = {
    {12, 9, 12, 9, 4, 1, 2, 2, 0.1f, 2.0f},   {17, 13, 9, 21, 7, 2, 3, 2, 0.05f, 1.5f},
    {8, 30, 20, 6, 1, 3, 5, 4, -0.02f, 0.8f}, {23, 5, 23, 5, 33, 1, 1, 3, 0.0f, 3.0f},
    {10, 11, 14, 12, 0, 1, 2, 1, 0.3f, 1.0f}, {1, 40, 3, 40, 16, 2, 4, 0, 0.01f, 5.0f},
};

TEST(PixelBitExact, BasicPipelineMatchesLiteralLoops) {
  std::mt19937 rng(21);
  for (const Shape& s : kShapes) {
    for (int special : {0, 9}) {
      const auto a = ref::RandomImage(rng, s.h1, s.w1, s.f, special);
      const auto b = ref::RandomImage(rng, s.h2, s.w2, s.f, special);
      const auto p = Params(s.grid, s.rx, s.ry, s.deform, s.tc);
      const auto start = RandomField(rng, s.h1 * s.w1, 4);
      auto expected_disp = start;
      std::vector<float> expected_cost;
      ref::Pixel(a, b, expected_disp, expected_cost, p);
      for (int threads : {1, 2, 3}) {
        WithThreads(threads, [&] {
          auto disp = start;
          std::vector<float> cost(s.h1 * s.w1, -9.0f);
          PixelMatch().RunPixelMatch(a.desc(), b.desc(), disp.data(), cost.data(), p);
          EXPECT_EQ(disp, expected_disp) << s.h1 << "x" << s.w1 << " threads " << threads;
          EXPECT_TRUE(ref::SameBits(cost, expected_cost))
              << s.h1 << "x" << s.w1 << " threads " << threads;
        });
      }
    }
  }
}

TEST(PixelBitExact, LabelPipelineMatchesLiteralLoops) {
  std::mt19937 rng(22);
  std::uniform_int_distribution<int> label(0, 3);
  for (const Shape& s : kShapes) {
    const auto a = ref::RandomImage(rng, s.h1, s.w1, s.f, 11);
    const auto b = ref::RandomImage(rng, s.h2, s.w2, s.f, 11);
    std::vector<unsigned char> l1(s.h1 * s.w1), l2(s.h2 * s.w2);
    for (auto& v : l1) v = static_cast<unsigned char>(label(rng));
    for (auto& v : l2) v = static_cast<unsigned char>(label(rng));
    const auto p = Params(s.grid, s.rx, s.ry, s.deform, s.tc, 0.9f * s.tc);
    const auto start = RandomField(rng, s.h1 * s.w1, 3);
    auto expected_disp = start;
    std::vector<float> expected_cost;
    ref::Pixel(a, b, expected_disp, expected_cost, p, l1.data(), l2.data());
    auto disp = start;
    std::vector<float> cost(s.h1 * s.w1, -9.0f);
    PixelMatch().RunPixelMatch(a.desc(), b.desc(), l1.data(), l2.data(), disp.data(),
                               cost.data(), p);
    EXPECT_EQ(disp, expected_disp) << s.h1 << "x" << s.w1;
    EXPECT_TRUE(ref::SameBits(cost, expected_cost)) << s.h1 << "x" << s.w1;
  }
}

TEST(PixelBitExact, RegionUpdateMatchesLiteralLoops) {
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> coord(-3, 25);
  for (const Shape& s : kShapes) {
    const auto a = ref::RandomImage(rng, s.h1, s.w1, s.f, 13);
    const auto b = ref::RandomImage(rng, s.h2, s.w2, s.f, 13);
    const auto p = Params(s.grid, s.rx, s.ry, s.deform, s.tc);
    std::vector<int> regions, rdisp = RandomField(rng, 6, 5);
    for (int r = 0; r < 6; ++r)
      for (int i = 0; i < 4; ++i) regions.push_back(coord(rng));
    const auto start = RandomField(rng, s.h1 * s.w1, 3);
    std::vector<float> start_cost(s.h1 * s.w1);
    std::uniform_real_distribution<float> u(0.0f, 3.0f);
    for (float& c : start_cost) c = u(rng);
    start_cost[0] = kNaN;
    auto expected_disp = start, disp = start;
    auto expected_cost = start_cost, cost = start_cost;
    ref::Regions(a, b, regions, rdisp, expected_disp, expected_cost, p);
    PixelMatch().RunPixelMatch(a.desc(), b.desc(), regions.data(), rdisp.data(), disp.data(),
                               cost.data(), 6, p);
    EXPECT_EQ(disp, expected_disp) << s.h1 << "x" << s.w1;
    EXPECT_TRUE(ref::SameBits(cost, expected_cost)) << s.h1 << "x" << s.w1;
  }
}

}  // namespace
