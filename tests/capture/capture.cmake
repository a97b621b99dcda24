if(NOT TARGET PkgConfig::MPG123)
  pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
endif()
if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()
mc_add_test(capture_session_test SOURCES capture/CaptureSessionTest.cpp capture/ReencodeTestAudio.cpp
  LIBS PkgConfig::MPG123 PkgConfig::TWOLAME)
