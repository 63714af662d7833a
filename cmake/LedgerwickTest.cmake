# The test helpers under tests/support/ are header-only; what they include of other
# folders comes through the targets that each test links.
add_library(ledgerwick_test_support INTERFACE)
ledgerwick_headers(ledgerwick_test_support FOLDER tests/support)

# ledgerwick_test(NAME source.cpp LIBS lib...)
# Builds one test file as its own executable and registers it with CTest.
function(ledgerwick_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ledgerwick_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
