# A bounded fuzz run of each gateway: a fixed number of executions from the
# kept corpus, with a fixed seed, so the run is repeatable and bounded; new
# inputs go to the build folder, not into the sources. fuzz/run_long runs the
# same targets for longer.

set(DENSECORR_FUZZ_RUNS 20000 CACHE STRING "Executions of each bounded fuzz test")
# A descriptor or matcher call does far more than a kernel call (the matcher
# runs its whole pipeline on every pair that passes the checks): fewer
# executions, so that the two add about five minutes to the stage. (The
# matcher's 6000 had grown to 410 s with its later steps, two thirds of the
# test's 600 s limit.)
set(DENSECORR_FUZZ_RUNS_densedesc 30000 CACHE STRING "Executions of the bounded densedesc fuzz test")
set(DENSECORR_FUZZ_RUNS_densematch 3500 CACHE STRING "Executions of the bounded densematch fuzz test")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fuzz_findings)
foreach(module IN LISTS DENSECORR_FUZZ_MODULES)
  # Each run starts from the kept corpus alone: the inputs of earlier runs
  # are cleared first.
  set(work_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzz_work/${module})
  set(runs ${DENSECORR_FUZZ_RUNS})
  if(DEFINED DENSECORR_FUZZ_RUNS_${module})
    set(runs ${DENSECORR_FUZZ_RUNS_${module}})
  endif()
  add_test(NAME fuzz_${module}_reset
           COMMAND ${DENSECORR_SH} -c "rm -rf '${work_dir}' && mkdir -p '${work_dir}'")
  set_tests_properties(fuzz_${module}_reset PROPERTIES FIXTURES_SETUP fuzz_${module}_work)
  # A finding is kept in fuzz_findings/ (replay: fuzz_<module> <file>).
  add_test(NAME fuzz_${module}_bounded
           COMMAND fuzz_${module} ${work_dir} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${module}
                   -runs=${runs} -seed=1 -timeout=10 -rss_limit_mb=3072
                   -max_len=4096 -print_final_stats=1
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/fuzz_findings/${module}-)
  # One thread per fuzzer: the two share the cores with the other tests, and
  # spinning worker threads would only slow every call down.
  set_tests_properties(fuzz_${module}_bounded PROPERTIES TIMEOUT 600
                       FIXTURES_REQUIRED fuzz_${module}_work ENVIRONMENT OMP_NUM_THREADS=1)
endforeach()
