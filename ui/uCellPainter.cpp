#include "ui/uCellPainter.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace tavex {

void TCellPainter::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                         const QModelIndex& Index) const {
  QStyleOptionViewItem opt(Option);
  initStyleOption(&opt, Index);
  if (!ViewSelection) opt.state &= ~QStyle::State_Selected;
  if (BeforeCellPaint) {
    Painter->save();
    const bool painted = BeforeCellPaint(*Painter, Index.row(), Index.column(), opt.rect);
    Painter->restore();
    if (painted) opt.state &= ~QStyle::State_Selected;
  }
  if (PaintText) {
    if (const std::optional<QColor> c = PaintText(Index.row(), Index.column())) {
      opt.palette.setColor(QPalette::Text, *c);
      opt.palette.setColor(QPalette::HighlightedText, *c);
    }
  }
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, Painter, widget);
}

}  // namespace tavex
