# Sections are built with the stream builder of tools/.
mc_add_test(scan_sections_test SOURCES scan/SectionsTest.cpp scan/DvbTextTest.cpp LIBS mc_tsbuilder)
mc_add_test(scan_transponder_test SOURCES scan/TransponderScanTest.cpp LIBS mc_tsbuilder)

# The scan on the Emulator card (sample transponders and an ffmpeg stream).
if(TARGET mc_emulator)
  mc_add_test(scan_emulator_test SOURCES scan/ScanEmulatorTest.cpp device/EmulatorHarness.cpp device/TempFolder.cpp)
  add_dependencies(scan_emulator_test mc_emulator)
  target_include_directories(scan_emulator_test PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
endif()
