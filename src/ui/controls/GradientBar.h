#pragma once
// TQProgressBar: the gradient bar the windows use as signal meters. Drawing
// only; geometry and colour tables live in TQBarModel.

#include "ui/controls/GradientBarModel.h"

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

class TQProgressBar : public QWidget {
  Q_OBJECT

 public:
  explicit TQProgressBar(QWidget* parent = nullptr);

  TQBarOrientation orientation() const { return model_.Orientation(); }
  void setOrientation(TQBarOrientation o);
  TQBarKind barKind() const { return model_.BarKind(); }
  void setBarKind(TQBarKind k);
  TQBarLook barLook() const { return model_.BarLook(); }
  void setBarLook(TQBarLook l);
  bool roundCorner() const { return cornerRadius_ > 0; }
  void setRoundCorner(bool v);
  TColor backgroundColor() const { return background_; }
  void setBackgroundColor(TColor c);
  TColor barColor() const { return model_.BarColor(); }
  void setBarColor(TColor c);
  TColor startColor() const { return model_.StartColor(); }
  void setStartColor(TColor c);
  TColor finalColor() const { return model_.FinalColor(); }
  void setFinalColor(TColor c);
  bool showInactivePos() const { return model_.ShowInactivePos(); }
  void setShowInactivePos(bool v);
  bool invertInactPos() const { return model_.InvertInactPos(); }
  void setInvertInactPos(bool v);
  TColor inactivePosColor() const { return model_.InactivePosColor(); }
  void setInactivePosColor(TColor c);
  bool shaped() const { return shaped_; }
  void setShaped(bool v);
  TColor shapeColor() const { return shapeColor_; }
  void setShapeColor(TColor c);
  int blockSize() const { return model_.BlockSize(); }
  void setBlockSize(int v);
  int spaceSize() const { return model_.SpaceSize(); }
  void setSpaceSize(int v);
  bool showFullBlock() const { return model_.ShowFullBlock(); }
  void setShowFullBlock(bool v);
  int maximum() const { return model_.Maximum(); }
  void setMaximum(int v);
  int position() const { return model_.Position(); }
  void setPosition(int v);
  bool hideOnTerminate() const { return model_.HideOnTerminate(); }
  void setHideOnTerminate(bool v) { model_.SetHideOnTerminate(v); }
  QString caption() const { return caption_; }
  void setCaption(const QString& text);
  Qt::Alignment captionAlign() const { return captionAlign_; }
  // Qt::AlignLeft, Qt::AlignRight or Qt::AlignHCenter.
  void setCaptionAlign(Qt::Alignment a);
  QFont captionFont() const { return font(); }
  void setCaptionFont(const QFont& f);
  bool autoCaption() const { return autoCaption_; }
  void setAutoCaption(bool v) { autoCaption_ = v; }
  bool autoHint() const { return model_.AutoHint(); }
  void setAutoHint(bool v) { model_.SetAutoHint(v); }
  bool showPosAsPct() const { return model_.ShowPosAsPct(); }
  void setShowPosAsPct(bool v) { model_.SetShowPosAsPct(v); }

  const TQBarModel& model() const { return model_; }
  QPoint captionPlace() const { return captionPlace_; }
  bool hasCaption() const { return hasCaption_; }

  // The control as it paints itself, at its current size, on a screen of
  // the given device pixel ratio (the image holds size x ratio pixels).
  QImage render(qreal devicePixelRatio = 1.0);

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;

 private:
  void SyncSize();
  void PlaceCaption();

  TQBarModel model_;
  int cornerRadius_ = 5;
  TColor background_ = RGBColor(255, 255, 255);
  TColor shapeColor_ = RGBColor(0, 60, 116);
  bool shaped_ = true;
  QString caption_;
  Qt::Alignment captionAlign_ = Qt::AlignLeft;
  QPoint captionPlace_;
  bool hasCaption_ = false;
  bool autoCaption_ = false;
};

// The signal meter of the main and settings windows: cylinder glass bar from
// RGB 9, 243, 193 to blue, outlined, maximum 100, caption "0" centred with
// automatic caption and hint. All four meters are set up by this one call.
void ConfigureSignalMeter(TQProgressBar& bar);
