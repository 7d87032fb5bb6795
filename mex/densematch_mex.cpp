// Host entry point of densematch:
//   [dx, dy, valid, cost] = densematch(image1, image2, options)
// Reads the two images in place, turns the optional options struct into
// MatchOptions, runs MatchImages and copies its fields into new host arrays.
// Every failure raises a host error with an identifier
// (densecorr:densematch:badInput, densecorr:outOfMemory) after every object
// of this module has been released; no output is assigned then.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "densematch/match_images.h"
#include "mex.h"
#include "mex/mex_gateway.h"


namespace {

using densecorr::MatchOptions;

constexpr const char* kBadInput = "densecorr:densematch:badInput";
constexpr const char* kOutOfMemory = "densecorr:outOfMemory";

// A refusal: carries the identifier to raise once the stack is unwound.
struct Refusal {
  const char* id;
  std::string message;
};

[[noreturn]] void Refuse(const std::string& message) { throw Refusal{kBadInput, message}; }

// The numeric value of option field `name`: a real, finite, non-sparse
// numeric scalar (or, where `n` is 2, a scalar or a two-element vector).
void ReadNumbers(const mxArray* field, const char* name, double* out, int n) {
  const std::size_t count = mxGetNumberOfElements(field);
  if (!mxIsNumeric(field) || mxIsComplex(field) || mxIsSparse(field) || count < 1 ||
      count > static_cast<std::size_t>(n) || (count != 1 && count != static_cast<std::size_t>(n)))
    Refuse(std::string("option ") + name +
           (n == 1 ? " must be a real numeric scalar" : " must be a real scalar or pair"));
  // Any numeric class: read element by element as double.
  const mxClassID id = mxGetClassID(field);
  const void* data = mxGetData(field);
  for (std::size_t i = 0; i < count; ++i) {
    double v = 0.0;
    switch (id) {
      case mxDOUBLE_CLASS: v = static_cast<const double*>(data)[i]; break;
      case mxSINGLE_CLASS: v = static_cast<const float*>(data)[i]; break;
      case mxINT8_CLASS: v = static_cast<const std::int8_t*>(data)[i]; break;
      case mxUINT8_CLASS: v = static_cast<const std::uint8_t*>(data)[i]; break;
      case mxINT16_CLASS: v = static_cast<const std::int16_t*>(data)[i]; break;
      case mxUINT16_CLASS: v = static_cast<const std::uint16_t*>(data)[i]; break;
      case mxINT32_CLASS: v = static_cast<const std::int32_t*>(data)[i]; break;
      case mxUINT32_CLASS: v = static_cast<const std::uint32_t*>(data)[i]; break;
      case mxINT64_CLASS: v = static_cast<double>(static_cast<const std::int64_t*>(data)[i]); break;
      case mxUINT64_CLASS: v = static_cast<double>(static_cast<const std::uint64_t*>(data)[i]); break;
      default: Refuse(std::string("option ") + name + " must be numeric");
    }
    if (!std::isfinite(v)) Refuse(std::string("option ") + name + " must be finite");
    out[i] = v;
  }
  if (count == 1)
    for (int i = 1; i < n; ++i) out[i] = out[0];
}

int ReadInt(const mxArray* field, const char* name, double lo, double hi) {
  double v;
  ReadNumbers(field, name, &v, 1);
  if (v != std::floor(v) || v < lo || v > hi) {
    char text[160];
    std::snprintf(text, sizeof text, "option %s must be a whole number from %g to %g", name, lo,
                  hi);
    Refuse(text);
  }
  return static_cast<int>(v);
}

float ReadReal(const mxArray* field, const char* name, double lo, double hi) {
  double v;
  ReadNumbers(field, name, &v, 1);
  if (v < lo || v > hi) {
    char text[160];
    std::snprintf(text, sizeof text, "option %s must lie from %g to %g", name, lo, hi);
    Refuse(text);
  }
  return static_cast<float>(v);
}

// A switch: a logical scalar, as the host's own functions take, or the
// number 0 or 1.
bool ReadFlag(const mxArray* field, const char* name) {
  if (!mxIsLogical(field)) return ReadInt(field, name, 0, 1) != 0;
  // A sparse false stores no value: its data does not hold the flag.
  if (mxGetNumberOfElements(field) != 1 || mxIsSparse(field))
    Refuse(std::string("option ") + name + " must be a logical or numeric scalar");
  return *mxGetLogicals(field);
}

// Every field of the options struct is optional; an unknown name is refused
// so that a misspelt option does not pass silently.
void ReadDescriptorOptions(const mxArray* s, densecorr::DescribeOptions* d) {
  if (!mxIsStruct(s) || mxGetNumberOfElements(s) != 1)
    Refuse("option descriptor must be a scalar struct");
  const int n_field = mxGetNumberOfFields(s);
  for (int f = 0; f < n_field; ++f) {
    const char* name = mxGetFieldNameByNumber(s, f);
    const mxArray* v = mxGetFieldByNumber(s, 0, f);
    if (v == nullptr) Refuse(std::string("option descriptor.") + name + " is not set");
    const std::string key = name;
    if (key == "smoothing_sigma") d->smoothing_sigma = ReadReal(v, name, 0, 10);
    else if (key == "n_orientations") d->n_orientations = ReadInt(v, name, 2, 32);
    else if (key == "cell_size") d->cell_size = ReadInt(v, name, 0, 16);  // 0: from the grid
    else if (key == "grid_cells") d->grid_cells = ReadInt(v, name, 1, 8);
    else if (key == "norm_floor") d->norm_floor = ReadReal(v, name, 1e-9, 1e6);
    else if (key == "root_normalise") d->root_normalise = ReadFlag(v, name);
    else Refuse("unknown option descriptor." + key);
  }
}

MatchOptions ReadOptions(const mxArray* s, int* n_threads) {
  MatchOptions o;
  if (!mxIsStruct(s) || mxGetNumberOfElements(s) != 1) Refuse("options must be a scalar struct");
  const int n_field = mxGetNumberOfFields(s);
  for (int f = 0; f < n_field; ++f) {
    const char* name = mxGetFieldNameByNumber(s, f);
    const mxArray* v = mxGetFieldByNumber(s, 0, f);
    if (v == nullptr) Refuse(std::string("option ") + name + " is not set");
    const std::string key = name;
    if (key == "search_radius") {
      double r[2];
      ReadNumbers(v, name, r, 2);
      for (double x : r)
        if (x != std::floor(x) || x < 0 || x > 1e6)
          Refuse("option search_radius must hold whole numbers from 0 to 1e6");
      o.search_radius_x = static_cast<int>(r[0]);
      o.search_radius_y = static_cast<int>(r[1]);
    } else if (key == "grid_size") o.grid_size = ReadInt(v, name, 0, 256);
    else if (key == "n_tree_level") o.n_tree_level = ReadInt(v, name, 0, 15);
    else if (key == "cell_truncate") o.cell_truncate = ReadReal(v, name, 0, 1e6);
    else if (key == "neighbour_weight") o.neighbour_weight = ReadReal(v, name, 0, 1e6);
    else if (key == "neighbour_truncate") o.neighbour_truncate = ReadReal(v, name, 0, 1e6);
    else if (key == "parent_weight") o.parent_weight = ReadReal(v, name, 0, 1e6);
    else if (key == "parent_truncate") o.parent_truncate = ReadReal(v, name, 0, 1e6);
    else if (key == "bp_iterations") o.bp_iterations = ReadInt(v, name, 0, 1000);
    else if (key == "refine_radius") o.refine_radius = ReadInt(v, name, 0, 64);
    else if (key == "refine_step") o.refine_step = ReadInt(v, name, 1, 64);
    else if (key == "deform_coeff") o.deform_coeff = ReadReal(v, name, 0, 1e6);
    else if (key == "flow_warps") o.flow_warps = ReadInt(v, name, 0, 100);
    else if (key == "flow_coarse_warps") o.flow_coarse_warps = ReadInt(v, name, 0, 100);
    else if (key == "flow_fixed_point") o.flow_fixed_point = ReadInt(v, name, 0, 100);
    else if (key == "flow_sor") o.flow_sor = ReadInt(v, name, 0, 1000);
    else if (key == "flow_smoothness") o.flow_smoothness = ReadReal(v, name, 0, 1e6);
    else if (key == "flow_brightness") o.flow_brightness = ReadReal(v, name, 0, 1e6);
    else if (key == "flow_gradient") o.flow_gradient = ReadReal(v, name, 0, 1e6);
    else if (key == "flow_sigma") o.flow_sigma = ReadReal(v, name, 0, 20);
    else if (key == "flow_edge") o.flow_edge = ReadReal(v, name, 0, 1e6);
    else if (key == "flow_scales") o.flow_scales = ReadInt(v, name, 1, 64);
    else if (key == "flow_scale_factor") o.flow_scale_factor = ReadReal(v, name, 0.25, 0.95);
    else if (key == "flow_anchor") o.flow_anchor = ReadReal(v, name, 0, 1e6);
    else if (key == "consistency_threshold") o.consistency_threshold = ReadReal(v, name, -1e6, 1e6);
    else if (key == "global_motion") o.global_motion = ReadFlag(v, name);
    else if (key == "fill_frame") o.fill_frame = ReadFlag(v, name);
    else if (key == "rectified") o.rectified = ReadFlag(v, name);
    else if (key == "median_radius") o.median_radius = ReadInt(v, name, 0, 64);
    else if (key == "snap_radius") o.snap_radius = ReadInt(v, name, 0, 31);
    else if (key == "n_threads") *n_threads = ReadInt(v, name, 0, 1024);
    else if (key == "descriptor") ReadDescriptorOptions(v, &o.descriptor);
    else Refuse("unknown option " + key);
  }
  return o;
}

// An image argument viewed in place: H x W (grey) or H x W x 3 (RGB) of
// uint8, uint16, single or double.
densecorr::ImageView ReadImage(const mxArray* a, const char* which) {
  const std::string label = which;
  densecorr::PixelType type;
  switch (mxGetClassID(a)) {
    case mxUINT8_CLASS: type = densecorr::PixelType::kUint8; break;
    case mxUINT16_CLASS: type = densecorr::PixelType::kUint16; break;
    case mxSINGLE_CLASS: type = densecorr::PixelType::kFloat32; break;
    case mxDOUBLE_CLASS: type = densecorr::PixelType::kFloat64; break;
    default: Refuse(label + " must be uint8, uint16, single or double");
  }
  if (mxIsComplex(a) || mxIsSparse(a)) Refuse(label + " must be real and full");
  const mwSize n_dim = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  const std::int64_t h = static_cast<std::int64_t>(dims[0]);
  const std::int64_t w = static_cast<std::int64_t>(dims[1]);
  const std::int64_t c = n_dim >= 3 ? static_cast<std::int64_t>(dims[2]) : 1;
  if (n_dim > 3 || (c != 1 && c != 3)) Refuse(label + " must be height x width or height x width x 3");
  if (h < 1 || w < 1) Refuse(label + " must not be empty");
  // The matcher's per-pixel buffers use 32-bit counts.
  if (h > (1 << 24) || w > (1 << 24) || h * w > (1 << 24))
    Refuse(label + " is too large (at most 2^24 pixels)");
  return densecorr::ColumnMajorImage(mxGetData(a), type, static_cast<int>(w),
                                     static_cast<int>(h), static_cast<int>(c));
}

// The output arrays until they are handed to the host.
struct PendingOutputs {
  mxArray* arrays[4] = {nullptr, nullptr, nullptr, nullptr};
  ~PendingOutputs() {
    for (mxArray* array : arrays)
      if (array != nullptr) mxDestroyArray(array);
  }
};

void Run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < 2 || nrhs > 3) Refuse("densematch takes two images and an optional options struct");
  if (nlhs > 4) Refuse("densematch returns at most four outputs");
  const densecorr::ImageView image1 = ReadImage(prhs[0], "image1");
  const densecorr::ImageView image2 = ReadImage(prhs[1], "image2");
  int n_threads = 0;
  // [] in place of the options struct means the defaults, as elsewhere in
  // the host's functions.
  const bool has_options =
      nrhs == 3 && !(mxIsDouble(prhs[2]) && mxGetNumberOfElements(prhs[2]) == 0);
  const MatchOptions options = has_options ? ReadOptions(prhs[2], &n_threads) : MatchOptions();

  // Ctrl-C in the host stops the call between stages and inside its passes.
  densecorr::StopToken stop(densecorr::gateway::HostInterruptPending, nullptr);
  MatchOptions run_options = options;
  run_options.stop = &stop;
  densecorr::MatchResult r;
  {
    densecorr::gateway::ThreadCount threads(n_threads);
    try {
      r = densecorr::MatchImages(image1, image2, run_options);
    } catch (const std::invalid_argument& e) {
      Refuse(e.what());
    }
  }

  // Outputs are created only now, and reach the slots only all together;
  // until then they are freed on every way out. However the host reports
  // that it cannot create one (its own error, or a null handle), the call
  // ends with our out-of-memory error.
  const mwSize h = static_cast<mwSize>(r.height), w = static_cast<mwSize>(r.width);
  const std::size_t n = static_cast<std::size_t>(r.width) * r.height;
  PendingOutputs pending;
  mxArray** out = pending.arrays;
  const int n_out = nlhs < 1 ? 1 : nlhs;
  for (int i = 0; i < n_out; ++i) {
    try {
      out[i] = i == 2 ? mxCreateLogicalMatrix(h, w)
                      : mxCreateNumericMatrix(h, w, mxSINGLE_CLASS, mxREAL);
    } catch (...) {
      throw std::bad_alloc();
    }
    if (out[i] == nullptr) throw std::bad_alloc();
  }
  const float* fields[4] = {r.dx.data(), r.dy.data(), nullptr, r.cost.data()};
  for (int i = 0; i < n_out; ++i) {
    if (i == 2) {
      mxLogical* valid = static_cast<mxLogical*>(mxGetData(out[i]));
      for (std::size_t p = 0; p < n; ++p) valid[p] = r.valid[p] != 0;
    } else if (n > 0) {
      std::memcpy(mxGetData(out[i]), fields[i], n * sizeof(float));
    }
  }
  for (int i = 0; i < n_out; ++i) {
    plhs[i] = out[i];
    out[i] = nullptr;
  }
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
    id = r.id;
    std::snprintf(message, sizeof message, "%s", r.message.c_str());
  } catch (const std::bad_alloc&) {
    id = kOutOfMemory;
    std::snprintf(message, sizeof message, "out of memory");
  }
  if (stopped) densecorr::gateway::ReportInterrupt();
  if (id != nullptr) mexErrMsgIdAndTxt(id, "%s", message);
}
