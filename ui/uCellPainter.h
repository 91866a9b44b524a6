// Paints the cells of a grid in two stages that the window decides: first
// the background (before the text), then the text in a colour of the
// window's choice. A cell whose background the window painted does not get
// the view's selection colour over it.
#pragma once

#include <QColor>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>

#include <functional>
#include <optional>

namespace tavex {

class TCellPainter : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // Before the cell's text is drawn: paint its background into CellRect;
  // true when it painted one.
  std::function<bool(QPainter& Painter, int Row, int Column, const QRect& CellRect)> BeforeCellPaint;
  // False: the view's own selection is never drawn (the grid marks its
  // cells itself).
  bool ViewSelection = true;
  // The text colour; nullopt keeps the grid's normal one.
  std::function<std::optional<QColor>(int Row, int Column)> PaintText;

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
