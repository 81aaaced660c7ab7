# Setup's tests: GoogleTest cross-built with the mingw compiler of Setup.exe, run by
# ctest through tools/winerun in a private Wine prefix of this build tree.
set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wine/prefix)
# The 32-bit prefix (WINEARCH=win32) of the tests that need 32-bit Windows; its
# fixture, wine32_prefix, makes it once per tree like the 64-bit one.
set(WINE32_PREFIX_DIR ${CMAKE_BINARY_DIR}/wine32/prefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/winerun;${WINE_PREFIX_DIR})

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The win32 thread model's C++ library has no std::mutex: GoogleTest takes the one
# thing it needs of it from its customisation header (cmake/gtest-custom).
target_include_directories(gtest BEFORE PUBLIC ${CMAKE_CURRENT_LIST_DIR}/gtest-custom)

# The prefix is made once per tree and kept; every Wine test needs it.
# test.sh stops its wineserver and Xvfb at the end (tools/wineprefix-stop).
add_test(NAME wine_prefix_init COMMAND ${PROJECT_SOURCE_DIR}/tools/wineprefix-init ${WINE_PREFIX_DIR})
set_tests_properties(wine_prefix_init PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)


# add_wine_test(<name> SOURCES <files...> [LIBS <libs...>] [RESOURCES <rc...>] [SERIAL] [GUI])
# SERIAL: touches HKLM, services or the disk class key. GUI: opens windows
# (tools/winerun gives every test a private Xvfb display when none is set).
function(add_wine_test name)
  cmake_parse_arguments(T "SERIAL;GUI" "" "SOURCES;LIBS;RESOURCES" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_RESOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main gmock)
  target_link_options(${name} PRIVATE -static)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix TIMEOUT 300)
  if(T_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
  if(T_GUI)
    set_tests_properties(${name} PROPERTIES LABELS gui)
  endif()
endfunction()
