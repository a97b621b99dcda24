# The transport-stream builder and the sample transponders it writes.
mc_add_test(tsbuilder_test SOURCES tools/TsBuilderTest.cpp tools/TransponderTest.cpp LIBS mc_tsbuilder)
mc_add_test(transponder_ffprobe_test SOURCES tools/FfprobeInteropTest.cpp LIBS mc_tsbuilder)
add_dependencies(transponder_ffprobe_test sample_transponders)
