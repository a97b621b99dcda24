#pragma once
// The program's start-up and exit order, for both front ends: the socket
// layer first, then the command line; with arguments the headless recorder
// runs, without them the windows (handed in, as they stand above this folder).
#include <functional>
#include <string>

#include "device/DvbPluginApi.h"

// Runs the windows' event loop on the program's card table, with the settings
// in `iniFolder`, and returns its exit status.
using TWindowsFrontEnd = std::function<int(int argc, char** argv, const std::string& iniFolder, TDevicePlugin& card)>;

int ProgramMain(int argc, char** argv, const TWindowsFrontEnd& runWindows);
