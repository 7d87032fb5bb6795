// Host entry point of densedesc:
//   desc = densedesc(image, params)
// Views the image in place, turns the optional params struct into
// DescribeOptions and has DescribeImage write straight into the output
// array. Every failure raises a host error with an identifier
// (densecorr:densedesc:badInput, densecorr:outOfMemory) once every object
// of this module is released; no output is assigned then.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "common/scratch.h"
#include "densedesc/dense_descriptor.h"
#include "mex.h"
#include "mex/mex_gateway.h"


namespace {

using densecorr::DescribeOptions;

enum { IN_IMAGE, IN_PARAMS };
enum { OUT_DESC };

constexpr const char* kBadInput = "densecorr:densedesc:badInput";
constexpr const char* kOutOfMemory = "densecorr:outOfMemory";

// A refusal: carries the message to raise once the stack is unwound.
struct Refusal {
  std::string message;
};

[[noreturn]] void Refuse(const std::string& message) { throw Refusal{message}; }

// ---- argument checks ----

// Field `name` as one finite real number of any numeric class.
double ReadNumber(const mxArray* field, const std::string& name) {
  if (!mxIsNumeric(field) || mxIsComplex(field) || mxIsSparse(field) ||
      mxGetNumberOfElements(field) != 1)
    Refuse("params." + name + " must be a real numeric scalar");
  const void* data = mxGetData(field);
  double v = 0.0;
  switch (mxGetClassID(field)) {
    case mxDOUBLE_CLASS: v = *static_cast<const double*>(data); break;
    case mxSINGLE_CLASS: v = *static_cast<const float*>(data); break;
    case mxINT8_CLASS: v = *static_cast<const std::int8_t*>(data); break;
    case mxUINT8_CLASS: v = *static_cast<const std::uint8_t*>(data); break;
    case mxINT16_CLASS: v = *static_cast<const std::int16_t*>(data); break;
    case mxUINT16_CLASS: v = *static_cast<const std::uint16_t*>(data); break;
    case mxINT32_CLASS: v = *static_cast<const std::int32_t*>(data); break;
    case mxUINT32_CLASS: v = *static_cast<const std::uint32_t*>(data); break;
    case mxINT64_CLASS: v = static_cast<double>(*static_cast<const std::int64_t*>(data)); break;
    case mxUINT64_CLASS: v = static_cast<double>(*static_cast<const std::uint64_t*>(data)); break;
    default: Refuse("params." + name + " must be a real numeric scalar");
  }
  if (!std::isfinite(v)) Refuse("params." + name + " must be finite");
  return v;
}

int ReadWhole(const mxArray* field, const std::string& name, int lo, int hi) {
  const double v = ReadNumber(field, name);
  if (v != std::floor(v) || v < lo || v > hi)
    Refuse("params." + name + " must be a whole number from " + std::to_string(lo) + " to " +
           std::to_string(hi));
  return static_cast<int>(v);
}

// Every field is optional; an unknown one is refused, so that a misspelt
// name does not pass silently with its default.
DescribeOptions ReadParams(const mxArray* params, int* n_threads) {
  DescribeOptions o;
  if (!mxIsStruct(params) || mxGetNumberOfElements(params) != 1)
    Refuse("params must be a 1 x 1 struct");
  const int n_field = mxGetNumberOfFields(params);
  for (int f = 0; f < n_field; ++f) {
    const std::string name = mxGetFieldNameByNumber(params, f);
    const mxArray* field = mxGetFieldByNumber(params, 0, f);
    if (field == nullptr) Refuse("params." + name + " is not set");
    if (name == "smoothing_sigma") {
      const double v = ReadNumber(field, name);
      if (v < 0 || v > 10) Refuse("params.smoothing_sigma must lie from 0 to 10");
      o.smoothing_sigma = static_cast<float>(v);
    } else if (name == "n_orientations") {
      o.n_orientations = ReadWhole(field, name, 2, 32);
    } else if (name == "cell_size") {
      o.cell_size = ReadWhole(field, name, 1, 16);
    } else if (name == "grid_cells") {
      o.grid_cells = ReadWhole(field, name, 1, 8);
    } else if (name == "norm_floor") {
      const double v = ReadNumber(field, name);
      // The floor divides: it must stay a positive normal single.
      if (!(v >= 1e-30 && v <= 1e30)) Refuse("params.norm_floor must lie from 1e-30 to 1e30");
      o.norm_floor = static_cast<float>(v);
    } else if (name == "root_normalise") {
      if (!(mxIsLogical(field) || mxIsNumeric(field)) || mxGetNumberOfElements(field) != 1)
        Refuse("params.root_normalise must be a logical or numeric scalar");
      // A sparse false stores no value: its data does not hold the flag.
      if (mxIsSparse(field)) Refuse("params.root_normalise must not be sparse");
      if (mxIsLogical(field)) {
        o.root_normalise = *mxGetLogicals(field);
      } else {
        o.root_normalise = ReadNumber(field, name) != 0.0;
      }
    } else if (name == "n_threads") {
      *n_threads = ReadWhole(field, name, 0, 1024);
    } else {
      Refuse("unknown field params." + name);
    }
  }
  return o;
}

// The image viewed in place: H x W (grey) or H x W x 3 (RGB) of uint8,
// uint16, single or double.
densecorr::ImageView ReadImage(const mxArray* image) {
  densecorr::PixelType type = densecorr::PixelType::kUint8;
  switch (mxGetClassID(image)) {
    case mxUINT8_CLASS: type = densecorr::PixelType::kUint8; break;
    case mxUINT16_CLASS: type = densecorr::PixelType::kUint16; break;
    case mxSINGLE_CLASS: type = densecorr::PixelType::kFloat32; break;
    case mxDOUBLE_CLASS: type = densecorr::PixelType::kFloat64; break;
    default: Refuse("image must be uint8, uint16, single or double");
  }
  if (mxIsComplex(image) || mxIsSparse(image)) Refuse("image must be real and not sparse");
  const mwSize n_dim = mxGetNumberOfDimensions(image);
  const mwSize* dims = mxGetDimensions(image);
  const std::uint64_t h = dims[0], w = dims[1];
  const std::uint64_t c = n_dim >= 3 ? dims[2] : 1;
  if (n_dim > 3 || (c != 1 && c != 3)) Refuse("image must be H x W (grey) or H x W x 3 (RGB)");
  if (h > INT32_MAX || w > INT32_MAX) Refuse("image height and width must fit a 32-bit integer");
  return densecorr::ColumnMajorImage(mxGetData(image), type, static_cast<int>(w),
                                     static_cast<int>(h), static_cast<int>(c));
}


// Frees an output array unless it has been handed to the host.
struct PendingOutput {
  mxArray* array = nullptr;
  ~PendingOutput() {
    if (array != nullptr) mxDestroyArray(array);
  }
};

void Run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // ---- check every argument ----
  if (nrhs < 1 || nrhs > 2) Refuse("densedesc takes an image and an optional params struct");
  if (nlhs > 1) Refuse("densedesc returns one output");
  const densecorr::ImageView image = ReadImage(prhs[IN_IMAGE]);
  int n_threads = 0;
  const DescribeOptions options =
      nrhs > IN_PARAMS ? ReadParams(prhs[IN_PARAMS], &n_threads) : DescribeOptions();
  int n_channel = 0;
  try {
    n_channel = densecorr::DescriptorChannels(options);
  } catch (const std::invalid_argument& e) {
    Refuse(e.what());
  }

  // ---- describe ----
  // The host's own failure would not carry our identifier: ask the guard first.
  const std::uint64_t n_pixel = static_cast<std::uint64_t>(image.width) * image.height;
  if (n_pixel > SIZE_MAX / sizeof(float) / n_channel) throw std::bad_alloc();
  densecorr::GuardScratchRequest(n_pixel * n_channel * sizeof(float));
  const mwSize dims[3] = {static_cast<mwSize>(image.height), static_cast<mwSize>(image.width),
                          static_cast<mwSize>(n_channel)};
  PendingOutput out;
  // However the host reports that it cannot create the array (its own
  // error, or a null handle), the call ends with our out-of-memory error.
  try {
    out.array = mxCreateNumericArray(3, dims, mxSINGLE_CLASS, mxREAL);
  } catch (...) {
    throw std::bad_alloc();
  }
  if (out.array == nullptr) throw std::bad_alloc();
  {
    densecorr::gateway::ThreadCount threads(n_threads);
    try {
      // Ctrl-C in the host stops the call between columns.
      densecorr::StopToken stop(densecorr::gateway::HostInterruptPending, nullptr);
      densecorr::DescribeImage(image, options, static_cast<float*>(mxGetData(out.array)), &stop);
    } catch (const std::invalid_argument& e) {
      Refuse(e.what());
    }
  }
  plhs[OUT_DESC] = out.array;
  out.array = nullptr;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  densecorr::gateway::ReleaseScratchCacheOnUnload();
  // The error is raised only after Run's objects are gone: the host may leave
  // this frame without unwinding it.
  const char* id = nullptr;
  char message[512];
  bool stopped = false;
  try {
    Run(nlhs, plhs, nrhs, prhs);
  } catch (const densecorr::Stopped&) {
    stopped = true;
  } catch (const Refusal& r) {
    id = kBadInput;
    std::snprintf(message, sizeof message, "densedesc: %s", r.message.c_str());
  } catch (const std::bad_alloc&) {
    id = kOutOfMemory;
    std::snprintf(message, sizeof message, "densedesc: out of memory");
  }
  if (stopped) densecorr::gateway::ReportInterrupt();
  if (id != nullptr) mexErrMsgIdAndTxt(id, "%s", message);
}
