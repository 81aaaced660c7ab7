# cmake -DTREE=<build tree> -DTARGET=<target> -DSYMBOLS=<a;b> -P expect_duplicate_definitions.cmake
# Builds a target that must not link, and fails unless the linker refused it
# for a second definition of every one of SYMBOLS.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${TREE} --target ${TARGET}
                OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
if(result EQUAL 0)
  message(FATAL_ERROR "${TARGET} linked although it defines ${SYMBOLS} a second time")
endif()
foreach(symbol IN LISTS SYMBOLS)
  if(NOT output MATCHES "multiple definition of [`']${symbol}\\(")
    message(FATAL_ERROR "${TARGET} did not fail for a second definition of ${symbol}:\n${output}")
  endif()
  message(STATUS "second definition of ${symbol} refused by the linker")
endforeach()
