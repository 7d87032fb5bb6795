# The modules in the real host, and the demo's checks: Octave runs the
# scripts of tests/octave (and examples/) with the build folder on its path.
# Without the modules (DENSECORR_OCTAVE=AUTO found no Octave, or the build is
# sanitized) the same tests report themselves skipped, never passed.

# Tests of one module each, called with no argument; a new module adds its
# test_<module>.m here.
set(DENSECORR_OCTAVE_MODULE_TESTS
  test_cellcost
  test_densedisp
  test_densedesc
  test_densematch
)

set(octave_test_dir ${CMAKE_CURRENT_SOURCE_DIR}/octave)
set(densecorr_examples_dir ${PROJECT_SOURCE_DIR}/examples)

# densecorr_octave_test(<name> CALL <code> [PATHS <folders>] [SKIP_ID <id>]
#                       [BEFORE <shell command>] [LABEL <label>])
# Runs <code> in octave-cli with <folders> on the path. An error with the
# identifier <id> (default densecorr:skipped) reports the test as skipped.
# No semicolons in <code>: CMake would split the argument there.
function(densecorr_octave_test name)
  cmake_parse_arguments(arg "" "CALL;SKIP_ID;BEFORE;LABEL" "PATHS" ${ARGN})
  if(NOT DENSECORR_OCTAVE_BUILD)
    if(DENSECORR_OCTAVE_SKIP_REASON)
      densecorr_skipped_test(${name} "Octave modules not built: ${DENSECORR_OCTAVE_SKIP_REASON}")
    endif()
    return()
  endif()
  if(NOT arg_SKIP_ID)
    set(arg_SKIP_ID densecorr:skipped)
  endif()
  if(NOT arg_LABEL)
    set(arg_LABEL octave)
  endif()
  set(path_list "")
  foreach(folder IN LISTS arg_PATHS)
    string(APPEND path_list "'${folder}', ")
  endforeach()
  string(REGEX REPLACE ", $" "" path_list "${path_list}")
  set(code "addpath(${path_list}), try, ${arg_CALL}, catch err, if strcmp(err.identifier, '${arg_SKIP_ID}'), disp(err.message), exit(77), end, rethrow(err), end")
  set(command "exec '${DENSECORR_OCTAVE_CLI}' --norc --no-history --no-window-system --eval \"${code}\"")
  if(arg_BEFORE)
    set(command "${arg_BEFORE} && ${command}")
  endif()
  add_test(NAME ${name} COMMAND ${DENSECORR_SH} -c "${command}")
  # The default working folder, build/tests, holds no module: one found
  # there would shadow the path.
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS ${arg_LABEL})
endfunction()

foreach(test_name IN LISTS DENSECORR_OCTAVE_MODULE_TESTS)
  densecorr_octave_test(octave_${test_name} CALL "${test_name}()"
                        PATHS ${CMAKE_BINARY_DIR} ${octave_test_dir})
endforeach()

# 4 GB of address space: the test's 4.3 GB output cannot be created, while
# Octave itself still runs.
densecorr_octave_test(octave_test_out_of_memory CALL "test_out_of_memory()"
                      PATHS ${CMAKE_BINARY_DIR} ${octave_test_dir}
                      BEFORE "ulimit -v 4000000")

# Driven by a bash script of the same name: Octave inside a memory cgroup
# (skipped, code 77, where none can be made), and Octave sent SIGINT mid-call.
find_program(DENSECORR_BASH NAMES bash)
foreach(test_name IN ITEMS test_memory_limit test_interrupt)
  if(NOT DENSECORR_OCTAVE_BUILD)
    if(DENSECORR_OCTAVE_SKIP_REASON)
      densecorr_skipped_test(octave_${test_name}
                             "Octave modules not built: ${DENSECORR_OCTAVE_SKIP_REASON}")
    endif()
  elseif(NOT DENSECORR_BASH)
    densecorr_skipped_test(octave_${test_name} "bash not found")
  else()
    add_test(NAME octave_${test_name}
             COMMAND ${DENSECORR_BASH} ${octave_test_dir}/${test_name}.sh
                     ${DENSECORR_OCTAVE_CLI} ${CMAKE_BINARY_DIR})
    # Alone: they time the host's response, which other tests' load would blur.
    set_tests_properties(octave_${test_name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
                         LABELS octave RUN_SERIAL TRUE)
  endif()
endforeach()

# Builds its own modules into a temporary folder from the sources; the
# CMake-built ones stay off the path.
densecorr_octave_test(octave_test_build_mex CALL "test_build_mex('${PROJECT_SOURCE_DIR}')"
                      PATHS ${octave_test_dir})

# The modules of every kernel path (mex/CMakeLists.txt), bit for bit on the
# same calls; the probe says which paths this processor can run.
if(DENSECORR_OCTAVE_BUILD)
  add_executable(densecorr_isa_probe isa_probe.cpp)
  target_link_libraries(densecorr_isa_probe PRIVATE densecorr densecorr_flags)
  set(probe $<TARGET_FILE:densecorr_isa_probe>)
else()
  set(probe "")
endif()
string(REPLACE ";" " " kernel_paths "${DENSECORR_KERNEL_PATHS}")
densecorr_octave_test(octave_test_kernel_paths
                      CALL "test_kernel_paths('${CMAKE_BINARY_DIR}/kernel_paths', '${kernel_paths}', '${probe}')"
                      PATHS ${octave_test_dir})

# The demo's checks: the plain helpers of examples/, and the whole pipeline
# on a photo warped by a known field, which needs the sample photos of the
# Debian package opencv-doc and reports itself skipped without them.
densecorr_octave_test(demo_helpers CALL "test_demo_helpers()"
                      PATHS ${densecorr_examples_dir} LABEL demo)
densecorr_octave_test(demo_synthetic CALL "demo_synthetic()"
                      PATHS ${CMAKE_BINARY_DIR} ${densecorr_examples_dir}
                      SKIP_ID densecorr:noPhoto LABEL demo)
