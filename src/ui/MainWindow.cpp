#include "ui/MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

#include "ui/SettingsWindow.h"
#include "device/TunerSignal.h"
#include "ui/PlayerWindow.h"
#include "base/AppPaths.h"
#include "base/ProgramLayout.h"
#include "base/Cp1251.h"
#include "ui/controls/Fonts.h"
#include "ui/controls/MessageBox.h"
#include "ui/controls/ThreadHop.h"
#include "ui/controls/GradientBar.h"
#include "ui/controls/ListRowDelegate.h"
#include "ui/controls/PaintedIcon.h"
#include "capture/RecordFolder.h"
#include "server/AudioServer.h"
#include "device/TransponderSettings.h"

const char* const kCloseWhileScanningMessage =
    "Идёт сканирование каналов: дождитесь его окончания или закройте окно настроек, чтобы прервать его";

namespace {

QString FromCp1251(const std::string& s) { return QString::fromStdString(text::Cp1251ToUtf8(s)); }

// The row's tooltip for what the station says it plays; empty when it says
// nothing. Rich text with the broadcast escaped, so a "<" in a title is shown
// as sent and never read as markup.
QString NowPlayingTip(const TStationText& text) {
  const QString title = QString::fromStdString(PrintableText(text.Title)).toHtmlEscaped();
  const QString station = QString::fromStdString(PrintableText(text.StationName)).toHtmlEscaped();
  QStringList lines;
  if (!title.isEmpty()) lines << QStringLiteral("Сейчас: ") + title;
  if (!station.isEmpty()) lines << QStringLiteral("Станция: ") + station;
  if (lines.isEmpty()) return {};
  return QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</qt>");
}

const QColor kNavy(0, 0, 128);
const QColor kTickedRed(255, 0, 0);

// The tool bar's artwork, drawn here so the program carries no image files.
void PaintToolIcon(QPainter& g, int kind) {
  const QPen outline(QColor(20, 40, 90), 1.5);
  g.setPen(outline);
  switch (kind) {
    case 1: {  // settings: a dish on its arm
      g.setBrush(QColor(190, 200, 215));
      g.drawChord(QRectF(2, 3, 18, 18), 45 * 16, 180 * 16);
      g.drawLine(QPointF(11, 12), QPointF(18, 5));
      g.drawLine(QPointF(8, 17), QPointF(8, 22));
      g.drawLine(QPointF(4, 22), QPointF(14, 22));
      break;
    }
    case 4: {  // equaliser: bars of different height
      const int heights[] = {10, 16, 7, 13};
      for (int i = 0; i < 4; ++i) {
        g.setBrush(QColor(40 + 50 * i, 170, 90));
        g.drawRect(QRectF(3 + 5 * i, 21 - heights[i], 3.5, heights[i]));
      }
      break;
    }
    case 2: {  // start: a red recording dot
      g.setBrush(QColor(220, 30, 30));
      g.drawEllipse(QRectF(4, 4, 16, 16));
      break;
    }
    case 3: {  // stop: a square
      g.setBrush(QColor(60, 60, 70));
      g.drawRoundedRect(QRectF(5, 5, 14, 14), 2, 2);
      break;
    }
    case 5: {  // help: a question mark in a disc
      g.setBrush(QColor(40, 110, 200));
      g.drawEllipse(QRectF(2, 2, 20, 20));
      g.setPen(Qt::white);
      QFont f = SansFont(11, true);
      g.setFont(f);
      g.drawText(QRectF(2, 2, 20, 20), Qt::AlignCenter, "?");
      break;
    }
  }
}

QIcon ToolIcon(int kind) {
  return PaintedIcon(24, [kind](QPainter& g) { PaintToolIcon(g, kind); });
}

void PaintLoudspeaker(QPainter& g) {
  g.setPen(QPen(kNavy, 1));
  g.setBrush(QColor(90, 110, 160));
  QPainterPath body;
  body.moveTo(2, 6);
  body.lineTo(5, 6);
  body.lineTo(9, 2);
  body.lineTo(9, 14);
  body.lineTo(5, 10);
  body.lineTo(2, 10);
  body.closeSubpath();
  g.drawPath(body);
  g.setBrush(Qt::NoBrush);
  g.drawArc(QRectF(8, 5, 5, 6), -60 * 16, 120 * 16);
  g.drawArc(QRectF(8, 3, 8, 10), -60 * 16, 120 * 16);
}

} // namespace

TForm1::TForm1(const std::string& iniFolder, TChannelList& list, RecordingOptions& options, TDevicePlugin& card,
               uint16_t port, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      iniFolder_(iniFolder), list_(list), options_(options), card_(card), port_(port), hop_(std::make_unique<TThreadHop>()) {
  // The window hints are customised (CustomizeWindowHint): only the buttons
  // named are shown, so the fixed-size window offers no maximise.
  setObjectName("Form1");
  setWindowTitle(QStringLiteral("MELLOWCASTER-1.0 (mellowcaster@example.org)-(www.example.org/mellowcaster)"));
  setFont(SansFont(8));
  setFixedSize(421, 297);

  auto* toolBar = new QWidget(this);
  toolBar->setObjectName("sToolBar1");
  toolBar->setGeometry(0, 0, 421, 41);
  struct Button {
    int number, left;
    const char* hint;
  };
  const Button kButtons[] = {{1, 2, "Настройки транспондера"}, {4, 48, "Эквалайзер"}, {2, 112, "Старт"},
                             {3, 152, "Стоп "}, {5, 200, "Помощь"}};
  for (const Button& b : kButtons) {
    auto* button = new QToolButton(toolBar);
    button->setObjectName(QStringLiteral("PngSpeedButton%1").arg(b.number));
    button->setGeometry(b.left, 4, 41, 33);
    button->setAutoRaise(true);
    button->setToolTip(QString::fromUtf8(b.hint));
    button->setIcon(ToolIcon(b.number));
    button->setIconSize(QSize(24, 24));
    buttons_[b.number] = button;
  }
  connect(buttons_[1], &QToolButton::clicked, this, &TForm1::PngSpeedButton1Click);
  connect(buttons_[2], &QToolButton::clicked, this, &TForm1::PngSpeedButton2Click);
  connect(buttons_[3], &QToolButton::clicked, this, &TForm1::PngSpeedButton3Click);
  connect(buttons_[4], &QToolButton::clicked, this, &TForm1::PngSpeedButton4Click);
  connect(buttons_[5], &QToolButton::clicked, this, &TForm1::PngSpeedButton5Click);
  buttons_[3]->setEnabled(false);

  // The labels end where the meters begin, whatever the font's width.
  const QFont bold = SansFont(8, true);
  auto label = [&](const char* name, const QString& text, int top) {
    auto* l = new QLabel(text, toolBar);
    l->setObjectName(name);
    l->setFont(bold);
    l->adjustSize();
    l->move(306 - l->width(), top);
  };
  label("Label1", QStringLiteral("Уровень:"), 6);
  label("Label2", QStringLiteral("Качество:"), 22);
  g1_ = new TQProgressBar(toolBar);
  g2_ = new TQProgressBar(toolBar);
  g1_->setObjectName("G1");
  g2_->setObjectName("G2");
  for (TQProgressBar* g : {g1_, g2_}) ConfigureSignalMeter(*g);
  g1_->setGeometry(308, 4, 109, 17);
  g2_->setGeometry(308, 20, 109, 17);

  auto* panel = new QWidget(this);
  panel->setObjectName("sPanel1");
  panel->setGeometry(0, 41, 421, 256);
  listView_ = new QTreeWidget(panel);
  listView_->setObjectName("ListView1");
  listView_->setGeometry(0, 0, 421, 256);
  listView_->setColumnCount(4);
  listView_->setHeaderLabels({"N", QStringLiteral("Канал"), QStringLiteral("PID звука"), QStringLiteral("записано/Мб")});
  const int widths[] = {70, 150, 75, 100};
  for (int c = 0; c < 4; ++c) listView_->setColumnWidth(c, widths[c]);
  listView_->setRootIsDecorated(false);
  listView_->setSelectionMode(QAbstractItemView::SingleSelection);
  listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  listView_->setIconSize(QSize(16, 16));
  QFont listFont = SansFont(8, true);
  listView_->setFont(listFont);
  listView_->header()->setFont(SansFont(8));
  // Navy on white; the delegate draws the grid lines and a selection that
  // keeps each row's own colour.
  QPalette colours = listView_->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    colours.setColor(group, QPalette::Base, Qt::white);
    colours.setColor(group, QPalette::Text, kNavy);
  }
  listView_->setPalette(colours);
  listView_->setItemDelegate(new TListRowDelegate(listView_));
  listView_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(listView_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (column != 0 || !tickBoxesShown_) return;
    const int row = listView_->indexOfTopLevelItem(item);
    if (row < 0 || static_cast<size_t>(row) >= list_.Count()) return;
    const bool ticked = item->checkState(0) == Qt::Checked;
    if (list_.Row(static_cast<size_t>(row)).Ticked == ticked) return;
    list_.Row(static_cast<size_t>(row)).Ticked = ticked;
    PaintRow(item, ticked);
  });

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  n1_ = PopupMenu1->addAction(QStringLiteral("Удалить канал"), this, &TForm1::N1Click);
  n2_ = PopupMenu1->addAction(QStringLiteral("Прослушать канал"), this, &TForm1::N2Click);
  n3_ = PopupMenu1->addAction(QStringLiteral("Прослушать Фаил"), this, &TForm1::N3Click);
  n1_->setObjectName("N1");
  n2_->setObjectName("N2");
  n3_->setObjectName("N3");
  connect(listView_, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(listView_->viewport()->mapToGlobal(at)); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

  RecordingHooks hooks;
  hooks.ToolbarChanged = [this](bool running) { SetToolbar(running); };
  hooks.ListMenuChanged = [this](bool running) { SetListMenu(running); };
  hooks.TickBoxesShown = [this](bool shown) { SetTickBoxes(shown); };
  hooks.SizeText = [this](size_t row, const std::string& text) { QueueSizeText(row, text); };
  hooks.TitleChanged = [this](size_t row, const std::string& stationName, const std::string& title) {
    QueueTitle(row, stationName, title);
  };
  hooks.Message = [this](const std::string& message) { Tell(message); };
  hooks.StopPlayback = [this] {
    if (form3_) form3_->StopPlayback();
  };
  run_ = std::make_unique<TRecordingRun>(list_, options_, card_, std::move(hooks), port);
}

TForm1::~TForm1() {
  // The run's threads post to this window: they end before it does.
  run_.reset();
}

void TForm1::SetForms(TForm2* settings, TForm3* player) {
  form2_ = settings;
  form3_ = player;
}

void TForm1::FormCreate() {
  n2_->setEnabled(false);
  n3_->setEnabled(false);
  try {
    list_.LoadChannelList(ChannelListFile());
  } catch (const std::exception& e) {
    // The rows read so far stay; the window works on.
    Tell(ChannelListFile() + ": " + e.what());
  }
  ShowRows();
}

void TForm1::ShowRows() {
  const QSignalBlocker quiet(listView_);
  listView_->clear();
  const QIcon speaker = PaintedIcon(16, PaintLoudspeaker);
  for (const ChannelRow& row : list_.Rows()) {
    auto* item = new QTreeWidgetItem(listView_);
    item->setText(0, FromCp1251(row.Number));
    item->setText(1, FromCp1251(row.Name));
    item->setText(2, FromCp1251(row.Pid));
    item->setText(3, FromCp1251(row.Recorded));
    item->setIcon(0, speaker);
    if (tickBoxesShown_) item->setCheckState(0, row.Ticked ? Qt::Checked : Qt::Unchecked);
    PaintRow(item, row.Ticked);
  }
  for (size_t r = 0; r < shownTitles_.size(); ++r) ShowTitle(r);
}

void TForm1::PaintRow(QTreeWidgetItem* item, bool ticked) {
  for (int c = 0; c < 4; ++c) item->setForeground(c, ticked ? kTickedRed : kNavy);
}

void TForm1::SetToolbar(bool running) {
  buttons_[2]->setEnabled(!running);
  buttons_[1]->setEnabled(!running);
  buttons_[3]->setEnabled(running);
  if (form2_) form2_->SetRecording(running);
}

void TForm1::SetListMenu(bool running) {
  // Off after the sessions are gone: no title comes any more.
  if (!running) ClearTitles();
  n1_->setEnabled(!running);
  // Without our server the port may be another program's: nothing to listen to.
  n2_->setEnabled(running && Streaming());
  n3_->setEnabled(running);
}

bool TForm1::Streaming() const { return run_ && run_->Server() && run_->Server()->IsActive(); }

void TForm1::SetTickBoxes(bool shown) {
  tickBoxesShown_ = shown;
  const QSignalBlocker quiet(listView_);
  for (int r = 0; r < listView_->topLevelItemCount() && static_cast<size_t>(r) < list_.Count(); ++r) {
    QTreeWidgetItem* item = listView_->topLevelItem(r);
    const bool ticked = list_.Row(static_cast<size_t>(r)).Ticked;
    if (shown) {
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
    } else {
      // No check state, no box: the ticks stay in the list, fixed for the run.
      item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
      item->setData(0, Qt::CheckStateRole, QVariant());
    }
  }
}

void TForm1::QueueSizeText(size_t row, const std::string& text) {
  if (sizeTexts_.Post(row, text)) hop_->Post([this] { ApplySizeTexts(); });
}

void TForm1::ApplySizeTexts() {
  for (const auto& [row, text] : sizeTexts_.Take()) {
    if (row >= list_.Count()) continue;
    list_.Row(row).Recorded = text;
    if (QTreeWidgetItem* item = listView_->topLevelItem(static_cast<int>(row))) item->setText(3, FromCp1251(text));
  }
}

void TForm1::QueueTitle(size_t row, const std::string& stationName, const std::string& title) {
  if (titles_.Set(row, stationName, title).DrainDue) hop_->Post([this] { ApplyTitles(); });
}

void TForm1::ApplyTitles() {
  for (auto& [row, text] : titles_.TakeChanged()) {
    if (row >= shownTitles_.size() || row >= list_.Count()) continue;
    shownTitles_[row] = std::move(text);
    ShowTitle(row);
    if (form3_) form3_->ShowStreamTitle(list_.Row(row).Name, shownTitles_[row].Title);
  }
}

void TForm1::ShowTitle(size_t row) {
  QTreeWidgetItem* item = listView_->topLevelItem(static_cast<int>(row));
  if (!item || row >= shownTitles_.size()) return;
  const QString tip = NowPlayingTip(shownTitles_[row]);
  for (int c = 0; c < 4; ++c) item->setToolTip(c, tip);
}

void TForm1::ClearTitles() {
  // Texts still on their way are dropped with the rest.
  titles_.Reset(0);
  std::vector<TStationText> shown;
  shown.swap(shownTitles_);
  for (size_t r = 0; r < shown.size(); ++r) {
    if (shown[r] == TStationText{}) continue;
    if (QTreeWidgetItem* item = listView_->topLevelItem(static_cast<int>(r)))
      for (int c = 0; c < 4; ++c) item->setToolTip(c, QString());
    if (form3_ && r < list_.Count()) form3_->ShowStreamTitle(list_.Row(r).Name, {});
  }
}

void TForm1::Tell(const std::string& message) {
  if (QThread::currentThread() == thread()) {
    ShowMessage(this, message);
    return;
  }
  // A channel that failed on the delivery thread: that thread never waits for a box.
  hop_->Post([this, message] { ShowMessage(this, message); });
}

void TForm1::PngSpeedButton1Click() {
  if (form2_) form2_->show();
}

void TForm1::PngSpeedButton2Click() {
  // A scan under way is about to replace the rows a run would address by index.
  if (run_->Running() || (form2_ && form2_->Scanning())) return;
  if (form2_) options_.Folder = form2_->RecordFolder();
  const std::string folderProblem =
      PrepareRecordFolder(options_.Folder, EffectiveRecordFolder(TTransponderSettings{}));
  if (!folderProblem.empty()) {
    Tell(folderProblem);
    return;
  }
  // The run's rows, before its delivery can report a title.
  titles_.Reset(list_.Count());
  shownTitles_.assign(list_.Count(), TStationText{});
  if (!run_->Start()) {
    ClearTitles();
    return;
  }
  if (!Streaming())
    Tell("Сервер потоков не запущен: порт " + std::to_string(port_) +
         " занят? Запись идёт без вещания, прослушать канал нельзя.");
}

void TForm1::PngSpeedButton3Click() {
  if (run_->Running()) run_->Stop();
}

void TForm1::PngSpeedButton4Click() {
  if (form3_) form3_->show();
}

void TForm1::PngSpeedButton5Click() {
  const std::string help = text::ProgramLayout().DataFolder + "/HELP/help.html";
  if (!QFileInfo::exists(QString::fromStdString(help))) {
    Tell("Файл справки не найден: " + help);
    return;
  }
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(help))))
    Tell("Не удалось открыть справку в браузере. Откройте файл " + help);
}

void TForm1::N1Click() {
  QTreeWidgetItem* item = listView_->currentItem();
  if (!item || !item->isSelected() || run_->Running() || (form2_ && form2_->Scanning())) return;
  const int row = listView_->indexOfTopLevelItem(item);
  list_.DeleteRow(row);
  delete item;
}

void TForm1::N2Click() {
  QTreeWidgetItem* item = listView_->currentItem();
  if (!item || !item->isSelected() || !form3_) return;
  if (!Streaming()) return;
  const ChannelRow& row = list_.Row(static_cast<size_t>(listView_->indexOfTopLevelItem(item)));
  form3_->show();
  form3_->setWindowTitle(FromCp1251(row.Name));
  form3_->PlayStream(row.Name);
  const size_t r = static_cast<size_t>(listView_->indexOfTopLevelItem(item));
  if (r < shownTitles_.size()) form3_->ShowStreamTitle(row.Name, shownTitles_[r].Title);
}

void TForm1::N3Click() {
  QTreeWidgetItem* item = listView_->currentItem();
  if (!item || !item->isSelected() || !form3_) return;
  const ChannelRow& row = list_.Row(static_cast<size_t>(listView_->indexOfTopLevelItem(item)));
  if (!row.Ticked) return;
  // The folder of the run under way, which a later edit of the field does not move.
  const std::string path = OutputFileName(options_.Folder, row.Name);
  form3_->show();
  form3_->setWindowTitle(QString::fromStdString(path));
  form3_->PlayFile(path);
}

void TForm1::Timer1Timer() {
  const auto signal = ReadTunerSignal(card_);
  if (!signal) return;
  for (TQProgressBar* g : {g1_, form2_ ? form2_->G1 : nullptr}) if (g) g->setPosition(signal->Level);
  for (TQProgressBar* g : {g2_, form2_ ? form2_->G2 : nullptr}) if (g) g->setPosition(signal->Quality);
}

void TForm1::closeEvent(QCloseEvent* event) {
  // The scan still works on the card and the list: closing waits for its end.
  if (form2_ && form2_->Scanning()) {
    Tell(kCloseWhileScanningMessage);
    event->ignore();
    return;
  }
  if (!run_->CloseQuery(ChannelListFile())) {
    event->ignore();
    return;
  }
  event->accept();
}
