// The main window driven by control name: start-up state, a recording run on
// the Emulator with a live listener, the listen commands and the close check.
#include <QAction>
#include <QMenu>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "server/ServerTestUtil.h"
#include "ui/GuiFixture.h"
#include "base/Cp1251.h"
#include "ui/controls/GradientBar.h"
#include "device/DevicePlugin.h"
#include "base/LineFile.h"

namespace {

QAction* MenuItem(TForm1& form, const char* name) {
  for (QAction* a : form.PopupMenu1->actions())
    if (a->objectName() == QLatin1String(name)) return a;
  ADD_FAILURE() << name;
  return nullptr;
}

// Connects to the run's server and returns the first bytes of the answer.
std::string Listen(uint16_t port, const std::string& path, int& socketOut) {
  socketOut = servertest::Connect(port);
  if (socketOut < 0) return {};
  servertest::SendAll(socketOut, "GET /" + path + " HTTP/1.0\r\n\r\n");
  return servertest::Receive(socketOut, 64, 5000);
}

struct TToolbarState {
  bool settings, start, stop;
};

void ExpectToolbar(TForm1& f, TToolbarState want) {
  EXPECT_EQ(f.findChild<QToolButton*>("PngSpeedButton1")->isEnabled(), want.settings);
  EXPECT_EQ(f.findChild<QToolButton*>("PngSpeedButton2")->isEnabled(), want.start);
  EXPECT_EQ(f.findChild<QToolButton*>("PngSpeedButton3")->isEnabled(), want.stop);
  EXPECT_TRUE(f.findChild<QToolButton*>("PngSpeedButton4")->isEnabled());
  EXPECT_TRUE(f.findChild<QToolButton*>("PngSpeedButton5")->isEnabled());
}

void ExpectMenu(TForm1& f, bool running) {
  EXPECT_EQ(MenuItem(f, "N1")->isEnabled(), !running);
  EXPECT_EQ(MenuItem(f, "N2")->isEnabled(), running);
  EXPECT_EQ(MenuItem(f, "N3")->isEnabled(), running);
}

const std::string kEuropa = "Europa_Plus__Moscow_";
const std::string kClassic = "Classic_Radio";

} // namespace

TEST_F(WindowsTest, StartUpShowsOnlyTheMainWindowWithItsListAndTheIdleControls) {
  WriteSettings();
  WriteList({{kEuropa, "358"}, {text::Utf8ToCp1251("Ретро_FM"), "359"}});
  TProgramWindows& w = Start();
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join("\n").toStdString();
  EXPECT_TRUE(w.Form1.isVisible());
  EXPECT_FALSE(w.Form2.isVisible());
  EXPECT_FALSE(w.Form3.isVisible());
  EXPECT_EQ(w.Form1.size(), QSize(421, 297));
  ExpectToolbar(w.Form1, {true, true, false});
  ExpectMenu(w.Form1, false);
  EXPECT_EQ(w.Form1.findChild<QToolButton*>("PngSpeedButton3")->toolTip(), QStringLiteral("Стоп "));
  // The card was found, opened and tuned: the signal timer runs.
  EXPECT_TRUE(CardOpen.load());
  EXPECT_TRUE(w.Form1.Timer1->isActive());
  // One tick sets the level and quality meters of both windows from one reading.
  w.Form1.Timer1Timer();
  EXPECT_GT(Find<TQProgressBar>(&w.Form1, "G1")->position(), 0);
  EXPECT_GT(Find<TQProgressBar>(&w.Form1, "G2")->position(), 0);
  EXPECT_EQ(Find<TQProgressBar>(&w.Form2, "G1")->position(), Find<TQProgressBar>(&w.Form1, "G1")->position());
  EXPECT_EQ(Find<TQProgressBar>(&w.Form2, "G2")->position(), Find<TQProgressBar>(&w.Form1, "G2")->position());

  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  ASSERT_EQ(list->topLevelItemCount(), 2);
  const QStringList headers{"N", "Канал", "PID звука", "записано/Мб"};
  for (int c = 0; c < 4; ++c) EXPECT_EQ(list->headerItem()->text(c), headers[c]);
  EXPECT_EQ(list->topLevelItem(1)->text(0), "2");
  EXPECT_EQ(list->topLevelItem(1)->text(1), QStringLiteral("Ретро_FM"));
  EXPECT_EQ(list->topLevelItem(1)->text(2), "359");
  EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
}

TEST_F(WindowsTest, MissingListFileIsReportedAndTheWindowStillWorks) {
  WriteSettings();
  TProgramWindows& w = Start();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].endsWith("kanal.ini: File not found")) << messages_[0].toStdString();
  EXPECT_EQ(Find<QTreeWidget>(&w.Form1, "ListView1")->topLevelItemCount(), 0);
  // Start on an empty list changes nothing.
  Find<QToolButton>(&w.Form1, "PngSpeedButton2")->click();
  ExpectToolbar(w.Form1, {true, true, false});
  EXPECT_FALSE(w.Form1.Run().Running());
}

TEST_F(WindowsTest, DeletingNeedsASelectedRowAndKeepsTheOtherNumbers) {
  WriteSettings();
  WriteList({{"A", "1"}, {"B", "2"}, {"C", "3"}});
  TProgramWindows& w = Start();
  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  list->clearSelection();
  MenuItem(w.Form1, "N1")->trigger();
  EXPECT_EQ(list->topLevelItemCount(), 3);
  list->setCurrentItem(list->topLevelItem(1));
  MenuItem(w.Form1, "N1")->trigger();
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(1)->text(0), "3");
  EXPECT_EQ(w.Form1.List().Count(), 2u);
  EXPECT_EQ(w.Form1.List().Row(1).Name, "C");
}

TEST_F(WindowsTest, RunWithOneTickedRowRecordsItStreamsAllAndRefusesToClose) {
  WriteSettings();
  WriteList({{kEuropa, "358"}, {kClassic, "362"}});
  TProgramWindows& w = Start();
  ASSERT_TRUE(messages_.isEmpty()) << messages_.join("\n").toStdString();
  w.Form3.XaudioPlayer1.OutputOpen("dummy");
  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  list->topLevelItem(0)->setCheckState(0, Qt::Checked);
  ASSERT_TRUE(w.Form1.List().Row(0).Ticked);
  EXPECT_EQ(list->topLevelItem(0)->foreground(1).color(), QColor(255, 0, 0));
  EXPECT_EQ(list->topLevelItem(1)->foreground(1).color(), QColor(0, 0, 128));

  Find<QToolButton>(&w.Form1, "PngSpeedButton2")->click();
  ASSERT_TRUE(w.Form1.Run().Running()) << messages_.join("\n").toStdString();
  ExpectToolbar(w.Form1, {false, false, true});
  ExpectMenu(w.Form1, true);
  for (int r = 0; r < 2; ++r) EXPECT_FALSE(list->topLevelItem(r)->data(0, Qt::CheckStateRole).isValid());

  // Every row is streamed, ticked or not.
  int listener = -1;
  EXPECT_EQ(Listen(Port(), kClassic, listener).rfind("HTTP/1.0 200", 0), 0u);
  ASSERT_TRUE(WaitFor([&] { return list->topLevelItem(0)->text(3) != "0"; }, std::chrono::seconds(20)));
  EXPECT_TRUE(list->topLevelItem(0)->text(3).endsWith(" mb"));
  EXPECT_EQ(list->topLevelItem(1)->text(3), "0");

  // The listen commands: an unticked row's file does nothing, a ticked one plays.
  list->setCurrentItem(list->topLevelItem(1));
  MenuItem(w.Form1, "N3")->trigger();
  EXPECT_FALSE(w.Form3.isVisible());
  list->setCurrentItem(list->topLevelItem(0));
  MenuItem(w.Form1, "N3")->trigger();
  const std::string file = (Rec() / (kEuropa + ".mp3")).string();
  EXPECT_TRUE(w.Form3.isVisible());
  EXPECT_EQ(w.Form3.windowTitle().toStdString(), file);
  // Shown beside each other: the player at the left, the main window to its right.
  EXPECT_EQ(w.Form3.x(), 25);
  EXPECT_EQ(w.Form1.x(), w.Form3.x() + w.Form3.frameGeometry().width());
  list->setCurrentItem(list->topLevelItem(1));
  MenuItem(w.Form1, "N2")->trigger();
  EXPECT_EQ(w.Form3.windowTitle().toStdString(), kClassic);

  EXPECT_FALSE(w.Form1.close());
  EXPECT_TRUE(w.Form1.isVisible());
  ASSERT_FALSE(messages_.isEmpty());
  EXPECT_EQ(messages_.last(), QStringLiteral("Включена запись ,выключите запись затем можно закрыть программу"));

  Find<QToolButton>(&w.Form1, "PngSpeedButton3")->click();
  if (listener >= 0) ::close(listener);
  EXPECT_FALSE(w.Form1.Run().Running());
  ExpectToolbar(w.Form1, {true, true, false});
  ExpectMenu(w.Form1, false);
  EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Checked);
  EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
  EXPECT_GT(std::filesystem::file_size(file), 0u);
  EXPECT_FALSE(std::filesystem::exists(Rec() / (kClassic + ".mp3")));

  // Idle again: closing saves the list (sizes are not kept) and closes the card.
  EXPECT_TRUE(w.Form1.close());
  EXPECT_FALSE(CardOpen.load());
  const auto saved = text::ReadLineFile((Ini() / "kanal.ini").string());
  EXPECT_EQ(saved, (std::vector<std::string>{kEuropa, "358", "0", "", kClassic, "362", "0", ""}));
}
