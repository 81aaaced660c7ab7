# i686-w64-mingw32: the x86 kernel images, Setup.exe and Setup's tests, which ctest
# runs through wine.
set(triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOLVARN_TARGET x86 CACHE STRING "" FORCE)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
