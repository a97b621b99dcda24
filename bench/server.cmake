mc_add_bench(server_bench SOURCES ServerBench.cpp)
