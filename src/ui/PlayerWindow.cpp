#include "ui/PlayerWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include "ui/controls/SeekSlider.h"
#include "app/NowPlaying.h"
#include "server/HttpRequest.h"
#include "base/Cp1251.h"
#include "base/InOutError.h"
#include "ui/controls/Fonts.h"
#include "ui/controls/MessageBox.h"
#include "ui/controls/PaintedIcon.h"
#include "ui/controls/ThreadHop.h"

namespace {

QIcon StopIcon() {
  return PaintedIcon(24, [](QPainter& g) {
    g.setBrush(QColor(200, 30, 30));
    g.setPen(QPen(QColor(90, 0, 0), 1.5));
    g.drawRoundedRect(QRectF(4, 4, 16, 16), 3, 3);
  });
}

} // namespace

QString StreamParametersOf(uint32_t frequency, int bitrate, int channels) {
  return QString::number(frequency) + QStringLiteral(" Hz,  ") +
         (channels == 1 ? QStringLiteral("Моно") : QStringLiteral("Стерео")) + QStringLiteral("  ") +
         QString::number(bitrate) + QStringLiteral(" kbps");
}

TForm3::TForm3(const std::string& iniFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      hop_(std::make_unique<TThreadHop>()), iniFolder_(iniFolder) {
  setObjectName("Form3");
  setFont(SansFont(8));
  setFixedSize(326, 261);

  auto* panel3 = new QWidget(this);
  panel3->setObjectName("sPanel3");
  panel3->setGeometry(0, 261 - 116, 326, 116);
  auto* panel2 = new QWidget(this);
  panel2->setObjectName("sPanel2");
  panel2->setGeometry(326 - 65, 0, 65, 261 - 116);
  auto* panel1 = new QWidget(this);
  panel1->setObjectName("sPanel1");
  panel1->setGeometry(0, 0, 326 - 65, 261 - 116);

  static const char* const kLabels[] = {"60", "120", "300", "600", "1К", "3К", "6К", "10К", "14К", "16К"};
  for (int i = 0; i < kEqualizerBands; ++i) {
    auto* bar = new QSlider(Qt::Vertical, panel1);
    bar->setObjectName(QStringLiteral("sTrackBar%1").arg(i + 1));
    bar->setGeometry(16 + 24 * i, 8, 17, 105);
    bar->setRange(-100, 100);
    // The top of a bar is -100 (the loudest boost); Up, Page Up and the
    // wheel turned up move towards it.
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(true);
    bar->setValue(kEqualizerBandDefault);
    bar->setPageStep(2);
    bands_[static_cast<size_t>(i)] = bar;
    connect(bar, &QSlider::valueChanged, this, [this] { ApplyEqualizer(); });
    auto* label = new QLabel(QString::fromUtf8(kLabels[i]), panel1);
    label->setAlignment(Qt::AlignHCenter);
    label->setGeometry(16 + 24 * i - 4, 112, 26, 16);
  }
  volume_ = new QSlider(Qt::Vertical, panel2);
  volume_->setObjectName("sTrackBar11");
  volume_->setGeometry(24, 8, 17, 105);
  volume_->setRange(0, 100);
  volume_->setInvertedAppearance(true);  // position 0 at the top: full level
  volume_->setInvertedControls(true);
  volume_->setValue(kVolumeDefault);
  connect(volume_, &QSlider::valueChanged, this, &TForm3::SendVolume);
  auto* volumeLabel = new QLabel(QStringLiteral("Громкость"), panel2);
  volumeLabel->setAlignment(Qt::AlignHCenter);
  volumeLabel->setGeometry(0, 116, 65, 16);

  timecode_ = new QLabel(QStringLiteral("00:00:00"), panel3);
  timecode_->setObjectName("TimecodeText");
  timecode_->setGeometry(8, 7, 92, 26);
  timecode_->setAlignment(Qt::AlignCenter);
  timecode_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  QFont mono = MonoFont(8, true);
  mono.setPixelSize(19);
  // Courier New is a little narrower than the mono faces here: eight digits fit the field.
  mono.setLetterSpacing(QFont::AbsoluteSpacing, -0.6);
  timecode_->setFont(mono);
  timecode_->setAutoFillBackground(true);
  timecode_->setStyleSheet("background-color: silver;");

  auto* stop = new QToolButton(panel3);
  stop->setObjectName("PngSpeedButton1");
  stop->setGeometry(280, 4, 41, 33);
  stop->setAutoRaise(true);
  stop->setToolTip(QStringLiteral("Стоп воспроизведения"));
  stop->setIcon(StopIcon());
  stop->setIconSize(QSize(24, 24));
  connect(stop, &QToolButton::clicked, this, &TForm3::PngSpeedButton1Click);

  parameters_ = new QLabel(panel3);
  parameters_->setObjectName("StreamParametersText");
  parameters_->setGeometry(16, 83, 297, 22);
  parameters_->setAlignment(Qt::AlignCenter);
  parameters_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  parameters_->setStyleSheet("background-color: silver;");

  // Notifications come from the engine's thread: run them on this one.
  XaudioPlayer1.SetDispatcher([hop = hop_.get()](std::function<void()> f) { hop->Post(std::move(f)); });
  WireEngineEvents();
}

TForm3::~TForm3() = default;

void TForm3::WireEngineEvents() {
  XaudioPlayer1.OnNotifyInputTimecode = [this](TXaudioPlayer*, uint8_t h, uint8_t m, uint8_t s, uint8_t) {
    timecode_->setText(QString::asprintf("%.2d:%.2d:%.2d", h, m, s));
  };
  XaudioPlayer1.OnNotifyInputPosition = [this](TXaudioPlayer*, uint32_t offset, uint32_t range) {
    // A drag in progress is not overridden; a zero range carries no position.
    if (sliderHeld_ || !SeekSlider || range == 0) return;
    const int64_t span = SeekSlider->maximum() - SeekSlider->minimum();
    SeekSlider->setPosition(static_cast<int>(static_cast<int64_t>(offset) * span / range));
  };
  XaudioPlayer1.OnNotifyStreamParameters = [this](TXaudioPlayer*, uint32_t frequency, int16_t bitrate, uint8_t ch) {
    parameters_->setText(StreamParametersOf(frequency, bitrate, ch));
  };
  XaudioPlayer1.OnNotifyStreamDuration = [](TXaudioPlayer*, uint32_t) {};
  // What went wrong (no sound device, a refused or unknown channel, a file
  // that is no audio) is told where the parameters stand, until the next
  // start that plays.
  XaudioPlayer1.OnNotifyError = [this](TXaudioPlayer*, uint8_t, int16_t, const std::string& message) {
    parameters_->setText(QString::fromUtf8(message.c_str()));
  };
  XaudioPlayer1.OnNotifyPlayerState = [this](TXaudioPlayer*, int32_t state) {
    if (state == XA_PLAYER_STATE_PLAYING) parameters_->clear();
  };
}

void TForm3::FormCreate() {
  try {
    XaudioPlayer1.Init();
  } catch (const EXaudioException& e) {
    engineFailed_ = true;
    engineError_ = e.what();
    ShowMessage(this, engineError_);
    return;
  }
  SeekSlider = new TSlider(findChild<QWidget*>("sPanel3"));
  SeekSlider->setObjectName("SeekSlider");
  LoadPlayerSliderBitmaps(*SeekSlider);
  SeekSlider->setMinimum(0);
  SeekSlider->setMaximum(400);
  // Placed in the bottom panel, between the time code and the parameters.
  SeekSlider->setGeometry(40, 180 - (261 - 116), 240, 39);
  SeekSlider->show();
  connect(SeekSlider, &TSlider::change, this,
          [this] { XaudioPlayer1.InputSeek(SeekSlider->position(), SeekSlider->maximum()); });
  connect(SeekSlider, &TSlider::mouseDown, this, [this] { sliderHeld_ = true; });
  connect(SeekSlider, &TSlider::mouseUp, this, [this] { sliderHeld_ = false; });
  LoadEqualizer();
}

TBandPositions TForm3::BandPositions() const {
  TBandPositions positions{};
  for (int i = 0; i < kEqualizerBands; ++i) positions[static_cast<size_t>(i)] = Band(i)->value();
  return positions;
}

bool TForm3::EngineReady() {
  if (!engineFailed_) return XaudioPlayer1.PlayerExists();
  ShowMessage(this, engineError_);
  return false;
}

void TForm3::LoadEqualizer() {
  {
    // The engine starts at full level whatever the bar shows: the volume is
    // sent once below, even when the file holds the bar's default.
    const QSignalBlocker quiet(volume_);
    try {
      // A change fires the band's handler: only values that differ reach the engine.
      ReadEqualizerFile(EqualizerFile(), [this](int i, int value) {
        (i < kEqualizerBands ? Band(i) : volume_)->setValue(value);
      });
    } catch (const std::exception& e) {
      ShowMessage(this, EqualizerFile() + ": " + e.what());
    }
  }
  SendVolume(volume_->value());
}

void TForm3::SendVolume(int position) {
  if (!EngineReady()) return;
  XaudioPlayer1.SetOutputVolume(-1, 100 - position, -1);
  if (VolumeSent) VolumeSent(100 - position);
}

void TForm3::SaveEqualizer() {
  try {
    WriteEqualizerFile(EqualizerFile(), BandPositions(), volume_->value());
  } catch (const text::EInOutError& e) {
    ShowMessage(this, EqualizerFile() + ": " + e.what());
  }
}

void TForm3::ApplyEqualizer() {
  if (!EngineReady()) return;
  const XA_EqualizerInfo eq = EqualizerOf(BandPositions());
  XaudioPlayer1.SetCodecEqualizer(eq);
  XaudioPlayer1.GetCodecEqualizer();
  if (EqualizerSent) EqualizerSent(eq);
}

void TForm3::PlayStream(const std::string& name) {
  if (!EngineReady()) return;
  streamName_ = name;
  XaudioPlayer1.InputOpen(StreamAddress(name, StreamPort));
  XaudioPlayer1.Play();
  if (SeekSlider) SeekSlider->setEnabled(false);
}

void TForm3::PlayFile(const std::string& path) {
  if (!EngineReady()) return;
  streamName_.clear();
  // The engine opens files by their UTF-8 name, as the system stores them.
  XaudioPlayer1.InputOpen(path);
  XaudioPlayer1.Play();
  if (SeekSlider) SeekSlider->setEnabled(true);
}

void TForm3::StopPlayback() {
  // Stopped, the stream's title no longer belongs in the caption.
  if (!streamName_.empty()) {
    setWindowTitle(QString::fromStdString(text::Cp1251ToUtf8(streamName_)));
    streamName_.clear();
  }
  if (!EngineReady()) return;
  XaudioPlayer1.Stop();
}

void TForm3::ShowStreamTitle(const std::string& channelName, const std::string& title) {
  if (streamName_.empty() || channelName != streamName_) return;
  QString caption = QString::fromStdString(text::Cp1251ToUtf8(channelName));
  const std::string shown = PrintableText(title);
  if (!shown.empty()) caption += QStringLiteral(" — ") + QString::fromStdString(shown);
  setWindowTitle(caption);
}

void TForm3::PngSpeedButton1Click() {
  StopPlayback();
  close();
}

void TForm3::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!MainWindow) return;
  // Frame positions: the player at the left, the main window beside it. On
  // the first show the window manager has not framed this window yet, so a
  // move places its inside; the main window's frame, already known, is the
  // same decoration and gives the offset.
  const QPoint place(25, MainWindow->y());
  const QRect outer = MainWindow->frameGeometry(), inner = MainWindow->geometry();
  const QPoint inset = inner.topLeft() - outer.topLeft();
  if (frameGeometry() == geometry())
    move(place + inset);
  else
    move(place);
  MainWindow->move(place.x() + width() + outer.width() - inner.width(), MainWindow->y());
}

void TForm3::closeEvent(QCloseEvent* event) {
  // After a failed engine start the file was never read: keep it as stored.
  if (!engineFailed_) SaveEqualizer();
  event->accept();
}
