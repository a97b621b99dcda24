#pragma once
// Colour arithmetic of the gradient progress bar: integer HLS conversions,
// the gradient along the bar and the cylinder shading across it. Qt-free so
// the tables can be checked without a display.

#include <cstdint>
#include <vector>

// A colour reference: red in the lowest byte, then green, then blue.
using TColor = std::uint32_t;

constexpr TColor RGBColor(int r, int g, int b) {
  return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int RedOf(TColor c) { return static_cast<int>(c & 0xFF); }
constexpr int GreenOf(TColor c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int BlueOf(TColor c) { return static_cast<int>((c >> 16) & 0xFF); }

// Hue, lightness and saturation on the 0..240 scale; hue 160 when undefined.
struct THls {
  int h = 0;
  int l = 0;
  int s = 0;
  friend bool operator==(const THls&, const THls&) = default;
};

THls ColorToHls(TColor c);
TColor HlsToColor(THls hls);

enum class TQBarLook { blMetal, blGlass };

// Lightness curve of the cylinder cross-section at t in [0, 1].
double CylinderCurve(double t);

// The colour of pixel index i of a bar of length l (see the bar's tables).
TColor GradientColor(TColor start, TColor final, bool singleColor, int i, int l);

// c shaded into `count` colours across the bar.
std::vector<TColor> CylinderShade(TColor c, int count, TQBarLook look);
