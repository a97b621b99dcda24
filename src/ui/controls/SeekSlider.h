#pragma once
// TSlider: the bitmap-skinned seek bar of the player window. A track bitmap
// with a thumb drawn over it; the thumb looks highlighted while the mouse is
// over it and clicked while it is dragged. `change` is emitted once per drag,
// on release, and never for positions set from code.

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>

enum class TSliderOrientation { slHorizontal, slVertical };

class TSlider : public QWidget {
  Q_OBJECT

 public:
  explicit TSlider(QWidget* parent = nullptr);

  // Each setter keeps its own copy of the bitmap.
  const QImage& thumbNormal() const { return thumbNormal_; }
  void setThumbNormal(const QImage& bitmap);
  const QImage& thumbHighlighted() const { return thumbHighlighted_; }
  void setThumbHighlighted(const QImage& bitmap);
  const QImage& thumbClicked() const { return thumbClicked_; }
  void setThumbClicked(const QImage& bitmap);
  const QImage& track() const { return track_; }
  void setTrack(const QImage& bitmap);

  TSliderOrientation orientation() const { return orientation_; }
  void setOrientation(TSliderOrientation o);
  int minimum() const { return minimum_; }
  void setMinimum(int v);
  int maximum() const { return maximum_; }
  void setMaximum(int v);
  int position() const { return position_; }
  void setPosition(int v);

  QRect thumbRect() const { return thumbRect_; }
  bool hot() const { return hot_; }
  bool dragging() const { return dragging_; }
  // The composed picture the control paints.
  const QImage& composed() const { return offscreen_; }

 signals:
  void change();
  void mouseDown(Qt::MouseButton button, QPoint at);
  void mouseMove(QPoint at);
  void mouseUp(Qt::MouseButton button, QPoint at);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Recompose();
  void SetOffscreenSize(int width, int height);

  QImage thumbNormal_, thumbHighlighted_, thumbClicked_, track_;
  QImage offscreen_;
  int offscreenWidth_ = 0;
  int offscreenHeight_ = 0;
  TSliderOrientation orientation_ = TSliderOrientation::slHorizontal;
  int minimum_ = 0;
  int maximum_ = 100;
  int position_ = 0;
  bool hot_ = false;
  bool dragging_ = false;
  QPoint pressPoint_;
  int pressPosition_ = 0;
  QRect thumbRect_;
};

// The player window's bitmaps (track 240 x 39, thumbs 30 x 38) set on `slider`.
void LoadPlayerSliderBitmaps(TSlider& slider);
