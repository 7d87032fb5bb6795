# The dense descriptor's core against its pixel-by-pixel definition.
add_executable(descriptor_tests test_dense_descriptor.cpp)
target_link_libraries(descriptor_tests PRIVATE densecorr GTest::gtest GTest::gtest_main)
gtest_discover_tests(descriptor_tests DISCOVERY_TIMEOUT 60)
