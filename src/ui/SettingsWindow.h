#pragma once
// TForm2, the settings window "Hастройки": transponder, card, record folder
// and format, the signal meters and the scan. The settings themselves, the
// card check and the tuning are the Qt-free ones of TransponderSettings.h.
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "base/AppPaths.h"
#include "capture/RecordingOptions.h"
#include "device/TransponderSettings.h"
#include "scan/TransponderScan.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class TChannelList;
class TQProgressBar;

// What a key typed into a number field becomes: the character to insert, or
// nothing when the key is dropped. Digits and backspace pass; "," and "."
// become the decimal separator unless the text already holds one.
std::optional<QChar> FilterNumberKey(const QString& fieldText, QChar key, QChar decimalSeparator);

// Told when a scan found no radio channel; the list stays as it was.
extern const char* const kNoChannelsFoundMessage;

class TForm2 : public QWidget {
  Q_OBJECT

 public:
  // iniFolder holds trsp.ini. The window edits `options` (the format the
  // running capture reads) and scans into `list`.
  // The card check loads the plug-in into `card`; tuning and the scan use it.
  TForm2(const std::string& iniFolder, RecordingOptions& options, TChannelList& list, TDevicePlugin& card,
         QWidget* parent = nullptr);

  // Started by a successful tuning: the main window's signal timer.
  QTimer* SignalTimer = nullptr;
  // The scan's time limits; tests shorten them.
  TScanTimings ScanTimings;
  // Told after a scan has replaced the list's rows.
  std::function<void()> ListChanged;

  // Loads the settings, checks the card and tunes.
  void FormCreate();
  // "Сканирование": the rows found replace the list; none found keeps it.
  // Closing the window meanwhile calls the scan off.
  void sButton1Click();
  void sButton2Click();  // "Применить"
  void sButton4Click();  // "Куда записывать"

  // The record folder as typed (CP1251).
  std::string RecordFolder() const;
  TTransponderSettings SettingsFromControls() const;
  void ShowSettings(const TTransponderSettings& s);
  // A scan during a run would replace the rows the capture addresses by index.
  void SetRecording(bool recording);
  // True while "Сканирование" replaces the list's rows.
  bool Scanning() const { return scanning_; }
  std::string SettingsFile() const { return text::TIniFiles{iniFolder_}.Settings(); }

  TQProgressBar* G1 = nullptr;
  TQProgressBar* G2 = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose: saves
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Report(const std::string& message);

  std::string iniFolder_;
  RecordingOptions& options_;
  TChannelList& list_;
  TDevicePlugin& card_;
  QLineEdit* sEdit1_;
  QLineEdit* sEdit2_;
  QLineEdit* sEdit3_;
  QLineEdit* sEdit4_;
  QRadioButton* sRadioButton1_;
  QRadioButton* sRadioButton2_;
  QRadioButton* sRadioButton3_;
  QRadioButton* sRadioButton4_;
  QComboBox* sComboBox5_;
  QComboBox* sComboBox1_;
  QPushButton* sButton1_;
  bool scanning_ = false;
  bool scanCancelled_ = false;
  // The indexes as last loaded, kept while the lists show no choice.
  int storedDiseqc_ = TTransponderSettings{}.DiseqcIndex;
  int storedCard_ = TTransponderSettings{}.CardIndex;
};
