mc_add_test(server_sockets_test SOURCES server/CrtSockTest.cpp)
mc_add_test(server_http_test SOURCES server/HttpRequestTest.cpp)
mc_add_test(server_audio_test SOURCES server/AudioServerTest.cpp)
mc_add_test(server_clients_test SOURCES server/RealClientsTest.cpp)
