// The views of the main window's two grids. Each shows a table model whose
// column 0 carries the rows' check boxes (ui/uGridModels.h) and paints its
// cells through TCellPainter, which draws what the model's roles say.
//
// TCheckedGridView: the space bar toggles the check box of a row from any
// column. TConfigGridView adds the configuration grid's own single-cell
// selection, set by the mouse and the keyboard instead of the view's item
// selection, and asks for a value cell to be edited through a signal.
#pragma once

#include <QFocusFrame>
#include <QModelIndex>
#include <QPoint>
#include <QPointer>
#include <QTableView>

#include <vector>

#include "ui/uCells.h"

namespace tavex {

class TCellPainter;

class TCheckedGridView : public QTableView {
  Q_OBJECT

 public:
  explicit TCheckedGridView(QWidget* Parent = nullptr);
  // The focus frame lives beside the grid (in its parent): it goes with it.
  ~TCheckedGridView() override;

  TCellPainter* Painter() const { return Painter_; }
  // The frame drawn around the grid while it has the keyboard focus.
  QFocusFrame* FocusFrame() const { return FocusFrame_; }

 protected:
  // The row the space bar toggles; -1: none.
  virtual int SpaceRow() const;
  void keyPressEvent(QKeyEvent* Event) override;
  // The grid shows that it has the focus: a frame in the highlight colour
  // around it (the current cell alone may be out of sight, or none yet).
  void focusInEvent(QFocusEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;

 private:
  TCellPainter* Painter_;
  QPointer<QFocusFrame> FocusFrame_;
};

class TConfigGridView : public TCheckedGridView {
  Q_OBJECT

 public:
  explicit TConfigGridView(QWidget* Parent = nullptr);

  // The cells drawn as selected: one cell or a block (fixed columns
  // included, where they are not drawn).
  const TCellSelection& Selection() const { return Selection_; }
  // The cell the last press selected; a drag moves only the drawn one.
  int SelectedRow() const { return SelectedRow_; }
  int SelectedColumn() const { return SelectedColumn_; }
  bool IsDragging() const { return Dragging_; }
  // True between a double-click and the press that belongs to it.
  bool GetSkipMouseDown() const { return SkipMouseDown_; }

  // The cell under a point of the viewport; false outside every cell.
  bool CellAt(const QPoint& Point, int& Row, int& Column) const;
  // Whether the focus may move to a column: never the check-box column.
  static bool FocusChanging(int NewColumn) { return NewColumn > 0; }
  // Whether a cell is painted in the highlight colours: the selected cell,
  // when it is a value cell.
  bool IsMarked(int Row, int Column) const;
  // After the model's rows were rebuilt: the selected cell follows its row
  // from Row to NewRow[Row] (gone when -1 or not listed), and the keyboard
  // focus with it.
  void MoveRows(const std::vector<int>& NewRow);

 signals:
  // A double-click, Enter or F2 on the selected value cell. A slot that
  // opens a modal dialog runs while the event is being handled.
  void EditRequested(int Row, int Column);

 protected:
  int SpaceRow() const override;
  void keyPressEvent(QKeyEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseDoubleClickEvent(QMouseEvent* Event) override;
  // The view would make its first cell current on taking the focus; with
  // no cell selected none is current (the first key selects one).
  void focusInEvent(QFocusEvent* Event) override;
  // The keyboard focus never rests on the check-box column. The view's
  // current index and the selected cell are one cell: a current index set
  // by anyone else (a press, the program) moves the selection with it.
  void currentChanged(const QModelIndex& Current, const QModelIndex& Previous) override;

 private:
  // The view's current index onto the selected cell (none when none),
  // without moving the selection back.
  void SyncCurrent();
  // With Shift, a press extends the selection to a block from its anchor,
  // and the drag that follows moves the block's corner.
  void MouseDown(Qt::MouseButtons Buttons, const QPoint& Point,
                 Qt::KeyboardModifiers Modifiers = Qt::NoModifier);
  void MouseMove(const QPoint& Point);
  // Asks for the selected cell to be edited when it is a value cell.
  void EditSelected();
  // Arrow keys, Home/End (with Ctrl: also the first/last row), Page Up/Down:
  // move the one selected cell as a press would, the focus with it; with
  // Shift they move the block's corner instead. Without a selected cell
  // the first key selects the first value cell.
  void KeyMove(int Key, Qt::KeyboardModifiers Modifiers);

  TCellSelection Selection_;
  int SelectedRow_ = -1;
  int SelectedColumn_ = -1;
  bool Dragging_ = false;
  bool BlockDrag_ = false;  // the drag moves a block's corner (Shift at the press)
  bool SkipMouseDown_ = false;

  // The frozen first columns (ui/uFrozenColumns.h) hand their presses here.
  friend class TFrozenColumns;
  bool Syncing_ = false;  // SyncCurrent is setting the current index
  bool FocusingIn_ = false;  // the view's own focus-in handling runs
};

}  // namespace tavex
