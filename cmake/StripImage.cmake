# strip_image(<target>): the image ships without debug information or symbols. They move
# to <image>.debug beside it, which the image names in its debug link (.gnu_debuglink),
# so that a debugger or a crash-dump tool given the folder finds them.
function(strip_image target)
  set(image $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${image} ${image}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${image}.debug ${image}
    VERBATIM)
endfunction()
