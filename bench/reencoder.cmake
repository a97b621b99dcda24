mc_add_bench(reencode_bench SOURCES ReencodeBench.cpp LIBS mc_bench_material)
