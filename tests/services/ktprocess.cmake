add_executable(ktprocess_test ${CMAKE_CURRENT_LIST_DIR}/ktprocess_test.cc)
target_link_libraries(ktprocess_test PRIVATE ktsm::KtLib GTest::gtest_main Threads::Threads)
gtest_discover_tests(ktprocess_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS threads)
