#include "ui/controls/ListRowDelegate.h"

#include <QPainter>

void TListRowDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  // The style paints a selected cell in Highlight / HighlightedText; both are
  // made the row's own colours on the light highlight, in every colour group.
  // The base class has put the item's foreground into Text.
  const QBrush own = option->palette.brush(QPalette::Active, QPalette::Text);
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    option->palette.setBrush(group, QPalette::Highlight, SelectedBackground());
    option->palette.setBrush(group, QPalette::HighlightedText, own);
  }
}

void TListRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  painter->save();
  painter->setPen(GridLine());
  const QRect r = option.rect;
  painter->drawLine(r.topRight(), r.bottomRight());
  painter->drawLine(r.bottomLeft(), r.bottomRight());
  painter->restore();
}
