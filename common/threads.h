// The OpenMP thread queries, with the answers of a serial build when the
// cores are compiled without OpenMP.
#ifndef DENSECORR_COMMON_THREADS_H_
#define DENSECORR_COMMON_THREADS_H_

#ifdef _OPENMP
#include <omp.h>
#endif

namespace densecorr {

// Threads the next parallel region may use.
inline int MaxThreads() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

// This thread's number in the current region (0 = the calling thread).
inline int ThreadNumber() {
#ifdef _OPENMP
  return omp_get_thread_num();
#else
  return 0;
#endif
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_THREADS_H_
