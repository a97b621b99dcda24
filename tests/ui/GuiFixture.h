#pragma once
// The windows as the program starts them, on a private ini folder and the
// Emulator card, with message boxes recorded instead of shown.
#include <QString>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/ProgramWindows.h"
#include "device/TempFolder.h"

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // trsp.ini naming the Emulator on the demo transponder, recording into Rec().
  void WriteSettings(bool pcm = true);
  // kanal.ini from (name, pid) pairs, CP1251 names.
  void WriteList(const std::vector<std::pair<std::string, std::string>>& rows);
  // Creates the windows and runs their start-up work.
  TProgramWindows& Start();

  std::filesystem::path Ini() const { return tmp_.Path() / "ini"; }
  std::filesystem::path Rec() const { return tmp_.Path() / "rec"; }
  template <class W>
  W* Find(QWidget* in, const char* name) {
    W* w = in->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  // Runs the event loop until the condition holds or the time is up.
  static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

  // A free port of this test's own, not the program's: tests running side by
  // side, and a running program, never meet each other's server.
  uint16_t Port() const { return port_; }

  QStringList messages_;
  std::unique_ptr<TProgramWindows> windows_;

 private:
  TTempFolder tmp_;
  std::unique_ptr<TWorkingDirectory> cwd_;
  uint16_t port_ = 0;
};
