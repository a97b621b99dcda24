#include "ui/GuiFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <fstream>
#include <thread>

#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "base/LineFile.h"
#include "server/ServerTestUtil.h"
#include "ui/controls/MessageBox.h"

void WindowsTest::SetUp() {
  port_ = servertest::FreePort();
  std::filesystem::create_directories(Ini());
  std::filesystem::create_directories(Rec());
  // The installed equaliser defaults, as a fresh build lays them out.
  std::filesystem::copy_file(std::string(MC_SOURCE_DIR) + "/resources/ini/eq.ini", Ini() / "eq.ini");
  // Device/Emulator.so is found below the working directory.
  cwd_ = std::make_unique<TWorkingDirectory>(MC_BIN_DIR);
  SetMessageFunction([this](QWidget*, const QString& text) { messages_ << text; });
}

void WindowsTest::TearDown() {
  windows_.reset();
  if (CardOpen.exchange(false) && Dvb.DVBClose) Dvb.DVBClose();
  UnloadDevicePlugin(Dvb);
  SetMessageFunction({});
  cwd_.reset();
}

void WindowsTest::WriteSettings(bool pcm) {
  text::WriteLineFile((Ini() / "trsp.ini").string(),
                      {"5150", "4084", "2500", "2", "0", "3", Rec().string() + "/", pcm ? "1" : "2"});
}

void WindowsTest::WriteList(const std::vector<std::pair<std::string, std::string>>& rows) {
  std::vector<std::string> lines;
  for (const auto& [name, pid] : rows) lines.insert(lines.end(), {name, pid, "0", ""});
  text::WriteLineFile((Ini() / "kanal.ini").string(), lines);
}

TProgramWindows& WindowsTest::Start() {
  windows_ = std::make_unique<TProgramWindows>(Ini().string(), Dvb, port_);
  windows_->Form3.XaudioPlayer1.XaudioPath = std::string(MC_BIN_DIR) + "/libxaudio.so";
  windows_->Create();
  return *windows_;
}

bool WindowsTest::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limit.count()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
