# The Linux DVB card plug-in, against a scripted kernel.
mc_add_test(linuxdvb_test SOURCES linuxdvb/LinuxDvbTest.cpp linuxdvb/FakeKernel.cpp LIBS mc_linuxdvb_core)
add_dependencies(linuxdvb_test mc_linuxdvb)
# The same card against the kernel's drivers' own rules.
mc_add_test(linuxdvb_drivers_test SOURCES linuxdvb/RealDriversTest.cpp linuxdvb/FakeKernel.cpp LIBS mc_linuxdvb_core)
