// Host-side helpers shared by the two gateways: sizes narrowed to the cores'
// 32-bit ints only after they are known to fit, parameter fields read with
// every check that keeps the cores inside their preconditions, and output
// arrays that reach the host only once the core has finished.
//
// Not part of the core library: it includes the host's mex.h. Host
// operations used here: mxIsDouble, mxIsNumeric, mxIsComplex, mxIsSparse,
// mxIsStruct, mxGetNumberOfElements, mxGetNumberOfDimensions,
// mxGetDimensions, mxGetData, mxGetField, mxGetScalar, mxGetPr,
// mxCreateNumericMatrix, mxDestroyArray, mexPrintf.
#ifndef DENSECORR_COMMON_MEX_GATEWAY_H_
#define DENSECORR_COMMON_MEX_GATEWAY_H_

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>

#include "common/descriptor.h"
#include "mex.h"

namespace densecorr {
namespace gateway {

inline bool FitsInt32(std::int64_t value) { return value >= INT_MIN && value <= INT_MAX; }

// Size of dimension i (0 = rows), widened to 64 bits whatever the width of
// mwSize in this build; 1 beyond the last dimension, as the host counts.
inline std::int64_t DimensionSize(const mxArray* array, int i) {
  const std::int64_t n_dim = static_cast<std::int64_t>(mxGetNumberOfDimensions(array));
  if (i >= n_dim) return 1;
  return static_cast<std::int64_t>(mxGetDimensions(array)[i]);
}

inline bool HasDimensions(const mxArray* array, int n_dim) {
  return static_cast<std::int64_t>(mxGetNumberOfDimensions(array)) == n_dim;
}

// Describes an image that has passed the class and shape tests. Prints why
// and returns false when its storage is not plain real values (the data
// pointer would not lead to height x width x feat_dim floats) or when a size
// or an element count (H*W, H*W*F) does not fit the record's 32-bit ints.
inline bool DescribeImage(const mxArray* image, Descriptor* desc) {
  if (mxIsComplex(image) || mxIsSparse(image)) {
    mexPrintf("wrong descriptor format: must be real, not complex or sparse\n");
    return false;
  }
  const std::int64_t height = DimensionSize(image, 0);
  const std::int64_t width = DimensionSize(image, 1);
  const std::int64_t feat_dim = DimensionSize(image, 2);
  // Each factor below 2^31 keeps the products within 64 bits.
  if (!FitsInt32(height) || !FitsInt32(width) || !FitsInt32(feat_dim) ||
      !FitsInt32(height * width) || !FitsInt32(height * width * feat_dim)) {
    mexPrintf("wrong descriptor size: element count must fit a 32-bit integer\n");
    return false;
  }
  desc->data = static_cast<const float*>(mxGetData(image));
  desc->height = static_cast<int>(height);
  desc->width = static_cast<int>(width);
  desc->feat_dim = static_cast<int>(feat_dim);
  return true;
}

// The parameter argument must be a structure with an element 0 to read.
inline bool CheckParamStruct(const mxArray* params) {
  if (!mxIsStruct(params) || mxGetNumberOfElements(params) < 1) {
    mexPrintf("wrong parameter format: must be a non-empty struct\n");
    return false;
  }
  return true;
}

// Field `key` of element 0 when it holds at least one real number; else
// prints why and returns null.
inline const mxArray* NumericField(const mxArray* params, const char* key) {
  const mxArray* field = mxGetField(params, 0, key);
  if (field == nullptr) {
    mexPrintf("missing parameter field: %s\n", key);
    return nullptr;
  }
  if (!mxIsNumeric(field) || mxIsComplex(field) || mxIsSparse(field) ||
      mxGetNumberOfElements(field) == 0) {
    mexPrintf("wrong parameter format: %s must be a real numeric value\n", key);
    return nullptr;
  }
  return field;
}

// Truncation toward zero into an int; false when the value is not finite or
// the truncated value lies outside the 32-bit range (the cast would be
// undefined).
inline bool TruncateToInt(double value, int* out) {
  if (!std::isfinite(value)) return false;
  const double truncated = std::trunc(value);
  if (truncated < INT_MIN || truncated > INT_MAX) return false;
  *out = static_cast<int>(truncated);
  return true;
}

// Nearest single-precision value, ties to even, with overflow to +-Inf as
// IEEE rounding gives it; spelled out because a plain cast of a double beyond
// the float range is undefined in C++.
inline float NearestFloat(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    // Halfway between FLT_MAX and 2^128 rounds to the even neighbour 2^128.
    const double halfway = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    const float magnitude = std::fabs(value) >= halfway ? INFINITY : FLT_MAX;
    return value < 0 ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

inline void PrintBadIntValue(const char* key) {
  mexPrintf("wrong parameter value: %s must be finite and fit a 32-bit integer\n", key);
}

// An integer parameter: the first element as a double, truncated toward zero.
inline bool ReadIntParam(const mxArray* params, const char* key, int* out) {
  const mxArray* field = NumericField(params, key);
  if (field == nullptr) return false;
  if (!TruncateToInt(mxGetScalar(field), out)) {
    PrintBadIntValue(key);
    return false;
  }
  return true;
}

// A real parameter: the first element as a double, rounded to single.
inline bool ReadRealParam(const mxArray* params, const char* key, float* out) {
  const mxArray* field = NumericField(params, key);
  if (field == nullptr) return false;
  *out = NearestFloat(mxGetScalar(field));
  return true;
}

// The two radii (horizontal, vertical), read as doubles through mxGetPr, so
// the field must really be a full real double array with both elements.
inline bool ReadRadiusParam(const mxArray* params, const char* key, int radius[2]) {
  const mxArray* field = mxGetField(params, 0, key);
  if (field == nullptr) {
    mexPrintf("missing parameter field: %s\n", key);
    return false;
  }
  if (!mxIsDouble(field) || mxIsComplex(field) || mxIsSparse(field) ||
      mxGetNumberOfElements(field) < 2) {
    mexPrintf("wrong parameter format: %s must be a real double array of at least two elements\n",
              key);
    return false;
  }
  const double* values = mxGetPr(field);
  if (!TruncateToInt(values[0], &radius[0]) || !TruncateToInt(values[1], &radius[1])) {
    PrintBadIntValue(key);
    return false;
  }
  return true;
}

// The output arrays of one call. They stay owned here until Store hands them
// to the host, so an exception from the core (a failed allocation) destroys
// them and leaves the host no output at all.
template <int N>
class OutputArrays {
 public:
  OutputArrays() {
    for (mxArray*& array : arrays_) array = nullptr;
  }
  ~OutputArrays() {
    for (mxArray* array : arrays_) {
      if (array != nullptr) mxDestroyArray(array);
    }
  }
  OutputArrays(const OutputArrays&) = delete;
  OutputArrays& operator=(const OutputArrays&) = delete;

  mxArray* operator[](int i) const { return arrays_[i]; }

  // A zero-filled real matrix in slot i. A host that reports failure with a
  // null handle instead of raising its own error gets the same
  // out-of-memory exception as the core's allocations.
  void* Create(int i, int rows, int cols, mxClassID class_id) {
    arrays_[i] =
        mxCreateNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), class_id, mxREAL);
    if (arrays_[i] == nullptr) throw std::bad_alloc();
    return mxGetData(arrays_[i]);
  }

  // The host provides max(nlhs, 1) output slots, whatever the module could
  // return: fill those, and let the destructor free the arrays with no slot.
  void Store(int nlhs, mxArray* plhs[]) {
    const int n_slot = nlhs > 1 ? nlhs : 1;
    for (int i = 0; i < N && i < n_slot; ++i) {
      plhs[i] = arrays_[i];
      arrays_[i] = nullptr;
    }
  }

 private:
  mxArray* arrays_[N];
};

}  // namespace gateway
}  // namespace densecorr

#endif  // DENSECORR_COMMON_MEX_GATEWAY_H_
