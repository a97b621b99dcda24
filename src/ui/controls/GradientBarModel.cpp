#include "ui/controls/GradientBarModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Floating-point text as the general format writes it: up to 15 significant
// digits, no trailing zeros.
std::string GeneralFloat(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

TQBarModel::TQBarModel(bool designing) : designing_(designing) {
  blockMap_.assign(1, TQBlockEntry{});
  UpdateLength();
  RebuildTables();
  SetPosition(designing_ ? 50 : 0);
}

int TQBarModel::AlongDimension() const {
  return orientation_ == TQBarOrientation::boHorizontal ? width_ : height_;
}

int TQBarModel::AcrossDimension() const {
  return orientation_ == TQBarOrientation::boHorizontal ? height_ : width_;
}

void TQBarModel::UpdateLength() {
  length_ = AlongDimension() - margin_;
  minExtent_ = margin_ + 1;
  across_ = std::max(AcrossDimension() - margin_ + 1, 1);
}

void TQBarModel::Resize(int width, int height) {
  width_ = width;
  height_ = height;
  margin_ = 2 * border_;
  UpdateLength();
  if (suspended_) return;
  if (BlocksEnabled()) RebuildBlockMap();
  RebuildTables();
  SetPosition(position_);
}

void TQBarModel::SetOrientation(TQBarOrientation o) {
  suspended_ = true;
  if (o != orientation_) {
    const bool toVertical = o == TQBarOrientation::boVertical;
    if ((toVertical && height_ < width_) || (!toVertical && width_ < height_)) Resize(height_, width_);
    orientation_ = o;
    if (designing_) std::swap(start_, final_);
  }
  border_ = AcrossDimension() >= 10 ? 2 : 1;
  margin_ = 2 * border_;
  UpdateLength();
  suspended_ = false;
  RebuildBlockMap();
  RebuildTables();
}

void TQBarModel::SetBarKind(TQBarKind k) {
  kind_ = k;
  RebuildTables();
}

void TQBarModel::SetBarLook(TQBarLook l) {
  look_ = l;
  RebuildTables();
}

void TQBarModel::SetBarColor(TColor c) {
  start_ = final_ = c;
  RebuildTables();
}

void TQBarModel::SetStartColor(TColor c) {
  start_ = c;
  RebuildTables();
}

void TQBarModel::SetFinalColor(TColor c) {
  final_ = c;
  RebuildTables();
}

void TQBarModel::SetShowInactivePos(bool v) {
  showInactive_ = v;
  RebuildTables();
}

void TQBarModel::SetInvertInactPos(bool v) {
  invertInactive_ = v;
  RebuildTables();
}

void TQBarModel::SetInactivePosColor(TColor c) {
  inactiveColor_ = c;
  RebuildTables();
}

void TQBarModel::SetBlockSize(int v) {
  if (v > AlongDimension() - 2 * border_) return;
  blockSize_ = std::abs(v);
  if (BlocksEnabled()) RebuildBlockMap();
  RebuildTables();
}

void TQBarModel::SetSpaceSize(int v) {
  if (v > AlongDimension() - 2 * border_) return;
  spaceSize_ = std::abs(v);
  if (BlocksEnabled()) RebuildBlockMap();
  RebuildTables();
}

TQBarModel::PositionEffect TQBarModel::SetPosition(int v) {
  PositionEffect effect;
  position_ = v;  // unclamped: caption and hint show what was set
  if (maximum_ == 0) return effect;
  effect.repaint = true;
  if (v <= 0) {
    filled_ = 0;  // percentage and hint keep their last values
    return effect;
  }
  const int clamped = std::min(v, maximum_);
  percentage_ = clamped * 100.0 / maximum_;
  const double x = length_ * percentage_ / 100;
  if (x > 0 && x < minExtent_)
    filled_ = minExtent_;  // a small value still shows a stub
  else if (x > length_)
    filled_ = length_;
  else
    filled_ = static_cast<int>(std::nearbyint(x));  // halves to even
  if (autoHint_) effect.hint = showPosAsPct_ ? GeneralFloat(percentage_) + " %" : std::to_string(v);
  effect.hide = hideOnTerminate_ && clamped == maximum_;
  return effect;
}

std::string TQBarModel::AutoCaptionText() const {
  return showPosAsPct_ ? GeneralFloat(percentage_) + "%" : std::to_string(position_);
}

void TQBarModel::RebuildBlockMap() {
  const int l = length_;
  blockMap_.assign(static_cast<size_t>(std::max(l + 1, 1)), TQBlockEntry{});
  if (!BlocksEnabled()) return;
  auto set = [&](int i, bool in, int last) {
    if (i >= 0 && i <= l) blockMap_[static_cast<size_t>(i)] = TQBlockEntry{in, last};
  };
  if (orientation_ == TQBarOrientation::boHorizontal) {
    int start = 3;
    int gapFrom = 0;
    while (start <= l) {
      const int end = std::min(start + blockSize_ - 1, l);
      for (int i = gapFrom; i < start; ++i) set(i, false, end);
      for (int i = start; i <= end; ++i) set(i, true, end);
      gapFrom = end + 1;
      start = end + spaceSize_ + 1;
    }
    for (int i = gapFrom; i <= l; ++i) set(i, false, l);
  } else {
    int top = l - 3;
    int gapFrom = l;
    while (top >= margin_) {
      const int lowest = std::max(top - blockSize_ + 1, margin_);
      for (int i = gapFrom; i > top; --i) set(i, false, lowest);
      for (int i = top; i >= lowest; --i) set(i, true, lowest);
      gapFrom = lowest - 1;
      top = lowest - spaceSize_ - 1;
    }
    for (int i = gapFrom; i >= 0; --i) set(i, false, 0);
  }
}

void TQBarModel::RebuildTables() {
  if (suspended_) return;
  const bool cylinder = kind_ == TQBarKind::bkCylinder;
  const int count = std::max(length_ + 1, 1);
  columns_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const TColor c = GradientColor(start_, final_, SingleColor(), i, length_);
    columns_[static_cast<size_t>(i)] =
        cylinder ? CylinderShade(c, across_, look_) : std::vector<TColor>(static_cast<size_t>(across_), c);
  }
  if (height_ <= margin_)
    inactive_.assign(1, inactiveColor_);
  else if (cylinder)
    inactive_ = CylinderShade(inactiveColor_, across_, look_);
  else
    inactive_.assign(static_cast<size_t>(across_), inactiveColor_);
  if (cylinder && invertInactive_) {
    for (TColor& c : inactive_) {
      THls hls = ColorToHls(c);
      hls.l = 240 - hls.l;
      c = HlsToColor(hls);
    }
  }
}

void TQBarModel::PaintBar(const std::function<void(int, int, TColor)>& setPixel) const {
  // Every index is checked against its table: a bar smaller than its own
  // margins has empty or one-entry tables.
  auto line = [&](const std::vector<TColor>& src, int at, int from, int to, bool horizontal) {
    for (int k = from; k <= to; ++k) {
      if (k < 0 || k >= static_cast<int>(src.size())) continue;
      if (horizontal)
        setPixel(at, k, src[static_cast<size_t>(k)]);
      else
        setPixel(k, at, src[static_cast<size_t>(k)]);
    }
  };
  auto entry = [&](int i) -> const TQBlockEntry* {
    return i >= 0 && i < static_cast<int>(blockMap_.size()) ? &blockMap_[static_cast<size_t>(i)] : nullptr;
  };
  auto column = [&](int i) -> const std::vector<TColor>* {
    return i >= 0 && i < static_cast<int>(columns_.size()) ? &columns_[static_cast<size_t>(i)] : nullptr;
  };
  const bool blocks = BlocksEnabled();
  const int p = filled_;

  if (orientation_ == TQBarOrientation::boHorizontal) {
    const int top = margin_ - 1, bottom = height_ - margin_;
    for (int x = margin_ - 1; x <= p; ++x) {
      const std::vector<TColor>* src = column(x);
      if (!src) continue;
      if (blocks) {
        const TQBlockEntry* e = entry(x);
        if (!e || !e->inBlock) continue;
        if (showFullBlock_ && e->lastIndex > p) {
          if (!showInactive_) continue;
          src = &inactive_;
        }
      }
      line(*src, x, top, bottom, true);
    }
    if (showInactive_) {
      for (int x = p < 3 ? 3 : p + 1; x <= length_; ++x) {
        const TQBlockEntry* e = entry(x);
        if (blocks && (!e || !e->inBlock)) continue;
        line(inactive_, x, top, bottom, true);
      }
    }
  } else {
    const int left = margin_ - 1, right = width_ - margin_;
    for (int y = length_ - 1; y >= height_ - p; --y) {
      const std::vector<TColor>* src = column(y);
      if (!src) continue;
      if (blocks) {
        const TQBlockEntry* e = entry(y);
        if (!e || !e->inBlock) continue;
        if (showFullBlock_ && e->lastIndex < height_ - p) {
          if (!showInactive_) continue;
          src = &inactive_;
        }
      }
      line(*src, y, left, right, false);
    }
    if (showInactive_) {
      for (int y = p < 3 ? length_ : height_ - p - 1; y >= margin_; --y) {
        const TQBlockEntry* e = entry(y);
        if (blocks && (!e || !e->inBlock)) continue;
        line(inactive_, y, left, right, false);
      }
    }
  }
}
