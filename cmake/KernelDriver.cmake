include(${CMAKE_CURRENT_LIST_DIR}/StripImage.cmake)

# add_kernel_driver(<target> SOURCES <files...> [OUTPUT_NAME <name>] [INCLUDES <dirs...>])
# Links a native-subsystem kernel image (.sys) that imports only ntoskrnl.exe
# and, on x86, hal.dll; the image is stripped, its debug information kept beside it.
function(add_kernel_driver target)
  cmake_parse_arguments(KD "" "OUTPUT_NAME" "SOURCES;INCLUDES" ${ARGN})
  add_executable(${target} ${KD_SOURCES})
  if(NOT KD_OUTPUT_NAME)
    set(KD_OUTPUT_NAME ${target})
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${KD_OUTPUT_NAME} SUFFIX ".sys")
  target_include_directories(${target} PRIVATE ${KD_INCLUDES})
  target_include_directories(${target} SYSTEM PRIVATE ${CMAKE_FIND_ROOT_PATH}/include/ddk)
  # mingw-w64's DDK headers in C++ mode clash with the compiler's intrinsics
  # unless these are marked as already defined.
  target_compile_definitions(${target} PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  target_compile_options(${target} PRIVATE
    -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-threadsafe-statics -fno-stack-protector -mno-stack-arg-probe
    -Wall -Wextra -Wno-unused-parameter -O2)
  if(TOLVARN_TARGET STREQUAL "x86")
    set(entry _DriverEntry@8)
    set(kernel_libs ntoskrnl hal)
  else()
    set(entry DriverEntry)
    set(kernel_libs ntoskrnl)
  endif()
  # Linked as an executable, not a DLL: Wine's service manager picks the 64-bit
  # or 32-bit driver host by the image type, which it cannot read from a DLL.
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--subsystem,native -Wl,--entry,${entry}
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase -Wl,--nxcompat)
  target_link_libraries(${target} PRIVATE ${kernel_libs} gcc)
  strip_image(${target})
endfunction()
