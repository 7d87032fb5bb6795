# The modules in the real host: Octave runs the scripts of tests/octave with
# the build folder on its path. Without the modules (no Octave, or a
# sanitized build) the same tests are reported as skipped, never as passed.

set(octave_test_dir ${CMAKE_CURRENT_SOURCE_DIR}/octave)
set(octave_tests test_cellcost test_densedisp test_out_of_memory test_build_mex
                 test_memory_limit test_interrupt)
# Driven by a bash script of the same name: Octave inside a memory cgroup
# (skipped, code 77, where none can be made), or sent SIGINT mid-call.
set(octave_script_tests test_memory_limit test_interrupt)
find_program(DENSECORR_SH NAMES sh)
find_program(DENSECORR_BASH NAMES bash)

foreach(test_name IN LISTS octave_tests)
  set(ctest_name octave_${test_name})
  if(NOT DENSECORR_OCTAVE_MODULES OR NOT DENSECORR_OCTAVE_CLI OR NOT DENSECORR_SH)
    set(reason "${DENSECORR_OCTAVE_SKIP_REASON}")
    if(NOT reason)
      set(reason "octave-cli not found")
    endif()
    add_test(NAME ${ctest_name}
             COMMAND ${DENSECORR_SH} -c "echo 'skipped: ${reason}'; exit 77")
    set_tests_properties(${ctest_name} PROPERTIES SKIP_RETURN_CODE 77)
    continue()
  endif()

  if(test_name IN_LIST octave_script_tests)
    add_test(NAME ${ctest_name}
             COMMAND ${DENSECORR_BASH} ${octave_test_dir}/${test_name}.sh
                     ${DENSECORR_OCTAVE_CLI} ${CMAKE_BINARY_DIR})
    set_tests_properties(${ctest_name} PROPERTIES TIMEOUT 120 LABELS octave SKIP_RETURN_CODE 77)
    continue()
  endif()

  if(test_name STREQUAL "test_build_mex")
    # Builds its own modules into a temporary folder from the sources.
    set(path_setup "addpath('${octave_test_dir}')")
    set(call "${test_name}('${PROJECT_SOURCE_DIR}')")
  else()
    set(path_setup "addpath('${CMAKE_BINARY_DIR}', '${octave_test_dir}')")
    set(call "${test_name}()")
  endif()
  set(octave_command
      "'${DENSECORR_OCTAVE_CLI}' --norc --no-history --no-window-system --eval \"${path_setup}; ${call};\"")
  if(test_name STREQUAL "test_out_of_memory")
    # 4 GB of address space: the test's 8 GiB requests must fail at once,
    # while Octave itself still runs.
    set(octave_command "ulimit -v 4000000 && exec ${octave_command}")
  else()
    set(octave_command "exec ${octave_command}")
  endif()
  add_test(NAME ${ctest_name} COMMAND ${DENSECORR_SH} -c "${octave_command}")
  set_tests_properties(${ctest_name} PROPERTIES TIMEOUT 120 LABELS octave)
endforeach()

if(DENSECORR_OCTAVE_MODULES AND DENSECORR_OCTAVE_CLI)
  # The tests load the modules from the build folder.
  set_tests_properties(octave_test_cellcost octave_test_densedisp octave_test_out_of_memory
                       octave_test_memory_limit octave_test_interrupt PROPERTIES REQUIRED_FILES "${CMAKE_BINARY_DIR}/cellcost.mex;${CMAKE_BINARY_DIR}/densedisp.mex")
endif()
