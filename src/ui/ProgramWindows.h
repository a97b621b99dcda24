#pragma once
// The program's three windows, created and set up in start-up order: the
// main window (loads the list), the settings window (settings, card check,
// tuning), the player window (engine, slider, equaliser). The channel list and
// the recording options are the program's, here; the windows borrow them.
#include <string>

#include "capture/RecordingOptions.h"
#include "channels/ChannelList.h"
#include "device/DvbPluginApi.h"

#include "ui/MainWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/PlayerWindow.h"

class TProgramWindows {
 public:
  // iniFolder holds the three settings files; card is the program's card
  // table; port is the stream server's.
  TProgramWindows(const std::string& iniFolder, TDevicePlugin& card, uint16_t port = kStreamPort);
  ~TProgramWindows();

  // Runs the three windows' start-up work in order and shows the main window.
  void Create();

  TChannelList List;
  RecordingOptions Options;
  TForm1 Form1;
  TForm2 Form2;
  TForm3 Form3;
};
