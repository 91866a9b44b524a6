#include "ui/uCells.h"

namespace tavex {

namespace {
const TCell kEmptyCell{};
}  // namespace

void TCellTable::Resize(int Rows, int Columns) {
  if (Rows < 0) Rows = 0;
  if (Columns < 0) Columns = 0;
  Rows_.resize(static_cast<size_t>(Rows));
  Columns_ = Columns;
  for (auto& row : Rows_)
    if (row.size() > static_cast<size_t>(Columns)) row.resize(static_cast<size_t>(Columns));
}

const TCell& TCellTable::At(int Row, int Column) const {
  if (Row < 0 || Row >= Rows() || Column < 0 || Column >= Columns_) return kEmptyCell;
  const auto& row = Rows_[static_cast<size_t>(Row)];
  if (static_cast<size_t>(Column) >= row.size()) return kEmptyCell;
  return row[static_cast<size_t>(Column)];
}

TCell* TCellTable::Cell(int Row, int Column) {
  if (Row < 0 || Row >= Rows() || Column < 0 || Column >= Columns_) return nullptr;
  auto& row = Rows_[static_cast<size_t>(Row)];
  if (row.size() < static_cast<size_t>(Columns_)) row.resize(static_cast<size_t>(Columns_));
  return &row[static_cast<size_t>(Column)];
}

void TCellTable::ClearTexts(int Row) {
  if (Row < 0 || Row >= Rows()) return;
  for (TCell& c : Rows_[static_cast<size_t>(Row)]) {
    c.Text.clear();
    c.Stale = false;
    c.Unwritten.clear();
  }
}

void TCellTable::MoveRows(const std::vector<int>& NewRow, int Rows) {
  if (Rows < 0) Rows = 0;
  std::vector<std::vector<TCell>> moved(static_cast<size_t>(Rows));
  std::vector<char> taken(static_cast<size_t>(Rows), 0);
  for (size_t r = 0; r < Rows_.size() && r < NewRow.size(); ++r) {
    const int to = NewRow[r];
    if (to < 0 || to >= Rows || taken[static_cast<size_t>(to)]) continue;
    taken[static_cast<size_t>(to)] = 1;
    moved[static_cast<size_t>(to)] = std::move(Rows_[r]);
  }
  Rows_ = std::move(moved);
}

void TCellTable::Clear() {
  for (auto& row : Rows_) row.clear();
}

}  // namespace tavex
