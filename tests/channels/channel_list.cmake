mc_add_test(channel_list_test SOURCES channels/ChannelListTest.cpp)
