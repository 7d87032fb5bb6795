# The demos' checks, run in Octave:
#   demo_helpers    the plain helpers of examples/ (needs only the interpreter)
#   demo_synthetic  the whole pipeline on a photo warped by a known field; needs
#                   the two modules and the sample photos of the Debian package
#                   opencv-doc, and reports itself skipped without the photos.
# Either is registered as disabled (reported as not run) when what it needs is
# not built here.

set(densecorr_demo_examples "${CMAKE_SOURCE_DIR}/examples")
# No semicolons in the Octave code: CMake would split the argument there.
set(densecorr_demo_skip_code 77)

function(densecorr_demo_disabled name reason)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "${name} not run: ${reason}")
  set_tests_properties(${name} PROPERTIES DISABLED TRUE)
endfunction()

if(DENSECORR_OCTAVE_CLI)
  add_test(NAME demo_helpers
           COMMAND ${DENSECORR_OCTAVE_CLI} --no-init-file --no-history --quiet --eval
                   "addpath('${densecorr_demo_examples}'), test_demo_helpers()")
  set_tests_properties(demo_helpers PROPERTIES TIMEOUT 120)
else()
  densecorr_demo_disabled(demo_helpers "octave-cli not found")
endif()

if(DENSECORR_OCTAVE_MODULES AND DENSECORR_OCTAVE_CLI)
  add_test(NAME demo_synthetic
           COMMAND ${DENSECORR_OCTAVE_CLI} --no-init-file --no-history --quiet --eval
                   "addpath('${CMAKE_BINARY_DIR}', '${densecorr_demo_examples}'), try, demo_synthetic(), catch err, disp(err.message), if strcmp(err.identifier, 'densecorr:noPhoto'), exit(${densecorr_demo_skip_code}), end, exit(1), end")
  set_tests_properties(demo_synthetic PROPERTIES
                       SKIP_RETURN_CODE ${densecorr_demo_skip_code}
                       TIMEOUT 120
                       WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
elseif(DENSECORR_OCTAVE_SKIP_REASON)
  densecorr_demo_disabled(demo_synthetic "Octave modules not built (${DENSECORR_OCTAVE_SKIP_REASON})")
else()
  densecorr_demo_disabled(demo_synthetic "Octave modules not built")
endif()
