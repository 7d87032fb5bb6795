// Host-side helpers shared by the gateways: sizes narrowed to the cores'
// 32-bit ints only after they are known to fit, parameter fields read with
// every check that keeps the cores inside their preconditions, the
// whole-call memory check, output arrays that reach the host only once the
// core has finished, Ctrl-C, and the host errors that end a failed call.
//
// Not part of the core library: it includes the host's mex.h. Host
// operations used here: mxIsDouble, mxIsNumeric, mxIsComplex, mxIsSparse,
// mxIsStruct, mxGetNumberOfElements, mxGetNumberOfDimensions,
// mxGetDimensions, mxGetData, mxGetField, mxGetScalar, mxGetPr,
// mxCreateNumericMatrix, mxDestroyArray, mexErrMsgIdAndTxt, mexAtExit; in Octave its
// interrupt state (quit.h), in MATLAB utIsInterruptPending.
#ifndef DENSECORR_MEX_MEX_GATEWAY_H_
#define DENSECORR_MEX_MEX_GATEWAY_H_

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>
#include <type_traits>

#include "common/descriptor.h"
#include "common/memory_guard.h"
#include "common/scratch.h"
#include "common/stop.h"
#include "common/threads.h"
#include "mex.h"

#if defined(HAVE_OCTAVE)  // defined by Octave's mex.h
#include "quit.h"
#elif defined(MATLAB_MEX_FILE)
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

namespace densecorr {
namespace gateway {

constexpr char kOutOfMemoryId[] = "densecorr:outOfMemory";
constexpr char kInterruptedId[] = "densecorr:interrupted";

// How one call ended, in plain storage: the gateway raises the host error
// only after every object of the call is gone, so nothing depends on how
// the host unwinds (an exception in Octave, its own mechanism in MATLAB).
class Outcome {
 public:
  enum class Kind { kFinished, kBadInput, kOutOfMemory, kStopped };

  Kind kind() const { return kind_; }
  const char* text() const { return text_; }

  // A documented refusal; returns false, for checks that report and stop.
  bool BadInput(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_, sizeof(text_), format, args);
    va_end(args);
    kind_ = Kind::kBadInput;
    return false;
  }

  // The whole call does not fit: `needed` bytes in all against `usable`.
  void CallTooLarge(std::uint64_t needed, std::int64_t usable) {
    // Rounded so that the two figures never print equal.
    const std::uint64_t mib = std::uint64_t{1} << 20;
    std::snprintf(text_, sizeof(text_),
                  "out of memory: the call needs %llu MiB, this process may use %llu MiB",
                  static_cast<unsigned long long>((needed + mib - 1) / mib),
                  static_cast<unsigned long long>(usable > 0 ? usable / mib : 0));
    kind_ = Kind::kOutOfMemory;
  }

  // An allocation failed (the core's scratch, or the host creating an output).
  void AllocationFailed() {
    std::snprintf(text_, sizeof(text_), "out of memory");
    kind_ = Kind::kOutOfMemory;
  }

  void Stopped() { kind_ = Kind::kStopped; }

 private:
  Kind kind_ = Kind::kFinished;
  char text_[192] = {};
};
static_assert(std::is_trivially_destructible<Outcome>::value,
              "an outcome must survive the unwinding of the call it reports");

// ---- Ctrl-C ----

#if defined(MATLAB_MEX_FILE) && !defined(HAVE_OCTAVE)
// MATLAB's interrupt query and reset live in its libut, which every MATLAB
// process has loaded; found at run time so that building needs no library.
template <class Fn>
Fn MatlabUtFunction(const char* name) {
#if defined(_WIN32)
  HMODULE ut = GetModuleHandleA("libut.dll");
  return ut != nullptr ? reinterpret_cast<Fn>(GetProcAddress(ut, name)) : nullptr;
#else
  return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
#endif
}
#endif

// The poll of the call's StopToken, on the host's own thread.
inline bool HostInterruptPending(void*) {
#if defined(HAVE_OCTAVE)
  // Set by Octave's SIGINT handler; > 0 while an interrupt waits.
  return octave_interrupt_state > 0;
#elif defined(MATLAB_MEX_FILE)
  static const auto pending = MatlabUtFunction<bool (*)()>("utIsInterruptPending");
  return pending != nullptr && pending();
#else
  return false;
#endif
}

// After a stopped call has been undone: lets the host report the interrupt
// as it does for its own functions, and never returns as if the call had
// results.
inline void ReportInterrupt() {
#if defined(HAVE_OCTAVE)
  // What octave_quit does on a caught signal: throws the interpreter's
  // interrupt exception while the interrupt is pending.
  octave_signal_caught = 0;
  octave_handle_signal();
#elif defined(MATLAB_MEX_FILE)
  // The request is answered by the error below.
  static const auto set_pending = MatlabUtFunction<bool (*)(bool)>("utSetInterruptPending");
  if (set_pending != nullptr) set_pending(false);
#endif
  mexErrMsgIdAndTxt(kInterruptedId, "interrupted");
}

// Runs a call's job, turning the core's ways of ending early into outcomes.
template <class Job>
void RunJob(Job&& job, Outcome* outcome) {
  try {
    job();
  } catch (const std::bad_alloc&) {
    outcome->AllocationFailed();
  } catch (const densecorr::Stopped&) {
    outcome->Stopped();
  }
}

// Raises the host error of a call that did not finish; returns otherwise.
// Call it last, with nothing of the call left to destroy.
inline void ReportOutcome(const Outcome& outcome, const char* bad_input_id) {
  switch (outcome.kind()) {
    case Outcome::Kind::kFinished: return;
    case Outcome::Kind::kBadInput: mexErrMsgIdAndTxt(bad_input_id, "%s", outcome.text()); return;
    case Outcome::Kind::kOutOfMemory:
      mexErrMsgIdAndTxt(kOutOfMemoryId, "%s", outcome.text());
      return;
    case Outcome::Kind::kStopped: ReportInterrupt(); return;
  }
}

// Sets a call's OpenMP thread count (n > 0) and restores the host's when
// the call ends, however it ends.
class ThreadCount {
 public:
  explicit ThreadCount(int n) : saved_(MaxThreads()) {
#ifdef _OPENMP
    if (n > 0) omp_set_num_threads(n);
#else
    (void)n;
#endif
  }
  ~ThreadCount() {
#ifdef _OPENMP
    omp_set_num_threads(saved_);
#endif
  }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;

 private:
  [[maybe_unused]] int saved_;  // unused in a serial build
};

// ---- Arguments ----

// The scratch cache keeps large blocks between calls; once the host unloads
// the module (clear, or its own exit) nothing of it runs again, so they go
// back to the system then. Called at the start of every call (registering
// once).
inline void ReleaseScratchCacheAtExit() { ReleaseScratchCache(); }
inline void ReleaseScratchCacheOnUnload() {
  static const bool registered = (mexAtExit(&ReleaseScratchCacheAtExit), true);
  (void)registered;
}

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

// Describes an image that has passed the class and shape tests. Refuses it
// when its storage is not plain real values (the data pointer would not
// lead to height x width x feat_dim floats) or when a size or an element
// count (H*W, H*W*F) does not fit the record's 32-bit ints.
inline bool DescribeImage(const mxArray* image, Descriptor* desc, Outcome* outcome) {
  if (mxIsComplex(image) || mxIsSparse(image)) {
    return outcome->BadInput("wrong descriptor format: must be real, not complex or sparse");
  }
  const std::int64_t height = DimensionSize(image, 0);
  const std::int64_t width = DimensionSize(image, 1);
  const std::int64_t feat_dim = DimensionSize(image, 2);
  // Each factor below 2^31 keeps the products within 64 bits.
  if (!FitsInt32(height) || !FitsInt32(width) || !FitsInt32(feat_dim) ||
      !FitsInt32(height * width) || !FitsInt32(height * width * feat_dim)) {
    return outcome->BadInput("wrong descriptor size: element count must fit a 32-bit integer");
  }
  desc->data = static_cast<const float*>(mxGetData(image));
  desc->height = static_cast<int>(height);
  desc->width = static_cast<int>(width);
  desc->feat_dim = static_cast<int>(feat_dim);
  return true;
}

// The parameter argument must be a structure with an element 0 to read.
inline bool CheckParamStruct(const mxArray* params, Outcome* outcome) {
  if (!mxIsStruct(params) || mxGetNumberOfElements(params) < 1) {
    return outcome->BadInput("wrong parameter format: must be a non-empty struct");
  }
  return true;
}

// Field `key` of element 0 when it holds at least one real number; else
// refuses the call and returns null.
inline const mxArray* NumericField(const mxArray* params, const char* key, Outcome* outcome) {
  const mxArray* field = mxGetField(params, 0, key);
  if (field == nullptr) {
    outcome->BadInput("missing parameter field: %s", key);
    return nullptr;
  }
  if (!mxIsNumeric(field) || mxIsComplex(field) || mxIsSparse(field) ||
      mxGetNumberOfElements(field) == 0) {
    outcome->BadInput("wrong parameter format: %s must be a real numeric value", key);
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

inline bool BadIntValue(const char* key, Outcome* outcome) {
  return outcome->BadInput("wrong parameter value: %s must be finite and fit a 32-bit integer",
                           key);
}

// An integer parameter: the first element as a double, truncated toward zero.
inline bool ReadIntParam(const mxArray* params, const char* key, int* out, Outcome* outcome) {
  const mxArray* field = NumericField(params, key, outcome);
  if (field == nullptr) return false;
  if (!TruncateToInt(mxGetScalar(field), out)) return BadIntValue(key, outcome);
  return true;
}

// A real parameter: the first element as a double, rounded to single.
inline bool ReadRealParam(const mxArray* params, const char* key, float* out, Outcome* outcome) {
  const mxArray* field = NumericField(params, key, outcome);
  if (field == nullptr) return false;
  *out = NearestFloat(mxGetScalar(field));
  return true;
}

// The two radii (horizontal, vertical), read as doubles through mxGetPr, so
// the field must really be a full real double array with both elements.
inline bool ReadRadiusParam(const mxArray* params, const char* key, int radius[2],
                            Outcome* outcome) {
  const mxArray* field = mxGetField(params, 0, key);
  if (field == nullptr) return outcome->BadInput("missing parameter field: %s", key);
  if (!mxIsDouble(field) || mxIsComplex(field) || mxIsSparse(field) ||
      mxGetNumberOfElements(field) < 2) {
    return outcome->BadInput(
        "wrong parameter format: %s must be a real double array of at least two elements", key);
  }
  const double* values = mxGetPr(field);
  if (!TruncateToInt(values[0], &radius[0]) || !TruncateToInt(values[1], &radius[1])) {
    return BadIntValue(key, outcome);
  }
  return true;
}

// ---- Memory and outputs ----

// The whole call, before anything is created: its outputs, the host's copies
// of them when the call returns (the host converts the module's arrays into
// its own values), and the core's scratch, against what the process can
// still get. Refuses the call when they do not fit.
inline bool CheckCallMemory(std::uint64_t output_bytes, std::uint64_t scratch_bytes,
                            Outcome* outcome) {
  const std::uint64_t needed = 2 * output_bytes + scratch_bytes;
  std::int64_t usable = -1;
  if (CallMemoryFits(needed, &usable)) return true;
  outcome->CallTooLarge(needed, usable);
  return false;
}

// The output arrays of one call. They stay owned here until Store hands them
// to the host, so a call that ends early destroys them and leaves the host
// no output at all.
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

  // A zero-filled real matrix in slot i. However the host reports that it
  // cannot create one (its own error, or a null handle), the call fails
  // with std::bad_alloc, like the core's allocations, so that it ends with
  // the module's out-of-memory error.
  void* Create(int i, int rows, int cols, mxClassID class_id) {
    try {
      arrays_[i] = mxCreateNumericMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols),
                                         class_id, mxREAL);
    } catch (...) {
      throw std::bad_alloc();
    }
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

#endif  // DENSECORR_MEX_MEX_GATEWAY_H_
