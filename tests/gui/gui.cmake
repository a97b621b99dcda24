# The three windows on the offscreen platform, on the Emulator card.
find_package(Qt6 REQUIRED COMPONENTS Test)
mc_add_test(gui_test
  SOURCES widgets/QtTestMain.cpp gui/GuiFixture.cpp gui/MainWindowTest.cpp gui/SettingsWindowTest.cpp
          gui/PlayerWindowTest.cpp gui/ScreenshotTest.cpp gui/SizeTextLoadTest.cpp
          device/TempFolder.cpp
  LIBS mellowcaster_ui Qt6::Test
  PROPERTIES ENVIRONMENT_MODIFICATION "TSAN_OPTIONS=string_append::suppressions=${CMAKE_SOURCE_DIR}/tests/gui/tsan.supp")
if(TARGET gui_test)
  add_dependencies(gui_test mc_emulator xaudio)
  target_compile_definitions(gui_test PRIVATE MC_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
endif()
