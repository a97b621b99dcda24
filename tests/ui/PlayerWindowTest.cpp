// The player window on the real engine (dummy output): eq.ini, what the
// band and volume bars send, the texts of the engine's events, and a failed
// engine start.
#include <QLabel>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include "ui/GuiFixture.h"
#include "ui/controls/SeekSlider.h"
#include "ui/PlayerWindow.h"
#include "base/LineFile.h"
#include "server/ServerTestUtil.h"

namespace {

class PlayerWindow : public WindowsTest {
 protected:
  void WriteEq(const std::vector<int>& values) {
    std::vector<std::string> lines;
    for (int v : values) lines.push_back(std::to_string(v));
    text::WriteLineFile((Ini() / "eq.ini").string(), lines);
  }
  std::unique_ptr<TForm3> Make(const std::string& engine = std::string(MC_BIN_DIR) + "/libxaudio.so") {
    auto f = std::make_unique<TForm3>(Ini().string());
    f->XaudioPlayer1.XaudioPath = engine;
    f->EqualizerSent = [this](const XA_EqualizerInfo& eq) { sent_.push_back(eq); };
    f->VolumeSent = [this](int level) { volumes_.push_back(level); };
    f->FormCreate();
    return f;
  }
  std::vector<XA_EqualizerInfo> sent_;
  std::vector<int> volumes_;
};

const std::vector<int> kFormDefaults{12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 58};

} // namespace

TEST_F(PlayerWindow, DefaultsInTheFileSendOnlyTheVolumeTheBarShows) {
  WriteEq(kFormDefaults);
  auto f = Make();
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join("\n").toStdString();
  EXPECT_TRUE(sent_.empty());
  // The engine starts at full level: the bar's level is sent once.
  EXPECT_EQ(volumes_, std::vector<int>{100 - kFormDefaults.back()});
  EXPECT_EQ(f->size(), QSize(326, 261));
  EXPECT_TRUE(f->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(PlayerWindow, EachBandDrivesItsOwnEntriesLeftAndRight) {
  // Entries per band, first to last, as the labels 60 Hz ... 16 kHz cover them.
  const std::pair<int, int> entries[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 5},
                                         {6, 7}, {8, 9}, {10, 14}, {15, 22}, {23, 31}};
  WriteEq(kFormDefaults);
  auto f = Make();
  for (int band = 0; band < 10; ++band) {
    sent_.clear();
    f->Band(band)->setValue(-100);  // the top of the bar
    ASSERT_EQ(sent_.size(), 1u) << band;
    for (int e = 0; e < 32; ++e) {
      const bool mine = e >= entries[band].first && e <= entries[band].second;
      EXPECT_EQ(sent_[0].left[e], mine ? 100 : -12) << "band " << band << " entry " << e;
      EXPECT_EQ(sent_[0].right[e], sent_[0].left[e]);
    }
    f->Band(band)->setValue(12);
  }
}

TEST_F(PlayerWindow, FileValuesReachTheEngineAndClosingWritesThePositions) {
  WriteEq({12, 12, 12, 12, 12, 12, 12, 12, 12, -40, 20});
  auto f = Make();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].left[31], 40);
  EXPECT_EQ(volumes_, std::vector<int>{80});  // the level is 100 - position
  f->Band(0)->setValue(100);
  f->show();
  f->close();
  EXPECT_EQ(text::ReadLineFile((Ini() / "eq.ini").string()),
            (std::vector<std::string>{"100", "12", "12", "12", "12", "12", "12", "12", "12", "-40", "20"}));
}

TEST_F(PlayerWindow, FailedEngineIsReportedAndTheStoredEqualiserIsKept) {
  WriteEq({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  auto f = Make("/nonexistent/libxaudio.so");
  ASSERT_EQ(messages_.size(), 1);
  const QString engineError = messages_[0];
  // Every later command tells the same error and does nothing else.
  f->PlayFile("/tmp/x.mp3");
  ASSERT_EQ(messages_.size(), 2);
  EXPECT_EQ(messages_[1], engineError);
  f->show();
  f->close();
  EXPECT_EQ(text::ReadLineFile((Ini() / "eq.ini").string()).front(), "1");
}

TEST(PlayerTexts, StreamParametersNameTheChannelMode) {
  EXPECT_EQ(StreamParametersOf(48000, 320, 2), QStringLiteral("48000 Hz,  Стерео  320 kbps"));
  EXPECT_EQ(StreamParametersOf(24000, 64, 1), QStringLiteral("24000 Hz,  Моно  64 kbps"));
}

TEST_F(PlayerWindow, EngineEventsSetTheTimecodeAndParameters) {
  WriteEq(kFormDefaults);
  auto f = Make();
  f->XaudioPlayer1.OnNotifyInputTimecode(&f->XaudioPlayer1, 1, 2, 3, 50);
  EXPECT_EQ(f->findChild<QLabel*>("TimecodeText")->text(), "01:02:03");
  f->XaudioPlayer1.OnNotifyStreamParameters(&f->XaudioPlayer1, 48000, 320, 2);
  EXPECT_EQ(f->findChild<QLabel*>("StreamParametersText")->text(), QStringLiteral("48000 Hz,  Стерео  320 kbps"));
  // A change in the stream is told again and replaces what was shown.
  f->XaudioPlayer1.OnNotifyStreamParameters(&f->XaudioPlayer1, 24000, 64, 1);
  EXPECT_EQ(f->findChild<QLabel*>("StreamParametersText")->text(), QStringLiteral("24000 Hz,  Моно  64 kbps"));
  ASSERT_NE(f->SeekSlider, nullptr);
  f->XaudioPlayer1.OnNotifyInputPosition(&f->XaudioPlayer1, 50, 100);
  EXPECT_EQ(f->SeekSlider->position(), f->SeekSlider->maximum() / 2);
  // A range of zero carries no position and leaves the slider alone.
  f->XaudioPlayer1.OnNotifyInputPosition(&f->XaudioPlayer1, 5, 0);
  EXPECT_EQ(f->SeekSlider->position(), f->SeekSlider->maximum() / 2);
}

TEST_F(PlayerWindow, HeldSliderIgnoresPositionEventsUntilReleased) {
  WriteEq(kFormDefaults);
  auto f = Make();
  ASSERT_NE(f->SeekSlider, nullptr);
  f->show();
  const QPoint inside(f->SeekSlider->width() / 2, f->SeekSlider->height() / 2);
  // Any button, anywhere on the slider, holds it.
  QTest::mousePress(f->SeekSlider, Qt::RightButton, {}, inside);
  f->XaudioPlayer1.OnNotifyInputPosition(&f->XaudioPlayer1, 3, 4);
  EXPECT_EQ(f->SeekSlider->position(), 0);
  QTest::mouseRelease(f->SeekSlider, Qt::RightButton, {}, inside);
  f->XaudioPlayer1.OnNotifyInputPosition(&f->XaudioPlayer1, 3, 4);
  EXPECT_EQ(f->SeekSlider->position(), f->SeekSlider->maximum() * 3 / 4);
}

// The engine's own words in the parameters field: a refused connection from
// the real engine, then texts as they come, cleared once playback starts.
TEST_F(PlayerWindow, EngineErrorsAreShownUntilTheNextStartThatPlays) {
  WriteEq(kFormDefaults);
  auto f = Make();
  auto* text = f->findChild<QLabel*>("StreamParametersText");
  f->StreamPort = servertest::FreePort();  // nobody listens there
  f->PlayStream("Radio 1");
  EXPECT_TRUE(WaitFor([&] { return text->text().contains("refused"); }, std::chrono::seconds(5)))
      << text->text().toStdString();
  for (const char* message : {"server answered: HTTP/1.0 504 Server Full", "no sound device (PulseAudio, ALSA): x"}) {
    f->XaudioPlayer1.OnNotifyError(&f->XaudioPlayer1, 1, -9, message);
    EXPECT_EQ(text->text(), QString::fromUtf8(message));
  }
  f->XaudioPlayer1.OnNotifyPlayerState(&f->XaudioPlayer1, XA_PLAYER_STATE_PLAYING);
  EXPECT_EQ(text->text(), "");
}
