if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()
mc_add_test(encoder_pool_test
  SOURCES capture/EncoderPoolTest.cpp capture/PooledCaptureTest.cpp capture/ReencodeTestAudio.cpp
  LIBS mc_test_mpeg_decode PkgConfig::TWOLAME)
