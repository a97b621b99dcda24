# The transponder scan at real-time replay on the Emulator card against the
# tables' broadcast cycle.
mc_add_bench(scan_bench SOURCES ScanBench.cpp)
if(TARGET mc_emulator)
  add_dependencies(scan_bench mc_emulator)
endif()
