mc_add_bench(capture_bench SOURCES CaptureBench.cpp LIBS mc_tsbuilder mc_bench_material)
mc_add_bench(capture_run_bench SOURCES CaptureRunBench.cpp LIBS mc_tsbuilder)
target_include_directories(capture_run_bench PRIVATE ${CMAKE_SOURCE_DIR}/plugins/emulator)
