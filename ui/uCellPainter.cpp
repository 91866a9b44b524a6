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
  // initStyleOption gave the role's colour to the normal text only.
  if (Index.data(Qt::ForegroundRole).canConvert<QBrush>())
    opt.palette.setBrush(QPalette::HighlightedText, opt.palette.brush(QPalette::Text));
  if (opt.backgroundBrush.style() != Qt::NoBrush) {
    Painter->fillRect(FillRect(opt.rect), opt.backgroundBrush);
    opt.backgroundBrush = QBrush();
    opt.state &= ~QStyle::State_Selected;
  }
  if (Marked && Marked(Index)) {
    // The grid's highlight as its window shows it now (active or not).
    const QPalette& view = opt.widget != nullptr ? opt.widget->palette() : opt.palette;
    Painter->fillRect(FillRect(opt.rect), view.color(QPalette::Highlight));
    const QColor text = view.color(QPalette::HighlightedText);
    opt.palette.setColor(QPalette::Text, text);
    opt.palette.setColor(QPalette::HighlightedText, text);
    // The highlight is the current cell's mark already, edge to edge; the
    // style's focus rectangle would only darken its rim.
    opt.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
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
