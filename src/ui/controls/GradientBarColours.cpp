#include "ui/controls/GradientBarColours.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kHlsMax = 240;
constexpr int kRgbMax = 255;
constexpr int kUndefinedHue = kHlsMax * 2 / 3;

int HueToValue(int m1, int m2, int h) {
  if (h < 0) h += kHlsMax;
  if (h > kHlsMax) h -= kHlsMax;
  if (h < kHlsMax / 6) return m1 + ((m2 - m1) * h + kHlsMax / 12) / (kHlsMax / 6);
  if (h < kHlsMax / 2) return m2;
  if (h < kHlsMax * 2 / 3) return m1 + ((m2 - m1) * (kHlsMax * 2 / 3 - h) + kHlsMax / 12) / (kHlsMax / 6);
  return m1;
}

}  // namespace

THls ColorToHls(TColor c) {
  const int r = RedOf(c), g = GreenOf(c), b = BlueOf(c);
  const int mx = std::max({r, g, b});
  const int mn = std::min({r, g, b});
  THls out;
  out.l = ((mx + mn) * kHlsMax + kRgbMax) / (2 * kRgbMax);
  if (mx == mn) {
    out.s = 0;
    out.h = kUndefinedHue;
    return out;
  }
  const int span = mx - mn;
  if (out.l <= kHlsMax / 2)
    out.s = (span * kHlsMax + (mx + mn) / 2) / (mx + mn);
  else
    out.s = (span * kHlsMax + (2 * kRgbMax - mx - mn) / 2) / (2 * kRgbMax - mx - mn);
  const int rd = (span / 2 + (mx - r) * (kHlsMax / 6)) / span;
  const int gd = (span / 2 + (mx - g) * (kHlsMax / 6)) / span;
  const int bd = (span / 2 + (mx - b) * (kHlsMax / 6)) / span;
  if (r == mx)
    out.h = bd - gd;
  else if (g == mx)
    out.h = kHlsMax / 3 + rd - bd;
  else
    out.h = kHlsMax * 2 / 3 + gd - rd;
  if (out.h < 0) out.h += kHlsMax;
  if (out.h > kHlsMax) out.h -= kHlsMax;
  return out;
}

TColor HlsToColor(THls hls) {
  if (hls.s == 0) {
    const int v = hls.l * kRgbMax / kHlsMax;
    return RGBColor(v, v, v);
  }
  const int m2 = hls.l <= kHlsMax / 2 ? (hls.l * (hls.s + kHlsMax) + kHlsMax / 2) / kHlsMax
                                      : hls.l + hls.s - (hls.l * hls.s + kHlsMax / 2) / kHlsMax;
  const int m1 = 2 * hls.l - m2;
  auto channel = [&](int h) { return (HueToValue(m1, m2, h) * kRgbMax + kHlsMax / 2) / kHlsMax; };
  return RGBColor(channel(hls.h + kHlsMax / 3), channel(hls.h), channel(hls.h - kHlsMax / 3));
}

double CylinderCurve(double t) {
  return -4342.9 * std::pow(t, 5) + 10543 * std::pow(t, 4) - 8216 * std::pow(t, 3) + 2018.1 * t * t +
         11.096 * t + 164.6;
}

TColor GradientColor(TColor start, TColor final, bool singleColor, int i, int l) {
  if (singleColor || i <= 0) return start;
  if (i >= l) return final;
  const double t = static_cast<double>(i) / l;
  auto move = [t](int a, int b) {
    if (a < b) return a + static_cast<int>(std::trunc((b - a) * t));
    if (a > b) return a - static_cast<int>(std::trunc((a - b) * t));
    return a;
  };
  return RGBColor(move(RedOf(start), RedOf(final)), move(GreenOf(start), GreenOf(final)),
                  move(BlueOf(start), BlueOf(final)));
}

std::vector<TColor> CylinderShade(TColor c, int count, TQBarLook look) {
  std::vector<TColor> out;
  if (count <= 0) return out;
  out.reserve(static_cast<size_t>(count));
  const THls base = ColorToHls(c);
  for (int j = 0; j < count; ++j) {
    const double f = CylinderCurve(static_cast<double>(j) / count);
    THls shaded = base;
    if (look == TQBarLook::blGlass)
      shaded.l = static_cast<std::uint8_t>(std::nearbyint(f));  // rounds half to even
    else
      shaded.l = std::clamp(base.l - 212 + static_cast<int>(std::trunc(f)), 0, kHlsMax);
    out.push_back(HlsToColor(shaded));
  }
  return out;
}
