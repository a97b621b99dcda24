# The program itself, each case streaming on a port of its own.
mc_add_test(headless_recorder_test SOURCES integration/HeadlessRecorderTest.cpp)
if(TARGET headless_recorder_test)
  add_dependencies(headless_recorder_test mellowcaster mc_emulator)
endif()
# A player and the title log on the program recording the demo.
mc_add_test(now_playing_test SOURCES integration/NowPlayingTest.cpp LIBS mc_tsbuilder)
if(TARGET now_playing_test)
  add_dependencies(now_playing_test mellowcaster mc_emulator sample_transponders)
endif()
