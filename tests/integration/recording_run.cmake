mc_add_test(recording_run_test SOURCES integration/RecordingRunTest.cpp
  LIBS mc_tsbuilder mc_test_mpeg_decode)
if(TARGET recording_run_test)
  target_include_directories(recording_run_test PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
endif()
