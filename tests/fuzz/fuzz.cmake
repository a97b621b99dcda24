# A short run of every fuzz target where clang is installed (the sanitizer
# builds leave it to the plain one). The script builds its own clang tree.
find_program(MC_CLANGXX NAMES clang++ clang++-14)
if(MC_CLANGXX AND NOT MC_SANITIZE AND NOT MC_TSAN)
  add_test(NAME fuzz_short
           COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/short-run.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/fuzz-short
                   ${MC_CLANGXX} 3)
  set_tests_properties(fuzz_short PROPERTIES TIMEOUT 400)
endif()
