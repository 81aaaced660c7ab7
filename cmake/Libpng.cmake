# libpng 1.6 from Debian's source package (fetched by scripts/install-deps.sh),
# built statically against mingw's zlib.
file(GLOB libpng_dirs ${PROJECT_SOURCE_DIR}/.deps/libpng1.6-*)
list(GET libpng_dirs 0 libpng_dir)
if(NOT EXISTS ${libpng_dir}/png.c)
  message(FATAL_ERROR "libpng source missing: run scripts/install-deps.sh")
endif()
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

set(libpng_gen ${CMAKE_BINARY_DIR}/libpng)
configure_file(${libpng_dir}/scripts/pnglibconf.h.prebuilt ${libpng_gen}/pnglibconf.h COPYONLY)
set(libpng_sources png pngerror pngget pngmem pngpread pngread pngrio pngrtran
    pngrutil pngset pngtrans pngwio pngwrite pngwtran pngwutil)
list(TRANSFORM libpng_sources PREPEND ${libpng_dir}/)
list(TRANSFORM libpng_sources APPEND .c)
add_library(png_static STATIC ${libpng_sources})
target_include_directories(png_static SYSTEM PUBLIC ${libpng_dir} ${libpng_gen})
target_compile_definitions(png_static PRIVATE PNG_ARM_NEON_OPT=0 PNG_POWERPC_VSX_OPT=0)
target_compile_options(png_static PRIVATE -w)
target_link_libraries(png_static PUBLIC ZLIB::ZLIB)
