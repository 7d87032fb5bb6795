// Vector traits in portable C++ for any processor: 8-lane vectors whose
// element-wise operations the compiler maps onto the baseline instruction set
// (SSE2 on x86-64, NEON on 64-bit Arm). Lanes never mix, so no reassociation
// is needed.
#ifndef DENSECORR_SIMD_TRAITS_PORTABLE_H_
#define DENSECORR_SIMD_TRAITS_PORTABLE_H_

#include <cmath>
#include <cstring>

namespace densecorr {
namespace simd {
// Internal linkage: every kernel file keeps its own copy, compiled for its
// own instruction set, so no wider code reaches a baseline caller through
// the linker.
namespace {

#if defined(__GNUC__) || defined(__clang__)
// Element-wise vectors of the compiler's own (GNU vector extension): every
// operation acts lane by lane, so the compiler maps them onto whatever SIMD
// the target has, or onto scalars.
struct Portable {
  static constexpr int kLanes = 8;
  static constexpr int kMaxTile = 4;  // accumulators that fit 16 registers of 4 lanes
  typedef float F __attribute__((vector_size(4 * kLanes)));
  typedef int M __attribute__((vector_size(4 * kLanes)));  // all ones in selected lanes
  using I = M;
  static F Zero() { return F{}; }
  // (Lane by lane: F{} + x would turn -0 into +0.)
  static F Broadcast(float x) {
    F r = F{};
    for (int l = 0; l < kLanes; ++l) r[l] = x;
    return r;
  }
  static F Load(const float* p) {
    F r;
    std::memcpy(&r, p, sizeof r);
    return r;
  }
  static F LoadMasked(const float* p, M m) {
    F r = Zero();
    for (int l = 0; l < kLanes; ++l) {
      if (m[l] != 0) r[l] = p[l];
    }
    return r;
  }
  static void Store(float* p, F v) { std::memcpy(p, &v, sizeof v); }
  static void StoreMasked(float* p, F v, M m) {
    for (int l = 0; l < kLanes; ++l) {
      if (m[l] != 0) p[l] = v[l];
    }
  }
  static F Add(F a, F b) { return a + b; }
  static F Sub(F a, F b) { return a - b; }
  static F Mul(F a, F b) { return a * b; }
  // The single-precision root is correctly rounded (IEEE 754), as is the
  // double root rounded back to single precision.
  static F Sqrt(F a) {
    for (int l = 0; l < kLanes; ++l) a[l] = std::sqrt(a[l]);
    return a;
  }
  static M Greater(F a, F b) { return a > b; }
  // a < b ? a : b: b where either is NaN, as the x86 minimum.
  static F Min(F a, F b) { return a < b ? a : b; }
  static M Less(F a, F b) { return a < b; }
  static F Select(M m, F if_true, F if_false) { return m ? if_true : if_false; }
  static M LaneRange(int lo, int hi) {
    const M lane = {0, 1, 2, 3, 4, 5, 6, 7};
    return (lane >= lo) & (lane < hi);
  }
  static M IsNaN(F a) { return a != a; }
  static M Or(M a, M b) { return a | b; }
  static bool Any(M m) {
    int any = 0;
    for (int l = 0; l < kLanes; ++l) any |= m[l];
    return any != 0;
  }
  static bool AnyNaN(F a) { return Any(IsNaN(a)); }
  static void ToArray(F v, float* out) { Store(out, v); }
  static I BroadcastInt(int x) { return I{} + x; }
  static I SelectInt(M m, I if_true, I if_false) { return m ? if_true : if_false; }
  static void IntToArray(I v, int* out) { std::memcpy(out, &v, sizeof v); }
};
#else
// Plain arrays for other compilers: element-wise loops they can vectorise.
struct Portable {
  static constexpr int kLanes = 8;
  static constexpr int kMaxTile = 4;  // accumulators that fit 16 registers of 4 lanes
  struct F {
    float v[kLanes];
  };
  using M = unsigned;  // bit l selects lane l
  struct I {
    int v[kLanes];
  };
  static bool On(M m, int l) { return ((m >> l) & 1u) != 0; }
  static F Zero() { return Broadcast(0.0f); }
  static F Broadcast(float x) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = x;
    return r;
  }
  static F Load(const float* p) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = p[l];
    return r;
  }
  static F LoadMasked(const float* p, M m) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = On(m, l) ? p[l] : 0.0f;
    return r;
  }
  static void Store(float* p, F v) {
    for (int l = 0; l < kLanes; ++l) p[l] = v.v[l];
  }
  static void StoreMasked(float* p, F v, M m) {
    for (int l = 0; l < kLanes; ++l) {
      if (On(m, l)) p[l] = v.v[l];
    }
  }
  static F Add(F a, F b) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] + b.v[l];
    return r;
  }
  static F Sub(F a, F b) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] - b.v[l];
    return r;
  }
  static F Mul(F a, F b) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] * b.v[l];
    return r;
  }
  // The single-precision root is correctly rounded (IEEE 754), as is the
  // double root rounded back to single precision.
  static F Sqrt(F a) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = std::sqrt(a.v[l]);
    return r;
  }
  static M Greater(F a, F b) {
    M m = 0;
    for (int l = 0; l < kLanes; ++l) m |= (a.v[l] > b.v[l] ? 1u : 0u) << l;
    return m;
  }
  // a < b ? a : b: b where either is NaN, as the x86 minimum.
  static F Min(F a, F b) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = a.v[l] < b.v[l] ? a.v[l] : b.v[l];
    return r;
  }
  static M Less(F a, F b) {
    M m = 0;
    for (int l = 0; l < kLanes; ++l) m |= (a.v[l] < b.v[l] ? 1u : 0u) << l;
    return m;
  }
  static F Select(M m, F if_true, F if_false) {
    F r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = On(m, l) ? if_true.v[l] : if_false.v[l];
    return r;
  }
  static M LaneRange(int lo, int hi) {
    return lo < hi ? ((1u << hi) - 1u) & ~((1u << lo) - 1u) : 0u;
  }
  static bool AnyNaN(F a) {
    bool any = false;
    for (int l = 0; l < kLanes; ++l) any = any || a.v[l] != a.v[l];
    return any;
  }
  static M IsNaN(F a) {
    M m = 0;
    for (int l = 0; l < kLanes; ++l) m |= (a.v[l] != a.v[l] ? 1u : 0u) << l;
    return m;
  }
  static M Or(M a, M b) { return a | b; }
  static bool Any(M m) { return m != 0; }
  static void ToArray(F v, float* out) { Store(out, v); }
  static I BroadcastInt(int x) {
    I r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = x;
    return r;
  }
  static I SelectInt(M m, I if_true, I if_false) {
    I r;
    for (int l = 0; l < kLanes; ++l) r.v[l] = On(m, l) ? if_true.v[l] : if_false.v[l];
    return r;
  }
  static void IntToArray(I v, int* out) {
    for (int l = 0; l < kLanes; ++l) out[l] = v.v[l];
  }
};
#endif

}  // namespace
}  // namespace simd
}  // namespace densecorr

#endif  // DENSECORR_SIMD_TRAITS_PORTABLE_H_
