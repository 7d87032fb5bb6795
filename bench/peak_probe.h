// A peak probe for the distance kernels' arithmetic: per lane d = a - b,
// sum = sum + d*d (no fused multiply-add), one load of a per eight loads of b,
// data in the first-level cache and eight independent sums per thread.
#ifndef DENSECORR_BENCH_PEAK_PROBE_H_
#define DENSECORR_BENCH_PEAK_PROBE_H_

#include <cstdint>

namespace bench {

// Runs `iterations` rounds over `data` (at least 1024 floats); each round
// computes 8 vectors of entries. Returns a value that depends on every sum.
using ProbeFn = float (*)(const float* data, std::int64_t iterations);

struct Probe {
  const char* name;
  int lanes;  // entries per vector
  ProbeFn run;
};

// The widest probe the processor supports.
Probe WidestProbe();

}  // namespace bench

#endif  // DENSECORR_BENCH_PEAK_PROBE_H_
