#pragma once
// The program's three windows, created and set up in start-up order: the
// main window (loads the list), the settings window (settings, card check,
// tuning), the player window (engine, slider, equaliser).
#include <string>

#include "app/Unit1.h"
#include "device/Unit2.h"
#include "player/Unit3.h"

class TProgramWindows {
 public:
  // iniFolder holds the three settings files; port is the stream server's.
  explicit TProgramWindows(const std::string& iniFolder, uint16_t port = 3587);
  ~TProgramWindows();

  // Runs the three windows' start-up work in order and shows the main window.
  void Create();

  TForm1 Form1;
  TForm2 Form2;
  TForm3 Form3;
};
