// A stand-in for the host's array and extension interface, over plain
// memory. The gateways compile against it unchanged (this folder comes first
// on their include path), so they can be unit-tested and fuzzed without the
// host. Only the operations the gateways use are offered; each behaves as the
// host documents it, and where the host leaves a use undefined (reading an
// empty array, an element index past the end, a destroyed array) the adapter
// stops the process with a message instead of guessing. Sizes are 64-bit, as
// in a 64-bit host. It stands in for Octave's interface, interrupt state
// included (quit.h beside this file).
#ifndef DENSECORR_HOST_ADAPTER_MEX_H_
#define DENSECORR_HOST_ADAPTER_MEX_H_

#include <cstddef>

// As Octave's mex.h: the gateways take Octave's interrupt path.
#define HAVE_OCTAVE

typedef std::size_t mwSize;
typedef std::size_t mwIndex;
typedef std::ptrdiff_t mwSignedIndex;
typedef struct mxArray_tag mxArray;
typedef bool mxLogical;
typedef char16_t mxChar;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS = 1,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxVOID_CLASS = 5,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT8_CLASS = 8,
  mxUINT8_CLASS = 9,
  mxINT16_CLASS = 10,
  mxUINT16_CLASS = 11,
  mxINT32_CLASS = 12,
  mxUINT32_CLASS = 13,
  mxINT64_CLASS = 14,
  mxUINT64_CLASS = 15,
  mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

extern "C" {

// The module's entry point, defined by the gateway.
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

bool mxIsSingle(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsInt32(const mxArray* array);
bool mxIsNumeric(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
bool mxIsStruct(const mxArray* array);
bool mxIsLogical(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);

size_t mxGetNumberOfElements(const mxArray* array);
mwSize mxGetNumberOfDimensions(const mxArray* array);
const mwSize* mxGetDimensions(const mxArray* array);

// Real data, column-major; null for an array without elements.
void* mxGetData(const mxArray* array);
double* mxGetPr(const mxArray* array);
double mxGetScalar(const mxArray* array);
// The data of a logical array (null without elements); any other class is a
// misuse the host leaves undefined.
mxLogical* mxGetLogicals(const mxArray* array);

// Null for a missing field, an unset value or an array that is not a
// structure; an element index past the end is undefined.
mxArray* mxGetField(const mxArray* array, mwIndex index, const char* name);
// Fields by number, 0-based in the order of creation. The count is 0, and
// the name and value null, for an array that is not a structure; a field
// number or element index past the end is undefined.
int mxGetNumberOfFields(const mxArray* array);
const char* mxGetFieldNameByNumber(const mxArray* array, int field_number);
mxArray* mxGetFieldByNumber(const mxArray* array, mwIndex index, int field_number);

// Zero-filled. A request the host cannot back raises the host's own error
// (no identifier, "failed to allocate N bytes of memory"), as Octave does.
mxArray* mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID class_id, mxComplexity flag);
// ndim dimensions (fewer than two are padded with 1, trailing singletons
// beyond the second dropped, as the host does).
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID class_id,
                              mxComplexity flag);
mxArray* mxCreateLogicalMatrix(mwSize m, mwSize n);
void mxDestroyArray(mxArray* array);

// Raise a host error: leaves the module through a C++ exception
// (hostadapter::HostError) that the adapter's caller catches.
[[noreturn]] void mexErrMsgIdAndTxt(const char* id, const char* format, ...);

// Registers what to run when the module is unloaded (hostadapter::Unload);
// a later registration replaces it, as in the host.
int mexAtExit(void (*exit_function)(void));

}  // extern "C"

#endif  // DENSECORR_HOST_ADAPTER_MEX_H_
