#pragma once
// Everything of the gradient progress bar but the drawing: geometry, the
// position in pixels, the block map and the precomputed colour tables. The
// widget (GradientBar.h) forwards its properties here and paints the pixels that
// PaintBar hands out.

#include "ui/controls/GradientBarColours.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class TQBarOrientation { boHorizontal, boVertical };
enum class TQBarKind { bkFlat, bkCylinder };

struct TQBlockEntry {
  bool inBlock = false;
  int lastIndex = 0;  // horizontal: the block's last index; vertical: its lowest one
};

class TQBarModel {
 public:
  // `designing` stands for the form designer: the first position is 50 and an
  // orientation change also swaps start and final colours.
  explicit TQBarModel(bool designing = false);

  // Size of the control; Resize is the resize handler.
  int Width() const { return width_; }
  int Height() const { return height_; }
  void Resize(int width, int height);

  TQBarOrientation Orientation() const { return orientation_; }
  // May swap Width and Height; the widget follows them.
  void SetOrientation(TQBarOrientation o);

  TQBarKind BarKind() const { return kind_; }
  void SetBarKind(TQBarKind k);
  TQBarLook BarLook() const { return look_; }
  void SetBarLook(TQBarLook l);
  TColor BarColor() const { return start_; }
  void SetBarColor(TColor c);
  TColor StartColor() const { return start_; }
  void SetStartColor(TColor c);
  TColor FinalColor() const { return final_; }
  void SetFinalColor(TColor c);
  bool SingleColor() const { return start_ == final_; }
  bool ShowInactivePos() const { return showInactive_; }
  void SetShowInactivePos(bool v);
  bool InvertInactPos() const { return invertInactive_; }
  void SetInvertInactPos(bool v);
  TColor InactivePosColor() const { return inactiveColor_; }
  void SetInactivePosColor(TColor c);

  int BlockSize() const { return blockSize_; }
  void SetBlockSize(int v);
  int SpaceSize() const { return spaceSize_; }
  void SetSpaceSize(int v);
  bool BlocksEnabled() const { return blockSize_ > 0 && spaceSize_ > 0; }
  bool ShowFullBlock() const { return showFullBlock_; }
  void SetShowFullBlock(bool v) { showFullBlock_ = v; }

  int Maximum() const { return maximum_; }
  void SetMaximum(int v) { maximum_ = v < 0 ? 0 : v; }

  bool HideOnTerminate() const { return hideOnTerminate_; }
  void SetHideOnTerminate(bool v) { hideOnTerminate_ = v; }
  bool AutoHint() const { return autoHint_; }
  void SetAutoHint(bool v) { autoHint_ = v; }
  bool ShowPosAsPct() const { return showPosAsPct_; }
  void SetShowPosAsPct(bool v) { showPosAsPct_ = v; }

  struct PositionEffect {
    bool repaint = false;
    bool hide = false;                // hideOnTerminate and the maximum reached
    std::optional<std::string> hint;  // the new hint when AutoHint is on
  };
  int Position() const { return position_; }
  PositionEffect SetPosition(int v);

  // The text the automatic caption shows at every paint.
  std::string AutoCaptionText() const;

  // Geometry and tables, read by the widget and the tests.
  int Border() const { return border_; }
  int Margin() const { return margin_; }
  int Length() const { return length_; }
  int MinExtent() const { return minExtent_; }
  int Across() const { return across_; }
  int Filled() const { return filled_; }
  double Percentage() const { return percentage_; }
  const std::vector<TQBlockEntry>& BlockMap() const { return blockMap_; }
  const std::vector<std::vector<TColor>>& Columns() const { return columns_; }
  const std::vector<TColor>& InactiveColumn() const { return inactive_; }

  // Hands out every pixel of the filled and the inactive part, in paint order.
  void PaintBar(const std::function<void(int x, int y, TColor c)>& setPixel) const;

 private:
  int AlongDimension() const;
  int AcrossDimension() const;
  void UpdateLength();
  void RebuildBlockMap();
  void RebuildTables();

  bool designing_;
  int width_ = 64;
  int height_ = 16;
  TQBarOrientation orientation_ = TQBarOrientation::boHorizontal;
  TQBarKind kind_ = TQBarKind::bkFlat;
  TQBarLook look_ = TQBarLook::blMetal;
  TColor start_ = RGBColor(0, 255, 0);
  TColor final_ = RGBColor(0, 255, 0);
  bool showInactive_ = false;
  bool invertInactive_ = false;
  TColor inactiveColor_ = RGBColor(128, 128, 128);
  int blockSize_ = 0;
  int spaceSize_ = 0;
  bool showFullBlock_ = false;
  int maximum_ = 100;
  int position_ = 0;
  bool hideOnTerminate_ = false;
  bool autoHint_ = false;
  bool showPosAsPct_ = false;
  bool suspended_ = false;

  int border_ = 2;
  int margin_ = 4;
  int length_ = 0;
  int minExtent_ = 0;
  int across_ = 1;
  int filled_ = 0;
  double percentage_ = 0;
  std::vector<TQBlockEntry> blockMap_;
  std::vector<std::vector<TColor>> columns_;
  std::vector<TColor> inactive_;
};
