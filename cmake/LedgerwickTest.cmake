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

# Where the PostgreSQL server's programs (initdb, pg_ctl) are: Debian keeps them out
# of PATH, under the folder pg_config names.
find_program(LEDGERWICK_PG_CONFIG pg_config REQUIRED)
execute_process(COMMAND ${LEDGERWICK_PG_CONFIG} --bindir OUTPUT_VARIABLE LEDGERWICK_PG_BINDIR
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
target_compile_definitions(ledgerwick_test_support INTERFACE LEDGERWICK_PG_BINDIR="${LEDGERWICK_PG_BINDIR}")
