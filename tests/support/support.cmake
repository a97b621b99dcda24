# Helpers the test programs share, included as "support/...": Command.h runs
# shell commands (header only); the MPEG audio decoder links libmpg123.
if(NOT TARGET PkgConfig::MPG123)
  pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
endif()
add_library(mc_test_mpeg_decode STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/MpegAudioDecode.cpp)
target_include_directories(mc_test_mpeg_decode PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(mc_test_mpeg_decode PUBLIC PkgConfig::MPG123)

mc_add_test(test_support_test SOURCES support/CommandTest.cpp support/MpegAudioDecodeTest.cpp
  LIBS mc_test_mpeg_decode mc_tsbuilder)
