find_package(Qt6 REQUIRED COMPONENTS Test)
mc_add_test(ui_controls_test
  SOURCES ui/QtTestMain.cpp ui/controls/GradientBarColoursTest.cpp ui/controls/GradientBarModelTest.cpp
          ui/controls/GradientBarTest.cpp ui/controls/SeekSliderTest.cpp
  LIBS mc_ui Qt6::Test)
if(TARGET ui_controls_test)
  # Renderings of the controls in their program configuration, for review.
  target_compile_definitions(ui_controls_test PRIVATE MC_RENDER_DIR="${CMAKE_BINARY_DIR}/renderings")
endif()
