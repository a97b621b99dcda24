mc_add_test(ring_buffer_test SOURCES base/RingBufferTest.cpp)
