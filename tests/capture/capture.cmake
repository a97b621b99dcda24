if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()
mc_add_test(capture_session_test SOURCES capture/CaptureSessionTest.cpp capture/ReencodeTestAudio.cpp
  LIBS mc_test_mpeg_decode PkgConfig::TWOLAME)
mc_add_test(capture_titles_test SOURCES capture/CaptureTitlesTest.cpp LIBS mc_tsbuilder)
