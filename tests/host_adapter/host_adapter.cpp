// The host adapter over plain memory. Every array's data is its own
// exact-size allocation, so a module that reads or writes past an array's
// end is caught by AddressSanitizer where the host would silently go on.
#include "host_adapter.h"

#include "quit.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_set>

struct mxArray_tag {
  enum class Owner { kHost, kModule, kField };
  mxClassID class_id = mxUNKNOWN_CLASS;
  std::vector<mwSize> dims;
  bool complex = false, sparse = false, huge = false;
  std::size_t n_stored = 0;  // elements behind `real` (sparse: stored values)
  unsigned char* real = nullptr;
  unsigned char* imag = nullptr;
  std::vector<std::string> fields;
  std::vector<mxArray*> values;  // element-major: element e, field f at e*n_fields + f
  Owner owner = Owner::kHost;
};

namespace hostadapter {

// What the module registered with mexAtExit.
void (*g_at_exit)(void) = nullptr;

namespace {

using Owner = mxArray_tag::Owner;

std::unordered_set<const mxArray*>& LiveArrays() {
  static std::unordered_set<const mxArray*> live;
  return live;
}

struct CallState {
  bool active = false;
  std::vector<mxArray*> created;
};
CallState g_call;

std::size_t g_budget = std::size_t{256} << 20;
std::size_t g_module_bytes = 0;  // data of live arrays the module created

// Address space that is reserved but never accessible: the data of a huge
// array points here, so a module may take the pointer but not read it.
unsigned char* InaccessibleRegion() {
  static unsigned char* region = [] {
    void* p = mmap(nullptr, std::size_t{1} << 36, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) Violation("cannot reserve the inaccessible region");
    return static_cast<unsigned char*>(p);
  }();
  return region;
}

std::size_t ElementSize(mxClassID class_id) {
  switch (class_id) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS: return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS: return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS: return 8;
    default: return 0;
  }
}

bool IsNumericClass(mxClassID class_id) {
  return class_id >= mxDOUBLE_CLASS && class_id <= mxUINT64_CLASS;
}

bool ElementCount(const std::vector<mwSize>& dims, std::size_t* count) {
  std::size_t n = 1;
  for (mwSize d : dims) {
    if (__builtin_mul_overflow(n, d, &n)) return false;
  }
  *count = n;
  return true;
}

std::vector<mwSize> HostDims(std::vector<mwSize> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  while (dims.size() < 2) dims.push_back(dims.empty() ? 0 : 1);
  return dims;
}

// `where` names the operation (or place) that was handed the array.
const mxArray* Checked(const mxArray* array, const char* where) {
  if (array == nullptr) Violation(std::string("the module gave ") + where + " a null array");
  if (LiveArrays().count(array) == 0)
    Violation(std::string("the module gave ") + where +
              " an array that is not alive (destroyed or never made)");
  return array;
}

std::size_t NumelOf(const mxArray* array) {
  std::size_t n = 0;
  ElementCount(array->dims, &n);
  return n;
}

mxArray* NewArray(mxClassID class_id, std::vector<mwSize> dims, Owner owner) {
  auto* array = new mxArray_tag;
  array->class_id = class_id;
  array->dims = HostDims(std::move(dims));
  array->owner = owner;
  LiveArrays().insert(array);
  return array;
}

void AllocateData(mxArray* array, std::size_t n_elements, bool complex) {
  const std::size_t size = ElementSize(array->class_id);
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(n_elements, size, &bytes)) throw std::bad_alloc();
  array->n_stored = n_elements;
  array->complex = complex;
  if (bytes == 0) return;
  // calloc: zero-filled, exact size, and a failure reads as bad_alloc.
  array->real = static_cast<unsigned char*>(std::calloc(bytes, 1));
  if (array->real == nullptr) throw std::bad_alloc();
  if (complex) {
    array->imag = static_cast<unsigned char*>(std::calloc(bytes, 1));
    if (array->imag == nullptr) throw std::bad_alloc();
  }
}

void FreeArray(mxArray* array) {
  if (array == nullptr) return;
  for (mxArray* value : array->values) FreeArray(value);
  if (array->owner == Owner::kModule) g_module_bytes -= DataBytes(array);
  if (!array->huge) {
    std::free(array->real);
    std::free(array->imag);
  }
  LiveArrays().erase(array);
  delete array;
}

// Everything a module could change in an array, as bytes.
void Snapshot(const mxArray* array, std::string* out) {
  const auto put = [out](const void* p, std::size_t n) {
    out->append(static_cast<const char*>(p), n);
  };
  if (array == nullptr) {
    out->push_back('\0');
    return;
  }
  put(&array, sizeof(array));
  put(&array->class_id, sizeof(array->class_id));
  const std::size_t n_dims = array->dims.size();
  put(&n_dims, sizeof(n_dims));
  put(array->dims.data(), n_dims * sizeof(mwSize));
  const char flags[3] = {array->complex, array->sparse, array->huge};
  put(flags, sizeof(flags));
  if (!array->huge) {
    const std::size_t bytes = array->n_stored * ElementSize(array->class_id);
    if (array->real) put(array->real, bytes);
    if (array->imag) put(array->imag, bytes);
  }
  for (const std::string& field : array->fields) out->append(field).push_back('\0');
  for (const mxArray* value : array->values) Snapshot(value, out);
}

std::string Format(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) Violation("the module passed mexErrMsgIdAndTxt an unusable format");
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.pop_back();
  return text;
}

// A zero-filled array made by the module, counted against the budget. A
// request the host cannot back raises the host's own error, without
// identifier, as Octave does.
mxArray* CreateForModule(mxClassID class_id, std::vector<mwSize> dims, bool complex) {
  std::size_t count = 0, bytes = 0;
  const auto refuse = [&] {
    throw HostError("", "failed to allocate " + std::to_string(bytes) + " bytes of memory");
  };
  if (!ElementCount(dims, &count) ||
      __builtin_mul_overflow(count, ElementSize(class_id) * (complex ? 2 : 1), &bytes)) {
    bytes = SIZE_MAX;
    refuse();
  }
  if (bytes > g_budget - std::min(g_budget, g_module_bytes)) refuse();
  mxArray* array = NewArray(class_id, std::move(dims), Owner::kModule);
  try {
    AllocateData(array, count, complex);
  } catch (const std::bad_alloc&) {
    FreeArray(array);
    refuse();
  }
  g_module_bytes += DataBytes(array);
  if (g_call.active) g_call.created.push_back(array);
  return array;
}

}  // namespace

void Violation(const std::string& what) {
  std::fprintf(stderr, "host adapter: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void ArrayDeleter::operator()(mxArray* array) const { FreeArray(array); }

Array Numeric(mxClassID class_id, std::vector<mwSize> dims, bool complex) {
  if (ElementSize(class_id) == 0)
    Violation("test misuse: asked for a numeric array of a non-numeric class");
  Array array(NewArray(class_id, std::move(dims), Owner::kHost));
  std::size_t n = 0;
  if (!ElementCount(array->dims, &n)) Violation("test misuse: asked for more than 2^64 elements");
  AllocateData(array.get(), n, complex);
  return array;
}

Array Sparse(mxClassID class_id, mwSize m, mwSize n, mwSize n_stored) {
  if (class_id != mxDOUBLE_CLASS && class_id != mxLOGICAL_CLASS)
    Violation("test misuse: asked for a sparse array of a class the host does not store sparsely");
  Array array(NewArray(class_id, {m, n}, Owner::kHost));
  array->sparse = true;
  AllocateData(array.get(), n_stored, false);
  return array;
}

Array Huge(mxClassID class_id, std::vector<mwSize> dims) {
  if (ElementSize(class_id) == 0)
    Violation("test misuse: asked for a huge array of a non-numeric class");
  Array array(NewArray(class_id, std::move(dims), Owner::kHost));
  std::size_t n = 0;
  if (!ElementCount(array->dims, &n)) Violation("test misuse: asked for more than 2^64 elements");
  array->huge = true;
  array->n_stored = n;
  array->real = InaccessibleRegion();
  return array;
}

Array Struct(std::vector<mwSize> dims, const std::vector<std::string>& fields) {
  Array array(NewArray(mxSTRUCT_CLASS, std::move(dims), Owner::kHost));
  std::size_t n = 0;
  if (!ElementCount(array->dims, &n) || n > (std::size_t{1} << 20))
    Violation("test misuse: asked for an oversized structure array");
  array->fields = fields;
  array->values.assign(n * fields.size(), nullptr);
  return array;
}

void SetField(mxArray* structure, mwIndex index, const std::string& name, Array value) {
  const auto found = std::find(structure->fields.begin(), structure->fields.end(), name);
  if (found == structure->fields.end() || index >= NumelOf(structure))
    Violation("test misuse: set a field that does not exist");
  const std::size_t slot = index * structure->fields.size() + (found - structure->fields.begin());
  FreeArray(structure->values[slot]);
  if (value) value->owner = Owner::kField;
  structure->values[slot] = value.release();
}

Array Scalar(double value) { return Doubles({1, 1}, {value}); }

Array Doubles(std::vector<mwSize> dims, const std::vector<double>& values) {
  Array array = Numeric(mxDOUBLE_CLASS, std::move(dims));
  if (values.size() != array->n_stored) Violation("test misuse: gave the wrong number of values");
  if (!values.empty()) std::memcpy(array->real, values.data(), values.size() * sizeof(double));
  return array;
}

Array Singles(std::vector<mwSize> dims, const std::vector<float>& values) {
  Array array = Numeric(mxSINGLE_CLASS, std::move(dims));
  if (values.size() != array->n_stored) Violation("test misuse: gave the wrong number of values");
  if (!values.empty()) std::memcpy(array->real, values.data(), values.size() * sizeof(float));
  return array;
}

Array Int32s(std::vector<mwSize> dims, const std::vector<std::int32_t>& values) {
  Array array = Numeric(mxINT32_CLASS, std::move(dims));
  if (values.size() != array->n_stored) Violation("test misuse: gave the wrong number of values");
  if (!values.empty())
    std::memcpy(array->real, values.data(), values.size() * sizeof(std::int32_t));
  return array;
}

Array Text(const std::string& text) {
  Array array = Numeric(mxCHAR_CLASS, {1, text.size()});
  for (std::size_t i = 0; i < text.size(); ++i)
    reinterpret_cast<mxChar*>(array->real)[i] = static_cast<mxChar>(text[i]);
  return array;
}

std::vector<mwSize> DimsOf(const mxArray* array) { return Checked(array, "DimsOf")->dims; }

std::size_t DataBytes(const mxArray* array) {
  if (array->huge) return 0;
  const std::size_t bytes = array->n_stored * ElementSize(array->class_id);
  return array->complex ? 2 * bytes : bytes;
}

void RequestInterrupt() {
  octave_interrupt_state = 1;
  octave_signal_caught = 1;
}

bool Unload() {
  void (*at_exit)(void) = g_at_exit;
  g_at_exit = nullptr;
  if (at_exit == nullptr) return false;
  at_exit();
  return true;
}

std::size_t SetArrayBudget(std::size_t bytes) {
  const std::size_t previous = g_budget;
  g_budget = bytes;
  return previous;
}

CallResult Call(EntryPoint entry, int nlhs, const std::vector<const mxArray*>& inputs) {
  for (const mxArray* input : inputs) {
    if (input != nullptr && LiveArrays().count(input) == 0)
      Violation("test misuse: Call was given an input that is not alive");
  }
  std::vector<std::string> before(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) Snapshot(inputs[i], &before[i]);

  const int n_slots = std::max(nlhs, 1);
  // Exactly sized, so that a store past the last slot is caught.
  std::unique_ptr<mxArray*[]> plhs(new mxArray*[n_slots]());
  std::unique_ptr<const mxArray*[]> prhs(new const mxArray*[inputs.size()]);
  std::copy(inputs.begin(), inputs.end(), prhs.get());

  CallResult result;
  g_call = CallState();
  g_call.active = true;
  try {
    entry(nlhs, plhs.get(), static_cast<int>(inputs.size()), prhs.get());
  } catch (const HostError& error) {
    result.end = CallResult::End::kHostError;
    result.error_id = error.id;
    result.error_text = error.what();
  } catch (const Interrupt&) {
    result.end = CallResult::End::kInterrupted;
  } catch (const std::bad_alloc&) {
    Violation("the module let std::bad_alloc escape instead of raising its out-of-memory error");
  } catch (...) {
    Violation("an exception of the module's own escaped to the host");
  }
  g_call.active = false;
  octave_interrupt_state = 0;
  octave_signal_caught = 0;

  std::unordered_set<const mxArray*> in_slots;
  for (int i = 0; i < n_slots; ++i) {
    mxArray* out = plhs[i];
    if (out == nullptr) continue;
    Checked(out, "an output slot");
    if (out->owner != Owner::kModule)
      Violation("the module stored an array it did not create in an output slot");
    if (!in_slots.insert(out).second) Violation("the module stored one array in two output slots");
    ++result.n_slots_set;
  }
  const bool keep = result.end == CallResult::End::kReturned;
  result.slots.resize(n_slots);
  for (int i = 0; i < n_slots; ++i) {
    if (keep && plhs[i] != nullptr) {
      g_module_bytes -= DataBytes(plhs[i]);
      plhs[i]->owner = Owner::kHost;
      result.slots[i].reset(plhs[i]);
    }
  }
  for (mxArray* created : g_call.created) {
    if (LiveArrays().count(created) == 0 || created->owner != Owner::kModule) continue;
    if (in_slots.count(created) == 0) ++result.n_stray_arrays;
    FreeArray(created);
  }
  g_call.created.clear();

  for (std::size_t i = 0; i < inputs.size(); ++i) {
    std::string after;
    Snapshot(inputs[i], &after);
    if (after != before[i]) result.inputs_unchanged = false;
  }
  return result;
}

}  // namespace hostadapter

// ---- The host interface -------------------------------------------------

using hostadapter::Checked;
using hostadapter::Violation;

extern "C" {

bool mxIsSingle(const mxArray* a) { return Checked(a, "mxIsSingle")->class_id == mxSINGLE_CLASS; }
bool mxIsDouble(const mxArray* a) { return Checked(a, "mxIsDouble")->class_id == mxDOUBLE_CLASS; }
bool mxIsInt32(const mxArray* a) { return Checked(a, "mxIsInt32")->class_id == mxINT32_CLASS; }
bool mxIsNumeric(const mxArray* a) {
  return hostadapter::IsNumericClass(Checked(a, "mxIsNumeric")->class_id);
}
bool mxIsComplex(const mxArray* a) { return Checked(a, "mxIsComplex")->complex; }
bool mxIsSparse(const mxArray* a) { return Checked(a, "mxIsSparse")->sparse; }
bool mxIsStruct(const mxArray* a) { return Checked(a, "mxIsStruct")->class_id == mxSTRUCT_CLASS; }
bool mxIsLogical(const mxArray* a) {
  return Checked(a, "mxIsLogical")->class_id == mxLOGICAL_CLASS;
}
mxClassID mxGetClassID(const mxArray* a) { return Checked(a, "mxGetClassID")->class_id; }

size_t mxGetNumberOfElements(const mxArray* a) {
  return hostadapter::NumelOf(Checked(a, "mxGetNumberOfElements"));
}
mwSize mxGetNumberOfDimensions(const mxArray* a) {
  return Checked(a, "mxGetNumberOfDimensions")->dims.size();
}
const mwSize* mxGetDimensions(const mxArray* a) {
  return Checked(a, "mxGetDimensions")->dims.data();
}

void* mxGetData(const mxArray* a) {
  Checked(a, "mxGetData");
  if (a->class_id == mxSTRUCT_CLASS) Violation("the module took the data pointer of a structure");
  return a->real;
}

double* mxGetPr(const mxArray* a) {
  Checked(a, "mxGetPr");
  if (a->class_id != mxDOUBLE_CLASS)
    Violation("the module read a non-double array through mxGetPr");
  return reinterpret_cast<double*>(a->real);
}

double mxGetScalar(const mxArray* a) {
  Checked(a, "mxGetScalar");
  if (a->class_id == mxSTRUCT_CLASS || a->class_id == mxCELL_CLASS) return 0.0;
  if (a->huge) Violation("the module read an element of an array too large to exist");
  if (a->n_stored == 0) Violation("the module read the first element of an empty array");
  const void* p = a->real;
  switch (a->class_id) {
    case mxDOUBLE_CLASS: return *static_cast<const double*>(p);
    case mxSINGLE_CLASS: return *static_cast<const float*>(p);
    case mxINT8_CLASS: return *static_cast<const std::int8_t*>(p);
    case mxUINT8_CLASS: return *static_cast<const std::uint8_t*>(p);
    case mxINT16_CLASS: return *static_cast<const std::int16_t*>(p);
    case mxUINT16_CLASS: return *static_cast<const std::uint16_t*>(p);
    case mxINT32_CLASS: return *static_cast<const std::int32_t*>(p);
    case mxUINT32_CLASS: return *static_cast<const std::uint32_t*>(p);
    case mxINT64_CLASS: return static_cast<double>(*static_cast<const std::int64_t*>(p));
    case mxUINT64_CLASS: return static_cast<double>(*static_cast<const std::uint64_t*>(p));
    case mxLOGICAL_CLASS: return *static_cast<const std::uint8_t*>(p) ? 1.0 : 0.0;
    case mxCHAR_CLASS: return *static_cast<const mxChar*>(p);
    default: Violation("the module read a scalar of an unknown class");
  }
}

mxLogical* mxGetLogicals(const mxArray* a) {
  Checked(a, "mxGetLogicals");
  if (a->class_id != mxLOGICAL_CLASS)
    Violation("the module read a non-logical array through mxGetLogicals");
  return reinterpret_cast<mxLogical*>(a->real);
}

mxArray* mxGetField(const mxArray* a, mwIndex index, const char* name) {
  Checked(a, "mxGetField");
  if (a->class_id != mxSTRUCT_CLASS) return nullptr;
  if (index >= hostadapter::NumelOf(a))
    Violation("the module read a field of a structure element that does not exist");
  const auto found = std::find(a->fields.begin(), a->fields.end(), name);
  if (found == a->fields.end()) return nullptr;
  return a->values[index * a->fields.size() + (found - a->fields.begin())];
}

int mxGetNumberOfFields(const mxArray* a) {
  Checked(a, "mxGetNumberOfFields");
  return a->class_id == mxSTRUCT_CLASS ? static_cast<int>(a->fields.size()) : 0;
}

const char* mxGetFieldNameByNumber(const mxArray* a, int field_number) {
  Checked(a, "mxGetFieldNameByNumber");
  if (a->class_id != mxSTRUCT_CLASS) return nullptr;
  if (field_number < 0 || static_cast<std::size_t>(field_number) >= a->fields.size())
    Violation("the module asked for the name of a field number that does not exist");
  return a->fields[static_cast<std::size_t>(field_number)].c_str();
}

mxArray* mxGetFieldByNumber(const mxArray* a, mwIndex index, int field_number) {
  Checked(a, "mxGetFieldByNumber");
  if (a->class_id != mxSTRUCT_CLASS) return nullptr;
  if (index >= hostadapter::NumelOf(a))
    Violation("the module read a field of a structure element that does not exist");
  if (field_number < 0 || static_cast<std::size_t>(field_number) >= a->fields.size())
    Violation("the module read a field number that does not exist");
  return a->values[index * a->fields.size() + static_cast<std::size_t>(field_number)];
}

mxArray* mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID class_id, mxComplexity flag) {
  if (!hostadapter::IsNumericClass(class_id))
    Violation("the module created a numeric matrix of a non-numeric class");
  return hostadapter::CreateForModule(class_id, {m, n}, flag == mxCOMPLEX);
}

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID class_id,
                              mxComplexity flag) {
  if (!hostadapter::IsNumericClass(class_id))
    Violation("the module created a numeric array of a non-numeric class");
  if (ndim > 0 && dims == nullptr) Violation("the module gave mxCreateNumericArray no dimensions");
  std::vector<mwSize> shape(dims, dims + ndim);
  if (shape.size() < 2) shape.resize(2, 1);
  return hostadapter::CreateForModule(class_id, std::move(shape), flag == mxCOMPLEX);
}

mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n) {
  return hostadapter::CreateForModule(mxLOGICAL_CLASS, {m, n}, false);
}

void mxDestroyArray(mxArray* a) {
  if (a == nullptr) return;
  Checked(a, "mxDestroyArray");
  if (a->owner != mxArray_tag::Owner::kModule)
    Violation("the module destroyed an array it does not own");
  hostadapter::FreeArray(a);
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = hostadapter::Format(format, args);
  va_end(args);
  throw hostadapter::HostError(id ? id : "", text);
}

int mexAtExit(void (*exit_function)(void)) {
  hostadapter::g_at_exit = exit_function;
  return 0;
}

sig_atomic_t octave_interrupt_state = 0;
volatile sig_atomic_t octave_signal_caught = 0;

void octave_handle_signal(void) {
  if (octave_interrupt_state > 0) {
    octave_interrupt_state = -1;
    throw hostadapter::Interrupt();
  }
}

}  // extern "C"
