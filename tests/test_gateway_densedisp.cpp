// densedisp's gateway on the host adapter: refusals and their order, output
// classes and sizes, output slots, untouched inputs (the displacement field
// above all: the refinement works on a copy), and failures that must reach
// the host as errors without outputs.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "call_checks.h"
#include "common/memory_guard.h"
#include "densedisp/pixel_match.h"
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kCount[] = "the number of input arg must be 4\n";
const char kClass[] = "wrong descriptor format: must be single\n";
const char kDisparity[] = "wrong disparity format: must be int32\n";
const char kShape[] = "wrong feature format -- it must be heightxwidthxfeat_dim\n";
const char kFeat[] = "different feature dimension\n";

Array Params(double grid, std::vector<double> radius, double deform, double truncate_const) {
  return ParamStruct({{"search_grid_size", {grid}},
                      {"search_radius", radius},
                      {"deform_coeff", {deform}},
                      {"truncate_const", {truncate_const}}});
}

CallResult CallDensedisp(int nlhs, const std::vector<const mxArray*>& inputs) {
  return Call(densecorr_densedisp_mex, nlhs, inputs);
}

Array RandomField(std::mt19937& rng, mwSize n_pixel, int spread) {
  std::vector<std::int32_t> values(2 * n_pixel);
  std::uniform_int_distribution<int> u(-spread, spread);
  for (auto& v : values) v = u(rng);
  return Int32s({2, n_pixel}, values);
}

struct Inputs {
  Array image1, image2, field, params;
  std::vector<const mxArray*> all() const {
    return {image1.get(), image2.get(), field.get(), params.get()};
  }
};

Inputs Good(std::mt19937& rng) {
  return {RandomSingles(rng, {20, 30, 8}), RandomSingles(rng, {25, 35, 8}),
          RandomField(rng, 600, 3), Params(1, {2, 1}, 0.1, 2.0)};
}

TEST(DensedispGatewayMessages, DocumentedTestsInOrder) {
  std::mt19937 rng(1);
  const Inputs in = Good(rng);
  ExpectRefused(CallDensedisp(2, {in.image1.get(), in.image2.get(), in.field.get()}), kCount);
  ExpectRefused(CallDensedisp(2, {in.image1.get(), in.image2.get(), in.field.get(), in.params.get(),
                                  in.params.get()}),
                kCount);
  ExpectRefused(CallDensedisp(2, {}), kCount);

  const Array double_image = Numeric(mxDOUBLE_CLASS, {20, 30, 8});
  const Array double_field = Numeric(mxDOUBLE_CLASS, {2, 600});
  const Array single_2d = RandomSingles(rng, {20, 30});
  const Array single_16 = RandomSingles(rng, {20, 30, 16});
  const auto call = [&](const mxArray* a, const mxArray* b, const mxArray* f) {
    return CallDensedisp(2, {a, b, f, in.params.get()});
  };
  ExpectRefused(call(double_image.get(), in.image2.get(), in.field.get()), kClass);
  ExpectRefused(call(in.image1.get(), double_image.get(), in.field.get()), kClass);
  // Image classes first, then the field's class, then the shapes.
  ExpectRefused(call(double_image.get(), double_image.get(), double_field.get()), kClass);
  ExpectRefused(call(in.image1.get(), in.image2.get(), double_field.get()), kDisparity);
  ExpectRefused(call(single_2d.get(), in.image2.get(), double_field.get()), kDisparity);
  ExpectRefused(call(single_2d.get(), in.image2.get(), in.field.get()), kShape);
  ExpectRefused(call(in.image1.get(), single_2d.get(), in.field.get()), kShape);
  ExpectRefused(call(in.image1.get(), single_16.get(), in.field.get()), kFeat);
}

TEST(DensedispGatewayMessages, UnsafeFieldsAndParametersRefused) {
  std::mt19937 rng(2);
  const Inputs in = Good(rng);
  const auto refused = [&](const mxArray* field, const mxArray* params,
                           const std::string& mention) {
    ExpectRefused(CallDensedisp(2, {in.image1.get(), in.image2.get(), field, params}), "", mention);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();

  // Displacement fields of every shape but 2 x P1.
  for (const std::vector<mwSize>& dims : std::vector<std::vector<mwSize>>{
           {600, 2}, {2, 599}, {2, 601}, {1, 1200}, {3, 600}, {2, 600, 2}, {0, 0}, {2, 0}}) {
    SCOPED_TRACE(::testing::PrintToString(dims));
    refused(Numeric(mxINT32_CLASS, dims).get(), in.params.get(), "");
  }
  // A field claiming more columns than 32 bits hold: never read.
  refused(Huge(mxINT32_CLASS, {2, (mwSize{1} << 32) + 600}).get(), in.params.get(), "");
  refused(Numeric(mxINT32_CLASS, {2, 600}, true).get(), in.params.get(), "");

  const mxArray* field = in.field.get();
  refused(field, Scalar(1).get(), "");
  refused(field, Struct({0, 1}, {"search_grid_size"}).get(), "");
  refused(field, ParamStruct({{"search_radius", {1, 1}}}).get(), "search_grid_size");
  refused(
      field,
      ParamStruct({{"search_grid_size", {1}}, {"search_radius", {1, 1}}, {"truncate_const", {1}}})
          .get(),
      "deform_coeff");
  {
    Array params = Params(1, {1, 1}, 0, 1);
    SetField(params.get(), 0, "truncate_const", Array());
    refused(field, params.get(), "truncate_const");
    SetField(params.get(), 0, "truncate_const", Numeric(mxSINGLE_CLASS, {0, 1}));
    refused(field, params.get(), "truncate_const");
    SetField(params.get(), 0, "truncate_const", Numeric(mxLOGICAL_CLASS, {1, 1}));
    refused(field, params.get(), "truncate_const");
    SetField(params.get(), 0, "truncate_const", Numeric(mxDOUBLE_CLASS, {1, 1}, true));
    refused(field, params.get(), "truncate_const");
  }
  refused(field, Params(nan, {1, 1}, 0, 1).get(), "search_grid_size");
  refused(field, Params(inf, {1, 1}, 0, 1).get(), "search_grid_size");
  refused(field, Params(0, {1, 1}, 0, 1).get(), "search_grid_size");
  refused(field, Params(-1, {1, 1}, 0, 1).get(), "search_grid_size");
  refused(field, Params(1, {1}, 0, 1).get(), "search_radius");
  refused(field, Params(1, {-1, 1}, 0, 1).get(), "search_radius");
  refused(field, Params(1, {1, -inf}, 0, 1).get(), "search_radius");
  refused(field, Params(1, {2147483648.0, 0}, 0, 1).get(), "search_radius");
  // 2*2^30/1 + 1 offsets per axis, then volumes beyond 32 bits.
  refused(field, Params(1, {1 << 30, 0}, 0, 1).get(), "");
  refused(field, Params(1, {2000, 2000}, 0, 1).get(), "");
}

TEST(DensedispGatewayOutputs, ClassesSizesValuesAndTheFieldCopy) {
  std::mt19937 rng(3);
  const Inputs in = Good(rng);
  CallResult r = CallDensedisp(2, in.all());
  ExpectFinished(r, 2, 2);
  ExpectArray(r.slots[0], mxINT32_CLASS, {2, 600});
  ExpectArray(r.slots[1], mxSINGLE_CLASS, {1, 600});

  // The same numbers as the core refining a copy of the field.
  std::vector<int> field(DataOf<int>(in.field.get()), DataOf<int>(in.field.get()) + 1200);
  std::vector<float> cost(600);
  const Descriptor d1{DataOf<float>(in.image1.get()), 30, 20, 8};
  const Descriptor d2{DataOf<float>(in.image2.get()), 35, 25, 8};
  PixelMatchParams p{1, {2, 1}, 0.1f, 2.0f, 0.0f};
  PixelMatch().RunPixelMatch(d1, d2, field.data(), cost.data(), p);
  EXPECT_EQ(std::memcmp(DataOf<int>(r.slots[0].get()), field.data(), field.size() * 4), 0);
  EXPECT_EQ(std::memcmp(DataOf<float>(r.slots[1].get()), cost.data(), cost.size() * 4), 0);

  // Fractional parameters truncate: grid 2.5 -> 2, radius (2.9, 1.5) -> (2, 1);
  // deform_coeff reaches the core as the single nearest to 0.1.
  const Array fractional = Params(2.5, {2.9, 1.5}, 0.1, 2.0);
  r = CallDensedisp(2, {in.image1.get(), in.image2.get(), in.field.get(), fractional.get()});
  ExpectFinished(r, 2, 2);
  field.assign(DataOf<int>(in.field.get()), DataOf<int>(in.field.get()) + 1200);
  p.search_grid_size = 2;
  PixelMatch().RunPixelMatch(d1, d2, field.data(), cost.data(), p);
  EXPECT_EQ(std::memcmp(DataOf<int>(r.slots[0].get()), field.data(), field.size() * 4), 0);
  EXPECT_EQ(std::memcmp(DataOf<float>(r.slots[1].get()), cost.data(), cost.size() * 4), 0);
}

TEST(DensedispGatewayOutputs, OnlyTheSlotsTheHostOffers) {
  std::mt19937 rng(4);
  const Inputs in = Good(rng);
  for (int nlhs : {0, 1, 2, 4}) {
    SCOPED_TRACE(nlhs);
    CallResult r = CallDensedisp(nlhs, in.all());
    ExpectFinished(r, nlhs, 2);
    ExpectArray(r.slots[0], mxINT32_CLASS, {2, 600});
    for (int i = 2; i < nlhs; ++i) EXPECT_EQ(r.slots[i], nullptr);
  }
}

TEST(DensedispGatewayOutputs, EmptyImageOneAndExtremeDisplacements) {
  std::mt19937 rng(5);
  const Array params = Params(1, {1, 1}, 0, 1);
  const Array empty = Numeric(mxSINGLE_CLASS, {0, 4, 3});
  const Array image = RandomSingles(rng, {4, 4, 3});
  const Array no_field = Numeric(mxINT32_CLASS, {2, 0});
  CallResult r = CallDensedisp(2, {empty.get(), image.get(), no_field.get(), params.get()});
  ExpectFinished(r, 2, 2);
  ExpectArray(r.slots[0], mxINT32_CLASS, {2, 0});
  ExpectArray(r.slots[1], mxSINGLE_CLASS, {1, 0});

  // Starting displacements at the ends of the 32-bit range: every candidate
  // leaves image 2, the out-of-image cost wins and the field moves by the
  // first offset, wrapping as 32-bit arithmetic does.
  std::vector<std::int32_t> extreme(32);
  for (std::size_t i = 0; i < extreme.size(); ++i) extreme[i] = i % 2 ? INT_MIN : INT_MAX;
  const Array field = Int32s({2, 16}, extreme);
  r = CallDensedisp(2, {image.get(), image.get(), field.get(), params.get()});
  ExpectFinished(r, 2, 2);
  for (int p = 0; p < 16; ++p) {
    // Offset (-1, -1) is first: INT_MAX - 1, and INT_MIN - 1 wraps to INT_MAX.
    EXPECT_EQ(DataOf<int>(r.slots[0].get())[2 * p], INT_MAX - 1);
    EXPECT_EQ(DataOf<int>(r.slots[0].get())[2 * p + 1], INT_MAX);
    EXPECT_EQ(DataOf<float>(r.slots[1].get())[p], 1.0f);
  }
}

TEST(DensedispGatewayOutputs, ImagesWithoutChannels) {
  // No feature values at all: every in-image candidate is at distance 0, so
  // the penalty alone decides and the zero offset wins everywhere. The host
  // may hand over no data pointer for such images; nothing may be read.
  const Array image1 = Numeric(mxSINGLE_CLASS, {3, 4, 0});
  const Array image2 = Numeric(mxSINGLE_CLASS, {5, 5, 0});
  const Array field = Numeric(mxINT32_CLASS, {2, 12});
  const Array params = Params(1, {1, 1}, 0.5, 9.0);
  CallResult r = CallDensedisp(2, {image1.get(), image2.get(), field.get(), params.get()});
  ExpectFinished(r, 2, 2);
  for (int p = 0; p < 12; ++p) {
    EXPECT_EQ(DataOf<int>(r.slots[0].get())[2 * p], 0);
    EXPECT_EQ(DataOf<int>(r.slots[0].get())[2 * p + 1], 0);
    EXPECT_EQ(DataOf<float>(r.slots[1].get())[p], 0.0f);
  }
}

TEST(DensedispGatewayFailures, AllocationFailuresLeaveNoOutput) {
  std::mt19937 rng(6);
  const Inputs in = Good(rng);
  {
    const std::size_t saved = SetArrayBudget(1000);
    ExpectOutOfMemory(CallDensedisp(2, in.all()));
    SetArrayBudget(saved);
  }
  // The volume of 441 offsets x 600 pixels (1 MB) against a figure of 64 KB.
  const Array wide = Params(1, {10, 10}, 0, 1);
  const std::vector<const mxArray*> inputs = {in.image1.get(), in.image2.get(), in.field.get(),
                                              wide.get()};
  {
    densecorr::ScopedGuardFigure little(64 << 10, 0);
    ExpectOutOfMemory(CallDensedisp(2, inputs));
  }
  ExpectFinished(CallDensedisp(2, inputs), 2, 2);
}

}  // namespace
