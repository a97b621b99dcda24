# Icecast relaying a channel of the program itself, on the fixed stream port:
# never at the same time as another test of the program's server.
mc_add_test(icecast_relay_test SOURCES integration/IcecastRelayTest.cpp
  PROPERTIES RESOURCE_LOCK mellowcaster_port_3587)
if(TARGET icecast_relay_test)
  add_dependencies(icecast_relay_test mellowcaster mc_emulator sample_transponders)
endif()
