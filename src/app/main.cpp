// Console entry until the windows land: loads the channel list beside the
// executable and prints its rows as UTF-8; with the Emulator card it tunes the
// default transponder (4084 MHz, horizontal), scans it and prints what a scan
// would put into the list. The stored list is left as it is.
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "channels/ChannelList.h"
#include "device/UDevice.h"
#include "scan/UDVBScan.h"
#include "server/Sockets.h"
#include "text/Cp1251.h"

namespace {

// CP1251 text as UTF-8, padded to a width in characters (one byte each here).
std::string Column(const std::string& cp1251, size_t width) {
  std::string out = text::Cp1251ToUtf8(cp1251);
  if (cp1251.size() < width) out.append(width - cp1251.size(), ' ');
  return out;
}

void PrintRows(const char* title, const TChannelList& list) {
  std::printf("%s\n%s %s %s %s\n", title, Column("N", 4).c_str(), Column(text::Utf8ToCp1251("Канал"), 32).c_str(),
              Column(text::Utf8ToCp1251("PID звука"), 10).c_str(), "записано/Мб");
  for (const auto& row : list.Rows())
    std::printf("%s %s %s %s\n", Column(row.Number, 4).c_str(), Column(row.Name, 32).c_str(),
                Column(row.Pid, 10).c_str(), text::Cp1251ToUtf8(row.Recorded).c_str());
}

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

} // namespace

int main() {
  try {
    SocketsStartup();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  TChannelList list;
  const std::string path = ChannelListPath();
  try {
    list.LoadChannelList(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
  }
  PrintRows("ini/kanal.ini:", list);
  ScanDefaultTransponder();
  return 0;
}
