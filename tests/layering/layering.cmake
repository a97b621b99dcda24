add_test(NAME layering_includes
  COMMAND ${CMAKE_SOURCE_DIR}/tests/layering/check_includes.sh ${CMAKE_SOURCE_DIR}/src)
