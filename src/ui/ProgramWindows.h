#pragma once
// The program's three windows, created and set up in start-up order: the
// main window (loads the list), the settings window (settings, card check,
// tuning), the player window (engine, slider, equaliser).
#include <string>

#include "ui/MainWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/PlayerWindow.h"

class TProgramWindows {
 public:
  // iniFolder holds the three settings files; port is the stream server's.
  explicit TProgramWindows(const std::string& iniFolder, uint16_t port = kStreamPort);
  ~TProgramWindows();

  // Runs the three windows' start-up work in order and shows the main window.
  void Create();

  TForm1 Form1;
  TForm2 Form2;
  TForm3 Form3;
};
