// The probe loop over a vector type V (see peak_probe_*.cpp).
#ifndef DENSECORR_BENCH_PEAK_PROBE_KERNEL_H_
#define DENSECORR_BENCH_PEAK_PROBE_KERNEL_H_

#include <cstdint>

namespace bench {
namespace {

template <class V>
float ProbeLoop(const float* data, std::int64_t iterations) {
  using F = typename V::F;
  constexpr int kSums = 8;
  F sum[kSums];
  for (int t = 0; t < kSums; ++t) sum[t] = V::Zero();
  for (std::int64_t it = 0; it < iterations; ++it) {
    // Rotate through 8 positions so nothing can be hoisted out of the loop.
    const float* base = data + (it & 7) * V::kLanes;
    const F a = V::Load(base);
#pragma GCC unroll 8
    for (int t = 0; t < kSums; ++t) {
      const F d = V::Sub(a, V::Load(base + (t + 1) * 8 * V::kLanes));
      sum[t] = V::Add(sum[t], V::Mul(d, d));
    }
  }
  F total = sum[0];
  for (int t = 1; t < kSums; ++t) total = V::Add(total, sum[t]);
  return V::First(total);
}

}  // namespace
}  // namespace bench

#endif  // DENSECORR_BENCH_PEAK_PROBE_KERNEL_H_
