#pragma once
// The channel list's cells: grid lines on white, and a selected row that
// keeps its own text colour (navy, or red when ticked) on a light
// highlight, focused or not, so the row the list commands act on stays
// readable.
#include <QColor>
#include <QStyledItemDelegate>

class TListRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  static QColor SelectedBackground() { return QColor(190, 210, 240); }
  static QColor GridLine() { return QColor(208, 208, 208); }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
