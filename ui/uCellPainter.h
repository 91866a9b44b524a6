// Paints the cells of a grid in two stages that the window decides: first
// the background (before the text), then the text in a colour of the
// window's choice. A cell whose background the window painted does not get
// the view's selection colour over it.
#pragma once

#include <QColor>
#include <QRect>
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
};

// A cell's rectangle narrowed by one pixel on the right, so that a filled
// background leaves the vertical grid line beside it visible.
inline QRect FillRect(const QRect& CellRect) { return CellRect.adjusted(0, 0, -1, 0); }

}  // namespace tavex
