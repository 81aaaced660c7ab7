# The mingw-w64 cross compilers of the win32 thread model; the toolchain file that
# includes this sets `triple` and CMAKE_SYSTEM_PROCESSOR first. The posix thread model
# would link winpthread into every static program, and winpthread imports functions
# that Windows XP lacks (GetTickCount64); the win32 model's runtime uses only what XP has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${triple}-g++-win32)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_OBJCOPY ${triple}-objcopy CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
