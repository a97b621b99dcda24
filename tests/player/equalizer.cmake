mc_add_test(player_equalizer_test SOURCES player/EqualizerTest.cpp device/TempFolder.cpp)
