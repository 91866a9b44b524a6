// Paints the cells of a grid as their model's roles say: the background
// (Qt::BackgroundRole) fills the whole cell and the view's selection is not
// drawn over it; the text takes its colour (Qt::ForegroundRole) also where
// the view would draw it selected. Over both, the view may mark one cell,
// which is drawn in its highlight colours. A text the column cuts shows in
// full as a tooltip: that depends on the column's width, which only the
// view knows, so it is told here rather than by the model.
#pragma once

#include <QModelIndex>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>

#include <functional>

namespace tavex {

class TCellPainter : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // False: the view's own selection is never drawn (the grid marks its
  // cells itself).
  bool ViewSelection = true;
  // The cell the view draws as selected; empty: none.
  std::function<bool(const QModelIndex& Index)> Marked;

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;

  // The whole text of a cell whose column cuts it (shown as a tooltip);
  // empty when the text fits.
  QString CutText(const QStyleOptionViewItem& Option, const QModelIndex& Index) const;
  bool helpEvent(QHelpEvent* Event, QAbstractItemView* View, const QStyleOptionViewItem& Option,
                 const QModelIndex& Index) override;
};

// The rectangle a cell's background fills. The view hands each cell its
// rectangle without the grid lines (they lie one pixel beyond it), so the
// whole of it is filled: the grid line beside it stays visible, and no
// unfilled pixel is left between the two.
inline QRect FillRect(const QRect& CellRect) { return CellRect; }

}  // namespace tavex
