// Table models behind the two grids of the main window. They read the
// controller list and the configuration entries, hold what only the grids
// show (check boxes, the value cells), and never talk to a controller.
// Column 0 carries each row's check box; a checked row takes part in the
// page's operation.
//
// Roles: Qt::DisplayRole the text; Qt::CheckStateRole column 0's box;
// Qt::BackgroundRole kBusyCellColor for a cell at work (the status step
// under way, a value cell being read or written); Qt::ForegroundRole
// kEditedCellColor for a value the user edited, kStaleCellColor for one
// not read in the last operation, kMissingRowColor for every cell of an
// expected controller that was not found; Qt::BackgroundRole
// kUnwrittenCellColor and Qt::ToolTipRole the reason for a value the last
// Write did not get into its controller. Other cells give no colour and
// keep the grid's own.
//
// Rows: one per controller of the list, then one per expected controller
// that was not found (Missing). Those last rows show NAD and address only,
// have no check box and are never checked, so that no operation, which
// walks the list's rows, reaches them.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plc/uControllerMatch.h"
#include "ui/uCells.h"

namespace tavex {

class TTavexList;

inline const QColor kBusyCellColor(255, 0, 0);
inline const QColor kEditedCellColor(0, 0, 255);
inline const QColor kMissingRowColor(255, 0, 0);
inline const QColor kStaleCellColor(128, 128, 128);
inline const QColor kUnwrittenCellColor(255, 200, 200);

// What the grids show of a controller whose record an operation off the
// user-interface thread holds (it must not be read meanwhile): its state as
// it was when the operation took it.
struct TRowSnapshot {
  std::string Ip;
  std::string Rtc;
  bool Flags[5] = {};  // SocketOpen, Responding, HasProgram, AlcOk, PlcRunning
};

// Rows by count, each with a two-state check box in column 0.
class TCheckedRowsModel : public QAbstractTableModel {
 public:
  explicit TCheckedRowsModel(const TTavexList& List, QObject* Parent = nullptr);

  // The snapshot to show instead of a row's record; empty, or nullptr for a
  // row: the record is read.
  std::function<const TRowSnapshot*(int Row)> Snapshot;

  // The check state a new row starts with.
  bool NewRowsChecked = false;
  // Runs before a row's check state changes, with the state it gets.
  std::function<void(int Row, bool Checked)> Checking;
  // The expected controllers that were not found, shown after the list's
  // rows; not owned, may be null. Whoever changes it resets the rows.
  const std::vector<TControllerKey>* Missing = nullptr;
  // The missing controller a row shows, or nullptr.
  const TControllerKey* MissingAt(int Row) const;

  // Sets the number of rows; rows added get NewRowsChecked.
  void SetRowCount(int Count);
  bool Checked(int Row) const;
  // Changes a row's state through Checking (nothing when it already has it).
  void SetChecked(int Row, bool Value);
  void CheckAll();
  // Around a change of the whole list: the views forget every row, and the
  // rows get the check states given (one per row; missing ones unchecked).
  void BeginResetRows() { beginResetModel(); }
  void EndResetRows(std::vector<char> Checked);
  // Every cell may have changed.
  void Refresh();
  void RefreshRow(int Row);

  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  Qt::ItemFlags flags(const QModelIndex& Index) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& Index, const QVariant& Value, int Role = Qt::EditRole) override;
  QVariant headerData(int Section, Qt::Orientation Orientation,
                      int Role = Qt::DisplayRole) const override;

  // The text of a cell; empty outside the grid.
  virtual QString CellText(int Row, int Column) const = 0;

 protected:
  // A role of a cell inside the grid other than its text and check box;
  // an invalid value when the cell has none.
  virtual QVariant CellData(int Row, int Column, int Role) const;
  virtual QString ColumnCaption(int Column) const = 0;
  // Text of the fixed columns "No.", "NAD", "IP"; empty for a row without
  // a controller.
  QString FixedText(int Row, int Column) const;
  const TRowSnapshot* SnapshotOf(int Row) const { return Snapshot ? Snapshot(Row) : nullptr; }

  const TTavexList& List_;

 private:
  std::vector<char> Checked_;
};

// "System check": No., NAD, IP and the five status steps.
class TSystemModel : public TCheckedRowsModel {
 public:
  struct TColumn {
    const char* Caption;
    int Width;
  };
  static constexpr int kColumnCount = 8;
  static const TColumn kColumns[kColumnCount];

  // StatusChecked, CheckProgress and CheckLimit are the window's fields,
  // read on every call. CheckLimit: the number of the first step a stopped
  // check did not run (it and every later cell show nothing); -1 when none.
  TSystemModel(const TTavexList& List, const bool& StatusChecked, const int32_t& CheckProgress,
               const int32_t& CheckLimit, QObject* Parent = nullptr);

  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  // "ok", "error" or empty: empty unless a check has run, the row's
  // controller is shown, and the step is finished.
  QString StatusText(int Row, int Step) const;
  QString CellText(int Row, int Column) const override;
  // The status cell of the step under way (5 x row + step = CheckProgress).
  bool IsProgressCell(int Row, int Column) const;

 protected:
  QString ColumnCaption(int Column) const override;
  QVariant CellData(int Row, int Column, int Role) const override;

 private:
  const bool& StatusChecked_;
  const int32_t& CheckProgress_;
  const int32_t& CheckLimit_;
};

// "Configuration": No., NAD, IP, RTC and one column per configuration entry.
class TConfigModel : public TCheckedRowsModel {
 public:
  static constexpr int kFixedColumns = 4;
  static constexpr const char* kFixedCaptions[kFixedColumns] = {"No.", "NAD", "IP", "RTC"};
  static constexpr int kFixedWidths[kFixedColumns] = {50, 50, 120, 120};

  TConfigModel(const TTavexList& List, const std::vector<std::string>& VarNames, QObject* Parent = nullptr);

  // The value cells: one per row and entry (column kFixedColumns + entry).
  // Whoever changes one refreshes it (RefreshCell, RefreshRow, Refresh).
  TCellTable& Cells() { return Cells_; }
  const TCellTable& Cells() const { return Cells_; }

  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  // Runs Change, which alters the entries, and rebuilds the columns.
  void ChangeColumns(const std::function<void()>& Change);
  void RefreshCell(int Row, int Entry);
  QString CellText(int Row, int Column) const override;

 protected:
  QString ColumnCaption(int Column) const override;
  QVariant CellData(int Row, int Column, int Role) const override;

 private:
  const std::vector<std::string>& VarNames_;
  TCellTable Cells_;
};

}  // namespace tavex
