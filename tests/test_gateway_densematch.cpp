// densematch's gateway on the host adapter: every documented refusal with
// its identifier and nothing assigned, outputs of image 1's size equal to
// the core's, untouched inputs, and the failures (interrupt, memory) that
// must reach the host as errors without outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "call_checks.h"
#include "common/image_view.h"
#include "common/memory_guard.h"
#include "common/scratch.h"
#include "densematch/match_images.h"
#include "gateways.h"
#include "host_adapter.h"

namespace {

using namespace hostadapter;

const char kBadInput[] = "densecorr:densematch:badInput";

CallResult CallDensematch(int nlhs, const std::vector<const mxArray*>& inputs) {
  return Call(densecorr_densematch_mex, nlhs, inputs);
}

void ExpectBadInput(const CallResult& r, const std::string& message) {
  ExpectRefused(r, kBadInput, message);
}

// A textured picture, shifted by (sx, sy) pixels, in [0, 1] on any class.
Array Picture(mxClassID class_id, mwSize h, mwSize w, mwSize c, double sx = 0, double sy = 0) {
  Array image = Numeric(class_id, {h, w, c});
  const std::size_t n = mxGetNumberOfElements(image.get());
  for (std::size_t i = 0; i < n; ++i) {
    const double y = double(i % h) - sy, x = double((i / h) % w) - sx;
    const double ch = double(i / (h * w));
    const double v = 0.5 + 0.25 * std::sin(0.9 * x + 0.2 * y + ch) + 0.2 * std::cos(0.5 * y - 0.3 * x);
    switch (class_id) {
      case mxUINT8_CLASS: DataOf<std::uint8_t>(image.get())[i] = std::uint8_t(v * 255); break;
      case mxUINT16_CLASS: DataOf<std::uint16_t>(image.get())[i] = std::uint16_t(v * 65535); break;
      case mxSINGLE_CLASS: DataOf<float>(image.get())[i] = float(v); break;
      default: DataOf<double>(image.get())[i] = v; break;
    }
  }
  return image;
}

densecorr::ImageView View(const mxArray* image) {
  const std::vector<mwSize> dims = DimsOf(image);
  densecorr::PixelType type = densecorr::PixelType::kFloat64;
  switch (mxGetClassID(image)) {
    case mxUINT8_CLASS: type = densecorr::PixelType::kUint8; break;
    case mxUINT16_CLASS: type = densecorr::PixelType::kUint16; break;
    case mxSINGLE_CLASS: type = densecorr::PixelType::kFloat32; break;
    default: break;
  }
  return densecorr::ColumnMajorImage(mxGetData(image), type, int(dims[1]), int(dims[0]),
                                     dims.size() > 2 ? int(dims[2]) : 1);
}

// Options that keep a call short: one refinement scale, one warp.
std::vector<std::pair<std::string, Array>> QuickFields() {
  std::vector<std::pair<std::string, Array>> fields;
  fields.emplace_back("flow_scales", Scalar(2));
  fields.emplace_back("flow_warps", Scalar(1));
  fields.emplace_back("global_motion", Scalar(0));
  return fields;
}

densecorr::MatchOptions QuickOptions() {
  densecorr::MatchOptions o;
  o.flow_scales = 2;
  o.flow_warps = 1;
  o.global_motion = false;
  return o;
}

// The four outputs against the core's fields, bit for bit.
void ExpectCoreResult(const CallResult& r, int nlhs, const mxArray* image1, const mxArray* image2,
                      const densecorr::MatchOptions& options) {
  const densecorr::MatchResult m = densecorr::MatchImages(View(image1), View(image2), options);
  const int n_out = std::max(nlhs, 1);
  ExpectFinished(r, nlhs, 4);
  const std::vector<mwSize> size = {mwSize(m.height), mwSize(m.width)};
  const std::vector<float>* fields[4] = {&m.dx, &m.dy, nullptr, &m.cost};
  for (int i = 0; i < n_out; ++i) {
    ExpectArray(r.slots[i], i == 2 ? mxLOGICAL_CLASS : mxSINGLE_CLASS, size);
    if (i == 2) {
      const mxLogical* valid = DataOf<mxLogical>(r.slots[i].get());
      for (std::size_t p = 0; p < m.valid.size(); ++p)
        ASSERT_EQ(valid[p], m.valid[p] != 0) << "pixel " << p;
    } else {
      ASSERT_EQ(std::memcmp(DataOf<float>(r.slots[i].get()), fields[i]->data(),
                            fields[i]->size() * sizeof(float)),
                0)
          << "output " << i;
    }
  }
}

TEST(DensematchGatewayMessages, ArgumentsAndImages) {
  const Array a = Picture(mxUINT8_CLASS, 12, 14, 1), b = Picture(mxUINT8_CLASS, 12, 14, 3);
  const Array options = Struct({1, 1}, {});
  const char kCount[] = "densematch takes two images and an optional options struct";
  ExpectBadInput(CallDensematch(1, {}), kCount);
  ExpectBadInput(CallDensematch(1, {a.get()}), kCount);
  ExpectBadInput(CallDensematch(1, {a.get(), b.get(), options.get(), options.get()}), kCount);
  ExpectBadInput(CallDensematch(5, {a.get(), b.get()}), "densematch returns at most four outputs");

  for (mxClassID c : {mxINT8_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS}) {
    const Array bad = Numeric(c, {12, 14});
    ExpectBadInput(CallDensematch(1, {bad.get(), b.get()}),
                   "image1 must be uint8, uint16, single or double");
    ExpectBadInput(CallDensematch(1, {a.get(), bad.get()}),
                   "image2 must be uint8, uint16, single or double");
  }
  ExpectBadInput(CallDensematch(1, {options.get(), b.get()}),
                 "image1 must be uint8, uint16, single or double");
  const Array complex = Numeric(mxDOUBLE_CLASS, {12, 14}, true);
  const Array sparse = Sparse(mxDOUBLE_CLASS, 12, 14, 5);
  ExpectBadInput(CallDensematch(1, {complex.get(), b.get()}), "image1 must be real and full");
  ExpectBadInput(CallDensematch(1, {a.get(), sparse.get()}), "image2 must be real and full");
  for (const std::vector<mwSize>& dims :
       std::vector<std::vector<mwSize>>{{12, 14, 2}, {12, 14, 3, 2}, {12, 14, 0}}) {
    const Array bad = Numeric(mxSINGLE_CLASS, dims);
    ExpectBadInput(CallDensematch(1, {a.get(), bad.get()}),
                   "image2 must be height x width or height x width x 3");
  }
  for (const std::vector<mwSize>& dims : std::vector<std::vector<mwSize>>{{0, 0}, {0, 14}, {12, 0}}) {
    const Array empty = Numeric(mxSINGLE_CLASS, dims);
    ExpectBadInput(CallDensematch(1, {empty.get(), b.get()}), "image1 must not be empty");
  }
  // Sizes the per-pixel counts cannot hold are refused before a pixel is read.
  for (const std::vector<mwSize>& dims : std::vector<std::vector<mwSize>>{
           {4097, 4096}, {1, (mwSize{1} << 24) + 1}, {mwSize{1} << 33, 1}, {70000, 70000, 3}}) {
    const Array huge = Huge(mxUINT8_CLASS, dims);
    ExpectBadInput(CallDensematch(1, {a.get(), huge.get()}),
                   "image2 is too large (at most 2^24 pixels)");
  }
  // Image 1 is judged before image 2.
  ExpectBadInput(CallDensematch(1, {complex.get(), options.get()}), "image1 must be real and full");
}

TEST(DensematchGatewayMessages, Options) {
  const Array a = Picture(mxSINGLE_CLASS, 12, 14, 1), b = Picture(mxSINGLE_CLASS, 12, 14, 1);
  const auto refused = [&](const Array& options, const std::string& message) {
    ExpectBadInput(CallDensematch(4, {a.get(), b.get(), options.get()}), message);
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  refused(Scalar(3), "options must be a scalar struct");
  refused(Text("fast"), "options must be a scalar struct");
  refused(Struct({1, 2}, {}), "options must be a scalar struct");
  refused(Struct({0, 0}, {"grid_size"}), "options must be a scalar struct");
  refused(OneField("gridsize", Scalar(4)), "unknown option gridsize");
  refused(OneField("grid_size", Array()), "option grid_size is not set");
  refused(OneField("grid_size", Text("4")), "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Numeric(mxLOGICAL_CLASS, {1, 1})),
          "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Doubles({1, 2}, {4, 4})),
          "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Numeric(mxDOUBLE_CLASS, {0, 0})),
          "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Sparse(mxDOUBLE_CLASS, 1, 1, 1)),
          "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Numeric(mxDOUBLE_CLASS, {1, 1}, true)),
          "option grid_size must be a real numeric scalar");
  refused(OneField("grid_size", Scalar(nan)), "option grid_size must be finite");
  refused(OneField("grid_size", Scalar(2.5)), "option grid_size must be a whole number from 0 to 256");
  refused(OneField("grid_size", Int32s({1, 1}, {257})),
          "option grid_size must be a whole number from 0 to 256");
  refused(OneField("n_threads", Scalar(-1)), "option n_threads must be a whole number from 0 to 1024");
  // The switches take a logical scalar too, but not a pair or a sparse one
  // (a sparse false holds no value to read), nor a number other than 0, 1.
  refused(OneField("global_motion", Numeric(mxLOGICAL_CLASS, {1, 2})),
          "option global_motion must be a logical or numeric scalar");
  refused(OneField("global_motion", Sparse(mxLOGICAL_CLASS, 1, 1, 0)),
          "option global_motion must be a logical or numeric scalar");
  refused(OneField("global_motion", Scalar(2)), "option global_motion must be a whole number from 0 to 1");
  refused(OneField("descriptor", OneField("root_normalise", Numeric(mxLOGICAL_CLASS, {0, 0}))),
          "option root_normalise must be a logical or numeric scalar");
  refused(OneField("flow_sigma", Singles({1, 1}, {20.5f})), "option flow_sigma must lie from 0 to 20");
  refused(OneField("flow_coarse_warps", Scalar(101)),
          "option flow_coarse_warps must be a whole number from 0 to 100");
  refused(OneField("flow_scale_factor", Scalar(0.2)),
          "option flow_scale_factor must lie from 0.25 to 0.95");
  refused(OneField("consistency_threshold", Scalar(-std::numeric_limits<double>::infinity())),
          "option consistency_threshold must be finite");
  refused(OneField("search_radius", Doubles({1, 3}, {4, 4, 4})),
          "option search_radius must be a real scalar or pair");
  refused(OneField("search_radius", Doubles({1, 2}, {4, nan})), "option search_radius must be finite");
  refused(OneField("search_radius", Doubles({2, 1}, {4, -1})),
          "option search_radius must hold whole numbers from 0 to 1e6");
  refused(OneField("search_radius", Scalar(1.5)),
          "option search_radius must hold whole numbers from 0 to 1e6");
  // The descriptor's own struct.
  refused(OneField("descriptor", Scalar(1)), "option descriptor must be a scalar struct");
  refused(OneField("descriptor", OneField("cellsize", Scalar(2))),
          "unknown option descriptor.cellsize");
  refused(OneField("descriptor", OneField("cell_size", Array())),
          "option descriptor.cell_size is not set");
  refused(OneField("descriptor", OneField("cell_size", Scalar(17))),
          "option cell_size must be a whole number from 0 to 16");
  refused(OneField("descriptor", OneField("norm_floor", Scalar(0))),
          "option norm_floor must lie from 1e-09 to 1e+06");
  // Checks of the core: descriptors beyond the matcher's 128 channels, more
  // levels than the images' sample grids hold.
  refused(OneField("descriptor", OneField("n_orientations", Scalar(15))),
          "MatchImages: descriptor has more than 128 channels (n_orientations * grid_cells^2)");
  std::vector<std::pair<std::string, Array>> deep;
  deep.emplace_back("grid_size", Scalar(4));
  deep.emplace_back("n_tree_level", Scalar(4));
  refused(StructOf(std::move(deep)), "MatchImages: n_tree_level too large for the images' sample grids");
}

TEST(DensematchGatewayMessages, NonFiniteImagesRefusedWhenRefined) {
  Array a = Picture(mxDOUBLE_CLASS, 12, 14, 1);
  const Array b = Picture(mxDOUBLE_CLASS, 12, 14, 1);
  DataOf<double>(a.get())[17] = std::numeric_limits<double>::infinity();
  const Array quick = StructOf(QuickFields());
  ExpectBadInput(CallDensematch(3, {a.get(), b.get(), quick.get()}), "image values must be finite");
}

TEST(DensematchGatewayOutputs, DefaultsMatchTheCoreOnEveryOutputCount) {
  const Array a = Picture(mxUINT8_CLASS, 18, 22, 3), b = Picture(mxUINT8_CLASS, 18, 22, 3, 2, 1);
  const Array empty = Numeric(mxDOUBLE_CLASS, {0, 0});
  const densecorr::MatchOptions defaults;
  ExpectCoreResult(CallDensematch(4, {a.get(), b.get()}), 4, a.get(), b.get(), defaults);
  // [] for the options means the defaults.
  ExpectCoreResult(CallDensematch(4, {a.get(), b.get(), empty.get()}), 4, a.get(), b.get(),
                   defaults);
  const Array quick = StructOf(QuickFields());
  for (int nlhs : {0, 1, 2, 3}) {
    ExpectCoreResult(CallDensematch(nlhs, {a.get(), b.get(), quick.get()}), nlhs, a.get(), b.get(),
                     QuickOptions());
  }
}

// The module's first call registers the release of the scratch cache for
// its unload: the cached blocks go back to the system then.
TEST(DensematchGatewayOutputs, UnloadReleasesTheScratchCache) {
  const Array a = Picture(mxUINT8_CLASS, 18, 22, 3), b = Picture(mxUINT8_CLASS, 18, 22, 3, 2, 1);
  const Array quick = StructOf(QuickFields());
  ExpectCoreResult(CallDensematch(2, {a.get(), b.get(), quick.get()}), 2, a.get(), b.get(),
                   QuickOptions());
  { auto block = densecorr::AllocScratchBlock<float>(std::int64_t{2} << 20); }
  EXPECT_GT(densecorr::ScratchCacheBytes(), 0u);
  EXPECT_TRUE(Unload());
  EXPECT_EQ(densecorr::ScratchCacheBytes(), 0u);
  EXPECT_FALSE(Unload());
}

TEST(DensematchGatewayOutputs, SizesClassesAndOptionsReachTheCore) {
  // Image 1 sets the size; the two may differ in size, class and channels.
  const Array a = Picture(mxUINT16_CLASS, 15, 11, 1), b = Picture(mxSINGLE_CLASS, 19, 17, 3, 1, 1);
  std::vector<std::pair<std::string, Array>> fields = QuickFields();
  fields.emplace_back("search_radius", Int32s({1, 2}, {3, 2}));
  fields.emplace_back("grid_size", Numeric(mxUINT8_CLASS, {1, 1}));
  fields.emplace_back("consistency_threshold", Singles({1, 1}, {0.0f}));
  fields.emplace_back("n_threads", Scalar(2));
  // The switches as logicals: global_motion false (as the quick options'
  // 0), the descriptor's root_normalise false.
  fields.erase(std::remove_if(fields.begin(), fields.end(),
                              [](const auto& f) { return f.first == "global_motion"; }),
               fields.end());
  fields.emplace_back("global_motion", Numeric(mxLOGICAL_CLASS, {1, 1}));
  std::vector<std::pair<std::string, Array>> descriptor;
  descriptor.emplace_back("n_orientations", Scalar(4));
  descriptor.emplace_back("root_normalise", Numeric(mxLOGICAL_CLASS, {1, 1}));
  fields.emplace_back("descriptor", StructOf(std::move(descriptor)));
  const Array options = StructOf(std::move(fields));
  densecorr::MatchOptions o = QuickOptions();
  o.descriptor.root_normalise = false;
  o.search_radius_x = 3;
  o.search_radius_y = 2;
  o.grid_size = 0;
  o.consistency_threshold = 0.0f;
  o.descriptor.n_orientations = 4;
  ExpectCoreResult(CallDensematch(4, {a.get(), b.get(), options.get()}), 4, a.get(), b.get(), o);
  // One-pixel images are matched too.
  const Array dot = Picture(mxDOUBLE_CLASS, 1, 1, 1);
  ExpectCoreResult(CallDensematch(4, {dot.get(), b.get()}), 4, dot.get(), b.get(),
                   densecorr::MatchOptions());
}

TEST(DensematchGatewayOutputs, ThreadCountsGiveTheSameBits) {
  const Array a = Picture(mxDOUBLE_CLASS, 24, 26, 1), b = Picture(mxDOUBLE_CLASS, 24, 26, 1, -2, 1);
  std::vector<CallResult> runs;
  for (double n : {1.0, 3.0}) {
    std::vector<std::pair<std::string, Array>> fields = QuickFields();
    fields.emplace_back("n_threads", Scalar(n));
    const Array options = StructOf(std::move(fields));
    runs.push_back(CallDensematch(4, {a.get(), b.get(), options.get()}));
    ExpectFinished(runs.back(), 4, 4);
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::memcmp(mxGetData(runs[0].slots[i].get()), mxGetData(runs[1].slots[i].get()),
                          DataBytes(runs[0].slots[i].get())),
              0)
        << "output " << i;
  }
}

TEST(DensematchGatewayFailures, InterruptLeavesNothingAndTheNextCallWorks) {
  const Array a = Picture(mxUINT8_CLASS, 20, 24, 1), b = Picture(mxUINT8_CLASS, 20, 24, 1, 1, 0);
  const Array quick = StructOf(QuickFields());
  for (int nlhs : {1, 4}) {
    RequestInterrupt();
    ExpectInterrupted(CallDensematch(nlhs, {a.get(), b.get(), quick.get()}));
  }
  ExpectFinished(CallDensematch(4, {a.get(), b.get(), quick.get()}), 4, 4);
}

TEST(DensematchGatewayFailures, MemoryRefusedByTheGuardOrTheHost) {
  const Array a = Picture(mxUINT8_CLASS, 20, 24, 1), b = Picture(mxUINT8_CLASS, 20, 24, 1, 1, 0);
  const Array quick = StructOf(QuickFields());
  {
    // The core's scratch, refused by the guard.
    densecorr::ScopedGuardFigure small(64 << 10, 0);
    ExpectOutOfMemory(CallDensematch(4, {a.get(), b.get(), quick.get()}));
  }
  // The host cannot create the outputs: none at all, or only some of them
  // (each is 20*24*4 bytes, valid a quarter of that).
  densecorr::ScopedGuardFigure unknown(-1, 0);
  for (std::size_t budget : {std::size_t{0}, std::size_t{1919}, std::size_t{1920 * 2 + 479},
                             std::size_t{1920 * 2 + 480 + 1919}}) {
    for (int nlhs : {1, 4}) {
      const std::size_t saved = SetArrayBudget(budget);
      const CallResult r = CallDensematch(nlhs, {a.get(), b.get(), quick.get()});
      SetArrayBudget(saved);
      if (nlhs == 1 && budget >= 1920) {
        ExpectFinished(r, nlhs, 4);
      } else {
        ExpectOutOfMemory(r);
      }
    }
  }
  ExpectFinished(CallDensematch(4, {a.get(), b.get(), quick.get()}), 4, 4);
}

}  // namespace
