#include "app/ProgramEntry.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/HeadlessRecorder.h"
#include "app/ProcessWide.h"
#include "server/SocketsStartup.h"

namespace {

bool HaveDisplay() {
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* s = std::getenv(v); s && *s) return true;
  return false;
}

int StartWindows(int argc, char** argv, const TWindowsFrontEnd& runWindows) {
  if (!HaveDisplay()) {
    std::fprintf(stderr, "mellowcaster: нет дисплея для окон; без окон: mellowcaster --help\n");
    return 1;
  }
  // Program load: the graph holder and an empty scan table exist before any window.
  ProgramGraph();
  ScanResult = TScanResult{};
  return runWindows(argc, argv, Dvb);
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
  const auto commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!commandLine) {
    std::fprintf(stderr, "%s\nСправка: mellowcaster --help\n", error.c_str());
    return 2;
  }
  if (commandLine->Action != TCommandLine::TAction::Start) return RunHeadless(*commandLine, Dvb);
  const int status = StartWindows(argc, argv, runWindows);
  try {
    SocketsCleanup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return status;
}
