mc_add_test(archive_test SOURCES capture/ArchiveTest.cpp)
