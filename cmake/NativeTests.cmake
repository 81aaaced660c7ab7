# Native tests and benchmarks: GoogleTest and Google Benchmark from Debian.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
find_package(benchmark QUIET)

# add_native_test(<name> SOURCES <files...> [LIBS <libs...>])
# One GoogleTest executable, one ctest entry.
function(add_native_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# add_native_benchmark(<name> SOURCES <files...> [LIBS <libs...>])
# Built with the tree, run by hand (see the README).
function(add_native_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: ${name} not built")
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()
