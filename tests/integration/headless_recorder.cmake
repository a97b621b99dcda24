# The program itself on the fixed stream port: never two such tests at once.
mc_add_test(headless_recorder_test SOURCES integration/HeadlessRecorderTest.cpp
  PROPERTIES RESOURCE_LOCK mellowcaster_port_3587)
if(TARGET headless_recorder_test)
  add_dependencies(headless_recorder_test mellowcaster mc_emulator)
endif()
