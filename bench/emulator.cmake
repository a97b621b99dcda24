# Replay rate of the Emulator card against plain reading of the same file.
mc_add_bench(emulator_bench SOURCES EmulatorBench.cpp)
target_include_directories(emulator_bench PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
target_link_libraries(emulator_bench PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(emulator_bench mc_emulator)
