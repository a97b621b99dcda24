# Icecast relaying a channel of the program itself.
mc_add_test(icecast_relay_test SOURCES integration/IcecastRelayTest.cpp)
if(TARGET icecast_relay_test)
  add_dependencies(icecast_relay_test mellowcaster mc_emulator sample_transponders)
endif()
