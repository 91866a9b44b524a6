// The main window's configuration grid: cell texts and colours, the
// single-cell selection by mouse and keyboard, editing, the event filter.
#include "ui/fMain.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QTableView>

#include <algorithm>

#include "ui/fEditValue.h"
#include "ui/fMainInternal.h"
#include "ui/uApplication.h"
#include "ui/uCellPainter.h"
#include "ui/uGridModels.h"

namespace tavex {

using namespace fmain;


// --- Configuration page --------------------------------------------------------

QString TfmMain::vstConfigGetText(int Row, int Column) const { return ConfigModel_->CellText(Row, Column); }

std::optional<QColor> TfmMain::vstConfigPaintText(int Row, int Column) const {
  if (Column < TConfigModel::kFixedColumns) return std::nullopt;
  std::optional<QColor> color;
  if (Cells.At(Row, Column - TConfigModel::kFixedColumns).Edited) color = kEditedColor;
  if (Selection.IsSelected(Row, Column)) color = vstConfig->palette().color(QPalette::HighlightedText);
  return color;
}

void TfmMain::vstConfigBeforeCellPaint(QPainter& Painter, int Row, int Column, const QRect& CellRect) const {
  if (Column < TConfigModel::kFixedColumns) return;
  if (Cells.At(Row, Column - TConfigModel::kFixedColumns).Busy) Painter.fillRect(FillRect(CellRect), kBusyColor);
  if (Selection.IsSelected(Row, Column))
    Painter.fillRect(FillRect(CellRect), vstConfig->palette().color(QPalette::Highlight));
}

bool TfmMain::CellAt(const QPoint& Point, int& Row, int& Column) const {
  Row = vstConfig->rowAt(Point.y());
  if (Row < 0) return false;
  // The first column whose right edge lies beyond the point, counted over
  // the grid's full scrolled width.
  const QHeaderView* header = vstConfig->horizontalHeader();
  const int64_t x = static_cast<int64_t>(Point.x()) + header->offset();
  int64_t right = 0;
  for (int c = 0; c < header->count(); ++c) {
    right += header->sectionSize(c);
    if (right > x) {
      Column = c;
      return true;
    }
  }
  return false;
}

void TfmMain::vstConfigMouseDown(Qt::MouseButtons Buttons, const QPoint& Point) {
  if (Buttons & Qt::RightButton) return;
  if (SkipMouseDown) {
    // The press that belongs to a double-click.
    SkipMouseDown = false;
    return;
  }
  Selection.Clear();
  int row = -1, column = -1;
  if (CellAt(Point, row, column)) {
    SelectedRow = row;
    SelectedColumn = column;
    Selection.Set(row, column);
    Dragging = true;
  }
  vstConfig->viewport()->update();
}

void TfmMain::vstConfigMouseMove(const QPoint& Point) {
  int row = -1, column = -1;
  if (!Dragging || !CellAt(Point, row, column)) return;
  if (Selection.IsSelected(row, column)) return;
  Selection.Set(row, column);
  vstConfig->viewport()->update();
}

void TfmMain::vstConfigMouseUp() { Dragging = false; }

bool TfmMain::vstConfigFocusChanging(int NewColumn) const { return NewColumn > 0; }

void TfmMain::vstConfigDblClick() {
  SkipMouseDown = true;
  EditSelectedCell();
}

void TfmMain::EditSelectedCell() {
  if (!Selection.IsSelected(SelectedRow, SelectedColumn) || SelectedColumn < TConfigModel::kFixedColumns)
    return;
  // Not while Read or Write walks the cells: the dialog would hold their
  // answers up, and the request would overwrite the edit.
  TOperationGuard operation(*this);
  if (!operation || fmEditValue_ == nullptr) return;
  const int row = SelectedRow, entry = SelectedColumn - TConfigModel::kFixedColumns;
  fmEditValue_->Value = QString::fromStdString(Cells.At(row, entry).Text);
  if (fmEditValue_->exec() != QDialog::Accepted) return;
  // The rows may have changed while the dialog was open.
  TCell* cell = Cells.Cell(row, entry);
  if (cell == nullptr) return;
  cell->Text = fmEditValue_->Value.toStdString();
  cell->Edited = true;
  ConfigModel_->RefreshCell(row, entry);
}

void TfmMain::vstConfigKeyMove(int Key, Qt::KeyboardModifiers Modifiers) {
  const int rows = ConfigModel_->rowCount();
  const int columns = ConfigModel_->columnCount();
  if (rows == 0 || columns < 2) return;
  // From the painted cell, as a press there would leave it; the check-box
  // column is never the keyboard's.
  int row = Selection.IsEmpty() ? 0 : Selection.Row();
  int column = Selection.IsEmpty() ? TConfigModel::kFixedColumns : Selection.Column();
  if (Selection.IsEmpty() && column >= columns) column = 1;
  const int page = std::max(1, vstConfig->viewport()->height() / std::max(1, vstConfig->rowHeight(0)) - 1);
  const bool ctrl = (Modifiers & Qt::ControlModifier) != 0;
  if (!Selection.IsEmpty()) {
    switch (Key) {
      case Qt::Key_Left: --column; break;
      case Qt::Key_Right: ++column; break;
      case Qt::Key_Up: --row; break;
      case Qt::Key_Down: ++row; break;
      case Qt::Key_Home: column = 1; if (ctrl) row = 0; break;
      case Qt::Key_End: column = columns - 1; if (ctrl) row = rows - 1; break;
      case Qt::Key_PageUp: row -= page; break;
      case Qt::Key_PageDown: row += page; break;
      default: break;
    }
  }
  row = std::clamp(row, 0, rows - 1);
  column = std::clamp(column, 1, columns - 1);
  Selection.Set(row, column);
  SelectedRow = row;
  SelectedColumn = column;
  const QModelIndex at = ConfigModel_->index(row, column);
  vstConfig->selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
  vstConfig->scrollTo(at);
  vstConfig->viewport()->update();
}

bool TfmMain::eventFilter(QObject* Watched, QEvent* Event) {
  if ((Watched == vstConfig || Watched == vstSystem) && Event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Space && mods == 0) {
      // The space bar toggles the check box of the current row from any
      // column, on both pages.
      const bool config = Watched == vstConfig;
      TCheckedRowsModel* model = config ? static_cast<TCheckedRowsModel*>(ConfigModel_.get())
                                        : static_cast<TCheckedRowsModel*>(SystemModel_.get());
      const int row = config && !Selection.IsEmpty() ? Selection.Row()
                                                     : static_cast<QTableView*>(Watched)->currentIndex().row();
      if (row >= 0 && row < model->rowCount())
        TApplication::RunHandler([model, row] { model->SetChecked(row, !model->Checked(row)); });
      return true;
    }
    if (Watched == vstConfig) {
      switch (key->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: {
          const int k = key->key();
          TApplication::RunHandler([this, k, mods] { vstConfigKeyMove(k, mods); });
          return true;
        }
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F2:
          if (mods != 0) break;
          TApplication::RunHandler([this] { EditSelectedCell(); });
          return true;
        default:
          break;
      }
    }
    return QWidget::eventFilter(Watched, Event);
  }
  if (Watched != vstConfig->viewport()) return QWidget::eventFilter(Watched, Event);
  switch (Event->type()) {
    case QEvent::MouseButtonPress: {
      const auto* e = static_cast<QMouseEvent*>(Event);
      const QPoint at = e->position().toPoint();
      const Qt::MouseButtons buttons = e->buttons() | e->button();
      TApplication::RunHandler([this, at, buttons] { vstConfigMouseDown(buttons, at); });
      break;
    }
    case QEvent::MouseMove: {
      const QPoint at = static_cast<QMouseEvent*>(Event)->position().toPoint();
      TApplication::RunHandler([this, at] { vstConfigMouseMove(at); });
      break;
    }
    case QEvent::MouseButtonRelease:
      TApplication::RunHandler([this] { vstConfigMouseUp(); });
      break;
    case QEvent::MouseButtonDblClick: {
      const auto* e = static_cast<QMouseEvent*>(Event);
      const QPoint at = e->position().toPoint();
      const Qt::MouseButtons buttons = e->buttons() | e->button();
      // The double-click stands for the second press as well, which the
      // edit tells the press handler to skip.
      TApplication::RunHandler([this] { vstConfigDblClick(); });
      TApplication::RunHandler([this, at, buttons] { vstConfigMouseDown(buttons, at); });
      break;
    }
    default:
      break;
  }
  // The view goes on with its own handling (the check boxes).
  return false;
}

}  // namespace tavex
