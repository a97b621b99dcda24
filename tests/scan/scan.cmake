mc_add_test(scan_sections_test SOURCES scan/UDVBTest.cpp)
mc_add_test(scan_transponder_test SOURCES scan/UDVBScanTest.cpp)
