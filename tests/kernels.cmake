# Every kernel table the processor supports against the literal loop nests.
add_executable(kernel_tests test_kernels.cpp)
target_link_libraries(kernel_tests PRIVATE densecorr GTest::gtest GTest::gtest_main)
gtest_discover_tests(kernel_tests DISCOVERY_TIMEOUT 60)
