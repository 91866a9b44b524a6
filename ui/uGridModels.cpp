#include "ui/uGridModels.h"

#include "plc/uTavex.h"

namespace tavex {

// --- TCheckedRowsModel -------------------------------------------------------

TCheckedRowsModel::TCheckedRowsModel(const TTavexList& List, QObject* Parent)
    : QAbstractTableModel(Parent), List_(List) {}

void TCheckedRowsModel::SetRowCount(int Count) {
  if (Count < 0) Count = 0;
  const int old = rowCount();
  if (Count < old) {
    beginRemoveRows(QModelIndex(), Count, old - 1);
    Checked_.resize(static_cast<size_t>(Count));
    endRemoveRows();
  } else if (Count > old) {
    beginInsertRows(QModelIndex(), old, Count - 1);
    Checked_.resize(static_cast<size_t>(Count), 0);
    for (int r = old; r < Count; ++r)
      Checked_[static_cast<size_t>(r)] = NewRowsChecked ? 1 : 0;
    endInsertRows();
  }
}

bool TCheckedRowsModel::Checked(int Row) const {
  return Row >= 0 && Row < rowCount() && Checked_[static_cast<size_t>(Row)] != 0 && MissingAt(Row) == nullptr;
}

const TControllerKey* TCheckedRowsModel::MissingAt(int Row) const {
  if (Missing == nullptr || Row < List_.Count() || Row >= rowCount()) return nullptr;
  const size_t k = static_cast<size_t>(Row - List_.Count());
  return k < Missing->size() ? &(*Missing)[k] : nullptr;
}

void TCheckedRowsModel::EndResetRows(std::vector<char> Checked) {
  Checked_ = std::move(Checked);
  endResetModel();
}

void TCheckedRowsModel::SetChecked(int Row, bool Value) {
  if (Row < 0 || Row >= rowCount() || Checked(Row) == Value || MissingAt(Row) != nullptr) return;
  if (Checking) Checking(Row, Value);
  // Checking may have run anything; the row may be gone by now.
  if (Row >= rowCount()) return;
  Checked_[static_cast<size_t>(Row)] = Value ? 1 : 0;
  RefreshRow(Row);
}

void TCheckedRowsModel::CheckAll() {
  for (int r = 0; r < rowCount(); ++r) SetChecked(r, true);
}

void TCheckedRowsModel::Refresh() {
  if (rowCount() > 0 && columnCount() > 0)
    emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

void TCheckedRowsModel::RefreshRow(int Row) {
  if (Row >= 0 && Row < rowCount() && columnCount() > 0)
    emit dataChanged(index(Row, 0), index(Row, columnCount() - 1));
}

int TCheckedRowsModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(Checked_.size());
}

Qt::ItemFlags TCheckedRowsModel::flags(const QModelIndex& Index) const {
  if (!Index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (Index.column() == 0 && MissingAt(Index.row()) == nullptr) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant TCheckedRowsModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount() || Index.column() >= columnCount())
    return QVariant();
  const int r = Index.row(), c = Index.column();
  switch (Role) {
    case Qt::DisplayRole:
      return CellText(r, c);
    case Qt::CheckStateRole:
      if (c == 0 && MissingAt(r) == nullptr) return Checked(r) ? Qt::Checked : Qt::Unchecked;
      return QVariant();
    case Qt::ForegroundRole:
      if (MissingAt(r) != nullptr) return kMissingRowColor;
      return CellData(r, c, Role);
    default:
      return CellData(r, c, Role);
  }
}

QVariant TCheckedRowsModel::CellData(int, int, int) const { return QVariant(); }

bool TCheckedRowsModel::setData(const QModelIndex& Index, const QVariant& Value, int Role) {
  if (!Index.isValid() || Index.column() != 0 || Role != Qt::CheckStateRole) return false;
  SetChecked(Index.row(), Value.toInt() == Qt::Checked);
  return true;
}

QVariant TCheckedRowsModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return QVariant();
  if (Section < 0 || Section >= columnCount()) return QVariant();
  return ColumnCaption(Section);
}

QString TCheckedRowsModel::FixedText(int Row, int Column) const {
  const TTavex* plc = List_.Items(Row);
  if (plc == nullptr) {
    const TControllerKey* missing = MissingAt(Row);
    if (missing == nullptr) return QString();
    if (Column == 0) return QString::number(Row + 1);
    if (Column == 1) return QString::number(missing->Nad);
    if (Column == 2) return QString::fromStdString(missing->Ip);
    return QString();
  }
  switch (Column) {
    case 0:
      return QString::number(Row + 1);
    case 1:
      return QString::number(plc->Nad);
    case 2:
      if (const TRowSnapshot* shot = SnapshotOf(Row)) return QString::fromStdString(shot->Ip);
      return QString::fromStdString(plc->GetIpAddress());
    default:
      return QString();
  }
}

// --- TSystemModel ------------------------------------------------------------

const TSystemModel::TColumn TSystemModel::kColumns[kColumnCount] = {
    {"No.", 50},        {"NAD", 50},      {"IP", 120},      {"Network", 90},
    {"Tavex ping", 90}, {"PLC program", 90}, {"ALC file", 90}, {"PLC run", 90}};

TSystemModel::TSystemModel(const TTavexList& List, const bool& StatusChecked,
                           const int32_t& CheckProgress, const int32_t& CheckLimit, QObject* Parent)
    : TCheckedRowsModel(List, Parent),
      StatusChecked_(StatusChecked),
      CheckProgress_(CheckProgress),
      CheckLimit_(CheckLimit) {}

int TSystemModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : kColumnCount;
}

QString TSystemModel::StatusText(int Row, int Step) const {
  const TTavex* plc = List_.Items(Row);
  if (plc == nullptr || Step < 0 || Step > 4) return QString();
  if (!StatusChecked_ || !plc->Shown) return QString();
  const int64_t cell = 5 * static_cast<int64_t>(Row) + Step;
  if (CheckProgress_ != -1 && CheckProgress_ <= cell) return QString();
  if (CheckLimit_ != -1 && CheckLimit_ <= cell) return QString();
  if (const TRowSnapshot* shot = SnapshotOf(Row))
    return shot->Flags[Step] ? QStringLiteral("ok") : QStringLiteral("error");
  const bool flags[5] = {plc->SocketOpen, plc->Responding, plc->HasProgram, plc->AlcOk,
                         plc->PlcRunning};
  return flags[Step] ? QStringLiteral("ok") : QStringLiteral("error");
}

QString TSystemModel::CellText(int Row, int Column) const {
  if (Column < 3) return FixedText(Row, Column);
  return StatusText(Row, Column - 3);
}

bool TSystemModel::IsProgressCell(int Row, int Column) const {
  return StatusChecked_ && List_.Items(Row) != nullptr && Column >= 3 && Column < kColumnCount &&
         5 * static_cast<int64_t>(Row) + (Column - 3) == CheckProgress_;
}

QString TSystemModel::ColumnCaption(int Column) const {
  return QString::fromLatin1(kColumns[Column].Caption);
}

QVariant TSystemModel::CellData(int Row, int Column, int Role) const {
  if (Role == Qt::BackgroundRole && IsProgressCell(Row, Column)) return kBusyCellColor;
  return QVariant();
}

// --- TConfigModel ------------------------------------------------------------

TConfigModel::TConfigModel(const TTavexList& List, const std::vector<std::string>& VarNames, QObject* Parent)
    : TCheckedRowsModel(List, Parent), VarNames_(VarNames) {}

int TConfigModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : kFixedColumns + static_cast<int>(VarNames_.size());
}

void TConfigModel::ChangeColumns(const std::function<void()>& Change) {
  beginResetModel();
  Change();
  endResetModel();
}

void TConfigModel::RefreshCell(int Row, int Entry) {
  const QModelIndex i = index(Row, kFixedColumns + Entry);
  if (i.isValid()) emit dataChanged(i, i);
}

QString TConfigModel::CellText(int Row, int Column) const {
  if (Column < 3) return FixedText(Row, Column);
  const TTavex* plc = List_.Items(Row);
  if (plc == nullptr) return QString();
  if (Column == 3) {
    if (const TRowSnapshot* shot = SnapshotOf(Row)) return QString::fromStdString(shot->Rtc);
    return QString::fromStdString(plc->RtcText);
  }
  return QString::fromStdString(Cells_.At(Row, Column - kFixedColumns).Text);
}

QString TConfigModel::ColumnCaption(int Column) const {
  if (Column < kFixedColumns) return QString::fromLatin1(kFixedCaptions[Column]);
  const size_t k = static_cast<size_t>(Column - kFixedColumns);
  return k < VarNames_.size() ? QString::fromStdString(VarNames_[k]) : QString();
}

QVariant TConfigModel::CellData(int Row, int Column, int Role) const {
  // The fixed columns show no state of their own.
  if (Column < kFixedColumns) return QVariant();
  const TCell& cell = Cells_.At(Row, Column - kFixedColumns);
  if (Role == Qt::BackgroundRole && cell.Busy) return kBusyCellColor;
  if (Role == Qt::ForegroundRole && cell.Edited) return kEditedCellColor;
  if (Role == Qt::ForegroundRole && cell.Stale) return kStaleCellColor;
  if (Role == Qt::BackgroundRole && !cell.Unwritten.empty()) return kUnwrittenCellColor;
  if (Role == Qt::ToolTipRole && !cell.Unwritten.empty())
    return QStringLiteral("Not written: %1").arg(QString::fromStdString(cell.Unwritten));
  return QVariant();
}

}  // namespace tavex
