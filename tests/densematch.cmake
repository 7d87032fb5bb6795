# The matcher's core: inference on known cost tables, rendered pairs with a
# known field, determinism across thread counts, refusals.
add_executable(match_tests test_match.cpp)
target_link_libraries(match_tests PRIVATE densecorr GTest::gtest GTest::gtest_main)
gtest_discover_tests(match_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
