mc_add_test(program_layout_test SOURCES base/ProgramLayoutTest.cpp)
if(TARGET program_layout_test)
  include(GNUInstallDirs)
  # The folders the package installs into, as the build names them.
  target_compile_definitions(program_layout_test PRIVATE
    MC_TEST_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}" MC_TEST_INSTALL_DATADIR="${CMAKE_INSTALL_DATADIR}")
endif()
