// Run-time choice of the instruction set: which vector kernels this build
// carries and which of them the running processor supports. Knows no module;
// every module keeps one kernel table per instruction set and looks it up by
// the Isa chosen here.
#ifndef DENSECORR_SIMD_DISPATCH_H_
#define DENSECORR_SIMD_DISPATCH_H_

#include <vector>

namespace densecorr {
namespace simd {

enum class Isa { kPortable, kAvx2, kAvx512 };

// Lanes of the widest vector any kernel uses; buffers padded for vector
// reads carry at least this many spare floats.
constexpr int kMaxLanes = 16;

const char* IsaName(Isa isa);

// Compiled into this build and supported by the running processor (the
// probe also checks that the operating system saves the wider registers).
bool IsaSupported(Isa isa);

// The supported instruction sets, widest first; the last is always portable.
std::vector<Isa> SupportedIsas();

// What every public operation uses: the widest supported set, or, in a
// build made with DENSECORR_FORCE_ISA, that set (portable where the
// processor lacks it).
Isa SelectIsa();

}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_SIMD_DISPATCH_H_
