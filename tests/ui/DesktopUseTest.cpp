// The windows as a desktop user meets them: a readable selection, a scan
// that finds nothing or is called off, a stream port another program holds,
// the record folder, the bars' keys and wheel, the windows' frames and
// placement, the meters on a scaled screen, the indexes of trsp.ini, the help
// and what the program brings to the desktop.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QFileInfo>
#include <QHeaderView>
#include <QWheelEvent>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "support/Command.h"
#include "ui/DesktopIntegration.h"
#include "ui/GuiFixture.h"
#include "ui/controls/GradientBar.h"
#include "base/AppPaths.h"
#include "base/ProgramLayout.h"
#include "base/LineFile.h"

namespace {

QAction* ListCommand(TForm1& form, const char* name) {
  for (QAction* a : form.PopupMenu1->actions())
    if (a->objectName() == QLatin1String(name)) return a;
  ADD_FAILURE() << name;
  return nullptr;
}

int Distance(QColor a, QColor b) {
  return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

// The pixels of a cell, without its grid lines: its background (the most
// common colour), how many pixels stand out from it, and whether one of them
// is close to `ink`.
struct TCellLook {
  QColor background;
  int textPixels = 0;
  bool inkSeen = false;
};

TCellLook LookAt(const QImage& image, QRect cell, QColor ink) {
  cell.adjust(2, 2, -2, -2);
  QHash<QRgb, int> counts;
  for (int y = cell.top(); y <= cell.bottom(); ++y)
    for (int x = cell.left(); x <= cell.right(); ++x) ++counts[image.pixel(x, y)];
  TCellLook look;
  int most = 0;
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it.value() > most) most = it.value(), look.background = QColor(it.key());
  for (int y = cell.top(); y <= cell.bottom(); ++y)
    for (int x = cell.left(); x <= cell.right(); ++x) {
      const QColor c(image.pixel(x, y));
      if (Distance(c, look.background) > 90) ++look.textPixels;
      if (Distance(c, ink) < 60) look.inkSeen = true;
    }
  return look;
}

// A socket listening on 127.0.0.1:port, as another program's server would.
int HoldPort(uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 4) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// HOME for one test, so that the user's music folder is the test's own.
class TScopedHome {
 public:
  explicit TScopedHome(const std::filesystem::path& home) {
    if (const char* h = std::getenv("HOME")) before_ = h;
    if (const char* x = std::getenv("XDG_CONFIG_HOME")) xdgBefore_ = x;
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
  }
  ~TScopedHome() {
    if (before_) ::setenv("HOME", before_->c_str(), 1);
    else ::unsetenv("HOME");
    if (xdgBefore_) ::setenv("XDG_CONFIG_HOME", xdgBefore_->c_str(), 1);
  }

 private:
  std::optional<std::string> before_, xdgBefore_;
};

class DesktopUse : public WindowsTest {
 protected:
  // trsp.ini on the Emulator with the given frequency, DiSEqC and card lines
  // and record folder line.
  void WriteTransponder(const std::string& frequency, const std::string& diseqc, const std::string& card,
                        const std::string& folder) {
    text::WriteLineFile((Ini() / "trsp.ini").string(), {"5150", frequency, "2500", "2", diseqc, card, folder, "1"});
  }
  bool Told(const QString& part) const {
    for (const QString& m : messages_)
      if (m.contains(part)) return true;
    return false;
  }
  std::string Said() const { return messages_.join("\n").toStdString(); }
};

const char* const kNoTransponder = "11111";  // the Emulator has no file for it

} // namespace

TEST_F(DesktopUse, SelectedRowsShowTheirTextInTheirOwnColourWithAndWithoutFocus) {
  WriteSettings();
  WriteList({{"Europa_Plus__Moscow_", "358"}, {"Classic_Radio", "362"}});
  TProgramWindows& w = Start();
  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  list->topLevelItem(0)->setCheckState(0, Qt::Checked);
  w.Form1.show();
  const struct {
    int row;
    QColor ink;
    bool focused;
  } cases[] = {{0, QColor(255, 0, 0), true}, {0, QColor(255, 0, 0), false},
               {1, QColor(0, 0, 128), true}, {1, QColor(0, 0, 128), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "row " << c.row << (c.focused ? " focused" : " unfocused"));
    list->setCurrentItem(list->topLevelItem(c.row));
    if (c.focused) list->setFocus();
    else list->clearFocus();
    const QImage image = list->viewport()->grab().toImage();
    const QRect row = list->visualItemRect(list->topLevelItem(c.row));
    const QRect name(list->header()->sectionViewportPosition(1), row.top(), list->header()->sectionSize(1),
                     row.height());
    const TCellLook look = LookAt(image, name, c.ink);
    EXPECT_GT(look.textPixels, 20) << "background " << look.background.name().toStdString();
    EXPECT_TRUE(look.inkSeen);
    // The selection is seen: the row stands out from an unselected one.
    const int other = 1 - c.row;
    const QRect otherName(name.left(), list->visualItemRect(list->topLevelItem(other)).top(), name.width(),
                          row.height());
    EXPECT_NE(look.background.name().toStdString(), LookAt(image, otherName, c.ink).background.name().toStdString());
  }
}

TEST_F(DesktopUse, ScanThatFindsNothingKeepsTheListAndSaysSo) {
  WriteTransponder(kNoTransponder, "0", "3", Rec().string() + "/");
  WriteList({{"Old", "1"}, {"Older", "2"}});
  TProgramWindows& w = Start();
  w.Form2.ScanTimings.FilterStart = std::chrono::milliseconds(200);
  w.Form2.ScanTimings.Pat = std::chrono::milliseconds(300);
  w.Form2.show();
  messages_.clear();
  Find<QPushButton>(&w.Form2, "sButton1")->click();
  EXPECT_EQ(messages_, QStringList{QString::fromUtf8(kNoChannelsFoundMessage)});
  EXPECT_TRUE(w.Form2.isVisible());  // open for another transponder
  ASSERT_EQ(Find<QTreeWidget>(&w.Form1, "ListView1")->topLevelItemCount(), 2);
  EXPECT_EQ(w.Form1.List().Row(1).Name, "Older");
  EXPECT_TRUE(w.Form1.close());
  EXPECT_EQ(text::ReadLineFile((Ini() / "kanal.ini").string()),
            (std::vector<std::string>{"Old", "1", "0", "", "Older", "2", "0", ""}));
}

TEST_F(DesktopUse, ClosingTheSettingsWindowCallsTheScanOffAndTheMainWindowSaysWhyItStays) {
  WriteTransponder(kNoTransponder, "0", "3", Rec().string() + "/");
  WriteList({{"Old", "1"}});
  TProgramWindows& w = Start();
  // Long enough that only calling it off ends the scan before the test's bound.
  w.Form2.ScanTimings.FilterStart = std::chrono::seconds(60);
  w.Form2.ScanTimings.Pat = std::chrono::seconds(60);
  w.Form2.show();
  messages_.clear();
  bool mainClosed = true;
  QTimer::singleShot(0, &w.Form1, [&] {
    mainClosed = w.Form1.close();
    w.Form2.close();
  });
  Find<QPushButton>(&w.Form2, "sButton1")->click();
  EXPECT_FALSE(mainClosed);
  EXPECT_EQ(messages_, QStringList{QString::fromUtf8(kCloseWhileScanningMessage)});
  EXPECT_FALSE(w.Form2.Scanning());
  EXPECT_FALSE(w.Form2.isVisible());
  EXPECT_EQ(w.Form1.List().Count(), 1u);
  EXPECT_TRUE(w.Form1.isVisible());
}

TEST_F(DesktopUse, StartWithTheStreamPortTakenRecordsAndOffersNoListening) {
  WriteSettings();
  WriteList({{"Europa_Plus__Moscow_", "358"}});
  const int other = HoldPort(Port());
  ASSERT_GE(other, 0);
  TProgramWindows& w = Start();
  w.Form3.XaudioPlayer1.OutputOpen("dummy");
  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  list->topLevelItem(0)->setCheckState(0, Qt::Checked);
  messages_.clear();
  Find<QToolButton>(&w.Form1, "PngSpeedButton2")->click();
  EXPECT_TRUE(w.Form1.Run().Running());
  ASSERT_EQ(messages_.size(), 1) << Said();
  EXPECT_TRUE(messages_[0].contains(QStringLiteral("Сервер потоков не запущен"))) << Said();
  EXPECT_TRUE(messages_[0].contains(QString::number(Port()))) << Said();
  EXPECT_FALSE(ListCommand(w.Form1, "N2")->isEnabled());
  EXPECT_TRUE(ListCommand(w.Form1, "N3")->isEnabled());
  list->setCurrentItem(list->topLevelItem(0));
  ListCommand(w.Form1, "N2")->trigger();
  EXPECT_FALSE(w.Form3.isVisible());
  // The recording itself goes on.
  EXPECT_TRUE(WaitFor([&] { return list->topLevelItem(0)->text(3) != "0"; }, std::chrono::seconds(30)));
  Find<QToolButton>(&w.Form1, "PngSpeedButton3")->click();
  ::close(other);
  EXPECT_FALSE(w.Form1.Run().Running());
}

TEST_F(DesktopUse, TheMusicFolderIsMadeWhenMissingAndATypedFolderIsNever) {
  const TScopedHome home(Rec() / "home");
  WriteTransponder("4084", "0", "3", "");  // no folder chosen: the music folder
  WriteList({{"Europa_Plus__Moscow_", "358"}});
  TProgramWindows& w = Start();
  ASSERT_TRUE(messages_.isEmpty()) << Said();
  auto* folder = Find<QLineEdit>(&w.Form2, "sEdit4");
  const std::filesystem::path music = Rec() / "home" / "Music";
  EXPECT_EQ(folder->text().toStdString(), music.string() + "/");
  Find<QTreeWidget>(&w.Form1, "ListView1")->topLevelItem(0)->setCheckState(0, Qt::Checked);

  const struct {
    std::string typed;
    const char* said;  // empty: the run starts
  } cases[] = {
      {(Rec() / "no" / "such" / "folder").string() + "/", "папка не существует"},
      {(Rec() / "typo").string() + "/Radio_", "папка не существует"},  // names glued to a missing folder
      {(Ini() / "kanal.ini").string() + "/", "это не папка"},
      {music.string() + "/", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    messages_.clear();
    folder->setText(QString::fromStdString(c.typed));
    Find<QToolButton>(&w.Form1, "PngSpeedButton2")->click();
    if (c.said) {
      EXPECT_FALSE(w.Form1.Run().Running());
      ASSERT_EQ(messages_.size(), 1);
      EXPECT_TRUE(messages_[0].contains(QString::fromUtf8(c.said))) << Said();
      continue;
    }
    EXPECT_TRUE(w.Form1.Run().Running()) << Said();
    EXPECT_TRUE(std::filesystem::is_directory(music));
    EXPECT_TRUE(std::filesystem::exists(music / "Europa_Plus__Moscow_.mp3"));
    Find<QToolButton>(&w.Form1, "PngSpeedButton3")->click();
  }
  EXPECT_FALSE(std::filesystem::exists(Rec() / "no"));
  EXPECT_FALSE(std::filesystem::exists(Rec() / "typo"));
}

TEST_F(DesktopUse, UpKeysAndTheWheelTurnedUpRaiseTheBandsAndTheVolume) {
  WriteList({});
  TProgramWindows& w = Start();
  w.Form3.show();
  // A raised bar is nearer its top: the band's loudest boost, the full volume.
  auto wheel = [](QSlider* bar, int delta) {
    QWheelEvent e(QPointF(5, 5), bar->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, delta), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(bar, &e);
  };
  const struct {
    const char* what;
    std::function<void(QSlider*)> act;
    bool raises;
  } inputs[] = {
      {"Up", [](QSlider* b) { QTest::keyClick(b, Qt::Key_Up); }, true},
      {"Page Up", [](QSlider* b) { QTest::keyClick(b, Qt::Key_PageUp); }, true},
      {"wheel up", [&](QSlider* b) { wheel(b, 120); }, true},
      {"Down", [](QSlider* b) { QTest::keyClick(b, Qt::Key_Down); }, false},
      {"wheel down", [&](QSlider* b) { wheel(b, -120); }, false},
  };
  for (QSlider* bar : {w.Form3.Band(0), w.Form3.Band(9), w.Form3.Volume()}) {
    for (const auto& input : inputs) {
      SCOPED_TRACE(bar->objectName().toStdString() + " " + input.what);
      bar->setValue((bar->minimum() + bar->maximum()) / 2);
      const int before = bar->value();
      input.act(bar);
      // The top of every bar is its minimum.
      if (input.raises) EXPECT_LT(bar->value(), before);
      else EXPECT_GT(bar->value(), before);
    }
  }
}

TEST_F(DesktopUse, FixedWindowsOfferNoMaximiseAndTheMainWindowStartsCentred) {
  WriteList({});
  TProgramWindows& w = Start();
  for (QWidget* window : {static_cast<QWidget*>(&w.Form1), static_cast<QWidget*>(&w.Form2),
                          static_cast<QWidget*>(&w.Form3)}) {
    SCOPED_TRACE(window->objectName().toStdString());
    EXPECT_TRUE(window->windowFlags() & Qt::CustomizeWindowHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window->windowIcon().isNull());
  }
  const QRect screen = w.Form1.screen()->availableGeometry();
  // Placed before the frame was known: off by no more than the frame.
  const QSize frame = w.Form1.frameGeometry().size() - w.Form1.size();
  const QPoint off = w.Form1.frameGeometry().center() - screen.center();
  EXPECT_LE(std::abs(off.x()), frame.width());
  EXPECT_LE(std::abs(off.y()), frame.height());
}

TEST(ScaledScreen, MetersAndToolIconsAreDrawnAtTheScreensResolution) {
  TQProgressBar bar;
  ConfigureSignalMeter(bar);
  bar.setGeometry(0, 0, 109, 17);
  bar.setPosition(58);
  const QImage plain = bar.render();
  const QImage sharp = bar.render(2.0);
  ASSERT_EQ(sharp.size(), plain.size() * 2);
  EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
  // A 1x picture blown up has every 2 x 2 square of one colour; the caption
  // and the outline drawn at 2x have edges inside such squares.
  int mixedSquares = 0;
  for (int y = 0; y + 1 < sharp.height(); y += 2)
    for (int x = 0; x + 1 < sharp.width(); x += 2) {
      const QRgb p = sharp.pixel(x, y);
      if (sharp.pixel(x + 1, y) != p || sharp.pixel(x, y + 1) != p || sharp.pixel(x + 1, y + 1) != p) ++mixedSquares;
    }
  EXPECT_GT(mixedSquares, 20);
  // The bar's own colours are the 1x ones, square for square.
  const QPoint inBar(30, 8);
  EXPECT_EQ(sharp.pixel(inBar * 2), plain.pixel(inBar));
}

TEST_F(DesktopUse, ToolIconsHaveAPictureForTheScaledScreen) {
  WriteList({});
  TProgramWindows& w = Start();
  for (const char* name : {"PngSpeedButton1", "PngSpeedButton2", "PngSpeedButton5"}) {
    const QPixmap twice = Find<QToolButton>(&w.Form1, name)->icon().pixmap(QSize(24, 24), 2.0);
    EXPECT_EQ(twice.size(), QSize(48, 48)) << name;
  }
}

TEST_F(DesktopUse, IndexesTheListsDoNotHoldAreWrittenBackAsTheFileHadThem) {
  WriteTransponder("4084", "9", "7", Rec().string() + "/");
  WriteList({});
  TProgramWindows& w = Start();
  w.Form2.show();
  EXPECT_TRUE(w.Form2.close());
  const auto saved = text::ReadLineFile((Ini() / "trsp.ini").string());
  ASSERT_EQ(saved.size(), 8u);
  EXPECT_EQ(saved[4], "9");
  EXPECT_EQ(saved[5], "7");
}

TEST_F(DesktopUse, HelpThatCannotBeOpenedSaysWhereTheFileIs) {
  WriteList({});
  TProgramWindows& w = Start();
  messages_.clear();
  // The test program has no HELP folder where the program looks for one.
  Find<QToolButton>(&w.Form1, "PngSpeedButton5")->click();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(QString::fromStdString(text::ProgramLayout().DataFolder + "/HELP/help.html")))
      << Said();
}

TEST(Desktop, QtsRussianTranslationsLoadWhenInstalledAndTheirAbsenceIsNoError) {
  EXPECT_FALSE(InstallQtTranslations(*QCoreApplication::instance(), "/nonexistent"));
  if (!QFileInfo::exists(QtTranslationsFolder() + "/qtbase_ru.qm")) GTEST_SKIP() << "qtbase_ru.qm not installed";
  ASSERT_TRUE(InstallQtTranslations(*QCoreApplication::instance()));
  // The folder picker's and the message boxes' buttons.
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Отмена"));
  EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
}

TEST(Desktop, TheDesktopEntryIsValidAndItsIconIsShipped) {
  const std::string entry = std::string(MC_SOURCE_DIR) + "/resources/mellowcaster.desktop";
  ASSERT_TRUE(std::filesystem::exists(entry));
  EXPECT_EQ(ProgramIcon().availableSizes().size(), 7);
  EXPECT_TRUE(ProgramIcon().availableSizes().contains(QSize(256, 256)));
  if (!testsupport::HaveTool("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate not installed";
  const auto result = testsupport::RunCommand("desktop-file-validate '" + entry + "' 2>&1");
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(result.output, "");
}
