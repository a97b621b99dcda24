# Installs the built package on this machine and removes it again: never two
# at once, and the program it runs serves on the fixed stream port.
mc_add_test(package_install_test SOURCES packaging/PackageInstallTest.cpp
  PROPERTIES RESOURCE_LOCK mellowcaster_port_3587)
if(TARGET package_install_test)
  target_compile_definitions(package_install_test PRIVATE
    MC_PACKAGE_PREFIX="${CMAKE_BINARY_DIR}/mellowcaster_${PROJECT_VERSION}_" MC_VERSION="${PROJECT_VERSION}")
endif()
