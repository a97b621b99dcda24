mc_add_bench(radiotext_bench SOURCES RadioTextBench.cpp LIBS mc_tsbuilder)
