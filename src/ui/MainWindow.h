#pragma once
// TForm1, the main window: tool bar, signal meters and the channel list, and
// the start and stop of a recording run (TRecordingRun does the work).
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/NowPlaying.h"
#include "base/AppPaths.h"
#include "capture/RecordingOptions.h"
#include "capture/RecordingRun.h"
#include "capture/SizeTextQueue.h"
#include "channels/ChannelList.h"

class QAction;
class QMenu;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TForm2;
class TForm3;
class TQProgressBar;
class TThreadHop;

// Told when the main window is closed while a scan runs.
extern const char* const kCloseWhileScanningMessage;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // iniFolder holds kanal.ini; the window shows and edits `list`, records
  // with `options` on `card`; port is the run's stream server port.
  TForm1(const std::string& iniFolder, TChannelList& list, RecordingOptions& options, TDevicePlugin& card,
         uint16_t port = kStreamPort, QWidget* parent = nullptr);
  ~TForm1() override;

  // The other two windows, created after this one.
  void SetForms(TForm2* settings, TForm3* player);

  // Disables "Прослушать канал" and "Прослушать Фаил", then loads the list.
  void FormCreate();
  void PngSpeedButton1Click();  // settings window
  void PngSpeedButton2Click();  // "Старт"
  void PngSpeedButton3Click();  // "Стоп "
  void PngSpeedButton4Click();  // player window
  void PngSpeedButton5Click();  // help
  void N1Click();               // "Удалить канал"
  void N2Click();               // "Прослушать канал"
  void N3Click();               // "Прослушать Фаил"
  void Timer1Timer();

  // Rebuilds ListView1 from the list (after a load or a scan).
  void ShowRows();

  TChannelList& List() { return list_; }
  RecordingOptions& Options() { return options_; }
  TRecordingRun& Run() { return *run_; }
  // The size text of a row, from the delivery thread: keeps the newest text
  // per row and posts one update at a time; never waits for the window.
  void QueueSizeText(size_t row, const std::string& text);
  // A row's station name and title (UTF-8), from the delivery thread in the
  // same way: the newest texts per row, one update posted at a time.
  void QueueTitle(size_t row, const std::string& stationName, const std::string& title);

  QTimer* Timer1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  std::string ChannelListFile() const { return text::TIniFiles{iniFolder_}.ChannelList(); }

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormCloseQuery

 private:
  void SetToolbar(bool running);
  void SetListMenu(bool running);
  void SetTickBoxes(bool shown);
  void PaintRow(QTreeWidgetItem* item, bool ticked);
  void ApplySizeTexts();
  void ApplyTitles();
  void ShowTitle(size_t row);
  // After a run: no row plays anything any more.
  void ClearTitles();
  // True while the run's own stream server listens.
  bool Streaming() const;
  void Tell(const std::string& message);

  std::string iniFolder_;
  TChannelList& list_;
  RecordingOptions& options_;
  TDevicePlugin& card_;
  uint16_t port_;
  std::unique_ptr<TRecordingRun> run_;
  TForm2* form2_ = nullptr;
  TForm3* form3_ = nullptr;
  QTreeWidget* listView_ = nullptr;
  QToolButton* buttons_[6] = {};
  QAction* n1_ = nullptr;
  QAction* n2_ = nullptr;
  QAction* n3_ = nullptr;
  TQProgressBar* g1_ = nullptr;
  TQProgressBar* g2_ = nullptr;
  bool tickBoxesShown_ = true;

  std::unique_ptr<TThreadHop> hop_;
  TSizeTextQueue sizeTexts_;
  TNowPlaying titles_;
  std::vector<TStationText> shownTitles_;  // what the rows show, the window thread's
};
