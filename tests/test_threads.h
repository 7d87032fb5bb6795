// Runs a body with a given OpenMP thread count (a no-op without OpenMP).
#ifndef DENSECORR_TESTS_TEST_THREADS_H_
#define DENSECORR_TESTS_TEST_THREADS_H_

#ifdef _OPENMP
#include <omp.h>
#endif

template <class Body>
void WithThreads(int n_threads, Body body) {
#ifdef _OPENMP
  const int saved = omp_get_max_threads();
  omp_set_num_threads(n_threads);
  body();
  omp_set_num_threads(saved);
#else
  (void)n_threads;
  body();
#endif
}

#endif  // DENSECORR_TESTS_TEST_THREADS_H_
