if(NOT TARGET PkgConfig::MPG123)
  pkg_check_modules(MPG123 IMPORTED_TARGET libmpg123)
endif()
mc_add_test(recording_run_test SOURCES integration/RecordingRunTest.cpp
  LIBS mc_tsbuilder PkgConfig::MPG123)
if(TARGET recording_run_test)
  target_include_directories(recording_run_test PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
endif()
