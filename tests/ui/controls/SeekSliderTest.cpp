#include "ui/controls/SeekSlider.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

namespace {

void Mouse(TSlider& s, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton
                                : type == QEvent::MouseMove        ? Qt::MouseButtons(Qt::NoButton)
                                                                   : Qt::MouseButtons(button);
  QMouseEvent event(type, QPointF(at), s.mapToGlobal(QPointF(at)), type == QEvent::MouseMove ? Qt::NoButton : button,
                    held, Qt::NoModifier);
  QApplication::sendEvent(&s, &event);
}

QImage Solid(int w, int h, QColor c) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(c);
  return image;
}

// The player window's seek slider: 0 to 400 on its own bitmaps.
class SeekSlider : public ::testing::Test {
 protected:
  SeekSlider() {
    LoadPlayerSliderBitmaps(slider);
    slider.setMinimum(0);
    slider.setMaximum(400);
    slider.resize(slider.track().size());
    QObject::connect(&slider, &TSlider::change, [this] { ++changes; });
  }
  QImage ThumbArea() const { return slider.composed().copy(slider.thumbRect()); }
  static QImage As(const QImage& image) { return image.convertToFormat(QImage::Format_ARGB32_Premultiplied); }

  TSlider slider;
  int changes = 0;
};

TEST_F(SeekSlider, BitmapsOfThePlayer) {
  EXPECT_EQ(slider.track().size(), QSize(240, 39));
  for (const QImage* thumb : {&slider.thumbNormal(), &slider.thumbHighlighted(), &slider.thumbClicked()})
    EXPECT_EQ(thumb->size(), QSize(30, 38));
  EXPECT_NE(slider.thumbNormal(), slider.thumbHighlighted());
  EXPECT_NE(slider.thumbNormal(), slider.thumbClicked());
  EXPECT_EQ(slider.composed().size(), QSize(240, 38));
}

TEST_F(SeekSlider, PositionPlacesTheThumb) {
  slider.setPosition(200);
  EXPECT_EQ(slider.thumbRect(), QRect(105, 0, 30, 38));
  EXPECT_EQ(ThumbArea(), As(slider.thumbNormal()));
  slider.setPosition(400);
  EXPECT_EQ(slider.thumbRect().left(), 210);

  QImage image(slider.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor(192, 192, 192));
  slider.setPosition(200);
  slider.render(&image);
  QDir().mkpath(QStringLiteral(MC_RENDER_DIR));
  EXPECT_TRUE(image.save(QStringLiteral(MC_RENDER_DIR "/seek_slider_200.png")));
}

TEST_F(SeekSlider, DragRaisesOneChangeOnRelease) {
  Mouse(slider, QEvent::MouseButtonPress, {10, 10});
  EXPECT_TRUE(slider.dragging());
  EXPECT_EQ(ThumbArea(), As(slider.thumbClicked()));
  Mouse(slider, QEvent::MouseMove, {30, 12});
  Mouse(slider, QEvent::MouseMove, {52, 12});
  EXPECT_EQ(slider.position(), 80);
  EXPECT_EQ(changes, 0);
  Mouse(slider, QEvent::MouseButtonRelease, {52, 12});
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(slider.dragging());
  EXPECT_EQ(slider.thumbRect().left(), 42);
}

TEST_F(SeekSlider, ReleasesThatChangeNothing) {
  // Without moving; moved and brought back; dragged beyond the start.
  for (auto moves : {std::vector<QPoint>{}, std::vector<QPoint>{{60, 10}, {10, 10}}, std::vector<QPoint>{{-50, 10}}}) {
    SCOPED_TRACE(moves.size());
    Mouse(slider, QEvent::MouseButtonPress, {10, 10});
    for (QPoint p : moves) Mouse(slider, QEvent::MouseMove, p);
    Mouse(slider, QEvent::MouseButtonRelease, moves.empty() ? QPoint(10, 10) : moves.back());
    EXPECT_EQ(slider.position(), 0);
    EXPECT_EQ(changes, 0);
  }
}

TEST_F(SeekSlider, PressesOutsideTheThumbDoNothing) {
  slider.setPosition(200);  // thumb at 105..134
  for (auto [at, button] : {std::pair{QPoint(200, 10), Qt::LeftButton}, std::pair{QPoint(104, 10), Qt::LeftButton},
                            std::pair{QPoint(135, 10), Qt::LeftButton}, std::pair{QPoint(110, 38), Qt::LeftButton},
                            std::pair{QPoint(110, 10), Qt::RightButton}}) {
    SCOPED_TRACE(at.x());
    Mouse(slider, QEvent::MouseButtonPress, at, button);
    EXPECT_FALSE(slider.dragging());
    Mouse(slider, QEvent::MouseMove, at + QPoint(40, 0));
    Mouse(slider, QEvent::MouseButtonRelease, at + QPoint(40, 0), button);
    EXPECT_EQ(slider.position(), 200);
  }
  EXPECT_EQ(changes, 0);
}

TEST_F(SeekSlider, PositionFromCodeIsClampedAndSilent) {
  slider.setPosition(1000);
  EXPECT_EQ(slider.position(), 400);
  slider.setPosition(-5);
  EXPECT_EQ(slider.position(), 0);
  slider.setPosition(300);
  slider.setMaximum(250);
  EXPECT_EQ(slider.position(), 250);
  slider.setMinimum(260);
  EXPECT_EQ(slider.position(), 260);
  EXPECT_EQ(changes, 0);
}

TEST_F(SeekSlider, HotWhileThePointerIsOverTheThumb) {
  Mouse(slider, QEvent::MouseMove, {15, 20});
  EXPECT_TRUE(slider.hot());
  EXPECT_EQ(ThumbArea(), As(slider.thumbHighlighted()));
  Mouse(slider, QEvent::MouseMove, {100, 20});
  EXPECT_FALSE(slider.hot());
  EXPECT_EQ(ThumbArea(), As(slider.thumbNormal()));
}

TEST(Slider, VerticalDragsAndNoTravel) {
  // Range 0 to 100, position 10, a 30 x 38 thumb pressed at (5, 30).
  struct Case {
    TSliderOrientation orientation;
    QSize track;
    QPoint to;
    int position;
  } cases[] = {
      {TSliderOrientation::slVertical, {30, 138}, {5, 0}, 40},      // up 30 of 100 px
      {TSliderOrientation::slVertical, {30, 138}, {5, 37}, 3},      // down 7
      {TSliderOrientation::slVertical, {30, 138}, {5, 200}, 0},     // clamped at the minimum
      {TSliderOrientation::slVertical, {30, 38}, {5, 0}, 10},       // thumb as tall as the track
      {TSliderOrientation::slHorizontal, {30, 38}, {90, 30}, 10},   // thumb as wide as the track
      {TSliderOrientation::slHorizontal, {20, 38}, {90, 30}, 10},   // track narrower than the thumb
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.track.width() << "x" << c.track.height() << " to " << c.to.y());
    TSlider s;
    s.setThumbNormal(Solid(30, 38, Qt::red));
    s.setTrack(Solid(c.track.width(), c.track.height(), Qt::gray));
    s.setPosition(10);
    s.setOrientation(c.orientation);
    Mouse(s, QEvent::MouseButtonPress, {5, 30});
    ASSERT_TRUE(s.dragging());
    Mouse(s, QEvent::MouseMove, c.to);
    Mouse(s, QEvent::MouseButtonRelease, c.to);
    EXPECT_EQ(s.position(), c.position);
  }
}

TEST(Slider, NormalThumbStandsInForUnsetLooks) {
  TSlider s;
  s.setTrack(Solid(100, 20, Qt::gray));  // track first: the composed width must survive
  s.setThumbNormal(Solid(10, 20, Qt::red));
  EXPECT_EQ(s.thumbHighlighted(), Solid(10, 20, Qt::red));
  EXPECT_EQ(s.thumbClicked(), Solid(10, 20, Qt::red));
  EXPECT_EQ(s.composed().size(), QSize(100, 20));
  s.setThumbHighlighted(Solid(10, 20, Qt::blue));
  s.setThumbNormal(Solid(10, 20, Qt::green));
  EXPECT_EQ(s.thumbHighlighted(), Solid(10, 20, Qt::blue));
  EXPECT_EQ(s.size(), QSize(0, 0));
}

}  // namespace
