if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()
mc_add_bench(encoder_pool_bench SOURCES EncoderPoolBench.cpp LIBS PkgConfig::TWOLAME)
