// densedesc's gateway on the host adapter: every documented refusal with
// its identifier and nothing assigned, outputs equal to the core's for each
// pixel class and option, untouched inputs, and the failures (interrupt,
// memory) that must reach the host as errors without an output.
#include <gtest/gtest.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "call_checks.h"
#include "common/image_view.h"
#include "common/memory_guard.h"
#include "densedesc/dense_descriptor.h"
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kBadInput[] = "densecorr:densedesc:badInput";
// Channels of the default descriptor.
const mwSize kChannels = densecorr::DescriptorChannels(densecorr::DescribeOptions());

CallResult CallDensedesc(int nlhs, const std::vector<const mxArray*>& inputs) {
  return Call(densecorr_densedesc_mex, nlhs, inputs);
}

void ExpectBadInput(const CallResult& r, const std::string& message) {
  ExpectRefused(r, kBadInput, "densedesc: " + message);
}

Array RandomBytes(std::mt19937& rng, mxClassID class_id, std::vector<mwSize> dims) {
  Array image = Numeric(class_id, std::move(dims));
  unsigned char* bytes = DataOf<unsigned char>(image.get());
  for (std::size_t i = 0; i < DataBytes(image.get()); ++i) bytes[i] = rng() & 0xff;
  return image;
}

// A smooth picture with edges, in [0, 1], of any pixel class.
Array Picture(mxClassID class_id, mwSize h, mwSize w, mwSize c) {
  Array image = Numeric(class_id, {h, w, c});
  const std::size_t n = mxGetNumberOfElements(image.get());
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t y = i % h, x = (i / h) % w, ch = i / (h * w);
    const double v = 0.5 + 0.4 * std::sin(0.7 * x + 0.3 * y * (ch + 1)) * ((x + y) % 7 < 3);
    switch (class_id) {
      case mxUINT8_CLASS: DataOf<std::uint8_t>(image.get())[i] = std::uint8_t(v * 255); break;
      case mxUINT16_CLASS: DataOf<std::uint16_t>(image.get())[i] = std::uint16_t(v * 65535); break;
      case mxSINGLE_CLASS: DataOf<float>(image.get())[i] = float(v); break;
      default: DataOf<double>(image.get())[i] = v; break;
    }
  }
  return image;
}

densecorr::PixelType TypeOf(const mxArray* image) {
  switch (mxGetClassID(image)) {
    case mxUINT8_CLASS: return densecorr::PixelType::kUint8;
    case mxUINT16_CLASS: return densecorr::PixelType::kUint16;
    case mxSINGLE_CLASS: return densecorr::PixelType::kFloat32;
    default: return densecorr::PixelType::kFloat64;
  }
}

// The core's descriptor of a host image, as the gateway must return it.
std::vector<float> CoreDescriptor(const mxArray* image, const densecorr::DescribeOptions& o) {
  const std::vector<mwSize> dims = DimsOf(image);
  const int h = int(dims[0]), w = int(dims[1]), c = dims.size() > 2 ? int(dims[2]) : 1;
  std::vector<float> out(std::size_t(h) * w * densecorr::DescriptorChannels(o));
  densecorr::DescribeImage(
      densecorr::ColumnMajorImage(mxGetData(image), TypeOf(image), w, h, c), o, out.data());
  return out;
}

void ExpectSameFloats(const mxArray* out, const std::vector<float>& expected) {
  ASSERT_EQ(mxGetNumberOfElements(out), expected.size());
  if (expected.empty()) return;
  EXPECT_EQ(std::memcmp(DataOf<float>(out), expected.data(), expected.size() * sizeof(float)), 0);
}

TEST(DensedescGatewayMessages, ArgumentsAndImages) {
  const Array image = Picture(mxUINT8_CLASS, 6, 5, 1);
  const Array params = Struct({1, 1}, {});
  ExpectBadInput(CallDensedesc(1, {}), "densedesc takes an image and an optional params struct");
  ExpectBadInput(CallDensedesc(1, {image.get(), params.get(), params.get()}),
                 "densedesc takes an image and an optional params struct");
  ExpectBadInput(CallDensedesc(2, {image.get()}), "densedesc returns one output");

  const char kClass[] = "image must be uint8, uint16, single or double";
  for (mxClassID c : {mxINT8_CLASS, mxINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS,
                      mxLOGICAL_CLASS, mxCHAR_CLASS}) {
    const Array bad = Numeric(c, {6, 5});
    ExpectBadInput(CallDensedesc(1, {bad.get()}), kClass);
  }
  ExpectBadInput(CallDensedesc(1, {params.get()}), kClass);
  const Array complex = Numeric(mxSINGLE_CLASS, {6, 5}, true);
  ExpectBadInput(CallDensedesc(1, {complex.get()}), "image must be real and not sparse");
  const Array sparse = Sparse(mxDOUBLE_CLASS, 6, 5, 3);
  ExpectBadInput(CallDensedesc(1, {sparse.get()}), "image must be real and not sparse");
  const char kShape[] = "image must be H x W (grey) or H x W x 3 (RGB)";
  for (const std::vector<mwSize>& dims : std::vector<std::vector<mwSize>>{
           {6, 5, 2}, {6, 5, 4}, {6, 5, 3, 2}, {6, 5, 1, 2}, {6, 5, 0}}) {
    const Array bad = Numeric(mxDOUBLE_CLASS, dims);
    ExpectBadInput(CallDensedesc(1, {bad.get()}), kShape);
  }
  // Sides beyond 32 bits are refused before any pixel is read.
  const Array wide = Huge(mxUINT8_CLASS, {2, mwSize{1} << 32});
  ExpectBadInput(CallDensedesc(1, {wide.get()}),
                 "image height and width must fit a 32-bit integer");
}

TEST(DensedescGatewayMessages, Parameters) {
  const Array image = Picture(mxDOUBLE_CLASS, 6, 5, 1);
  const auto refused = [&](const Array& params, const std::string& message) {
    ExpectBadInput(CallDensedesc(1, {image.get(), params.get()}), message);
  };
  refused(Scalar(1), "params must be a 1 x 1 struct");
  refused(Struct({1, 2}, {"cell_size"}), "params must be a 1 x 1 struct");
  refused(Struct({0, 0}, {}), "params must be a 1 x 1 struct");
  refused(OneField("cellsize", Scalar(2)), "unknown field params.cellsize");
  refused(OneField("cell_size", Array()), "params.cell_size is not set");
  refused(OneField("cell_size", Text("2")), "params.cell_size must be a real numeric scalar");
  refused(OneField("cell_size", Doubles({1, 2}, {2, 2})),
          "params.cell_size must be a real numeric scalar");
  refused(OneField("cell_size", Numeric(mxDOUBLE_CLASS, {0, 0})),
          "params.cell_size must be a real numeric scalar");
  refused(OneField("cell_size", Numeric(mxDOUBLE_CLASS, {1, 1}, true)),
          "params.cell_size must be a real numeric scalar");
  refused(OneField("cell_size", Sparse(mxDOUBLE_CLASS, 1, 1, 1)),
          "params.cell_size must be a real numeric scalar");
  refused(OneField("cell_size", Scalar(std::numeric_limits<double>::quiet_NaN())),
          "params.cell_size must be finite");
  refused(OneField("smoothing_sigma", Scalar(std::numeric_limits<double>::infinity())),
          "params.smoothing_sigma must be finite");
  refused(OneField("cell_size", Scalar(2.5)), "params.cell_size must be a whole number from 1 to 16");
  refused(OneField("cell_size", Scalar(17)), "params.cell_size must be a whole number from 1 to 16");
  refused(OneField("n_orientations", Scalar(1)),
          "params.n_orientations must be a whole number from 2 to 32");
  refused(OneField("grid_cells", Int32s({1, 1}, {9})),
          "params.grid_cells must be a whole number from 1 to 8");
  refused(OneField("n_threads", Scalar(-1)), "params.n_threads must be a whole number from 0 to 1024");
  refused(OneField("smoothing_sigma", Scalar(10.5)), "params.smoothing_sigma must lie from 0 to 10");
  refused(OneField("norm_floor", Scalar(0)), "params.norm_floor must lie from 1e-30 to 1e30");
  refused(OneField("root_normalise", Text("y")),
          "params.root_normalise must be a logical or numeric scalar");
  refused(OneField("root_normalise", Numeric(mxLOGICAL_CLASS, {1, 2})),
          "params.root_normalise must be a logical or numeric scalar");
  // A sparse scalar stores no value when it is false: its data pointer does
  // not lead to the flag.
  for (mxClassID c : {mxLOGICAL_CLASS, mxDOUBLE_CLASS}) {
    for (mwSize n_stored : {0, 1})
      refused(OneField("root_normalise", Sparse(c, 1, 1, n_stored)),
              "params.root_normalise must not be sparse");
  }
  refused(OneField("root_normalise", Numeric(mxDOUBLE_CLASS, {1, 1}, true)),
          "params.root_normalise must be a real numeric scalar");
}

TEST(DensedescGatewayOutputs, EveryPixelClassAndShapeMatchesTheCore) {
  const densecorr::DescribeOptions defaults;
  for (mxClassID c : {mxUINT8_CLASS, mxUINT16_CLASS, mxSINGLE_CLASS, mxDOUBLE_CLASS}) {
    for (mwSize channels : {1, 3}) {
      const Array image = Picture(c, 9, 13, channels);
      for (int nlhs : {0, 1}) {
        const CallResult r = CallDensedesc(nlhs, {image.get()});
        ExpectFinished(r, nlhs, 1);
        ExpectArray(r.slots[0], mxSINGLE_CLASS, {9, 13, kChannels});
        ExpectSameFloats(r.slots[0].get(), CoreDescriptor(image.get(), defaults));
      }
    }
  }
  // Any bytes at all, NaN and Inf included, give a descriptor in [0, 1].
  std::mt19937 rng(3);
  for (mxClassID c : {mxSINGLE_CLASS, mxDOUBLE_CLASS, mxUINT16_CLASS}) {
    const Array image = RandomBytes(rng, c, {7, 8, 3});
    const CallResult r = CallDensedesc(1, {image.get()});
    ExpectFinished(r, 1, 1);
    const float* d = DataOf<float>(r.slots[0].get());
    for (std::size_t i = 0; i < mxGetNumberOfElements(r.slots[0].get()); ++i)
      ASSERT_TRUE(d[i] >= 0.0f && d[i] <= 1.0f) << i << " " << d[i];
  }
}

TEST(DensedescGatewayOutputs, EmptyImagesGiveEmptyDescriptors) {
  for (const std::vector<mwSize>& dims :
       std::vector<std::vector<mwSize>>{{0, 0}, {0, 7}, {5, 0}, {0, 4, 3}}) {
    const Array image = Numeric(mxUINT8_CLASS, dims);
    const CallResult r = CallDensedesc(1, {image.get()});
    ExpectFinished(r, 1, 1);
    ExpectArray(r.slots[0], mxSINGLE_CLASS, {dims[0], dims[1], kChannels});
  }
}

TEST(DensedescGatewayOutputs, ParametersReachTheCore) {
  const Array image = Picture(mxSINGLE_CLASS, 11, 10, 3);
  densecorr::DescribeOptions o;
  o.smoothing_sigma = 0.0f;
  o.n_orientations = 5;
  o.cell_size = 2;
  o.grid_cells = 2;
  o.norm_floor = 0.5f;
  o.root_normalise = false;
  std::vector<std::pair<std::string, Array>> fields;
  fields.emplace_back("smoothing_sigma", Numeric(mxUINT8_CLASS, {1, 1}));
  fields.emplace_back("n_orientations", Int32s({1, 1}, {5}));
  fields.emplace_back("cell_size", Singles({1, 1}, {2.0f}));
  fields.emplace_back("grid_cells", Scalar(2));
  fields.emplace_back("norm_floor", Scalar(0.5));
  fields.emplace_back("root_normalise", Numeric(mxLOGICAL_CLASS, {1, 1}));
  fields.emplace_back("n_threads", Scalar(2));
  const Array params = StructOf(std::move(fields));
  const CallResult r = CallDensedesc(1, {image.get(), params.get()});
  ExpectFinished(r, 1, 1);
  ExpectArray(r.slots[0], mxSINGLE_CLASS, {11, 10, 20});
  ExpectSameFloats(r.slots[0].get(), CoreDescriptor(image.get(), o));

  // root_normalise as a number, and as a logical true.
  Array logical_true = Numeric(mxLOGICAL_CLASS, {1, 1});
  *DataOf<mxLogical>(logical_true.get()) = true;
  densecorr::DescribeOptions rooted;
  for (Array* value : {&logical_true}) {
    const Array p = OneField("root_normalise", std::move(*value));
    const CallResult rr = CallDensedesc(1, {image.get(), p.get()});
    ExpectFinished(rr, 1, 1);
    ExpectSameFloats(rr.slots[0].get(), CoreDescriptor(image.get(), rooted));
  }
  densecorr::DescribeOptions divided;
  divided.root_normalise = false;
  const Array p = OneField("root_normalise", Scalar(0));
  const CallResult rr = CallDensedesc(1, {image.get(), p.get()});
  ExpectFinished(rr, 1, 1);
  ExpectSameFloats(rr.slots[0].get(), CoreDescriptor(image.get(), divided));
}

TEST(DensedescGatewayOutputs, ThreadCountsGiveTheSameBits) {
  const Array image = Picture(mxDOUBLE_CLASS, 40, 37, 1);
  const Array one = OneField("n_threads", Scalar(1));
  const CallResult serial = CallDensedesc(1, {image.get(), one.get()});
  ExpectFinished(serial, 1, 1);
  const float* a = DataOf<float>(serial.slots[0].get());
  const std::vector<float> expected(a, a + mxGetNumberOfElements(serial.slots[0].get()));
  for (double n : {2.0, 3.0, 0.0}) {
    const Array p = OneField("n_threads", Scalar(n));
    const CallResult r = CallDensedesc(1, {image.get(), p.get()});
    ExpectFinished(r, 1, 1);
    ExpectSameFloats(r.slots[0].get(), expected);
  }
}

TEST(DensedescGatewayFailures, InterruptLeavesNothingAndTheNextCallWorks) {
  const Array image = Picture(mxUINT8_CLASS, 20, 30, 3);
  RequestInterrupt();
  ExpectInterrupted(CallDensedesc(1, {image.get()}));
  ExpectFinished(CallDensedesc(1, {image.get()}), 1, 1);
}

TEST(DensedescGatewayFailures, MemoryRefusedByTheGuardOrTheHost) {
  const Array image = Picture(mxUINT8_CLASS, 20, 30, 1);
  const std::string text = "densedesc: out of memory";
  {
    // The guard refuses the output (20*30*kChannels floats) or the scratch.
    densecorr::ScopedGuardFigure small(64 << 10, 0);
    ExpectOutOfMemory(CallDensedesc(1, {image.get()}), text);
  }
  {
    // The guard lets it through but the host cannot create the output.
    densecorr::ScopedGuardFigure unknown(-1, 0);
    const std::size_t saved = SetArrayBudget(20 * 30 * kChannels * 4 - 1);
    const CallResult r = CallDensedesc(1, {image.get()});
    SetArrayBudget(saved);
    ExpectOutOfMemory(r, text);
  }
  // A size whose descriptor cannot be counted in bytes.
  const Array huge = Huge(mxUINT8_CLASS, {INT32_MAX, INT32_MAX});
  ExpectOutOfMemory(CallDensedesc(1, {huge.get()}), text);
  ExpectFinished(CallDensedesc(1, {image.get()}), 1, 1);
}

}  // namespace
