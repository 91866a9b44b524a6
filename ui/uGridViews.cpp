#include "ui/uGridViews.h"

#include <QFocusFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>

#include <algorithm>
#include <cstdint>

#include "ui/uApplication.h"
#include "ui/uCellPainter.h"
#include "ui/uGridModels.h"

namespace tavex {

// --- TCheckedGridView ----------------------------------------------------------

TCheckedGridView::TCheckedGridView(QWidget* Parent)
    : QTableView(Parent), Painter_(new TCellPainter(this)), FocusFrame_(new QFocusFrame(this)) {
  setItemDelegate(Painter_);
  // The style fills the frame with the text colour; the highlight tells
  // the focus apart from the grid's own lines.
  QPalette p = FocusFrame_->palette();
  p.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::Highlight));
  FocusFrame_->setPalette(p);
  FocusFrame_->hide();
}

TCheckedGridView::~TCheckedGridView() { delete FocusFrame_.data(); }

void TCheckedGridView::focusInEvent(QFocusEvent* Event) {
  QTableView::focusInEvent(Event);
  FocusFrame_->setWidget(this);
  FocusFrame_->show();
}

void TCheckedGridView::focusOutEvent(QFocusEvent* Event) {
  QTableView::focusOutEvent(Event);
  FocusFrame_->setWidget(nullptr);
  FocusFrame_->hide();
}

int TCheckedGridView::SpaceRow() const { return currentIndex().row(); }

void TCheckedGridView::keyPressEvent(QKeyEvent* Event) {
  const Qt::KeyboardModifiers mods = Event->modifiers() & ~Qt::KeypadModifier;
  if (Event->key() != Qt::Key_Space || mods != 0 || model() == nullptr) {
    QTableView::keyPressEvent(Event);
    return;
  }
  // The space bar toggles the check box of the row from any column.
  const int row = SpaceRow();
  if (row >= 0 && row < model()->rowCount()) {
    const QModelIndex box = model()->index(row, 0);
    const bool checked = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    TApplication::RunHandler([this, box, checked] {
      model()->setData(box, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    });
  }
  Event->accept();
}

// --- TConfigGridView -----------------------------------------------------------

TConfigGridView::TConfigGridView(QWidget* Parent) : TCheckedGridView(Parent) {
  // The grid draws its own single-cell selection instead of the view's.
  setSelectionMode(QAbstractItemView::NoSelection);
  // A header click would move the view's current index to the top row of
  // its column, away from the selected cell.
  horizontalHeader()->setSectionsClickable(false);
  Painter()->ViewSelection = false;
  Painter()->Marked = [this](const QModelIndex& Index) { return IsMarked(Index.row(), Index.column()); };
}

bool TConfigGridView::IsMarked(int Row, int Column) const {
  return Column >= TConfigModel::kFixedColumns && Selection_.IsSelected(Row, Column);
}

bool TConfigGridView::CellAt(const QPoint& Point, int& Row, int& Column) const {
  Row = rowAt(Point.y());
  if (Row < 0) return false;
  // The first column whose right edge lies beyond the point, counted over
  // the grid's full scrolled width.
  const QHeaderView* header = horizontalHeader();
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

int TConfigGridView::SpaceRow() const {
  return Selection_.IsEmpty() ? TCheckedGridView::SpaceRow() : Selection_.Row();
}

void TConfigGridView::MouseDown(Qt::MouseButtons Buttons, const QPoint& Point,
                                Qt::KeyboardModifiers Modifiers) {
  if (Buttons & Qt::RightButton) return;
  if (SkipMouseDown_) {
    // The press that belongs to a double-click.
    SkipMouseDown_ = false;
    return;
  }
  int row = -1, column = -1;
  if ((Modifiers & Qt::ShiftModifier) && !Selection_.IsEmpty() && CellAt(Point, row, column)) {
    Selection_.Extend(row, column);
    Dragging_ = BlockDrag_ = true;
    SyncCurrent();
    viewport()->update();
    return;
  }
  Selection_.Clear();
  if (CellAt(Point, row, column)) {
    SelectedRow_ = row;
    SelectedColumn_ = column;
    Selection_.Set(row, column);
    Dragging_ = true;
  } else {
    SyncCurrent();  // no cell is current either
  }
  viewport()->update();
}

void TConfigGridView::SyncCurrent() {
  if (model() == nullptr || selectionModel() == nullptr) return;
  const QModelIndex at = Selection_.IsEmpty() ? QModelIndex() : model()->index(Selection_.Row(), Selection_.Column());
  if (at == currentIndex()) return;
  Syncing_ = true;
  selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
  Syncing_ = false;
}

void TConfigGridView::MouseMove(const QPoint& Point) {
  int row = -1, column = -1;
  if (!Dragging_ || !CellAt(Point, row, column)) return;
  if (BlockDrag_) {
    if (row == Selection_.Row() && column == Selection_.Column()) return;
    Selection_.Extend(row, column);
  } else {
    if (Selection_.IsSelected(row, column)) return;
    Selection_.Set(row, column);
  }
  SyncCurrent();
  viewport()->update();
}

void TConfigGridView::EditSelected() {
  if (!Selection_.IsSelected(SelectedRow_, SelectedColumn_) || SelectedColumn_ < TConfigModel::kFixedColumns)
    return;
  emit EditRequested(SelectedRow_, SelectedColumn_);
}

void TConfigGridView::KeyMove(int Key, Qt::KeyboardModifiers Modifiers) {
  if (model() == nullptr) return;
  const int rows = model()->rowCount();
  const int columns = model()->columnCount();
  if (rows == 0 || columns < 2) return;
  // From the painted cell, as a press there would leave it; the check-box
  // column is never the keyboard's.
  int row = Selection_.IsEmpty() ? 0 : Selection_.Row();
  int column = Selection_.IsEmpty() ? TConfigModel::kFixedColumns : Selection_.Column();
  if (Selection_.IsEmpty() && column >= columns) column = 1;
  const int page = std::max(1, viewport()->height() / std::max(1, rowHeight(0)) - 1);
  const bool ctrl = (Modifiers & Qt::ControlModifier) != 0;
  const bool shift = (Modifiers & Qt::ShiftModifier) != 0;
  if (!Selection_.IsEmpty()) {
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
  if (shift && !Selection_.IsEmpty()) {
    // The anchor stays the cell that Enter edits.
    Selection_.Extend(row, column);
  } else {
    Selection_.Set(row, column);
    SelectedRow_ = row;
    SelectedColumn_ = column;
  }
  const QModelIndex at = model()->index(row, column);
  selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
  scrollTo(at);
  viewport()->update();
}

void TConfigGridView::keyPressEvent(QKeyEvent* Event) {
  const Qt::KeyboardModifiers mods = Event->modifiers() & ~Qt::KeypadModifier;
  switch (Event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      KeyMove(Event->key(), mods);
      Event->accept();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
      if (mods != 0) break;
      EditSelected();
      Event->accept();
      return;
    default:
      break;
  }
  TCheckedGridView::keyPressEvent(Event);
}

// Each mouse handler updates the grid's own selection first; the view then
// goes on with its own handling (the check boxes).

void TConfigGridView::mousePressEvent(QMouseEvent* Event) {
  // The right button changes nothing: the view would make the pressed cell
  // its current one, a second cell beside the selected one.
  if (Event->button() == Qt::RightButton) {
    Event->accept();
    return;
  }
  MouseDown(Event->buttons() | Event->button(), Event->position().toPoint(), Event->modifiers());
  TCheckedGridView::mousePressEvent(Event);
}

void TConfigGridView::mouseMoveEvent(QMouseEvent* Event) {
  MouseMove(Event->position().toPoint());
  TCheckedGridView::mouseMoveEvent(Event);
}

void TConfigGridView::mouseReleaseEvent(QMouseEvent* Event) {
  // Where a drag ended is the cell Enter edits and the keys go on from; a
  // block's drag leaves that cell at the block's anchor.
  if (Dragging_ && !BlockDrag_ && !Selection_.IsEmpty()) {
    SelectedRow_ = Selection_.Row();
    SelectedColumn_ = Selection_.Column();
  }
  Dragging_ = BlockDrag_ = false;
  TCheckedGridView::mouseReleaseEvent(Event);
}

void TConfigGridView::mouseDoubleClickEvent(QMouseEvent* Event) {
  // The double-click stands for the second press as well, which the edit
  // tells the press handler to skip.
  const QPoint at = Event->position().toPoint();
  const Qt::MouseButtons buttons = Event->buttons() | Event->button();
  SkipMouseDown_ = true;
  EditSelected();
  MouseDown(buttons, at);
  TCheckedGridView::mouseDoubleClickEvent(Event);
}

void TConfigGridView::MoveRows(const std::vector<int>& NewRow) {
  const auto moved = [&](int Row) {
    return Row >= 0 && static_cast<size_t>(Row) < NewRow.size() ? NewRow[static_cast<size_t>(Row)] : -1;
  };
  const int column = Selection_.Column();
  const int row = moved(Selection_.Row());
  if (row < 0) Selection_.Clear(); else Selection_.Set(row, column);
  SelectedRow_ = moved(SelectedRow_);
  if (SelectedRow_ < 0) SelectedColumn_ = -1;
  Dragging_ = false;
  if (row >= 0 && model() != nullptr && selectionModel() != nullptr) {
    const QModelIndex at = model()->index(row, column);
    if (at.isValid()) selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
  }
  viewport()->update();
}

void TConfigGridView::focusInEvent(QFocusEvent* Event) {
  FocusingIn_ = Selection_.IsEmpty();
  TCheckedGridView::focusInEvent(Event);
  FocusingIn_ = false;
}

void TConfigGridView::currentChanged(const QModelIndex& Current, const QModelIndex& Previous) {
  TCheckedGridView::currentChanged(Current, Previous);
  if (Syncing_ || !Current.isValid() || model() == nullptr) return;
  if (!FocusChanging(Current.column())) {
    const int column = Previous.isValid() && FocusChanging(Previous.column()) ? Previous.column() : 1;
    selectionModel()->setCurrentIndex(model()->index(Current.row(), column), QItemSelectionModel::NoUpdate);
    return;
  }
  if (FocusingIn_) {
    SyncCurrent();  // back to none: nothing is selected
    return;
  }
  // One current cell: the selection follows. A drag keeps the pressed
  // cell until it ends.
  if (Selection_.IsSelected(Current.row(), Current.column())) return;
  Selection_.Set(Current.row(), Current.column());
  if (!Dragging_) {
    SelectedRow_ = Current.row();
    SelectedColumn_ = Current.column();
  }
  viewport()->update();
}

}  // namespace tavex
