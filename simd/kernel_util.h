// Small helpers shared by the kernel templates. Included only by the
// per-instruction-set kernel files: everything here has internal linkage, so
// each file keeps its own copy compiled for its own instruction set and no
// wider code can leak into a baseline caller through the linker.
#ifndef DENSECORR_SIMD_KERNEL_UTIL_H_
#define DENSECORR_SIMD_KERNEL_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "common/distance.h"

#if defined(__GNUC__) || defined(__clang__)
#define DENSECORR_PREFETCH(address) __builtin_prefetch(address, 0, 2)
#define DENSECORR_UNROLL _Pragma("GCC unroll 16")
// Keeps a tile's inner loop in a function of its own: inlined into the large
// drivers, its accumulators would compete for registers and be spilled.
#define DENSECORR_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define DENSECORR_PREFETCH(address) ((void)(address))
#define DENSECORR_UNROLL
#define DENSECORR_NOINLINE __declspec(noinline)
#else
#define DENSECORR_PREFETCH(address) ((void)(address))
#define DENSECORR_UNROLL
#define DENSECORR_NOINLINE
#endif

namespace densecorr {
namespace simd {
namespace {

// Channels lie a plane apart, beyond the reach of the processor's own
// prefetching: the kernels that walk the images' planes ask this many
// channels ahead.
constexpr int kPrefetchChannels = 8;

constexpr float kLargestFinite = std::numeric_limits<float>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

inline std::int64_t Clamp(std::int64_t v, std::int64_t lo, std::int64_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

inline int MinInt(int a, int b) { return a < b ? a : b; }

// A compile-time tile size, so that per-entry accumulators live in registers.
template <int N>
struct TileSize {
  static constexpr int value = N;
};

// body(TileSize<0>()), ..., body(TileSize<N-1>()): a loop over a tile with
// every index a constant, so that per-entry accumulators stay in registers
// (an array indexed by a loop counter may be left in memory).
template <class Body, int... I>
inline void UnrollOver(std::integer_sequence<int, I...>, Body&& body) {
  (body(TileSize<I>()), ...);
}
template <int N, class Body>
inline void Unroll(Body&& body) {
  UnrollOver(std::make_integer_sequence<int, N>(), body);
}

// Calls body(TileSize<count>()) for 1 <= count <= Max.
template <int Max, class Body>
inline void WithTileSize(int count, Body&& body) {
  if constexpr (Max >= 1) {
    if (count == Max) {
      body(TileSize<Max>());
    } else {
      WithTileSize<Max - 1>(count, body);
    }
  }
}

// Stores `value` into lanes [0, n) of out.
template <class V>
inline void StoreLanes(float* out, int n, typename V::F value) {
  if (n == V::kLanes) {
    V::Store(out, value);
  } else {
    V::StoreMasked(out, value, V::LaneRange(0, n));
  }
}

// Lanes [lo, hi) of dist that are NaN, recomputed by the literal loop; lane
// l's channels start at a + l and b + l.
template <class V>
typename V::F LiteralNaNLanes(typename V::F dist, int lo, int hi, const float* a,
                              std::ptrdiff_t plane_a, const float* b, std::ptrdiff_t plane_b,
                              int feat_dim) {
  if (!V::AnyNaN(dist)) return dist;
  float lanes[V::kLanes];
  V::ToArray(dist, lanes);
  for (int l = lo; l < hi; ++l) {
    if (lanes[l] != lanes[l]) lanes[l] = LiteralDistance(a + l, plane_a, b + l, plane_b, feat_dim);
  }
  return V::Load(lanes);
}

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_SIMD_KERNEL_UTIL_H_
