if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()
mc_add_bench(reencode_bench SOURCES ReencodeBench.cpp LIBS PkgConfig::TWOLAME)
