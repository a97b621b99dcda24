#include "ui/controls/GradientBarModel.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// The signal meter's size: 109 x 17.
TQBarModel Meter() {
  TQBarModel m;
  m.Resize(109, 17);
  return m;
}

TEST(ProgressBarModel, MeterGeometry) {
  const TQBarModel m = Meter();
  EXPECT_EQ(m.Border(), 2);
  EXPECT_EQ(m.Margin(), 4);
  EXPECT_EQ(m.Length(), 105);
  EXPECT_EQ(m.Across(), 14);
  EXPECT_EQ(m.MinExtent(), 5);
  EXPECT_EQ(m.Columns().size(), 106u);
  for (const auto& column : m.Columns()) EXPECT_EQ(column.size(), 14u);
}

TEST(ProgressBarModel, PositionToPixels) {
  struct Case {
    int position;
    int filled;
  } cases[] = {
      {50, 52},    // 52.5, half to even
      {30, 32},    // 31.5, half to even upwards
      {1, 5},      // 1.05 shows the stub
      {100, 105},  // full
      {150, 105},  // beyond the maximum: full
      {0, 0},
      {-7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    TQBarModel m = Meter();
    m.SetPosition(37);
    const auto effect = m.SetPosition(c.position);
    EXPECT_TRUE(effect.repaint);
    EXPECT_EQ(m.Filled(), c.filled);
    EXPECT_EQ(m.Position(), c.position);  // stored unclamped
    EXPECT_EQ(m.AutoCaptionText(), std::to_string(c.position));
  }
}

TEST(ProgressBarModel, EmptyBarKeepsTheLastPercentage) {
  TQBarModel m = Meter();
  m.SetShowPosAsPct(true);
  m.SetPosition(50);
  EXPECT_EQ(m.AutoCaptionText(), "50%");
  m.SetPosition(0);
  EXPECT_EQ(m.Filled(), 0);
  EXPECT_EQ(m.AutoCaptionText(), "50%");
}

TEST(ProgressBarModel, MaximumZeroStoresWithoutDrawing) {
  TQBarModel m = Meter();
  m.SetPosition(50);
  m.SetMaximum(0);
  const auto effect = m.SetPosition(80);
  EXPECT_FALSE(effect.repaint);
  EXPECT_EQ(m.Position(), 80);
  EXPECT_EQ(m.Filled(), 52);
  m.SetMaximum(-5);
  EXPECT_EQ(m.Maximum(), 0);
}

TEST(ProgressBarModel, HintAndHide) {
  TQBarModel m = Meter();
  EXPECT_FALSE(m.SetPosition(40).hint);
  m.SetAutoHint(true);
  EXPECT_EQ(m.SetPosition(40).hint, "40");
  m.SetMaximum(3);
  m.SetShowPosAsPct(true);
  EXPECT_EQ(m.SetPosition(1).hint, "33.3333333333333 %");

  m.SetMaximum(100);
  EXPECT_FALSE(m.SetPosition(100).hide);
  m.SetHideOnTerminate(true);
  EXPECT_FALSE(m.SetPosition(99).hide);
  EXPECT_TRUE(m.SetPosition(100).hide);
  EXPECT_TRUE(m.SetPosition(150).hide);
  EXPECT_FALSE(m.SetPosition(0).hide);
}

TEST(ProgressBarModel, OrientationSwapsTheDimensions) {
  for (bool designing : {false, true}) {
    SCOPED_TRACE(designing);
    TQBarModel m(designing);
    m.Resize(109, 17);
    EXPECT_EQ(m.Position(), designing ? 50 : 0);
    m.SetStartColor(RGBColor(1, 2, 3));
    m.SetOrientation(TQBarOrientation::boVertical);
    EXPECT_EQ(m.Width(), 17);
    EXPECT_EQ(m.Height(), 109);
    EXPECT_EQ(m.Border(), 2);
    EXPECT_EQ(m.Length(), 105);
    EXPECT_EQ(m.StartColor(), designing ? RGBColor(0, 255, 0) : RGBColor(1, 2, 3));
    EXPECT_EQ(m.FinalColor(), designing ? RGBColor(1, 2, 3) : RGBColor(0, 255, 0));
  }
  TQBarModel thin;
  thin.Resize(64, 8);
  thin.SetOrientation(TQBarOrientation::boHorizontal);  // across below 10: thin border
  EXPECT_EQ(thin.Border(), 1);
  EXPECT_EQ(thin.Length(), 62);
}

// Pixels of PaintBar sorted by the colour they took.
struct Painted {
  std::set<int> bar, inactive;  // indexes along the bar
  std::set<int> across;
  int outside = 0;
};

Painted PaintOf(const TQBarModel& m) {
  Painted p;
  const bool horizontal = m.Orientation() == TQBarOrientation::boHorizontal;
  m.PaintBar([&](int x, int y, TColor c) {
    if (x < 0 || y < 0 || x >= m.Width() || y >= m.Height()) ++p.outside;
    const int along = horizontal ? x : y;
    (c == m.InactivePosColor() ? p.inactive : p.bar).insert(along);
    p.across.insert(horizontal ? y : x);
  });
  return p;
}

std::set<int> Range(int from, int to) {
  std::set<int> s;
  for (int i = from; i <= to; ++i) s.insert(i);
  return s;
}

TEST(ProgressBarModel, FilledAndInactiveExtent) {
  TQBarModel m = Meter();
  m.SetShowInactivePos(true);
  m.SetPosition(50);
  Painted p = PaintOf(m);
  EXPECT_EQ(p.bar, Range(3, 52));
  EXPECT_EQ(p.inactive, Range(53, 105));
  EXPECT_EQ(p.across, Range(3, 13));

  m.SetOrientation(TQBarOrientation::boVertical);  // 17 x 109, filled from the bottom
  m.SetPosition(50);
  p = PaintOf(m);
  EXPECT_EQ(p.bar, Range(109 - 52, 104));
  EXPECT_EQ(p.inactive, Range(4, 109 - 52 - 1));
  EXPECT_EQ(p.across, Range(3, 13));
  EXPECT_EQ(p.outside, 0);
}

TEST(ProgressBarModel, Blocks) {
  // 24 wide: L = 20; blocks of 4 with gaps of 2 at 3-6, 9-12, 15-18.
  struct Case {
    bool fullBlock, inactive;
    std::set<int> bar, inactiveAt;
  } cases[] = {
      {false, false, {3, 4, 5, 6, 9, 10}, {}},
      {true, false, {3, 4, 5, 6}, {}},
      {true, true, {3, 4, 5, 6}, {9, 10, 11, 12, 15, 16, 17, 18}},
      {false, true, {3, 4, 5, 6, 9, 10}, {11, 12, 15, 16, 17, 18}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fullBlock << c.inactive);
    TQBarModel m;
    m.Resize(24, 16);
    m.SetBlockSize(4);
    m.SetSpaceSize(2);
    m.SetShowFullBlock(c.fullBlock);
    m.SetShowInactivePos(c.inactive);
    m.SetMaximum(20);
    m.SetPosition(10);
    ASSERT_EQ(m.Filled(), 10);
    const Painted p = PaintOf(m);
    EXPECT_EQ(p.bar, c.bar);
    EXPECT_EQ(p.inactive, c.inactiveAt);
  }
}

TEST(ProgressBarModel, BlockSizesLongerThanTheBarAreIgnored) {
  TQBarModel m;
  m.Resize(24, 16);
  m.SetBlockSize(21);
  EXPECT_EQ(m.BlockSize(), 0);
  m.SetBlockSize(-4);
  m.SetSpaceSize(2);
  EXPECT_EQ(m.BlockSize(), 4);
  EXPECT_TRUE(m.BlocksEnabled());
}

TEST(ProgressBarModel, InvertedInactiveTrackSwapsLightAndDark) {
  TQBarModel m = Meter();
  m.SetBarKind(TQBarKind::bkCylinder);
  m.SetBarLook(TQBarLook::blGlass);
  const int plain = ColorToHls(m.InactiveColumn()[0]).l;
  m.SetInvertInactPos(true);
  const int inverted = ColorToHls(m.InactiveColumn()[0]).l;
  EXPECT_GT(plain, 120);
  EXPECT_LT(inverted, 120);
  EXPECT_NEAR(plain + inverted, 240, 2);
}

TEST(ProgressBarModel, BarsSmallerThanTheirMarginsPaintInsideThemselves) {
  for (auto size : {std::pair{3, 3}, std::pair{64, 3}, std::pair{3, 64}, std::pair{0, 0}}) {
    for (auto o : {TQBarOrientation::boHorizontal, TQBarOrientation::boVertical}) {
      TQBarModel m;
      m.Resize(size.first, size.second);
      m.SetOrientation(o);
      m.SetShowInactivePos(true);
      m.SetBarKind(TQBarKind::bkCylinder);
      m.SetPosition(60);
      EXPECT_EQ(PaintOf(m).outside, 0) << size.first << "x" << size.second;
    }
  }
}

}  // namespace
