#include "ui/controls/GradientBar.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTimer>

namespace {

QColor ToQColor(TColor c) { return QColor(RedOf(c), GreenOf(c), BlueOf(c)); }

}  // namespace

TQProgressBar::TQProgressBar(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(model_.Width(), model_.Height());
}

// Qt delivers the resize of a hidden widget only when it is shown; the
// geometry must follow at once so that positions set before are measured
// against the new length.
void TQProgressBar::SyncSize() {
  if (model_.Width() != width() || model_.Height() != height()) model_.Resize(width(), height());
}

void TQProgressBar::resizeEvent(QResizeEvent*) { SyncSize(); }

void TQProgressBar::setOrientation(TQBarOrientation o) {
  SyncSize();
  model_.SetOrientation(o);
  resize(model_.Width(), model_.Height());
  update();
}

void TQProgressBar::setBarKind(TQBarKind k) {
  SyncSize();
  model_.SetBarKind(k);
  update();
}

void TQProgressBar::setBarLook(TQBarLook l) {
  SyncSize();
  model_.SetBarLook(l);
  update();
}

void TQProgressBar::setRoundCorner(bool v) {
  cornerRadius_ = v ? 5 : 0;
  update();
}

void TQProgressBar::setBackgroundColor(TColor c) {
  background_ = c;
  update();
}

void TQProgressBar::setBarColor(TColor c) {
  SyncSize();
  model_.SetBarColor(c);
  update();
}

void TQProgressBar::setStartColor(TColor c) {
  SyncSize();
  model_.SetStartColor(c);
  update();
}

void TQProgressBar::setFinalColor(TColor c) {
  SyncSize();
  model_.SetFinalColor(c);
  update();
}

void TQProgressBar::setShowInactivePos(bool v) {
  SyncSize();
  model_.SetShowInactivePos(v);
  update();
}

void TQProgressBar::setInvertInactPos(bool v) {
  SyncSize();
  model_.SetInvertInactPos(v);
  update();
}

void TQProgressBar::setInactivePosColor(TColor c) {
  SyncSize();
  model_.SetInactivePosColor(c);
  update();
}

void TQProgressBar::setShaped(bool v) {
  shaped_ = v;
  update();
}

void TQProgressBar::setShapeColor(TColor c) {
  shapeColor_ = c;
  update();
}

void TQProgressBar::setBlockSize(int v) {
  SyncSize();
  model_.SetBlockSize(v);
  update();
}

void TQProgressBar::setSpaceSize(int v) {
  SyncSize();
  model_.SetSpaceSize(v);
  update();
}

void TQProgressBar::setShowFullBlock(bool v) {
  model_.SetShowFullBlock(v);
  update();
}

void TQProgressBar::setMaximum(int v) {
  model_.SetMaximum(v);
  update();
}

void TQProgressBar::setPosition(int v) {
  SyncSize();
  const TQBarModel::PositionEffect effect = model_.SetPosition(v);
  if (effect.hint) setToolTip(QString::fromStdString(*effect.hint));
  if (effect.repaint) update();
  // The full bar stays in sight for a moment before the control goes; a
  // timer keeps the window thread running meanwhile.
  if (effect.hide) QTimer::singleShot(100, this, &QWidget::hide);
}

void TQProgressBar::setCaption(const QString& text) {
  caption_ = text;
  PlaceCaption();
}

void TQProgressBar::setCaptionAlign(Qt::Alignment a) {
  captionAlign_ = a;
  PlaceCaption();
}

void TQProgressBar::setCaptionFont(const QFont& f) {
  setFont(f);
  PlaceCaption();
  update();
}

void TQProgressBar::PlaceCaption() {
  hasCaption_ = !caption_.isEmpty();
  if (!hasCaption_) return;
  const QFontMetrics metrics(font());
  const int textWidth = metrics.horizontalAdvance(caption_);
  const int y = (height() - metrics.height()) / 2;
  int x = 0;
  if (captionAlign_ & Qt::AlignHCenter)
    x = (width() - textWidth) / 2;
  else if (captionAlign_ & Qt::AlignRight)
    x = width() - textWidth - 1;
  captionPlace_ = QPoint(x, y);
}

QImage TQProgressBar::render(qreal devicePixelRatio) {
  SyncSize();
  // On a scaled screen the outline and the caption are drawn at the
  // screen's own resolution; each of the bar's pixels covers its square.
  const bool scaled = devicePixelRatio != 1.0;
  QImage image(scaled ? (QSizeF(size()) * devicePixelRatio).toSize() : size(), QImage::Format_RGB32);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(palette().color(backgroundRole()));
  {
    QPainter painter(&image);
    if (shaped_) {
      if (scaled) painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(QPen(ToQColor(shapeColor_), 1));
      painter.setBrush(ToQColor(background_));
      // The outline covers the whole control, its last pixel included.
      const QRect outline(0, 0, width() - 1, height() - 1);
      if (cornerRadius_ > 0)
        painter.drawRoundedRect(outline, cornerRadius_ / 2.0, cornerRadius_ / 2.0);
      else
        painter.drawRect(outline);
    }
  }
  if (scaled) {
    QPainter painter(&image);
    model_.PaintBar([&painter, this](int x, int y, TColor c) {
      if (rect().contains(x, y)) painter.fillRect(QRect(x, y, 1, 1), QColor(RedOf(c), GreenOf(c), BlueOf(c)));
    });
  } else {
    model_.PaintBar([&image](int x, int y, TColor c) {
      if (image.valid(x, y)) image.setPixel(x, y, qRgb(RedOf(c), GreenOf(c), BlueOf(c)));
    });
  }
  if (autoCaption_) setCaption(QString::fromStdString(model_.AutoCaptionText()));
  if (hasCaption_) {
    QPainter painter(&image);
    painter.setFont(font());
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(QRect(captionPlace_, QSize(width(), height())), Qt::AlignLeft | Qt::AlignTop, caption_);
  }
  return image;
}

void TQProgressBar::paintEvent(QPaintEvent*) {
  const QImage image = render(devicePixelRatioF());
  QPainter painter(this);
  painter.drawImage(0, 0, image);
}

void ConfigureSignalMeter(TQProgressBar& bar) {
  bar.setOrientation(TQBarOrientation::boHorizontal);
  bar.setBarKind(TQBarKind::bkCylinder);
  bar.setBarLook(TQBarLook::blGlass);
  bar.setRoundCorner(true);
  bar.setBackgroundColor(RGBColor(255, 255, 255));
  bar.setBarColor(12710665);
  bar.setFinalColor(RGBColor(0, 0, 255));
  bar.setShowInactivePos(false);
  bar.setInactivePosColor(RGBColor(128, 128, 128));
  bar.setInvertInactPos(false);
  bar.setShaped(true);
  bar.setShapeColor(7617536);
  bar.setBlockSize(0);
  bar.setSpaceSize(0);
  bar.setMaximum(100);
  bar.setPosition(0);
  // "MS Sans Serif" 8 point; the sans-serif stand-in installed with the program.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPointSize(8);
  bar.setCaptionFont(font);
  bar.setCaptionAlign(Qt::AlignHCenter);
  bar.setCaption(QStringLiteral("0"));
  bar.setAutoCaption(true);
  bar.setAutoHint(true);
  bar.setShowPosAsPct(false);
}
