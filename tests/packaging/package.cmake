# Installs the built package on this machine and removes it again: never two
# at once, and the program it runs serves on the fixed stream port. Its own
# bounds (dpkg waiting for the database, each run of the program) add up to
# more than the usual test timeout, which would kill it before its clean-up.
mc_add_test(package_install_test SOURCES packaging/PackageInstallTest.cpp
  PROPERTIES RESOURCE_LOCK mellowcaster_port_3587 TIMEOUT 600)
if(TARGET package_install_test)
  target_compile_definitions(package_install_test PRIVATE
    MC_PACKAGE_PREFIX="${CMAKE_BINARY_DIR}/mellowcaster_${PROJECT_VERSION}_" MC_VERSION="${PROJECT_VERSION}")
endif()
