// The settings window: its file, the scan from the window, the key filter,
// tuning errors and the recording format.
#include <QComboBox>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "ui/GuiFixture.h"
#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"
#include "base/LineFile.h"

TEST_F(WindowsTest, MissingSettingsFileIsReportedAndSkipsTheCardCheck) {
  WriteList({});
  TProgramWindows& w = Start();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].endsWith("trsp.ini: File not found")) << messages_[0].toStdString();
  EXPECT_FALSE(DevicePluginLoaded());
  EXPECT_FALSE(w.Form1.Timer1->isActive());
  // The design defaults stay.
  EXPECT_EQ(Find<QLineEdit>(&w.Form2, "sEdit1")->text(), "5150");
  EXPECT_EQ(Find<QLineEdit>(&w.Form2, "sEdit2")->text(), "4084");
  EXPECT_EQ(Find<QComboBox>(&w.Form2, "sComboBox1")->currentText(), "SkyStar2");
  EXPECT_TRUE(Find<QRadioButton>(&w.Form2, "sRadioButton2")->isChecked());
  EXPECT_TRUE(Find<QRadioButton>(&w.Form2, "sRadioButton3")->isChecked());
  EXPECT_FALSE(Find<QPushButton>(&w.Form2, "sButton3")->isEnabled());
}

TEST_F(WindowsTest, WindowShowsTheFileAndSavesWhatWasEditedOnClosing) {
  WriteSettings(false);
  WriteList({});
  TProgramWindows& w = Start();
  EXPECT_EQ(w.Form2.windowTitle(), QStringLiteral("Hастройки"));
  EXPECT_EQ(w.Form2.windowTitle().at(0), QChar('H'));  // Latin
  EXPECT_EQ(Find<QComboBox>(&w.Form2, "sComboBox1")->currentText(), "Emulator");
  EXPECT_TRUE(Find<QRadioButton>(&w.Form2, "sRadioButton4")->isChecked());
  EXPECT_EQ(w.Form1.Options().Format.load(), RecordFormat::Mp3);
  // The running capture reads the format as soon as it is clicked.
  Find<QRadioButton>(&w.Form2, "sRadioButton3")->click();
  EXPECT_EQ(w.Form1.Options().Format.load(), RecordFormat::Pcm);

  w.Form2.show();
  Find<QLineEdit>(&w.Form2, "sEdit3")->setText("27500");
  Find<QRadioButton>(&w.Form2, "sRadioButton1")->click();
  Find<QComboBox>(&w.Form2, "sComboBox5")->setCurrentIndex(2);
  EXPECT_TRUE(w.Form2.close());
  EXPECT_EQ(text::ReadLineFile((Ini() / "trsp.ini").string()),
            (std::vector<std::string>{"5150", "4084", "27500", "1", "2", "3", Rec().string() + "/", "1"}));
}

TEST_F(WindowsTest, ScanFromTheSettingsWindowFillsTheListAndCloses) {
  WriteSettings();
  WriteList({{"Old", "1"}});
  TProgramWindows& w = Start();
  ASSERT_TRUE(messages_.isEmpty()) << messages_.join("\n").toStdString();
  Find<QToolButton>(&w.Form1, "PngSpeedButton1")->click();
  ASSERT_TRUE(w.Form2.isVisible());
  // While the scan waits, the main window neither starts a run on the old rows nor closes.
  bool fired = false, startedDuringScan = false, closedDuringScan = false;
  QTimer::singleShot(0, &w.Form1, [&] {
    fired = true;
    Find<QToolButton>(&w.Form1, "PngSpeedButton2")->click();
    startedDuringScan = w.Form1.Run().Running();
    closedDuringScan = w.Form1.close();
  });
  Find<QPushButton>(&w.Form2, "sButton1")->click();
  EXPECT_TRUE(fired);
  EXPECT_FALSE(startedDuringScan);
  EXPECT_FALSE(closedDuringScan);
  EXPECT_FALSE(w.Form2.isVisible());
  auto* list = Find<QTreeWidget>(&w.Form1, "ListView1");
  ASSERT_GE(list->topLevelItemCount(), 6);
  EXPECT_EQ(list->topLevelItem(0)->text(0), "1");
  QStringList names;
  for (int r = 0; r < list->topLevelItemCount(); ++r) names << list->topLevelItem(r)->text(1);
  EXPECT_TRUE(names.contains("Europa_Plus__Moscow_")) << names.join(",").toStdString();
  EXPECT_FALSE(names.contains("Old"));
  EXPECT_EQ(w.Form1.List().Count(), static_cast<size_t>(list->topLevelItemCount()));
  // Closing the window saved the settings.
  EXPECT_EQ(text::ReadLineFile((Ini() / "trsp.ini").string()).at(5), "3");
}

TEST_F(WindowsTest, ApplyWithAFieldThatIsNoNumberTellsAndLeavesTheTimerOff) {
  WriteList({});
  TProgramWindows& w = Start();  // no settings file: nothing tuned yet
  messages_.clear();
  ASSERT_EQ(LoadDevicePlugin("Emulator", Dvb), 0);
  Find<QLineEdit>(&w.Form2, "sEdit2")->setText("40x4");
  Find<QPushButton>(&w.Form2, "sButton2")->click();
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains("40x4"));
  EXPECT_FALSE(w.Form1.Timer1->isActive());
  Find<QLineEdit>(&w.Form2, "sEdit2")->setText("4084");
  Find<QPushButton>(&w.Form2, "sButton2")->click();
  EXPECT_TRUE(w.Form1.Timer1->isActive());
}

TEST(NumberKeyFilter, PassesDigitsAndBackspaceAndTurnsPointsIntoOneSeparator) {
  struct Case {
    const char* text;
    char key;
    std::optional<char> result;
  };
  const Case cases[] = {
      {"", '7', '7'},       {"12", '\b', '\b'}, {"12", ',', '.'},  {"12", '.', '.'},
      {"1.2", '.', {}},     {"1.2", ',', {}},   {"12", 'a', {}},   {"12", '-', {}},
      {"12", ' ', {}},
  };
  for (const Case& c : cases) {
    const auto got = FilterNumberKey(QString::fromLatin1(c.text), QChar(c.key), QChar('.'));
    ASSERT_EQ(got.has_value(), c.result.has_value()) << c.text << " + " << c.key;
    if (got) {
      EXPECT_EQ(*got, QChar(*c.result)) << c.text << " + " << c.key;
    }
  }
  // A comma locale turns the point into a comma.
  EXPECT_EQ(FilterNumberKey("5", '.', ','), QChar(','));
  EXPECT_FALSE(FilterNumberKey("5,1", '.', ','));
}

TEST_F(WindowsTest, TypingIntoTheNumberFieldsGoesThroughTheFilter) {
  WriteList({});
  TProgramWindows& w = Start();
  const QString sep = QLocale().decimalPoint();
  for (const char* name : {"sEdit1", "sEdit2", "sEdit3"}) {
    auto* edit = Find<QLineEdit>(&w.Form2, name);
    edit->clear();
    QTest::keyClicks(edit, "1a2,3.x4");
    EXPECT_EQ(edit->text(), "12" + sep + "34") << name;
    QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), "12" + sep + "3") << name;
  }
}
