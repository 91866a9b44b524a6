#include "ui/uCellPainter.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

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

QString TCellPainter::CutText(const QStyleOptionViewItem& Option, const QModelIndex& Index) const {
  QStyleOptionViewItem opt(Option);
  initStyleOption(&opt, Index);
  if (opt.text.isEmpty()) return QString();
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  // The room the style gives the text, less its margins on either side.
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
  const QRect room = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
  return opt.fontMetrics.horizontalAdvance(opt.text) > room.width() - 2 * margin ? opt.text : QString();
}

bool TCellPainter::helpEvent(QHelpEvent* Event, QAbstractItemView* View, const QStyleOptionViewItem& Option,
                             const QModelIndex& Index) {
  if (Event == nullptr || View == nullptr || Event->type() != QEvent::ToolTip)
    return QStyledItemDelegate::helpEvent(Event, View, Option, Index);
  const QString text = CutText(Option, Index);
  if (text.isEmpty()) {
    QToolTip::hideText();
    Event->ignore();
    return false;
  }
  QToolTip::showText(Event->globalPos(), text, View->viewport(), View->visualRect(Index));
  return true;
}

}  // namespace tavex
