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
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kCount[] = "the number of input arg must be 3\n";
const char kClass[] = "wrong descriptor format: must be single\n";
const char kShape[] = "wrong feature format -- it must be heightxwidthxfeat_dim\n";
const char kFeat[] = "different feature dimension\n";

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
  ExpectRefused(CallCellcost(3, {in.image1.get(), in.image2.get()}), kCount);
  ExpectRefused(
      CallCellcost(3, {in.image1.get(), in.image2.get(), in.params.get(), in.params.get()}),
      kCount);
  ExpectRefused(CallCellcost(3, {}), kCount);

  const Array double_image = Numeric(mxDOUBLE_CLASS, {40, 30, 8});
  const Array double_2d = Numeric(mxDOUBLE_CLASS, {40, 30});
  const Array single_2d = RandomSingles(rng, {40, 30});  // feature dimension 1
  const Array single_16 = RandomSingles(rng, {40, 30, 16});
  const Array single_4d = RandomSingles(rng, {4, 3, 2, 2});
  ExpectRefused(CallCellcost(3, {double_image.get(), in.image2.get(), in.params.get()}), kClass);
  ExpectRefused(CallCellcost(3, {in.image1.get(), double_image.get(), in.params.get()}), kClass);
  // The class tests come before the shape tests.
  ExpectRefused(CallCellcost(3, {double_2d.get(), single_2d.get(), in.params.get()}), kClass);
  ExpectRefused(CallCellcost(3, {single_2d.get(), in.image2.get(), in.params.get()}), kShape);
  ExpectRefused(CallCellcost(3, {in.image1.get(), single_2d.get(), in.params.get()}), kShape);
  ExpectRefused(CallCellcost(3, {in.image1.get(), single_4d.get(), in.params.get()}), kShape);
  ExpectRefused(CallCellcost(3, {in.image1.get(), single_16.get(), in.params.get()}), kFeat);
  // The documented tests come before any test of the parameters.
  const Array not_a_struct = Scalar(1);
  ExpectRefused(CallCellcost(3, {in.image1.get(), single_16.get(), not_a_struct.get()}), kFeat);
}

TEST(CellcostGatewayMessages, UnsafeParametersRefused) {
  std::mt19937 rng(2);
  const Array image1 = RandomSingles(rng, {9, 7, 3}), image2 = RandomSingles(rng, {6, 8, 3});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto refused = [&](const Array& params, const std::string& mention) {
    ExpectRefused(CallCellcost(3, {image1.get(), image2.get(), params.get()}), "", mention);
  };

  refused(Scalar(3), "");
  refused(Struct({0, 0}, {"n_tree_level", "search_radius", "grid_size", "truncate_const"}), "");
  refused(Struct({1, 0}, {"n_tree_level"}), "");
  // Missing fields, in reading order: the first missing one is named.
  refused(ParamStruct({{"search_radius", {1, 1}}, {"grid_size", {1}}, {"truncate_const", {1}}}),
          "n_tree_level");
  refused(ParamStruct({{"n_tree_level", {1}}, {"grid_size", {1}}}), "search_radius");
  {
    // A field that exists but holds nothing (a fresh host structure).
    Array params = Params(1, {1, 1}, 1, 1);
    SetField(params.get(), 0, "grid_size", Array());
    refused(params, "grid_size");
    SetField(params.get(), 0, "grid_size", Numeric(mxDOUBLE_CLASS, {0, 0}));
    refused(params, "grid_size");
    SetField(params.get(), 0, "grid_size", Numeric(mxDOUBLE_CLASS, {1, 1}, true));
    refused(params, "grid_size");
    SetField(params.get(), 0, "grid_size", Text("2"));
    refused(params, "grid_size");
    SetField(params.get(), 0, "grid_size", Struct({1, 1}, {}));
    refused(params, "grid_size");
    SetField(params.get(), 0, "grid_size", Sparse(mxDOUBLE_CLASS, 1, 1, 1));
    refused(params, "grid_size");
  }
  {
    Array params = Params(1, {1, 1}, 1, 1);
    SetField(params.get(), 0, "search_radius", Scalar(2));
    refused(params, "search_radius");
    SetField(params.get(), 0, "search_radius", Singles({1, 2}, {1, 1}));
    refused(params, "search_radius");
    SetField(params.get(), 0, "search_radius", Int32s({1, 2}, {1, 1}));
    refused(params, "search_radius");
    SetField(params.get(), 0, "search_radius", Numeric(mxDOUBLE_CLASS, {1, 2}, true));
    refused(params, "search_radius");
    SetField(params.get(), 0, "search_radius", Sparse(mxDOUBLE_CLASS, 1, 2, 1));
    refused(params, "search_radius");
  }
  // Values the core cannot take.
  refused(Params(nan, {1, 1}, 1, 1), "n_tree_level");
  refused(Params(1, {inf, 1}, 1, 1), "search_radius");
  refused(Params(1, {1, nan}, 1, 1), "search_radius");
  refused(Params(1, {1, 1}, 3e9, 1), "grid_size");
  refused(Params(1, {1, 1}, -3e9, 1), "grid_size");
  refused(Params(1, {1, 1}, 0.9, 1), "grid_size");
  refused(Params(1, {1, 1}, -2, 1), "grid_size");
  refused(Params(1, {-1, 1}, 1, 1), "search_radius");
  refused(Params(1, {1, -1}, 1, 1), "search_radius");
  refused(Params(16, {1, 1}, 1, 1), "n_tree_level");
  // Image 1 of 9 x 7 with grid 2: a 4 x 5 sample grid serves 3 levels, not 4.
  refused(Params(4, {1, 1}, 2, 1), "n_tree_level");
  // Translation counts beyond 32 bits.
  refused(Params(1, {2e9, 2e9}, 1, 1), "");
  refused(Params(1, {1e9, 0}, 1, 1), "");
}

TEST(CellcostGatewayMessages, UnusableImagesRefusedWithoutReadingThem) {
  std::mt19937 rng(3);
  const Array params = Params(1, {1, 1}, 1, 1);
  const Array good = RandomSingles(rng, {5, 4, 2});
  // Claimed sizes beyond 32 bits: the data pointer leads nowhere, so a
  // gateway that went on would fault.
  const Array huge = Huge(mxSINGLE_CLASS, {70000, 70000, 2});
  const Array tall = Huge(mxSINGLE_CLASS, {mwSize{1} << 32, 1, 2});
  ExpectRefused(
      CallCellcost(3, {huge.get(), Huge(mxSINGLE_CLASS, {70000, 70000, 2}).get(), params.get()}),
      "", "");
  ExpectRefused(CallCellcost(3, {tall.get(), good.get(), params.get()}), "", "");
  // No elements, but a side that wraps to 1 when narrowed to 32 bits.
  const Array wraps = Numeric(mxSINGLE_CLASS, {(mwSize{1} << 32) + 1, 0, 2});
  ExpectRefused(CallCellcost(3, {wraps.get(), good.get(), params.get()}), "", "");
  const Array complex_image = Numeric(mxSINGLE_CLASS, {5, 4, 2}, true);
  ExpectRefused(CallCellcost(3, {complex_image.get(), good.get(), params.get()}), "", "");
  ExpectRefused(CallCellcost(3, {good.get(), complex_image.get(), params.get()}), "", "");
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
  ExpectRefused(CallCellcost(3, {empty1.get(), image.get(), params.get()}), "", "n_tree_level");
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

TEST(CellcostGatewayFailures, AllocationFailuresLeaveNoOutput) {
  std::mt19937 rng(8);
  const Array image = RandomSingles(rng, {16, 16, 2});
  // Outputs the host cannot create: a cost table beyond the adapter's budget.
  const std::size_t saved = SetArrayBudget(std::size_t{1} << 20);
  const Array wide = Params(1, {300, 300}, 1, 1);  // 601^2 translations: 1.4 MB of costs
  ExpectOutOfMemory(CallCellcost(3, {image.get(), image.get(), wide.get()}));
  SetArrayBudget(saved);

  // A distance volume the memory guard refuses, after the outputs exist.
  densecorr::ScopedGuardFigure little(std::int64_t{1} << 20, 0);
  ExpectOutOfMemory(CallCellcost(3, {image.get(), image.get(), wide.get()}));
  // The same call within the figure goes through.
  const Array narrow = Params(1, {2, 2}, 1, 1);
  ExpectFinished(CallCellcost(1, {image.get(), image.get(), narrow.get()}), 1, 3);
}

}  // namespace
