// cellcost's gateway on the host adapter: refusals and their order, output
// classes and sizes, output slots, untouched inputs, and failures that must
// reach the host as errors without outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "call_checks.h"
#include "cellcost/pyramid_geometry.h"
#include "cellcost/pyramid_match.h"
#include "common/memory_guard.h"
#include "common/scratch.h"
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kCount[] = "the number of input arg must be 3";
const char kClass[] = "wrong descriptor format: must be single";
const char kShape[] = "wrong feature format -- it must be heightxwidthxfeat_dim";
const char kFeat[] = "different feature dimension";
const char kStorage[] = "wrong descriptor format: must be real, not complex or sparse";
const char kSize[] = "wrong descriptor size: element count must fit a 32-bit integer";
const char kNotStruct[] = "wrong parameter format: must be a non-empty struct";
const char kRadiusFormat[] =
    "wrong parameter format: search_radius must be a real double array of at least two elements";
const char kGrid[] = "wrong parameter value: grid_size must be at least 1";
const char kNegative[] = "wrong parameter value: search_radius must not be negative";
const char kLevels[] = "wrong parameter value: n_tree_level too large for the sample grid of image 1";
const char kSearch[] = "search too large: translation and cell counts must fit a 32-bit integer";

std::string Missing(const std::string& key) { return "missing parameter field: " + key; }
std::string NotNumeric(const std::string& key) {
  return "wrong parameter format: " + key + " must be a real numeric value";
}
std::string NotInt32(const std::string& key) {
  return "wrong parameter value: " + key + " must be finite and fit a 32-bit integer";
}

void ExpectBadInput(const CallResult& r, const std::string& message) {
  ExpectRefused(r, "densecorr:cellcost:badInput", message);
}

Array Params(double levels, std::vector<double> radius, double grid, double truncate_const) {
  return ParamStruct({{"n_tree_level", {levels}},
                      {"search_radius", radius},
                      {"grid_size", {grid}},
                      {"truncate_const", {truncate_const}}});
}

CallResult CallCellcost(int nlhs, const std::vector<const mxArray*>& inputs) {
  return Call(densecorr_cellcost_mex, nlhs, inputs);
}

struct Inputs {
  Array image1, image2, params;
  std::vector<const mxArray*> all() const { return {image1.get(), image2.get(), params.get()}; }
};

Inputs Good(std::mt19937& rng) {
  return {RandomSingles(rng, {40, 30, 8}), RandomSingles(rng, {50, 20, 8}),
          Params(3, {10, 5}, 4, 0.5)};
}

TEST(CellcostGatewayMessages, DocumentedTestsInOrder) {
  std::mt19937 rng(1);
  const Inputs in = Good(rng);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), in.image2.get()}), kCount);
  ExpectBadInput(
      CallCellcost(3, {in.image1.get(), in.image2.get(), in.params.get(), in.params.get()}),
      kCount);
  ExpectBadInput(CallCellcost(3, {}), kCount);

  const Array double_image = Numeric(mxDOUBLE_CLASS, {40, 30, 8});
  const Array double_2d = Numeric(mxDOUBLE_CLASS, {40, 30});
  const Array single_2d = RandomSingles(rng, {40, 30});  // feature dimension 1
  const Array single_16 = RandomSingles(rng, {40, 30, 16});
  const Array single_4d = RandomSingles(rng, {4, 3, 2, 2});
  ExpectBadInput(CallCellcost(3, {double_image.get(), in.image2.get(), in.params.get()}), kClass);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), double_image.get(), in.params.get()}), kClass);
  // The class tests come before the shape tests.
  ExpectBadInput(CallCellcost(3, {double_2d.get(), single_2d.get(), in.params.get()}), kClass);
  ExpectBadInput(CallCellcost(3, {single_2d.get(), in.image2.get(), in.params.get()}), kShape);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), single_2d.get(), in.params.get()}), kShape);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), single_4d.get(), in.params.get()}), kShape);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), single_16.get(), in.params.get()}), kFeat);
  // The documented tests come before any test of the parameters.
  const Array not_a_struct = Scalar(1);
  ExpectBadInput(CallCellcost(3, {in.image1.get(), single_16.get(), not_a_struct.get()}), kFeat);
}

TEST(CellcostGatewayMessages, UnsafeParametersRefused) {
  std::mt19937 rng(2);
  const Array image1 = RandomSingles(rng, {9, 7, 3}), image2 = RandomSingles(rng, {6, 8, 3});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto refused = [&](const Array& params, const std::string& message) {
    ExpectBadInput(CallCellcost(3, {image1.get(), image2.get(), params.get()}), message);
  };

  refused(Scalar(3), kNotStruct);
  refused(Struct({0, 0}, {"n_tree_level", "search_radius", "grid_size", "truncate_const"}),
          kNotStruct);
  refused(Struct({1, 0}, {"n_tree_level"}), kNotStruct);
  // Missing fields, in reading order: the first missing one is named.
  refused(ParamStruct({{"search_radius", {1, 1}}, {"grid_size", {1}}, {"truncate_const", {1}}}),
          Missing("n_tree_level"));
  refused(ParamStruct({{"n_tree_level", {1}}, {"grid_size", {1}}}), Missing("search_radius"));
  {
    // A field that exists but holds nothing (a fresh host structure).
    Array params = Params(1, {1, 1}, 1, 1);
    SetField(params.get(), 0, "grid_size", Array());
    refused(params, Missing("grid_size"));
    SetField(params.get(), 0, "grid_size", Numeric(mxDOUBLE_CLASS, {0, 0}));
    refused(params, NotNumeric("grid_size"));
    SetField(params.get(), 0, "grid_size", Numeric(mxDOUBLE_CLASS, {1, 1}, true));
    refused(params, NotNumeric("grid_size"));
    SetField(params.get(), 0, "grid_size", Text("2"));
    refused(params, NotNumeric("grid_size"));
    SetField(params.get(), 0, "grid_size", Struct({1, 1}, {}));
    refused(params, NotNumeric("grid_size"));
    SetField(params.get(), 0, "grid_size", Sparse(mxDOUBLE_CLASS, 1, 1, 1));
    refused(params, NotNumeric("grid_size"));
  }
  {
    Array params = Params(1, {1, 1}, 1, 1);
    SetField(params.get(), 0, "search_radius", Scalar(2));
    refused(params, kRadiusFormat);
    SetField(params.get(), 0, "search_radius", Singles({1, 2}, {1, 1}));
    refused(params, kRadiusFormat);
    SetField(params.get(), 0, "search_radius", Int32s({1, 2}, {1, 1}));
    refused(params, kRadiusFormat);
    SetField(params.get(), 0, "search_radius", Numeric(mxDOUBLE_CLASS, {1, 2}, true));
    refused(params, kRadiusFormat);
    SetField(params.get(), 0, "search_radius", Sparse(mxDOUBLE_CLASS, 1, 2, 1));
    refused(params, kRadiusFormat);
  }
  // Values the core cannot take.
  refused(Params(nan, {1, 1}, 1, 1), NotInt32("n_tree_level"));
  refused(Params(1, {inf, 1}, 1, 1), NotInt32("search_radius"));
  refused(Params(1, {1, nan}, 1, 1), NotInt32("search_radius"));
  refused(Params(1, {1, 1}, 3e9, 1), NotInt32("grid_size"));
  refused(Params(1, {1, 1}, -3e9, 1), NotInt32("grid_size"));
  refused(Params(1, {1, 1}, 0.9, 1), kGrid);
  refused(Params(1, {1, 1}, -2, 1), kGrid);
  refused(Params(1, {-1, 1}, 1, 1), kNegative);
  refused(Params(1, {1, -1}, 1, 1), kNegative);
  refused(Params(16, {1, 1}, 1, 1), kLevels);
  // Image 1 of 9 x 7 with grid 2: a 4 x 5 sample grid serves 3 levels, not 4.
  refused(Params(4, {1, 1}, 2, 1), kLevels);
  // Translation counts beyond 32 bits: per axis, in all, twice in all.
  refused(Params(1, {2e9, 2e9}, 1, 1), kSearch);
  refused(Params(1, {1e9, 0}, 1, 1), kSearch);
  refused(Params(1, {2147483647, 2147483647}, 1, 1), kSearch);
}

TEST(CellcostGatewayMessages, UnusableImagesRefusedWithoutReadingThem) {
  std::mt19937 rng(3);
  const Array params = Params(1, {1, 1}, 1, 1);
  const Array good = RandomSingles(rng, {5, 4, 2});
  // Claimed sizes beyond 32 bits: the data pointer leads nowhere, so a
  // gateway that went on would fault.
  const Array huge = Huge(mxSINGLE_CLASS, {70000, 70000, 2});
  const Array tall = Huge(mxSINGLE_CLASS, {mwSize{1} << 32, 1, 2});
  ExpectBadInput(
      CallCellcost(3, {huge.get(), Huge(mxSINGLE_CLASS, {70000, 70000, 2}).get(), params.get()}),
      kSize);
  ExpectBadInput(CallCellcost(3, {tall.get(), good.get(), params.get()}), kSize);
  // No elements, but a side that wraps to 1 when narrowed to 32 bits.
  const Array wraps = Numeric(mxSINGLE_CLASS, {(mwSize{1} << 32) + 1, 0, 2});
  ExpectBadInput(CallCellcost(3, {wraps.get(), good.get(), params.get()}), kSize);
  const Array complex_image = Numeric(mxSINGLE_CLASS, {5, 4, 2}, true);
  ExpectBadInput(CallCellcost(3, {complex_image.get(), good.get(), params.get()}), kStorage);
  ExpectBadInput(CallCellcost(3, {good.get(), complex_image.get(), params.get()}), kStorage);
}

TEST(CellcostGatewayOutputs, ClassesSizesAndValues) {
  std::mt19937 rng(4);
  const Inputs in = Good(rng);
  CallResult r = CallCellcost(3, in.all());
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {15, 21});
  ExpectArray(r.slots[1], mxINT32_CLASS, {2, 15});
  ExpectArray(r.slots[2], mxINT32_CLASS, {1, 2});
  EXPECT_EQ(DataOf<int>(r.slots[2].get())[0], 5);
  EXPECT_EQ(DataOf<int>(r.slots[2].get())[1], 3);

  // The same numbers as the core on the same data: the gateway describes the
  // images (heights, widths, channel planes) as the core expects them.
  const Descriptor d1{DataOf<float>(in.image1.get()), 30, 40, 8};
  const Descriptor d2{DataOf<float>(in.image2.get()), 20, 50, 8};
  const PyramidMatchParams p{4, 3, {10, 5}, 0.5f};
  std::vector<float> cost(15 * 21);
  std::vector<int> shifts(30);
  PyramidMatch().RunPyramidMatch(d1, d2, p, cost.data(), shifts.data());
  EXPECT_EQ(std::memcmp(DataOf<float>(r.slots[0].get()), cost.data(), cost.size() * 4), 0);
  EXPECT_EQ(std::memcmp(DataOf<int>(r.slots[1].get()), shifts.data(), shifts.size() * 4), 0);
}

TEST(CellcostGatewayOutputs, ParameterConversions) {
  std::mt19937 rng(5);
  const Array image1 = RandomSingles(rng, {12, 10, 3}), image2 = RandomSingles(rng, {8, 9, 3});
  // Fractional values truncate: radius (3.9, 0.7) -> (3, 0), levels 2.9 -> 2.
  const Array params = Params(2.9, {3.9, 0.7}, 2, 0.1);
  CallResult r = CallCellcost(3, {image1.get(), image2.get(), params.get()});
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {3, 5});
  EXPECT_EQ(DataOf<int>(r.slots[2].get())[0], 3);
  EXPECT_EQ(DataOf<int>(r.slots[2].get())[1], 1);
  // truncate_const reaches the core as the single nearest to 0.1: a
  // translation whose samples all leave image 2 pools to exactly that.
  const Descriptor d1{DataOf<float>(image1.get()), 10, 12, 3};
  const Descriptor d2{DataOf<float>(image2.get()), 9, 8, 3};
  std::vector<float> cost(15);
  std::vector<int> shifts(6);
  PyramidMatch().RunPyramidMatch(d1, d2, PyramidMatchParams{2, 2, {3, 0}, 0.1f}, cost.data(),
                                 shifts.data());
  EXPECT_EQ(std::memcmp(DataOf<float>(r.slots[0].get()), cost.data(), cost.size() * 4), 0);

  // Integer-class scalars are read by value; L <= 0 gives a table with no columns.
  Array int_params = Params(0, {4, 4}, 4, 1);
  SetField(int_params.get(), 0, "grid_size", Int32s({1, 1}, {4}));
  SetField(int_params.get(), 0, "n_tree_level", Int32s({1, 1}, {-2}));
  r = CallCellcost(3, {image1.get(), image2.get(), int_params.get()});
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {9, 0});
  ExpectArray(r.slots[1], mxINT32_CLASS, {2, 9});
}

TEST(CellcostGatewayOutputs, OnlyTheSlotsTheHostOffers) {
  std::mt19937 rng(6);
  const Inputs in = Good(rng);
  for (int nlhs : {0, 1, 2, 3, 5}) {
    SCOPED_TRACE(nlhs);
    CallResult r = CallCellcost(nlhs, in.all());
    ExpectFinished(r, nlhs, 3);
    ExpectArray(r.slots[0], mxSINGLE_CLASS, {15, 21});
    for (int i = 3; i < nlhs; ++i) EXPECT_EQ(r.slots[i], nullptr);
  }
}

TEST(CellcostGatewayOutputs, EmptyImagesAndStructArrays) {
  // Element 0 of a structure array is the one read.
  std::mt19937 rng(7);
  const Array image = RandomSingles(rng, {6, 6, 2});
  Array params = Struct({1, 2}, {"n_tree_level", "search_radius", "grid_size", "truncate_const"});
  for (int e = 0; e < 2; ++e) {
    SetField(params.get(), e, "n_tree_level", Scalar(e == 0 ? 1 : 99));
    SetField(params.get(), e, "search_radius", Doubles({1, 3}, {2, 2, 7}));
    SetField(params.get(), e, "grid_size", Scalar(1));
    SetField(params.get(), e, "truncate_const", Scalar(1));
  }
  CallResult r = CallCellcost(3, {image.get(), image.get(), params.get()});
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {25, 1});

  // An image 2 with no pixels: every translation leaves it.
  const Array empty2 = Numeric(mxSINGLE_CLASS, {0, 5, 2});
  r = CallCellcost(3, {image.get(), empty2.get(), params.get()});
  ExpectFinished(r, 3, 3);
  for (int k = 0; k < 25; ++k) EXPECT_EQ(DataOf<float>(r.slots[0].get())[k], 1.0f);
  // An image 1 with no pixels has no sample grid, so only L <= 0 fits it.
  const Array empty1 = Numeric(mxSINGLE_CLASS, {0, 5, 2});
  ExpectBadInput(CallCellcost(3, {empty1.get(), image.get(), params.get()}), kLevels);
  const Array flat = Params(0, {1, 1}, 1, 1);
  r = CallCellcost(3, {empty1.get(), image.get(), flat.get()});
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {9, 0});
}

TEST(CellcostGatewayOutputs, ImagesWithoutChannels) {
  // No feature values at all: every in-image distance is 0, and the host may
  // hand over no data pointer for such images; nothing may be read.
  const Array image = Numeric(mxSINGLE_CLASS, {4, 4, 0});
  const Array params = Params(1, {1, 1}, 1, 5.0);
  CallResult r = CallCellcost(3, {image.get(), image.get(), params.get()});
  ExpectFinished(r, 3, 3);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {9, 1});
  EXPECT_EQ(DataOf<float>(r.slots[0].get())[4], 0.0f);  // translation (0, 0)
  // (-1, -1) leaves image 2 at 7 of the 16 samples: 7 * 5 / 16.
  EXPECT_EQ(DataOf<float>(r.slots[0].get())[0], 2.1875f);
}

TEST(CellcostGatewayFailures, OutputsTheHostCannotCreate) {
  // The host's own error becomes the module's out-of-memory error, and the
  // outputs created before it are freed.
  std::mt19937 rng(8);
  const Array image = RandomSingles(rng, {16, 16, 2});
  densecorr::ScopedGuardFigure unknown(-1, 0);
  const std::size_t saved = SetArrayBudget(std::size_t{1} << 20);
  const Array wide = Params(3, {56, 56}, 1, 1);  // 113^2 x 21 costs: 1.07 MB
  ExpectOutOfMemory(CallCellcost(3, {image.get(), image.get(), wide.get()}));
  const Array shifts_too_large = Params(0, {300, 300}, 1, 1);  // no costs, 2.9 MB of shifts
  ExpectOutOfMemory(CallCellcost(3, {image.get(), image.get(), shifts_too_large.get()}));
  SetArrayBudget(saved);
  ExpectFinished(CallCellcost(3, {image.get(), image.get(), wide.get()}), 3, 3);
}

TEST(CellcostGatewayFailures, WholeCallAccountedBeforeAnythingIsCreated) {
  // Outputs twice (the module's and the host's copy) plus the core's
  // scratch: a call needing exactly what the process may use runs, one
  // byte more is refused before any output exists.
  std::mt19937 rng(9);
  const Array image1 = RandomSingles(rng, {24, 20, 3}), image2 = RandomSingles(rng, {18, 22, 3});
  const Array params = Params(3, {30, 12}, 2, 0.5);
  const auto plan = densecorr::PlanPyramidCall(20, 24, 22, 18, 3, PyramidMatchParams{2, 3, {30, 12}, 0.5f});
  ASSERT_TRUE(plan.fits);
  const std::uint64_t n_shift = 31 * 13;
  ASSERT_EQ(plan.geometry.n_shift, static_cast<int>(n_shift));
  const std::uint64_t outputs = 4 * n_shift * 21 + 8 * n_shift + 8;
  const std::uint64_t needed = 2 * outputs + plan.scratch_bytes;
  const std::vector<const mxArray*> inputs = {image1.get(), image2.get(), params.get()};
  {
    densecorr::ScopedGuardFigure exact(FigureGiving(needed), 0);
    ExpectFinished(CallCellcost(3, inputs), 3, 3);
  }
  {
    // Blocks the first call left in the scratch cache would count as usable.
    densecorr::ReleaseScratchCache();
    densecorr::ScopedGuardFigure short_by_one(FigureGiving(needed - 1), 0);
    ExpectOutOfMemory(CallCellcost(3, inputs), CallTooLargeText(needed, needed - 1));
  }
}

TEST(CellcostGatewayInterrupt, StopsWithNothingStoredAndTheNextCallWorks) {
  std::mt19937 rng(10);
  const Inputs in = Good(rng);
  RequestInterrupt();
  ExpectInterrupted(CallCellcost(3, in.all()));
  ExpectFinished(CallCellcost(3, in.all()), 3, 3);
}

}  // namespace
