# x86_64-w64-mingw32: the x64 kernel images.
set(triple x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOLVARN_TARGET x64 CACHE STRING "" FORCE)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
