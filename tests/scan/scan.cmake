mc_add_test(scan_sections_test SOURCES scan/UDVBTest.cpp scan/DvbTextTest.cpp)
mc_add_test(scan_transponder_test SOURCES scan/UDVBScanTest.cpp)

# A short fuzzing run of the section parsers where clang is installed (the
# sanitizer builds leave it to the plain one).
find_program(MC_CLANGXX NAMES clang++ clang++-14)
if(MC_CLANGXX AND NOT MC_SANITIZE AND NOT MC_TSAN)
  add_test(NAME scan_sections_fuzz_short
           COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/short-run.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/fuzz-short
                   ${MC_CLANGXX} 15)
  set_tests_properties(scan_sections_fuzz_short PROPERTIES TIMEOUT 400)
endif()

# The scan on the Emulator card (sample transponders and an ffmpeg stream).
if(TARGET mc_emulator)
  mc_add_test(scan_emulator_test SOURCES scan/ScanEmulatorTest.cpp device/EmulatorHarness.cpp device/TempFolder.cpp)
  add_dependencies(scan_emulator_test mc_emulator)
  target_include_directories(scan_emulator_test PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
endif()
