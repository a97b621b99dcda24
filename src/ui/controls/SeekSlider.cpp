#include "ui/controls/SeekSlider.h"

#include <QMouseEvent>
#include <QPainter>

#include <cstdint>

TSlider::TSlider(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);  // hot look follows the pointer without a button held
  resize(0, 0);
}

// Width and height are kept apart from the image: one of them may still be
// 0 (no image) while the other bitmap is set first.
void TSlider::SetOffscreenSize(int width, int height) {
  offscreenWidth_ = width;
  offscreenHeight_ = height;
  offscreen_ = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
  if (!offscreen_.isNull()) offscreen_.fill(Qt::transparent);
}

void TSlider::setThumbNormal(const QImage& bitmap) {
  thumbNormal_ = bitmap.copy();
  if (thumbHighlighted_.isNull()) thumbHighlighted_ = bitmap.copy();
  if (thumbClicked_.isNull()) thumbClicked_ = bitmap.copy();
  SetOffscreenSize(offscreenWidth_, thumbNormal_.height());
  Recompose();
}

void TSlider::setThumbHighlighted(const QImage& bitmap) {
  thumbHighlighted_ = bitmap.copy();
  Recompose();
}

void TSlider::setThumbClicked(const QImage& bitmap) {
  thumbClicked_ = bitmap.copy();
  Recompose();
}

void TSlider::setTrack(const QImage& bitmap) {
  track_ = bitmap.copy();
  SetOffscreenSize(track_.width(), offscreenHeight_);
  Recompose();
}

void TSlider::setOrientation(TSliderOrientation o) {
  if (o == orientation_) return;
  orientation_ = o;
  Recompose();
  update();
}

void TSlider::setMinimum(int v) {
  if (v == minimum_) return;
  minimum_ = v;
  if (position_ < minimum_) position_ = minimum_;
  Recompose();
  update();
}

void TSlider::setMaximum(int v) {
  if (v == maximum_) return;
  maximum_ = v;
  if (position_ > maximum_) position_ = maximum_;
  Recompose();
  update();
}

void TSlider::setPosition(int v) {
  if (v < minimum_) v = minimum_;
  if (v > maximum_) v = maximum_;
  if (v == position_) return;
  position_ = v;
  Recompose();
  update();
}

void TSlider::Recompose() {
  if (minimum_ == maximum_ || track_.isNull() || thumbNormal_.isNull() || offscreen_.isNull()) return;
  QPainter painter(&offscreen_);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.fillRect(offscreen_.rect(), Qt::transparent);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.drawImage(0, 0, track_);
  const int offset = static_cast<int>(std::int64_t{track_.width() - thumbNormal_.width()} *
                                      (std::int64_t{position_} - minimum_) /
                                      (std::int64_t{maximum_} - minimum_));
  thumbRect_ = QRect(offset, 0, thumbNormal_.width(), thumbNormal_.height());
  const QImage& thumb = dragging_ ? thumbClicked_ : hot_ ? thumbHighlighted_ : thumbNormal_;
  if (!thumb.isNull()) painter.drawImage(offset, 0, thumb);
}

void TSlider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, offscreen_);
}

void TSlider::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  emit mouseDown(event->button(), at);
  // QRect::contains takes right and bottom exclusive for a rect built from a size.
  if (event->button() != Qt::LeftButton || !thumbRect_.contains(at)) return;
  dragging_ = true;
  pressPoint_ = at;
  pressPosition_ = position_;
  Recompose();
  update();
}

void TSlider::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  emit mouseMove(at);
  if (dragging_) {
    const bool horizontal = orientation_ == TSliderOrientation::slHorizontal;
    const std::int64_t travel = horizontal ? track_.width() - thumbNormal_.width()
                                           : track_.height() - thumbNormal_.height();
    if (travel <= 0) return;  // a thumb as long as the track cannot move
    const std::int64_t range = std::int64_t{maximum_} - minimum_;
    const std::int64_t moved = horizontal ? at.x() - pressPoint_.x() : pressPoint_.y() - at.y();
    std::int64_t next = pressPosition_ + range * moved / travel;
    // Clamped here already so that a far drag cannot overflow the setter's int.
    if (next < minimum_) next = minimum_;
    if (next > maximum_) next = maximum_;
    setPosition(static_cast<int>(next));
    return;
  }
  if (thumbRect_.contains(at)) {
    hot_ = true;
    Recompose();
    update();
  } else if (hot_) {
    hot_ = false;
    Recompose();
    update();
  }
}

void TSlider::mouseReleaseEvent(QMouseEvent* event) {
  emit mouseUp(event->button(), event->position().toPoint());
  if (event->button() != Qt::LeftButton || !dragging_) return;
  dragging_ = false;
  if (position_ != pressPosition_) emit change();
  Recompose();
  update();
}

// Outside any namespace: Q_INIT_RESOURCE names the resource's global init
// function, and calling it keeps the static library's resource linked in.
static void InitSliderResources() { Q_INIT_RESOURCE(slider); }

void LoadPlayerSliderBitmaps(TSlider& slider) {
  InitSliderResources();
  slider.setThumbNormal(QImage(QStringLiteral(":/slider/thumb_normal.png")));
  slider.setThumbHighlighted(QImage(QStringLiteral(":/slider/thumb_highlighted.png")));
  slider.setThumbClicked(QImage(QStringLiteral(":/slider/thumb_clicked.png")));
  slider.setTrack(QImage(QStringLiteral(":/slider/track.png")));
}
