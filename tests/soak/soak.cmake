# The long soak run (./run soak): a program of its own, not a ctest case.
add_executable(mellowcaster_soak soak/SoakMain.cpp soak/SoakListeners.cpp soak/SoakChecks.cpp)
target_include_directories(mellowcaster_soak PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(mellowcaster_soak PRIVATE mellowcaster_core mc_tsbuilder mc_test_mpeg_decode)
target_compile_definitions(mellowcaster_soak PRIVATE
  MC_BIN_DIR="${MC_BIN_DIR}" MC_SOAK_WORK_DIR="${CMAKE_BINARY_DIR}/soak-work")
set_target_properties(mellowcaster_soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(mellowcaster_soak mc_emulator)
# A few of the shortest cycles the run takes keep the long run working. They
# run in the AddressSanitizer pass, the build the long run itself uses, where a leak or
# a stray write in a start-stop cycle shows; the fixed stream port makes it
# one of the program tests that never run side by side.
if(MC_SANITIZE)
  add_test(NAME soak_short COMMAND mellowcaster_soak 0.2 --cycle 4 --speed 10)
  set_tests_properties(soak_short PROPERTIES TIMEOUT 120)
endif()
