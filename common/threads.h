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

// Whether a parallel region entered here would run on more than one thread
// (not where one thread is allowed, nor inside a region when no further
// level may be active).
inline bool TeamPossible() {
#ifdef _OPENMP
  return omp_get_max_threads() > 1 && omp_get_active_level() < omp_get_max_active_levels();
#else
  return false;
#endif
}

// body() on every thread of a region when `threaded` (which TeamPossible()
// must have allowed), else once on this thread; inside it, TeamFor with the
// same flag splits a loop over the region's threads. For loops whose
// threads each need buffers of their own.
template <class Body>
void OnTeam(bool threaded, const Body& body) {
#ifdef _OPENMP
  if (threaded) {
#pragma omp parallel
    body();
    return;
  }
#else
  (void)threaded;
#endif
  body();
}

template <class Body>
void TeamFor(int count, bool threaded, const Body& body) {
#ifdef _OPENMP
  if (threaded) {
#pragma omp for schedule(static)
    for (int i = 0; i < count; ++i) body(i);
    return;
  }
#else
  (void)threaded;
#endif
  for (int i = 0; i < count; ++i) body(i);
}

// body(i) for i = 0 .. count - 1: split over the threads (static schedule)
// when `threaded` and a region would have more than one, else a plain loop
// on this thread. A region of one thread still costs its team's start and
// closing barrier, two system calls (about 2.5 us in a virtual machine);
// loops over small images, or run on one thread beside other work, would
// pay that thousands of times a call.
template <class Body>
void ParallelFor(int count, bool threaded, const Body& body) {
  const bool team = threaded && TeamPossible();
  OnTeam(team, [&] { TeamFor(count, team, body); });
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_THREADS_H_
