// Loops built several times, for AVX-512, AVX2 and the baseline, the build
// picked once at load time by the processor (GCC's target_clones, on x86-64
// Linux). For code outside the kernel tables whose vector loops the
// compiler writes: lanes stay independent entries and contraction stays off,
// so every build gives the same bits. -DDENSECORR_NO_CLONES builds the
// baseline alone.
#ifndef DENSECORR_SIMD_TARGET_CLONES_H_
#define DENSECORR_SIMD_TARGET_CLONES_H_

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(DENSECORR_NO_CLONES)
#define DENSECORR_HAS_WIDE_CLONES 1
#define DENSECORR_WIDE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define DENSECORR_WIDE_CLONES
#endif

// For the helpers the cloned loops call: inlined, so that each build has
// its own (a call would run the baseline's).
#if defined(__GNUC__)
#define DENSECORR_INLINE inline __attribute__((always_inline))
#else
#define DENSECORR_INLINE inline
#endif

#endif  // DENSECORR_SIMD_TARGET_CLONES_H_
