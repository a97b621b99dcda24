find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME layering_ranks COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/layering/check_layers.py
  ${CMAKE_SOURCE_DIR}/src)
add_test(NAME layering_check_catches_breaches
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/layering/check_layers_test.py)
