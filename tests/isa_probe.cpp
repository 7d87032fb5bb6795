// Prints, one a line, the kernel paths this build carries and this processor
// runs, widest first: the Octave test of the forced kernel paths compares only
// these (a forced build of any other quietly runs the portable path).
#include <cstdio>

#include "simd/dispatch.h"

int main() {
  for (densecorr::simd::Isa isa : densecorr::simd::SupportedIsas()) {
    std::printf("%s\n", densecorr::simd::IsaName(isa));
  }
  return 0;
}
