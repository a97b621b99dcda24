#include "ui/controls/GradientBarColours.h"

#include <gtest/gtest.h>

namespace {

struct HlsCase {
  const char* name;
  TColor color;
  THls hls;
  TColor back;  // the integer conversions do not always round-trip
};

TEST(ProgressBarColours, IntegerHlsConversionsOfKnownColours) {
  const HlsCase cases[] = {
      {"black", RGBColor(0, 0, 0), {160, 0, 0}, RGBColor(0, 0, 0)},
      {"white", RGBColor(255, 255, 255), {160, 240, 0}, RGBColor(255, 255, 255)},
      {"grey", RGBColor(128, 128, 128), {160, 120, 0}, RGBColor(127, 127, 127)},
      {"red", RGBColor(255, 0, 0), {0, 120, 240}, RGBColor(255, 0, 0)},
      {"green", RGBColor(0, 255, 0), {80, 120, 240}, RGBColor(0, 255, 0)},
      {"blue", RGBColor(0, 0, 255), {160, 120, 240}, RGBColor(0, 0, 255)},
      {"meter bar", 12710665, {111, 119, 223}, RGBColor(9, 244, 191)},
      {"meter outline", 7617536, {139, 55, 240}, RGBColor(0, 62, 117)},
  };
  for (const HlsCase& c : cases) {
    SCOPED_TRACE(c.name);
    const THls hls = ColorToHls(c.color);
    EXPECT_EQ(hls.h, c.hls.h);
    EXPECT_EQ(hls.l, c.hls.l);
    EXPECT_EQ(hls.s, c.hls.s);
    EXPECT_EQ(HlsToColor(c.hls), c.back);
  }
}

TEST(ProgressBarColours, ShadingCurveRisesThenFalls) {
  EXPECT_NEAR(CylinderCurve(0.0), 164.6, 0.01);
  EXPECT_NEAR(CylinderCurve(0.29), 202.9, 0.1);
  EXPECT_NEAR(CylinderCurve(0.71), 144.9, 0.1);
}

TEST(ProgressBarColours, GlassIgnoresLightnessMetalKeepsIt) {
  const TColor dark = RGBColor(0, 0, 128), light = RGBColor(0, 0, 255);  // same hue and saturation
  ASSERT_EQ(ColorToHls(dark).h, ColorToHls(light).h);
  ASSERT_EQ(ColorToHls(dark).s, ColorToHls(light).s);
  EXPECT_EQ(CylinderShade(dark, 14, TQBarLook::blGlass), CylinderShade(light, 14, TQBarLook::blGlass));
  EXPECT_NE(CylinderShade(dark, 14, TQBarLook::blMetal), CylinderShade(light, 14, TQBarLook::blMetal));

  const std::vector<TColor> glass = CylinderShade(light, 14, TQBarLook::blGlass);
  ASSERT_EQ(glass.size(), 14u);
  // Brightest about a third across, darker at the far edge than at the near one.
  EXPECT_GT(ColorToHls(glass[4]).l, ColorToHls(glass[0]).l);
  EXPECT_LT(ColorToHls(glass[10]).l, ColorToHls(glass[0]).l);

  // Metal darkens by up to 212 - 145 steps: black stays black instead of wrapping round.
  for (TColor c : CylinderShade(RGBColor(0, 0, 0), 14, TQBarLook::blMetal)) EXPECT_EQ(c, RGBColor(0, 0, 0));
  EXPECT_TRUE(CylinderShade(light, 0, TQBarLook::blGlass).empty());
}

TEST(ProgressBarColours, GradientRunsFromStartToFinal) {
  const TColor red = RGBColor(255, 0, 0), blue = RGBColor(0, 0, 255);
  EXPECT_EQ(GradientColor(red, blue, false, 0, 105), red);
  EXPECT_EQ(GradientColor(red, blue, false, -3, 105), red);
  EXPECT_EQ(GradientColor(red, blue, false, 105, 105), blue);
  EXPECT_EQ(GradientColor(red, blue, false, 200, 105), blue);
  // 52/105 of the way: 255 x 0.4952 = 126.3, truncated in both directions.
  EXPECT_EQ(GradientColor(red, blue, false, 52, 105), RGBColor(129, 0, 126));
  EXPECT_EQ(GradientColor(red, blue, true, 105, 105), red);
}

}  // namespace
