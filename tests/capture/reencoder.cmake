if(NOT TARGET PkgConfig::TWOLAME)
  pkg_check_modules(TWOLAME REQUIRED IMPORTED_TARGET twolame)
endif()

# Stand-in encoder library for the error paths; loaded by path at run time.
add_library(reencode_fake_lame MODULE ${CMAKE_CURRENT_SOURCE_DIR}/capture/ReencodeFakeLame.cpp)
set_target_properties(reencode_fake_lame PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

mc_add_test(mpegaudio_test
  SOURCES capture/MPEGAudioHeaderTest.cpp capture/MPEGAudioReencodeTest.cpp
          capture/ReencodeTestAudio.cpp
  LIBS mc_test_mpeg_decode PkgConfig::TWOLAME)
add_dependencies(mpegaudio_test reencode_fake_lame)
target_compile_definitions(mpegaudio_test PRIVATE
  REENCODE_FAKE_LAME="$<TARGET_FILE:reencode_fake_lame>")
