# The dense descriptor's core against its pixel-by-pixel definition.
add_executable(descriptor_tests test_dense_descriptor.cpp)
target_link_libraries(descriptor_tests PRIVATE densecorr GTest::gtest GTest::gtest_main)
gtest_discover_tests(descriptor_tests DISCOVERY_TIMEOUT 60)

# The densedesc module in Octave (skipped, never passed, without the modules).
find_program(DENSECORR_SH NAMES sh)
if(DENSECORR_OCTAVE_MODULES AND DENSECORR_OCTAVE_CLI AND DENSECORR_SH)
  add_test(NAME octave_test_densedesc COMMAND ${DENSECORR_SH} -c
           "exec '${DENSECORR_OCTAVE_CLI}' --norc --no-history --no-window-system --eval \"addpath('${CMAKE_BINARY_DIR}', '${CMAKE_CURRENT_SOURCE_DIR}/octave'); test_densedesc();\"")
  set_tests_properties(octave_test_densedesc PROPERTIES TIMEOUT 120 LABELS octave
                       REQUIRED_FILES "${CMAKE_BINARY_DIR}/densedesc.mex")
else()
  add_test(NAME octave_test_densedesc
           COMMAND ${DENSECORR_SH} -c "echo 'skipped: Octave modules not built'; exit 77")
  set_tests_properties(octave_test_densedesc PROPERTIES SKIP_RETURN_CODE 77)
endif()
