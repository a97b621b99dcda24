#include "ui/SettingsWindow.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

#include "channels/ChannelList.h"
#include "base/Convert.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"
#include "ui/controls/Fonts.h"
#include "ui/controls/MessageBox.h"
#include "ui/controls/GradientBar.h"

const char* const kNoChannelsFoundMessage = "Каналы не найдены: список каналов не изменён";

namespace {

QString FromCp1251(const std::string& s) { return QString::fromStdString(text::Cp1251ToUtf8(s)); }
std::string ToCp1251(const QString& s) { return text::Utf8ToCp1251(s.toStdString()); }

template <class W>
W* Named(W* w, const char* name) {
  w->setObjectName(QString::fromLatin1(name));
  return w;
}

QGroupBox* Group(QWidget* parent, const QString& title, int x, int y, int w, int h) {
  auto* g = new QGroupBox(title, parent);
  g->setGeometry(x, y, w, h);
  return g;
}

QLabel* Label(QWidget* parent, const QString& text, int x, int y) {
  auto* l = new QLabel(text, parent);
  l->move(x, y);
  l->adjustSize();
  return l;
}

} // namespace

std::optional<QChar> FilterNumberKey(const QString& fieldText, QChar key, QChar decimalSeparator) {
  if (key.isDigit() || key == QChar('\b')) return key;
  if (key == QChar(',') || key == QChar('.')) {
    if (fieldText.contains(decimalSeparator)) return std::nullopt;
    return decimalSeparator;
  }
  return std::nullopt;
}

TForm2::TForm2(const std::string& iniFolder, RecordingOptions& options, TChannelList& list, TDevicePlugin& card,
               QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      iniFolder_(iniFolder), options_(options), list_(list), card_(card) {
  setObjectName("Form2");
  // The first letter is the Latin H, as the window has always been titled.
  setWindowTitle(QStringLiteral("H") + QStringLiteral("астройки"));
  setFont(SansFont(8));
  setFixedSize(536, 395);

  auto* page = Named(new QTabWidget(this), "sPageControl1");
  page->setGeometry(2, 2, 532, 391);
  auto* sheet = Named(new QWidget, "sTabSheet1");
  page->addTab(sheet, QStringLiteral("Транспондер"));

  auto* left = Named(new QWidget(sheet), "sPanel1");
  left->setGeometry(0, 0, 257, 356);

  QGroupBox* lnb = Named(Group(left, "LNB", 8, 6, 241, 160), "sGroupBox1");
  Label(lnb, QStringLiteral("Гетеродин"), 12, 28);
  Label(lnb, QStringLiteral("Частота"), 12, 58);
  Label(lnb, QStringLiteral("Скорость"), 12, 88);
  sEdit1_ = Named(new QLineEdit("5150", lnb), "sEdit1");
  sEdit2_ = Named(new QLineEdit("4084", lnb), "sEdit2");
  sEdit3_ = Named(new QLineEdit("2500", lnb), "sEdit3");
  int y = 24;
  for (QLineEdit* e : {sEdit1_, sEdit2_, sEdit3_}) {
    e->setGeometry(100, y, 128, 22);
    e->installEventFilter(this);
    y += 30;
  }
  sRadioButton1_ = Named(new QRadioButton(QStringLiteral("Вертикальная"), lnb), "sRadioButton1");
  sRadioButton2_ = Named(new QRadioButton(QStringLiteral("Горизонтальная"), lnb), "sRadioButton2");
  sRadioButton1_->setGeometry(12, 114, 220, 20);
  sRadioButton2_->setGeometry(12, 134, 220, 20);
  sRadioButton2_->setChecked(true);

  QGroupBox* diseqc = Named(Group(left, "Diseqc", 8, 172, 241, 56), "sGroupBox2");
  sComboBox5_ = Named(new QComboBox(diseqc), "sComboBox5");
  for (int i = 1; i <= 8; ++i) sComboBox5_->addItem(QString::number(i));
  sComboBox5_->setGeometry(12, 22, 216, 24);

  QGroupBox* props = Named(Group(left, QStringLiteral("Свойства"), 8, 234, 241, 64), "sGroupBox3");
  auto* sButton2 = Named(new QPushButton(QStringLiteral("Применить"), props), "sButton2");
  sButton1_ = Named(new QPushButton(QStringLiteral("Сканирование"), props), "sButton1");
  sButton2->setGeometry(12, 24, 104, 28);
  sButton1_->setGeometry(124, 24, 108, 28);
  connect(sButton2, &QPushButton::clicked, this, &TForm2::sButton2Click);
  connect(sButton1_, &QPushButton::clicked, this, &TForm2::sButton1Click);

  QGroupBox* cardGroup = Named(Group(sheet, QStringLiteral("Выбор карты"), 262, 6, 262, 64), "sGroupBox4");
  sComboBox1_ = Named(new QComboBox(cardGroup), "sComboBox1");
  for (const std::string& name : kCardNames) sComboBox1_->addItem(QString::fromStdString(name));
  sComboBox1_->setCurrentIndex(1);
  sComboBox1_->setGeometry(12, 26, 112, 24);
  auto* sButton3 = Named(new QPushButton(QStringLiteral("Применить карту"), cardGroup), "sButton3");
  sButton3->setGeometry(130, 24, 124, 28);
  // The card is checked once, at start-up; a new choice takes effect at the next start.
  sButton3->setEnabled(false);

  QGroupBox* signal = Named(Group(sheet, QStringLiteral("Уровень сигнала"), 262, 76, 262, 72), "sGroupBox5");
  QLabel* level = Label(signal, QStringLiteral("Уровень:"), 8, 24);
  QLabel* quality = Label(signal, QStringLiteral("Качество:"), 8, 46);
  const int meterX = std::max(level->width(), quality->width()) + 12;
  G1 = Named(new TQProgressBar(signal), "G1");
  G2 = Named(new TQProgressBar(signal), "G2");
  for (TQProgressBar* g : {G1, G2}) ConfigureSignalMeter(*g);
  G1->setGeometry(meterX, 24, 185, 17);
  G2->setGeometry(meterX, 46, 185, 17);

  auto* recording = Named(new QGroupBox(sheet), "sGroupBox6");
  recording->setGeometry(262, 154, 262, 206);
  sEdit4_ = Named(new QLineEdit(recording), "sEdit4");
  sEdit4_->setGeometry(8, 10, 246, 22);
  sEdit4_->setText(QString::fromStdString(EffectiveRecordFolder(TTransponderSettings{})));
  auto* sButton4 = Named(new QPushButton(QStringLiteral("Куда записывать"), recording), "sButton4");
  sButton4->setGeometry(8, 36, 246, 26);
  connect(sButton4, &QPushButton::clicked, this, &TForm2::sButton4Click);
  QGroupBox* format = Named(Group(recording, QStringLiteral("Запись  радио каналов в формат"), 8, 66, 246, 134), "sGroupBox7");
  sRadioButton3_ = Named(new QRadioButton(QStringLiteral(" PCM"), format), "sRadioButton3");
  sRadioButton4_ = Named(new QRadioButton(QStringLiteral(" MP3"), format), "sRadioButton4");
  sRadioButton3_->setGeometry(8, 20, 100, 20);
  sRadioButton4_->setGeometry(120, 20, 100, 20);
  sRadioButton3_->setChecked(true);
  auto* formats = new QButtonGroup(this);
  formats->addButton(sRadioButton3_);
  formats->addButton(sRadioButton4_);
  // The capture reads the format at every chunk: a change applies at once.
  connect(sRadioButton4_, &QRadioButton::toggled, this,
          [this](bool mp3) { options_.Format = mp3 ? RecordFormat::Mp3 : RecordFormat::Pcm; });
  auto* memo = Named(new QPlainTextEdit(format), "sMemo1");
  memo->setGeometry(8, 42, 230, 86);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setReadOnly(true);
  memo->setFont(SansFont(7));
  memo->setPlainText(QStringLiteral("Запись каналов в MP3,загружает \nпроцессор,зависит от количества\n"
                                    "записываемых каналов.\nЗапись каналов в PCM\nне загружает процессор.\n"
                                    "Максим количество каналов 250"));
}

void TForm2::Report(const std::string& message) { ShowMessage(this, message); }

void TForm2::FormCreate() {
  TTransponderSettings s;
  try {
    LoadSettings(SettingsFile(), s);
  } catch (const text::EInOutError& e) {
    // The design defaults stay; no card check, no tuning.
    Report(SettingsFile() + ": " + e.what());
    return;
  } catch (const text::EConvertError& e) {
    ShowSettings(s);  // the lines before the bad one are taken
    Report(SettingsFile() + ": " + e.what());
    return;
  }
  ShowSettings(s);
  CheckCard(card_, SettingsFromControls().CardName(), [this](const std::string& m) { Report(m); });
  sButton2Click();
}

void TForm2::ShowSettings(const TTransponderSettings& s) {
  sEdit1_->setText(FromCp1251(s.LocalOscillator));
  sEdit2_->setText(FromCp1251(s.Frequency));
  sEdit3_->setText(FromCp1251(s.SymbolRate));
  (s.Vertical ? sRadioButton1_ : sRadioButton2_)->setChecked(true);
  sComboBox5_->setCurrentIndex(s.DiseqcIndex);
  sComboBox1_->setCurrentIndex(s.CardIndex);
  // An index the lists do not hold leaves them without a choice; until the
  // user picks one, the file's own value is what a save writes back.
  storedDiseqc_ = s.DiseqcIndex;
  storedCard_ = s.CardIndex;
  sEdit4_->setText(QString::fromStdString(EffectiveRecordFolder(s)));
  (s.Pcm ? sRadioButton3_ : sRadioButton4_)->setChecked(true);
  options_.Format = s.Pcm ? RecordFormat::Pcm : RecordFormat::Mp3;
}

TTransponderSettings TForm2::SettingsFromControls() const {
  TTransponderSettings s;
  s.LocalOscillator = ToCp1251(sEdit1_->text());
  s.Frequency = ToCp1251(sEdit2_->text());
  s.SymbolRate = ToCp1251(sEdit3_->text());
  s.Vertical = sRadioButton1_->isChecked();
  s.DiseqcIndex = sComboBox5_->currentIndex() >= 0 ? sComboBox5_->currentIndex() : storedDiseqc_;
  s.CardIndex = sComboBox1_->currentIndex() >= 0 ? sComboBox1_->currentIndex() : storedCard_;
  s.RecordFolder = RecordFolder();
  s.Pcm = sRadioButton3_->isChecked();
  return s;
}

// The folder is the system's path, not CP1251 text: only trsp.ini converts it.
std::string TForm2::RecordFolder() const { return sEdit4_->text().toStdString(); }

void TForm2::SetRecording(bool recording) { sButton1_->setEnabled(!recording); }

void TForm2::sButton2Click() {
  if (Tune(SettingsFromControls(), card_, [this](const std::string& m) { Report(m); }) && SignalTimer)
    SignalTimer->start();
}

void TForm2::sButton1Click() {
  ScanHooks hooks;
  hooks.ProcessEvents = [] { QCoreApplication::processEvents(); };
  hooks.BeginWait = [] { QApplication::setOverrideCursor(Qt::WaitCursor); };
  hooks.EndWait = [] { QApplication::restoreOverrideCursor(); };
  hooks.Cancelled = [this] { return scanCancelled_; };
  hooks.Timings = ScanTimings;
  // Nothing else may start a run or a second scan while this one waits.
  setEnabled(false);
  scanning_ = true;
  scanCancelled_ = false;
  // The found rows replace the user's only when there are some: a scan
  // without signal must not cost the list.
  TChannelList found;
  ScanAndFill(card_, found, hooks);
  scanning_ = false;
  setEnabled(true);
  if (scanCancelled_) {
    close();
    return;
  }
  if (found.Count() == 0) {
    // The window stays open for another transponder.
    Report(kNoChannelsFoundMessage);
    return;
  }
  list_ = std::move(found);
  if (ListChanged) ListChanged();
  close();
}

void TForm2::sButton4Click() {
  const QString typed = sEdit4_->text();
  const QString start = QDir(typed).exists() ? typed : QString();
  const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Выберете директорию"), start);
  if (chosen.isEmpty()) return;
  // Channel names are glued to the folder text: a picked folder ends in "/".
  sEdit4_->setText(chosen.endsWith('/') ? chosen : chosen + '/');
}

void TForm2::closeEvent(QCloseEvent* event) {
  if (scanning_) {
    // The scan ends at its next step and closes the window then.
    scanCancelled_ = true;
    event->ignore();
    return;
  }
  try {
    SaveSettings(SettingsFile(), SettingsFromControls());
    event->accept();
  } catch (const text::EInOutError& e) {
    Report(SettingsFile() + ": " + e.what());
    event->ignore();
  } catch (const EFolderNotStorable& e) {
    Report(e.what());
    event->ignore();
  }
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  auto* edit = qobject_cast<QLineEdit*>(watched);
  auto* key = static_cast<QKeyEvent*>(event);
  // Only typed characters are filtered; arrows, Delete and shortcuts are not.
  if (!edit || key->text().isEmpty() || key->key() == Qt::Key_Backspace || !key->text().at(0).isPrint() ||
      (key->modifiers() & Qt::ControlModifier))
    return false;
  const auto c = FilterNumberKey(edit->text(), key->text().at(0), QLocale().decimalPoint().at(0));
  if (c && *c != key->text().at(0)) {
    edit->insert(QString(*c));
    return true;
  }
  return !c;
}
