// Program entry. With arguments the program runs headless (see
// CommandLine.h); without, it starts the three windows.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/CommandLine.h"
#include "app/HeadlessRecorder.h"
#include "ui/ProgramWindows.h"
#include "scan/TransponderScan.h"
#include "server/SocketsStartup.h"
#include "base/AppPaths.h"
#include "app/VideoGraphHolder.h"

namespace {

bool HaveDisplay() {
  for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* s = std::getenv(v); s && *s) return true;
  return false;
}

int RunWindows(int argc, char** argv) {
  if (!HaveDisplay()) {
    std::fprintf(stderr, "mellowcaster: нет дисплея для окон; без окон: mellowcaster --help\n");
    return 1;
  }
  // Program load: the graph holder and an empty scan table exist before any window.
  ProgramGraph();
  ScanResult = TScanResult{};

  QApplication app(argc, argv);
  TProgramWindows windows(text::ExecutableFolder() + "/ini");
  windows.Create();
  return app.exec();
}

} // namespace

int main(int argc, char** argv) {
  try {
    SocketsStartup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::string error;
  const auto commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!commandLine) {
    std::fprintf(stderr, "%s\n%s", error.c_str(), kUsageText);
    return 2;
  }
  if (commandLine->Action != TCommandLine::TAction::Start) return RunHeadless(*commandLine);
  const int status = RunWindows(argc, argv);
  try {
    SocketsCleanup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return status;
}
