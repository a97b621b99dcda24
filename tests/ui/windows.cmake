# The three windows on the offscreen platform, on the Emulator card.
find_package(Qt6 REQUIRED COMPONENTS Test)
mc_add_test(ui_windows_test
  SOURCES ui/QtTestMain.cpp ui/GuiFixture.cpp ui/MainWindowTest.cpp ui/SettingsWindowTest.cpp
          ui/PlayerWindowTest.cpp ui/ScreenshotTest.cpp ui/SizeTextLoadTest.cpp ui/DesktopUseTest.cpp
          ui/NowPlayingWindowTest.cpp
          device/TempFolder.cpp
  LIBS mc_ui Qt6::Test
  PROPERTIES ENVIRONMENT_MODIFICATION "TSAN_OPTIONS=string_append::suppressions=${CMAKE_SOURCE_DIR}/tests/ui/tsan.supp")
if(TARGET ui_windows_test)
  add_dependencies(ui_windows_test mc_emulator xaudio)
  target_compile_definitions(ui_windows_test PRIVATE MC_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
endif()
