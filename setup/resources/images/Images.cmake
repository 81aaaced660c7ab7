# The wizard's pictures: drawn at build time by imagegen, a small program of ours
# built for and run on the build machine, into images/ of the build tree with the
# resource script images.rc that names them by id.
find_program(IMAGEGEN_HOST_CXX NAMES g++ c++ REQUIRED)
set(imagegen_source ${CMAKE_CURRENT_LIST_DIR}/imagegen.cpp)
set(imagegen_dir ${CMAKE_CURRENT_BINARY_DIR}/images)
set(imagegen_exe ${imagegen_dir}/imagegen)
set(images_rc ${imagegen_dir}/images.rc)
add_custom_command(OUTPUT ${imagegen_exe}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${imagegen_dir}
  COMMAND ${IMAGEGEN_HOST_CXX} -std=c++17 -O2 -o ${imagegen_exe} ${imagegen_source} -lpng
  DEPENDS ${imagegen_source}
  COMMENT "Building the picture generator for the build machine")
add_custom_command(OUTPUT ${images_rc}
  COMMAND ${imagegen_exe} ${imagegen_dir}
  DEPENDS ${imagegen_exe}
  COMMENT "Drawing the wizard's pictures")
add_custom_target(setup_images DEPENDS ${images_rc})
