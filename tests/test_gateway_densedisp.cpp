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
#include "common/scratch.h"
#include "densedisp/search_offsets.h"
#include "densedisp/pixel_match.h"
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kCount[] = "the number of input arg must be 4";
const char kClass[] = "wrong descriptor format: must be single";
const char kDisparity[] = "wrong disparity format: must be int32";
const char kShape[] = "wrong feature format -- it must be heightxwidthxfeat_dim";
const char kFeat[] = "different feature dimension";
const char kFieldReal[] = "wrong disparity format: must be real";
const char kFieldSize[] = "wrong disparity size: must be 2 x (height*width of image 1)";
const char kNotStruct[] = "wrong parameter format: must be a non-empty struct";
const char kRadiusFormat[] =
    "wrong parameter format: search_radius must be a real double array of at least two elements";
const char kGrid[] = "wrong parameter value: search_grid_size must be at least 1";
const char kNegative[] = "wrong parameter value: search_radius must not be negative";
const char kSearch[] = "search too large: offset and volume counts must fit a 32-bit integer";

std::string Missing(const std::string& key) { return "missing parameter field: " + key; }
std::string NotNumeric(const std::string& key) {
  return "wrong parameter format: " + key + " must be a real numeric value";
}
std::string NotInt32(const std::string& key) {
  return "wrong parameter value: " + key + " must be finite and fit a 32-bit integer";
}

void ExpectBadInput(const CallResult& r, const std::string& message) {
  ExpectRefused(r, "densecorr:densedisp:badInput", message);
}

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
  ExpectBadInput(CallDensedisp(2, {in.image1.get(), in.image2.get(), in.field.get()}), kCount);
  ExpectBadInput(CallDensedisp(2, {in.image1.get(), in.image2.get(), in.field.get(), in.params.get(),
                                  in.params.get()}),
                kCount);
  ExpectBadInput(CallDensedisp(2, {}), kCount);

  const Array double_image = Numeric(mxDOUBLE_CLASS, {20, 30, 8});
  const Array double_field = Numeric(mxDOUBLE_CLASS, {2, 600});
  const Array single_2d = RandomSingles(rng, {20, 30});
  const Array single_16 = RandomSingles(rng, {20, 30, 16});
  const auto call = [&](const mxArray* a, const mxArray* b, const mxArray* f) {
    return CallDensedisp(2, {a, b, f, in.params.get()});
  };
  ExpectBadInput(call(double_image.get(), in.image2.get(), in.field.get()), kClass);
  ExpectBadInput(call(in.image1.get(), double_image.get(), in.field.get()), kClass);
  // Image classes first, then the field's class, then the shapes.
  ExpectBadInput(call(double_image.get(), double_image.get(), double_field.get()), kClass);
  ExpectBadInput(call(in.image1.get(), in.image2.get(), double_field.get()), kDisparity);
  ExpectBadInput(call(single_2d.get(), in.image2.get(), double_field.get()), kDisparity);
  ExpectBadInput(call(single_2d.get(), in.image2.get(), in.field.get()), kShape);
  ExpectBadInput(call(in.image1.get(), single_2d.get(), in.field.get()), kShape);
  ExpectBadInput(call(in.image1.get(), single_16.get(), in.field.get()), kFeat);
}

TEST(DensedispGatewayMessages, UnsafeFieldsAndParametersRefused) {
  std::mt19937 rng(2);
  const Inputs in = Good(rng);
  const auto refused = [&](const mxArray* field, const mxArray* params,
                           const std::string& message) {
    ExpectBadInput(CallDensedisp(2, {in.image1.get(), in.image2.get(), field, params}), message);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();

  // Displacement fields of every shape but 2 x P1.
  for (const std::vector<mwSize>& dims : std::vector<std::vector<mwSize>>{
           {600, 2}, {2, 599}, {2, 601}, {1, 1200}, {3, 600}, {2, 600, 2}, {0, 0}, {2, 0}}) {
    SCOPED_TRACE(::testing::PrintToString(dims));
    refused(Numeric(mxINT32_CLASS, dims).get(), in.params.get(), kFieldSize);
  }
  // A field claiming more columns than 32 bits hold: never read.
  refused(Huge(mxINT32_CLASS, {2, (mwSize{1} << 32) + 600}).get(), in.params.get(), kFieldSize);
  refused(Numeric(mxINT32_CLASS, {2, 600}, true).get(), in.params.get(), kFieldReal);

  const mxArray* field = in.field.get();
  refused(field, Scalar(1).get(), kNotStruct);
  refused(field, Struct({0, 1}, {"search_grid_size"}).get(), kNotStruct);
  refused(field, ParamStruct({{"search_radius", {1, 1}}}).get(), Missing("search_grid_size"));
  refused(
      field,
      ParamStruct({{"search_grid_size", {1}}, {"search_radius", {1, 1}}, {"truncate_const", {1}}})
          .get(),
      Missing("deform_coeff"));
  {
    Array params = Params(1, {1, 1}, 0, 1);
    SetField(params.get(), 0, "truncate_const", Array());
    refused(field, params.get(), Missing("truncate_const"));
    SetField(params.get(), 0, "truncate_const", Numeric(mxSINGLE_CLASS, {0, 1}));
    refused(field, params.get(), NotNumeric("truncate_const"));
    SetField(params.get(), 0, "truncate_const", Numeric(mxLOGICAL_CLASS, {1, 1}));
    refused(field, params.get(), NotNumeric("truncate_const"));
    SetField(params.get(), 0, "truncate_const", Numeric(mxDOUBLE_CLASS, {1, 1}, true));
    refused(field, params.get(), NotNumeric("truncate_const"));
  }
  refused(field, Params(nan, {1, 1}, 0, 1).get(), NotInt32("search_grid_size"));
  refused(field, Params(inf, {1, 1}, 0, 1).get(), NotInt32("search_grid_size"));
  refused(field, Params(0, {1, 1}, 0, 1).get(), kGrid);
  refused(field, Params(-1, {1, 1}, 0, 1).get(), kGrid);
  refused(field, Params(1, {1}, 0, 1).get(), kRadiusFormat);
  refused(field, Params(1, {-1, 1}, 0, 1).get(), kNegative);
  refused(field, Params(1, {1, -inf}, 0, 1).get(), NotInt32("search_radius"));
  refused(field, Params(1, {2147483648.0, 0}, 0, 1).get(), NotInt32("search_radius"));
  // 2*2^30/1 + 1 offsets per axis, then volumes beyond 32 bits, then both
  // axes near 2^32 (whose product would leave 64 bits).
  refused(field, Params(1, {1 << 30, 0}, 0, 1).get(), kSearch);
  refused(field, Params(1, {2000, 2000}, 0, 1).get(), kSearch);
  refused(field, Params(1, {2147483647, 2147483647}, 0, 1).get(), kSearch);
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

TEST(DensedispGatewayFailures, OutputsTheHostCannotCreate) {
  std::mt19937 rng(6);
  const Inputs in = Good(rng);
  densecorr::ScopedGuardFigure unknown(-1, 0);
  for (std::size_t budget : {std::size_t{1000}, std::size_t{5000}}) {  // first or second output
    SCOPED_TRACE(budget);
    const std::size_t saved = SetArrayBudget(budget);
    ExpectOutOfMemory(CallDensedisp(2, in.all()));
    SetArrayBudget(saved);
  }
  ExpectFinished(CallDensedisp(2, in.all()), 2, 2);
}

TEST(DensedispGatewayFailures, WholeCallAccountedBeforeAnythingIsCreated) {
  // Outputs twice (the module's and the host's copy) plus the core's
  // scratch: a call needing exactly what the process may use runs, one
  // byte more is refused before any output exists.
  std::mt19937 rng(7);
  const Inputs in = Good(rng);
  const Array wide = Params(1, {10, 10}, 0, 1);
  const std::vector<const mxArray*> inputs = {in.image1.get(), in.image2.get(), in.field.get(),
                                              wide.get()};
  const auto plan =
      densecorr::PlanPixelCall(30, 20, 35, 25, 8, PixelMatchParams{1, {10, 10}, 0.0f, 1.0f, 0.0f});
  ASSERT_TRUE(plan.fits);
  ASSERT_EQ(plan.n_offsets, 441);
  const std::uint64_t needed = 2 * (12 * 600) + plan.scratch_bytes;
  {
    densecorr::ScopedGuardFigure exact(FigureGiving(needed), 0);
    ExpectFinished(CallDensedisp(2, inputs), 2, 2);
  }
  {
    // Blocks the first call left in the scratch cache would count as usable.
    densecorr::ReleaseScratchCache();
    densecorr::ScopedGuardFigure short_by_one(FigureGiving(needed - 1), 0);
    ExpectOutOfMemory(CallDensedisp(2, inputs), CallTooLargeText(needed, needed - 1));
  }
}

TEST(DensedispGatewayInterrupt, StopsWithNothingStoredAndTheNextCallWorks) {
  std::mt19937 rng(8);
  const Inputs in = Good(rng);
  RequestInterrupt();
  ExpectInterrupted(CallDensedisp(2, in.all()));
  ExpectFinished(CallDensedisp(2, in.all()), 2, 2);
}

}  // namespace
