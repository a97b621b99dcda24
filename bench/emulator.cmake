# Replay rate of the Emulator card against plain reading of the same file.
mc_add_bench(emulator_bench SOURCES EmulatorBench.cpp)
target_link_libraries(emulator_bench PRIVATE mc_emulator_control ${CMAKE_DL_LIBS})
add_dependencies(emulator_bench mc_emulator)
