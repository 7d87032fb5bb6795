# Hardening tests: the memory guard, int32 extremes in the cores, the
# gateways on the host adapter, and (clang sanitizer build) a bounded fuzz
# run of each gateway.

add_executable(hardening_tests test_memory_guard.cpp test_limits.cpp)
target_link_libraries(hardening_tests PRIVATE densecorr GTest::gtest GTest::gtest_main)
foreach(module IN ITEMS cellcost densedisp)
  if(TARGET densecorr_${module}_on_adapter)
    target_sources(hardening_tests PRIVATE test_gateway_${module}.cpp)
    target_link_libraries(hardening_tests PRIVATE densecorr_${module}_on_adapter)
  endif()
endforeach()
# A call that hangs on extreme sizes fails here instead of stalling the run.
gtest_discover_tests(hardening_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

if(DENSECORR_FUZZ)
  # A fixed number of executions from the kept corpus, with a fixed seed, so
  # the run is repeatable and bounded; new inputs go to the build folder, not
  # into the sources. fuzz/run_long runs the same targets for longer.
  set(DENSECORR_FUZZ_RUNS 20000 CACHE STRING "Executions of each bounded fuzz test")
  foreach(module IN ITEMS cellcost densedisp)
    if(TARGET fuzz_${module})
      # Each run starts from the kept corpus alone: the inputs of earlier runs
      # are cleared first.
      set(work_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzz_work/${module})
      set(reset_script ${CMAKE_CURRENT_BINARY_DIR}/fuzz_reset_${module}.cmake)
      file(WRITE ${reset_script} "file(REMOVE_RECURSE \"${work_dir}\")\n"
                                 "file(MAKE_DIRECTORY \"${work_dir}\")\n")
      add_test(NAME fuzz_${module}_reset COMMAND ${CMAKE_COMMAND} -P ${reset_script})
      set_tests_properties(fuzz_${module}_reset PROPERTIES FIXTURES_SETUP fuzz_${module}_work)
      # A finding is kept in fuzz_findings/ (replay: fuzz_<module> <file>).
      file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fuzz_findings)
      add_test(NAME fuzz_${module}_bounded
               COMMAND fuzz_${module} ${work_dir} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${module}
                       -runs=${DENSECORR_FUZZ_RUNS} -seed=1 -timeout=10 -rss_limit_mb=3072
                       -max_len=4096 -print_final_stats=1
                       -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/fuzz_findings/${module}-)
      # One thread per fuzzer: the two share the cores with the other tests,
      # and spinning worker threads would only slow every call down.
      set_tests_properties(fuzz_${module}_bounded PROPERTIES TIMEOUT 600
                           FIXTURES_REQUIRED fuzz_${module}_work ENVIRONMENT OMP_NUM_THREADS=1)
    endif()
  endforeach()
endif()
