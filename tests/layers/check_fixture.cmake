# Runs the layer check over fixture/src, where exactly two includes go the
# wrong way (one through "../") and a face includes an engine header that is
# not public, and the rest (beside the file, from the root, several layers
# down, a face including a public header, main.cpp over the faces) are
# allowed: the check must fail and name exactly those three, with their lines
# and rules.
#   cmake -DCHECKER=<check_layers.cmake> -P check_fixture.cmake
get_filename_component(fixture ${CMAKE_CURRENT_LIST_DIR}/fixture/src REALPATH)
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${fixture} "-DPUBLIC_HEADERS=links/link.h;config/settings.h"
                        -P ${CHECKER}
                RESULT_VARIABLE result ERROR_VARIABLE said OUTPUT_VARIABLE out)
string(APPEND said "${out}")
if(result EQUAL 0)
  message(FATAL_ERROR "the check passed a tree with includes going the wrong way:\n${said}")
endif()
set(expected
  "${fixture}/links/link.cpp:2: error: #include \"../ui/window.h\" reaches the ui layer (rule: links may include only links, router, config)"
  "${fixture}/web/page.h:3: error: #include \"ui/window.h\" reaches the ui layer (rule: web may include only web, core, clients, links, router, config)"
  "${fixture}/web/panel.h:5: error: #include \"router/table.h\" is not one of the engine's public headers (rule: a face reaches the engine only through those cmake/layers.cmake lists)")
string(REGEX MATCHALL "[^\n]*: error: [^\n]*" reported "${said}")
if(NOT reported STREQUAL expected)
  string(REPLACE ";" "\n" want "${expected}")
  message(FATAL_ERROR "expected exactly:\n${want}\ngot:\n${said}")
endif()
