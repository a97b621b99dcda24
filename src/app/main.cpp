// Program entry. With arguments the program runs headless (see
// CommandLine.h); without, it starts the console summary until the windows
// land: it loads the channel list beside the executable and prints its rows
// as UTF-8; with the Emulator card it tunes the default transponder
// (4084 MHz, horizontal), scans it and prints what a scan would put into the
// list. The stored list is left as it is.
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "app/CommandLine.h"
#include "app/HeadlessRecorder.h"
#include "channels/ChannelList.h"
#include "device/UDevice.h"
#include "scan/UDVBScan.h"
#include "server/Sockets.h"

namespace {

void ScanDefaultTransponder() {
  if (LoadDevicePlugin("Emulator") != 0) {
    std::printf("\nno Emulator card found in Device/\n");
    return;
  }
  if (!Dvb.DVBOpen(0)) {
    std::printf("\nКарта не активна\n");
    UnloadDevicePlugin();
    return;
  }
  Dvb.DVBSendDiSEqC(1);
  TTunerParams params{};
  params.Frequency = 4084 * 1000;
  params.Constant2 = 2;
  params.SymbolRate = 2500 * 1000;
  params.LocalOscillator = 5150 * 1000;
  params.Voltage = 18;
  if (Dvb.DVBSetTuner(params)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint8_t level = 0, quality = 0;
    Dvb.DVBGetTunerStatus(&level, &quality);
    std::printf("\nEmulator card, 4084 MHz H: level %d, quality %d\n", level, quality);
    TChannelList scanned;
    ScanAndFill(scanned);
    PrintRows("scan of the transponder:", scanned);
  } else {
    std::printf("\nEmulator card: no transponder file for 4084 MHz H\n");
  }
  Dvb.DVBClose();
  UnloadDevicePlugin();
}

int ConsoleSummary() {
  TChannelList list;
  const std::string path = ChannelListPath();
  try {
    list.LoadChannelList(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
  }
  PrintRows("ini/kanal.ini:", list);
  ScanDefaultTransponder();
  std::printf("\nmellowcaster --help: запись и вещание без окон\n");
  return 0;
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
  if (commandLine->Action == TCommandLine::TAction::Start) return ConsoleSummary();
  return RunHeadless(*commandLine);
}
