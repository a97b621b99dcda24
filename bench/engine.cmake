mc_add_bench(engine_bench SOURCES EngineBench.cpp)
add_dependencies(engine_bench xaudio)
