mc_add_test(ring_buffer_test SOURCES capture/CBufferTest.cpp)
