// What the stations say they play, in the windows: titles handed over from
// another thread as the card's delivery thread does, shown in the list
// rows' tooltips and in the player's caption while it plays that channel.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QToolButton>
#include <QTreeWidget>

#include <thread>

#include "ui/GuiFixture.h"

namespace {

class NowPlayingWindows : public WindowsTest {
 protected:
  const std::string europa_ = "Europa_Plus__Moscow_", classic_ = "Classic_Radio";

  void StartRun() {
    WriteSettings();
    WriteList({{europa_, "358"}, {classic_, "362"}});
    TProgramWindows& w = Start();
    ASSERT_TRUE(messages_.isEmpty()) << messages_.join("\n").toStdString();
    w.Form3.XaudioPlayer1.OutputOpen("dummy");
    list_ = w.Form1.findChild<QTreeWidget*>("ListView1");
    ASSERT_NE(list_, nullptr);
    list_->topLevelItem(0)->setCheckState(0, Qt::Checked);
    w.Form1.findChild<QToolButton*>("PngSpeedButton2")->click();
    ASSERT_TRUE(w.Form1.Run().Running()) << messages_.join("\n").toStdString();
  }
  // As the delivery thread hands a title over: from a thread of its own.
  void Deliver(size_t row, const std::string& station, const std::string& title) {
    std::thread([&] { windows_->Form1.QueueTitle(row, station, title); }).join();
  }
  void Listen(int row, const char* action) {
    list_->setCurrentItem(list_->topLevelItem(row));
    for (QAction* a : windows_->Form1.PopupMenu1->actions())
      if (a->objectName() == QLatin1String(action)) a->trigger();
  }
  QString Tip(int row, int column = 1) const { return list_->topLevelItem(row)->toolTip(column); }
  bool CaptionBecomes(const QString& caption) {
    return WaitFor([&] { return windows_->Form3.windowTitle() == caption; }, std::chrono::seconds(30));
  }

  QTreeWidget* list_ = nullptr;
};

TEST_F(NowPlayingWindows, TheRowsTooltipTellsTheTitleAsSentAndForgetsItAfterTheRun) {
  StartRun();
  EXPECT_EQ(Tip(0), "") << "nothing said yet";
  Deliver(0, "EUROPA+ ", "Kino <Gruppa> & Co");
  ASSERT_TRUE(WaitFor([&] { return !Tip(0).isEmpty(); }, std::chrono::seconds(30)));
  // Markup in a title is shown as sent, not read as markup.
  EXPECT_TRUE(Tip(0).contains(QStringLiteral("Сейчас: Kino &lt;Gruppa&gt; &amp; Co"))) << Tip(0).toStdString();
  EXPECT_TRUE(Tip(0).contains(QStringLiteral("Станция: EUROPA+"))) << Tip(0).toStdString();
  for (int c = 0; c < 4; ++c) EXPECT_EQ(Tip(0, c), Tip(0)) << "the whole row, column " << c;
  EXPECT_EQ(Tip(1), "") << "another row's title stays with it";

  Deliver(0, "EUROPA+", "Next song");
  ASSERT_TRUE(WaitFor([&] { return Tip(0).contains("Next song"); }, std::chrono::seconds(30)));
  Deliver(0, "EUROPA+", "");
  ASSERT_TRUE(WaitFor([&] { return !Tip(0).contains(QStringLiteral("Сейчас")); }, std::chrono::seconds(30)));
  EXPECT_TRUE(Tip(0).contains(QStringLiteral("Станция: EUROPA+"))) << "a cleared title keeps the station";
  Deliver(1, "", "Bach");
  ASSERT_TRUE(WaitFor([&] { return Tip(1).contains("Bach"); }, std::chrono::seconds(30)));

  windows_->Form1.findChild<QToolButton*>("PngSpeedButton3")->click();
  ASSERT_FALSE(windows_->Form1.Run().Running());
  EXPECT_EQ(Tip(0), "");
  EXPECT_EQ(Tip(1), "") << "a stopped run plays nothing";
  // A straggler after the run is dropped: it posts nothing to the window.
  Deliver(1, "", "Late");
  QApplication::processEvents();
  EXPECT_EQ(Tip(1), "");
}

TEST_F(NowPlayingWindows, ThePlayersCaptionFollowsTheTitleOfTheStreamItPlaysOnly) {
  StartRun();
  TForm3& player = windows_->Form3;
  Deliver(1, "CLASSIC", "Bach - Air");
  ASSERT_TRUE(WaitFor([&] { return Tip(1).contains("Bach"); }, std::chrono::seconds(30)));
  // The title known when the stream starts is there at once.
  Listen(1, "N2");
  EXPECT_EQ(player.windowTitle().toStdString(), classic_ + " — Bach - Air");
  Deliver(1, "CLASSIC", "Mozart\n- Rondo");
  EXPECT_TRUE(CaptionBecomes(QString::fromStdString(classic_ + " — Mozart - Rondo"))) << player.windowTitle().toStdString();
  Deliver(0, "EUROPA+", "Pop");  // another channel: not what plays
  ASSERT_TRUE(WaitFor([&] { return Tip(0).contains("Pop"); }, std::chrono::seconds(30)));
  EXPECT_EQ(player.windowTitle().toStdString(), classic_ + " — Mozart - Rondo");
  Deliver(1, "CLASSIC", "");
  EXPECT_TRUE(CaptionBecomes(QString::fromStdString(classic_))) << player.windowTitle().toStdString();

  // A recorded file keeps its own caption whatever its channel says.
  Deliver(0, "EUROPA+", "Rock");
  ASSERT_TRUE(WaitFor([&] { return Tip(0).contains("Rock"); }, std::chrono::seconds(30)));
  Listen(0, "N3");
  const std::string file = (Rec() / (europa_ + ".mp3")).string();
  EXPECT_EQ(player.windowTitle().toStdString(), file);
  Deliver(0, "EUROPA+", "Jazz");
  ASSERT_TRUE(WaitFor([&] { return Tip(0).contains("Jazz"); }, std::chrono::seconds(30)));
  EXPECT_EQ(player.windowTitle().toStdString(), file);

  // Stopping the stream takes the title out of the caption.
  Listen(0, "N2");
  EXPECT_EQ(player.windowTitle().toStdString(), europa_ + " — Jazz");
  player.StopPlayback();
  EXPECT_EQ(player.windowTitle().toStdString(), europa_);
  Deliver(0, "EUROPA+", "Blues");
  ASSERT_TRUE(WaitFor([&] { return Tip(0).contains("Blues"); }, std::chrono::seconds(30)));
  EXPECT_EQ(player.windowTitle().toStdString(), europa_);
  windows_->Form1.findChild<QToolButton*>("PngSpeedButton3")->click();
}

} // namespace
