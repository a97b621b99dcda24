# The program itself, each case streaming on a port of its own.
mc_add_test(headless_recorder_test SOURCES integration/HeadlessRecorderTest.cpp)
if(TARGET headless_recorder_test)
  add_dependencies(headless_recorder_test mellowcaster mc_emulator)
endif()
