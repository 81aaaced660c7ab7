# Setup's texts: the message files and licence texts, kept as UTF-8 sources and converted by
# the build into the UTF-16 files that Setup reads as "BINRES" resources.
#   SETUP_TEXTS_RC       the shipped texts, for Setup.exe
#   SETUP_TEXTS_TEST_RC  the same and a right-to-left (Arabic) message file, for tests
#   add_setup_texts(<target> [TEST])  links one of them into a target
set(texts_dir ${CMAKE_CURRENT_LIST_DIR})
set(texts_out ${CMAKE_CURRENT_BINARY_DIR}/texts)
# resource id : source, relative to this folder
set(shipped_texts
    21000:messages/eng.txt 21001:messages/cht.txt 21002:messages/chs.txt 21003:messages/jpn.txt
    21004:messages/kor.txt 21005:messages/fra.txt 21006:messages/deu.txt 21007:messages/esn.txt
    21013:messages/rus.txt
    21100:licence/eng.txt 21101:licence/cht.txt 21102:licence/chs.txt)
set(test_only_texts 21015:messages/ara.txt)

set(SETUP_TEXT_FILES "")
set(shipped_rc "// Generated: Setup's message files and licence texts.\n")
set(test_rc "// Generated: Setup's texts and the test-only message files.\n")
foreach(entry ${shipped_texts} ${test_only_texts})
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 id)
  list(GET entry 1 source)
  string(REPLACE "/" "_" name ${source})
  string(REPLACE ".txt" ".bin" name ${name})
  set(output ${texts_out}/${name})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${texts_out}
    COMMAND ${texts_dir}/utf16text.sh ${texts_dir}/${source} ${output}
    DEPENDS ${texts_dir}/${source} ${texts_dir}/utf16text.sh
    COMMENT "UTF-16 text ${source}" VERBATIM)
  list(APPEND SETUP_TEXT_FILES ${output})
  string(APPEND test_rc "${id} BINRES \"${output}\"\n")
  if(NOT "${id}:${source}" IN_LIST test_only_texts)
    string(APPEND shipped_rc "${id} BINRES \"${output}\"\n")
  endif()
endforeach()
set(SETUP_TEXTS_RC ${CMAKE_CURRENT_BINARY_DIR}/texts.rc)
set(SETUP_TEXTS_TEST_RC ${CMAKE_CURRENT_BINARY_DIR}/texts_test.rc)
file(GENERATE OUTPUT ${SETUP_TEXTS_RC} CONTENT "${shipped_rc}")
file(GENERATE OUTPUT ${SETUP_TEXTS_TEST_RC} CONTENT "${test_rc}")
add_custom_target(setup_texts DEPENDS ${SETUP_TEXT_FILES})
set(SETUP_TEXTS_RC ${SETUP_TEXTS_RC} PARENT_SCOPE)
set(SETUP_TEXTS_TEST_RC ${SETUP_TEXTS_TEST_RC} PARENT_SCOPE)
set(SETUP_TEXT_FILES ${SETUP_TEXT_FILES} PARENT_SCOPE)

function(add_setup_texts target)
  cmake_parse_arguments(T "TEST" "" "" ${ARGN})
  if(T_TEST)
    set(rc ${SETUP_TEXTS_TEST_RC})
  else()
    set(rc ${SETUP_TEXTS_RC})
  endif()
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${SETUP_TEXT_FILES}")
  add_dependencies(${target} setup_texts)
endfunction()
