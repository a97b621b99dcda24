#include "app/ProgramEntry.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/HeadlessRecorder.h"
#include "app/ProcessWide.h"
#include "base/AppPaths.h"
#include "base/ProgramLayout.h"
#include "server/SocketsStartup.h"

namespace {

bool HaveDisplay() {
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* s = std::getenv(v); s && *s) return true;
  return false;
}

// The settings folder of this run: --ini as given, else the default one. An
// installed program's user gets a folder of their own with the default
// settings in it on first start; only the actions that read settings need it.
bool ChooseSettingsFolder(TCommandLine& commandLine) {
  if (!commandLine.IniFolder.empty()) return true;
  commandLine.IniFolder = text::DefaultIniFolder();
  const text::TProgramLayout& layout = text::ProgramLayout();
  if (!layout.Installed || commandLine.Action == TCommandLine::TAction::Help ||
      commandLine.Action == TCommandLine::TAction::Version)
    return true;
  const std::string error = text::PrepareSettingsFolder(commandLine.IniFolder, layout.DataFolder + "/ini");
  if (error.empty()) return true;
  std::fprintf(stderr, "mellowcaster: %s\n", error.c_str());
  return false;
}

int StartWindows(int argc, char** argv, const std::string& iniFolder, const TWindowsFrontEnd& runWindows) {
  if (!HaveDisplay()) {
    std::fprintf(stderr, "mellowcaster: нет дисплея для окон; без окон: mellowcaster --help\n");
    return 1;
  }
  // Program load: the graph holder and an empty scan table exist before any window.
  ProgramGraph();
  ScanResult = TScanResult{};
  return runWindows(argc, argv, iniFolder, Dvb);
}

} // namespace

int ProgramMain(int argc, char** argv, const TWindowsFrontEnd& runWindows) {
  try {
    SocketsStartup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::string error;
  auto commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!commandLine) {
    std::fprintf(stderr, "%s\nСправка: mellowcaster --help\n", error.c_str());
    return 2;
  }
  if (!ChooseSettingsFolder(*commandLine)) return 1;
  if (commandLine->Action != TCommandLine::TAction::Start) return RunHeadless(*commandLine, Dvb);
  const int status = StartWindows(argc, argv, commandLine->IniFolder, runWindows);
  try {
    SocketsCleanup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return status;
}
