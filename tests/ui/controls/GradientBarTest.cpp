#include "ui/controls/GradientBar.h"

#include <QDir>
#include <QFontMetrics>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QRgb ToRgb(TColor c) { return qRgb(RedOf(c), GreenOf(c), BlueOf(c)); }

void SaveRendering(const QImage& image, const QString& name) {
  QDir().mkpath(QStringLiteral(MC_RENDER_DIR));
  // Four times larger as well, so single pixels can be judged by eye.
  EXPECT_TRUE(image.save(QStringLiteral(MC_RENDER_DIR "/") + name + QStringLiteral(".png")));
  EXPECT_TRUE(image.scaled(image.size() * 4).save(QStringLiteral(MC_RENDER_DIR "/") + name + QStringLiteral("_x4.png")));
}

class SignalMeter : public ::testing::Test {
 protected:
  SignalMeter() {
    ConfigureSignalMeter(bar);
    bar.resize(109, 17);
  }
  TQProgressBar bar;
};

TEST_F(SignalMeter, RenderedColumnsEndWhereTheyShould) {
  bar.setAutoCaption(false);  // the caption would cover bar pixels
  bar.setCaption(QString());
  const QRgb white = qRgb(255, 255, 255);
  for (auto [position, lastColumn] : {std::pair{50, 52}, std::pair{1, 5}, std::pair{100, 105}, std::pair{0, 2}}) {
    SCOPED_TRACE(position);
    bar.setPosition(position);
    const QImage image = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(109, 17));
    const auto& columns = bar.model().Columns();
    for (int x = 1; x <= 107; ++x) {
      for (int y = 1; y <= 15; ++y) {
        if ((x < 3 || x > 105) && (y < 3 || y > 13)) continue;  // inside the rounded corners
        const bool filled = x >= 3 && x <= lastColumn && y >= 3 && y <= 13;
        const QRgb expected = filled ? ToRgb(columns[x][y]) : white;
        ASSERT_EQ(image.pixel(x, y), expected) << x << "," << y;
      }
    }
    EXPECT_EQ(image.pixel(54, 0), ToRgb(7617536));   // outline
    EXPECT_EQ(image.pixel(54, 16), ToRgb(7617536));
  }
}

TEST_F(SignalMeter, ProgramConfiguration) {
  bar.setPosition(57);
  const QImage image = bar.grab().toImage();
  EXPECT_EQ(bar.caption(), QStringLiteral("57"));
  EXPECT_EQ(bar.toolTip(), QStringLiteral("57"));
  SaveRendering(image, QStringLiteral("signal_meter_57"));

  // Shaded across: lighter near the top than at the bottom row; the hue turns
  // towards blue along the bar (the caption sits round the middle).
  const QColor top = image.pixelColor(10, 5), bottom = image.pixelColor(10, 13);
  EXPECT_GT(top.lightness(), bottom.lightness());
  EXPECT_GT(image.pixelColor(40, 4).hue(), image.pixelColor(5, 4).hue());

  bar.setPosition(150);
  bar.grab();
  EXPECT_EQ(bar.caption(), QStringLiteral("150"));
  EXPECT_EQ(bar.model().Filled(), 105);
}

TEST_F(SignalMeter, CaptionPlace) {
  const QFontMetrics metrics(bar.font());
  const int textWidth = metrics.horizontalAdvance(QStringLiteral("88"));
  bar.setCaption(QStringLiteral("88"));
  EXPECT_EQ(bar.captionPlace(), QPoint((109 - textWidth) / 2, (17 - metrics.height()) / 2));
  bar.setCaptionAlign(Qt::AlignRight);
  EXPECT_EQ(bar.captionPlace().x() + textWidth, 108);
  bar.setCaptionAlign(Qt::AlignLeft);
  EXPECT_EQ(bar.captionPlace().x(), 0);
  bar.setCaption(QString());
  EXPECT_FALSE(bar.hasCaption());
}

TEST_F(SignalMeter, CornersFollowRoundCorner) {
  bar.setPosition(0);
  EXPECT_NE(bar.grab().toImage().pixel(0, 0), ToRgb(7617536));
  bar.setRoundCorner(false);
  EXPECT_FALSE(bar.roundCorner());
  EXPECT_EQ(bar.grab().toImage().pixel(0, 0), ToRgb(7617536));
}

TEST_F(SignalMeter, HidesAfterReachingTheMaximum) {
  bar.setHideOnTerminate(true);
  bar.show();
  bar.setPosition(100);
  EXPECT_TRUE(bar.isVisible());  // the full bar is seen first
  QTest::qWait(250);
  EXPECT_FALSE(bar.isVisible());
}

TEST(ProgressBar, Defaults) {
  TQProgressBar bar;
  EXPECT_EQ(bar.size(), QSize(64, 16));
  EXPECT_EQ(bar.maximum(), 100);
  EXPECT_EQ(bar.position(), 0);
  EXPECT_TRUE(bar.shaped());
  EXPECT_TRUE(bar.roundCorner());
  EXPECT_EQ(bar.focusPolicy(), Qt::NoFocus);
  bar.setBarColor(RGBColor(200, 0, 0));
  EXPECT_EQ(bar.finalColor(), RGBColor(200, 0, 0));
  bar.setFinalColor(RGBColor(0, 0, 200));
  EXPECT_EQ(bar.barColor(), RGBColor(200, 0, 0));
  EXPECT_FALSE(bar.model().SingleColor());
}

TEST(ProgressBar, OrientationResizesTheWidget) {
  TQProgressBar bar;
  bar.resize(109, 17);
  bar.setOrientation(TQBarOrientation::boVertical);
  EXPECT_EQ(bar.size(), QSize(17, 109));
  bar.setPosition(50);
  EXPECT_EQ(bar.model().Filled(), 52);
  SaveRendering(bar.grab().toImage(), QStringLiteral("vertical_flat_50"));
}

}  // namespace
