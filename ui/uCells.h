// The value cells behind the configuration grid: one record per controller
// row and configuration entry. The table grows with the controllers found
// and the entries configured; a row's cells are only allocated once one of
// them is written, so a large but mostly unread grid costs little.
//
// Every access is bounds-checked: reading outside the table gives an empty
// cell, writing outside it is refused. Qt-free.
#pragma once

#include <string>
#include <vector>

namespace tavex {

struct TCell {
  bool Edited = false;  // changed by the user, not written or read since
  bool Busy = false;    // being read or written at this moment
  // Not read in the last Read or Write that served its row (stopped before
  // it, the controller failed): the text need not be what the controller
  // holds, so Write leaves it out. Never set on an edited cell.
  bool Stale = false;
  std::string Text;     // the value as shown
  // Why the last Write did not get this cell's value into the controller
  // ("rejected value", the controller's error); empty when it did or none
  // was sent. Kept until the cell is next read.
  std::string Unwritten;
};

class TCellTable {
 public:
  // Sets the table's bounds. Cells inside both the old and the new bounds
  // keep their content; cells outside the new bounds are freed.
  void Resize(int Rows, int Columns);
  int Rows() const { return static_cast<int>(Rows_.size()); }
  int Columns() const { return Columns_; }

  // The cell, or an empty one outside the table.
  const TCell& At(int Row, int Column) const;
  // The cell for writing; nullptr outside the table.
  TCell* Cell(int Row, int Column);

  // Empties the texts of one row, and the marks about them (Stale,
  // Unwritten); the Edited and Busy marks stay.
  void ClearTexts(int Row);
  // Empties every cell (texts and marks); the bounds stay.
  void Clear();
  // Moves whole rows: row r goes to NewRow[r] (-1 or out of range: it is
  // dropped); the table then has Rows rows, and a row nothing moved to is
  // empty. The columns stay. A second row moved to the same place is dropped.
  void MoveRows(const std::vector<int>& NewRow, int Rows);

 private:
  std::vector<std::vector<TCell>> Rows_;  // each empty until first written
  int Columns_ = 0;
};

// The configuration grid's own selection: one cell (fixed columns
// included), or a rectangular block of cells between an anchor cell and a
// moving corner (Shift with a press, a drag or the arrow keys). Held as two
// positions rather than a table of flags, so that it is bounded whatever
// the grid's size.
class TCellSelection {
 public:
  void Clear() { Row_ = Column_ = AnchorRow_ = AnchorColumn_ = -1; }
  // One cell: anchor and corner both.
  void Set(int Row, int Column) {
    if (Row < 0 || Column < 0) return Clear();
    AnchorRow_ = Row_ = Row;
    AnchorColumn_ = Column_ = Column;
  }
  // The block from the anchor to (Row, Column); without a selection, Set.
  void Extend(int Row, int Column) {
    if (Row < 0 || Column < 0) return;
    if (IsEmpty()) return Set(Row, Column);
    Row_ = Row;
    Column_ = Column;
  }
  bool IsSelected(int Row, int Column) const {
    return !IsEmpty() && Row >= Top() && Row <= Bottom() && Column >= Left() && Column <= Right();
  }
  bool IsEmpty() const { return Row_ < 0; }
  bool IsBlock() const { return !IsEmpty() && (Row_ != AnchorRow_ || Column_ != AnchorColumn_); }
  // The moving corner: the one cell when there is no block.
  int Row() const { return Row_; }
  int Column() const { return Column_; }
  int AnchorRow() const { return AnchorRow_; }
  int AnchorColumn() const { return AnchorColumn_; }
  // The block's edges, inclusive; -1 when empty.
  int Top() const { return Row_ < AnchorRow_ ? Row_ : AnchorRow_; }
  int Bottom() const { return Row_ > AnchorRow_ ? Row_ : AnchorRow_; }
  int Left() const { return Column_ < AnchorColumn_ ? Column_ : AnchorColumn_; }
  int Right() const { return Column_ > AnchorColumn_ ? Column_ : AnchorColumn_; }

 private:
  int Row_ = -1;
  int Column_ = -1;
  int AnchorRow_ = -1;
  int AnchorColumn_ = -1;
};

}  // namespace tavex
