// The test side of the host adapter: building host arrays, calling a
// module's entry point as the host does, and reading what the call left.
#ifndef DENSECORR_HOST_ADAPTER_HOST_ADAPTER_H_
#define DENSECORR_HOST_ADAPTER_HOST_ADAPTER_H_

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mex.h"

namespace hostadapter {

// What mexErrMsgIdAndTxt throws, and the host's own errors.
struct HostError : std::runtime_error {
  HostError(std::string id_, const std::string& text)
      : std::runtime_error(text), id(std::move(id_)) {}
  std::string id;
};

// What handling a pending interrupt throws (quit.h).
struct Interrupt {};

// Marks an interrupt pending, as the host's SIGINT handler does; Call clears
// whatever is left of it when the call ends, as the host does on its return
// to the prompt.
void RequestInterrupt();

// Unloads the module as the host does: runs (and forgets) what it
// registered with mexAtExit; false when nothing was registered.
bool Unload();

struct ArrayDeleter {
  void operator()(mxArray* array) const;
};
// A host array owned by the test (an input, or an output after a call).
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Numeric, logical or char array, zero-filled. Dimensions follow the host's
// rules: at least two, trailing singletons beyond the second dropped (an
// H x W x 1 image is two-dimensional). Aborts when the element count does
// not fit 64 bits.
Array Numeric(mxClassID class_id, std::vector<mwSize> dims, bool complex = false);
// A sparse m x n matrix (double or logical) storing `n_stored` values: its
// data holds those values only, not m*n, as the host's sparse storage does.
Array Sparse(mxClassID class_id, mwSize m, mwSize n, mwSize n_stored);
// An array claiming a size too large to hold. Its data pointer may be taken
// but points at inaccessible memory, so any read faults; reading it through
// mxGetScalar stops the process.
Array Huge(mxClassID class_id, std::vector<mwSize> dims);
// A structure array of the given size with the given fields, every value
// unset (null, as a freshly created host structure has).
Array Struct(std::vector<mwSize> dims, const std::vector<std::string>& fields);
// Stores `value` in field `name` of element `index`, replacing (and freeing)
// what was there. Aborts for a missing field or element.
void SetField(mxArray* structure, mwIndex index, const std::string& name, Array value);

Array Scalar(double value);
Array Doubles(std::vector<mwSize> dims, const std::vector<double>& values);
Array Singles(std::vector<mwSize> dims, const std::vector<float>& values);
Array Int32s(std::vector<mwSize> dims, const std::vector<std::int32_t>& values);
Array Text(const std::string& text);

// Typed view of an array's real data (null without elements); no checks.
template <class T>
T* DataOf(const mxArray* array) {
  return static_cast<T*>(mxGetData(array));
}
std::vector<mwSize> DimsOf(const mxArray* array);
// Bytes of real data (and imaginary, if any) an array holds.
std::size_t DataBytes(const mxArray* array);

// Bytes that output arrays may take in all at any one time; a creation
// beyond it throws std::bad_alloc. Returns the previous budget.
std::size_t SetArrayBudget(std::size_t bytes);

using EntryPoint = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct CallResult {
  enum class End { kReturned, kHostError, kInterrupted };
  End end = End::kReturned;
  std::string error_id;      // kHostError: the identifier given
  std::string error_text;    // kHostError: the message
  std::vector<Array> slots;  // the max(nlhs, 1) output slots as the call left them
  int n_slots_set = 0;
  // Arrays the module created and neither stored nor destroyed; the host
  // frees them after the call, but a tidy module leaves none.
  int n_stray_arrays = 0;
  bool inputs_unchanged = true;  // every input byte for byte, fields included
};

// Calls `entry` as the host does: `inputs` as prhs (an array of exactly that
// many slots), nlhs output slots of which max(nlhs, 1) exist. After a host
// error or an interrupt the slots are emptied, as the host discards them;
// the count of those set is kept in n_slots_set. Any other exception that
// leaves the module (std::bad_alloc above all) stops the process: the host
// would report it without the module's identifier.
CallResult Call(EntryPoint entry, int nlhs, const std::vector<const mxArray*>& inputs);

// Stops the process with a message: the module did something the host
// leaves undefined.
[[noreturn]] void Violation(const std::string& what);

}  // namespace hostadapter

#endif  // DENSECORR_HOST_ADAPTER_HOST_ADAPTER_H_
