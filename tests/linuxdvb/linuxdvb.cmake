# The Linux DVB card plug-in, against a scripted kernel.
mc_add_test(linuxdvb_test SOURCES linuxdvb/LinuxDvbTest.cpp linuxdvb/FakeKernel.cpp LIBS mc_linuxdvb_core)
add_dependencies(linuxdvb_test mc_linuxdvb)
# The same card against the kernel's drivers' own rules.
mc_add_test(linuxdvb_drivers_test SOURCES linuxdvb/RealDriversTest.cpp linuxdvb/FakeKernel.cpp LIBS mc_linuxdvb_core)

# The built program on "a real card": the Linux DVB card on the fake kernel,
# loaded as Device/SkyStar1.so from the test's own working folder.
add_library(mc_fake_dvb_SkyStar1 MODULE linuxdvb/FakeDvbPlugin.cpp linuxdvb/FakeKernel.cpp)
target_include_directories(mc_fake_dvb_SkyStar1 PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(mc_fake_dvb_SkyStar1 PRIVATE mc_linuxdvb_core mc_card_exports mc_card_common Threads::Threads)
mc_card_code(mc_fake_dvb_SkyStar1)
set_target_properties(mc_fake_dvb_SkyStar1 PROPERTIES OUTPUT_NAME SkyStar1 PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fakedvb/Device)
mc_add_test(linuxdvb_headless_test SOURCES linuxdvb/HeadlessOnFakeDvbTest.cpp)
if(TARGET linuxdvb_headless_test)
  add_dependencies(linuxdvb_headless_test mellowcaster mc_fake_dvb_SkyStar1 sample_transponders)
  target_compile_definitions(linuxdvb_headless_test PRIVATE MC_FAKE_DVB_DIR="${CMAKE_BINARY_DIR}/tests/fakedvb")
endif()
