mc_add_test(command_line_test SOURCES app/CommandLineTest.cpp app/HeadlessOutputTest.cpp app/NowPlayingTest.cpp)
