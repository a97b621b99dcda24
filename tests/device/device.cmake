# Card plug-in loader and the Emulator card.

# Test plug-ins: FakeCard beside the test programs (origin 2) and in a fixture
# folder (origin 1) that tests copy below a working directory; Broken lacks
# DVBSETCOUNT.
function(mc_fake_card target name origin folder)
  add_library(${target} MODULE ${CMAKE_SOURCE_DIR}/tests/device/FakeCardPlugin.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_compile_definitions(${target} PRIVATE FAKE_CARD_ORIGIN=${origin} ${ARGN})
  target_compile_options(${target} PRIVATE -fvisibility=hidden)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${folder})
endfunction()
mc_fake_card(mc_fake_card_beside FakeCard 2 ${CMAKE_BINARY_DIR}/tests/Device)
mc_fake_card(mc_fake_card_fixture FakeCard 1 ${CMAKE_BINARY_DIR}/tests/fixtures)
mc_fake_card(mc_fake_card_broken Broken 3 ${CMAKE_BINARY_DIR}/tests/Device FAKE_CARD_LACKS_SETCOUNT)

mc_add_test(udevice_test SOURCES device/DevicePluginTest.cpp device/TempFolder.cpp)
add_dependencies(udevice_test mc_fake_card_beside mc_fake_card_fixture mc_fake_card_broken)
target_compile_definitions(udevice_test PRIVATE MC_FIXTURE_DIR="${CMAKE_BINARY_DIR}/tests/fixtures")

mc_add_test(emulator_test SOURCES device/EmulatorTest.cpp device/EmulatorHarness.cpp device/TempFolder.cpp
  LIBS mc_tsbuilder mc_emulator_control)
add_dependencies(emulator_test mc_emulator)

# DeadCard loads but its DVBOpen answers 0: a card that is not ready.
mc_fake_card(mc_fake_card_dead DeadCard 0 ${CMAKE_BINARY_DIR}/tests/Device)
mc_add_test(transponder_settings_test SOURCES device/TransponderSettingsTest.cpp device/TempFolder.cpp)
add_dependencies(transponder_settings_test mc_fake_card_beside mc_fake_card_broken mc_fake_card_dead)

# The filter handle table the card plug-ins share.
mc_add_test(card_handles_test SOURCES device/HandleTableTest.cpp LIBS mc_card_common)
