// What a day on site asks of the main window beyond its buttons: the
// grids' context menus and their shortcuts, values saved to and loaded from
// a rows file, the grid exported as CSV, copy, paste and fill down of
// blocks of cells, check all and none, the configuration file reloaded,
// the first columns frozen, column widths fitted and remembered, and the
// tooltips of the entry columns and the clock cells.
//
// Nothing here talks to a controller: a value loaded, pasted or filled is
// an edit (blue) like one made in Edit Value, and goes out only with Write.
// While an operation runs the value cells belong to it, so every item that
// changes them does nothing then.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QHelpEvent>
#include <QMenu>
#include <QSaveFile>
#include <QSettings>
#include <QTabWidget>
#include <QToolTip>

#include <algorithm>
#include <map>

#include "cli/uCliInputs.h"
#include "cli/uCliOutput.h"
#include "cli/uValueRows.h"
#include "plc/uClock.h"
#include "plc/uFleet.h"
#include "plc/uOperations.h"
#include "ui/fMain.h"
#include "ui/fMainInternal.h"
#include "ui/uApplication.h"
#include "ui/uFrozenColumns.h"
#include "ui/uGridModels.h"
#include "ui/uOperationsController.h"
#include "ui/uSettings.h"
#include "vars/uCellText.h"
#include "vars/uConfigFile.h"

namespace tavex {

using namespace fmain;

// The window's site items: their actions (which carry the shortcuts), and
// what the tooltips and column widths need to remember.
class TSiteActions : public QObject {
 public:
  explicit TSiteActions(TfmMain* Window) : QObject(Window), Window_(Window) {}

  QAction* Copy = nullptr;
  QAction* Paste = nullptr;
  QAction* FillDown = nullptr;
  QAction* CheckAll = nullptr;
  QAction* CheckNone = nullptr;
  QAction* SystemCheckAll = nullptr;
  QAction* SystemCheckNone = nullptr;
  QAction* SaveValues = nullptr;
  QAction* LoadValues = nullptr;
  QAction* ExportCsv = nullptr;
  QAction* Reload = nullptr;
  TFrozenColumns* Frozen = nullptr;

  // True while the window itself sizes the columns: a width it sets is no
  // choice of the user's to remember.
  bool Sizing = false;
  // Per controller ("NAD@IP"): the clock text last read and the
  // workstation's time when it came.
  struct TClockRead {
    std::string Rtc;
    TLocalTime Pc;
  };
  std::map<std::string, TClockRead> Clocks;

 protected:
  // The tooltips of the clock cells and of the entry columns' captions.
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() != QEvent::ToolTip) return false;
    auto* help = static_cast<QHelpEvent*>(Event);
    QTableView* grid = Window_->vstConfig;
    if (Watched == grid->viewport()) {
      const QModelIndex at = grid->indexAt(help->pos());
      if (!at.isValid() || at.column() != kRtcColumn) return false;
      QToolTip::showText(help->globalPos(), Window_->RtcToolTip(at.row()), grid->viewport(), grid->visualRect(at));
      return true;
    }
    if (Watched == grid->horizontalHeader()->viewport()) {
      const int column = grid->horizontalHeader()->logicalIndexAt(help->pos());
      const QString tip = Window_->EntryToolTip(column - TConfigModel::kFixedColumns);
      if (tip.isEmpty()) return false;
      QToolTip::showText(help->globalPos(), tip, grid->horizontalHeader()->viewport());
      return true;
    }
    return false;
  }

 private:
  TfmMain* Window_;
};

namespace {

// Longest text taken from the clipboard, and largest rows file read.
constexpr qsizetype kMaxPasteChars = 4 * 1024 * 1024;
// Items named in the bottom bar; the rest are in its tooltip.
constexpr int kNamedInBar = 3;

std::string ClockKey(const TTavex& Plc) { return std::to_string(Plc.Nad) + "@" + Plc.GetIpAddress(); }

QString Qs(const std::string& Text) { return QString::fromStdString(Text); }

QString LocalText(const TLocalTime& T) {
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second);
}

// Writes a whole file, or nothing: the old file stays when any step fails.
bool WriteWhole(const QString& Path, const std::string& Text, QString& Error) {
  QSaveFile f(Path);
  if (!f.open(QIODevice::WriteOnly) ||
      f.write(Text.data(), static_cast<qint64>(Text.size())) != static_cast<qint64>(Text.size()) ||
      !f.commit()) {
    Error = f.errorString();
    return false;
  }
  return true;
}

QAction* Action(QWidget* Owner, const char* Name, const char* Caption, const QKeySequence& Keys,
                Qt::ShortcutContext Context) {
  auto* a = new QAction(QString::fromLatin1(Caption), Owner);
  a->setObjectName(Name);
  a->setShortcut(Keys);
  a->setShortcutContext(Context);
  Owner->addAction(a);
  return a;
}

}  // namespace

// --- Creation ------------------------------------------------------------------

void TfmMain::CreateSite() {
  Site_ = new TSiteActions(this);
  TSiteActions& s = *Site_;
  auto handle = [this](std::function<void()> Fn) {
    return [Fn = std::move(Fn)] { TApplication::RunHandler(Fn); };
  };
  // Cell items act on the focused grid; file items on the configuration
  // page; Reload anywhere in the window.
  constexpr auto grid = Qt::WidgetWithChildrenShortcut;
  s.Copy = Action(vstConfig, "actCopy", "Copy", QKeySequence::Copy, grid);
  s.Paste = Action(vstConfig, "actPaste", "Paste", QKeySequence::Paste, grid);
  s.FillDown = Action(vstConfig, "actFillDown", "Fill down", QKeySequence(Qt::CTRL | Qt::Key_D), grid);
  s.CheckAll = Action(vstConfig, "actCheckAll", "Check all", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), grid);
  s.CheckNone =
      Action(vstConfig, "actCheckNone", "Check none", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), grid);
  s.SystemCheckAll =
      Action(vstSystem, "actSystemCheckAll", "Check all", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), grid);
  s.SystemCheckNone =
      Action(vstSystem, "actSystemCheckNone", "Check none", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N), grid);
  s.SaveValues = Action(pgConfig, "actSaveValues", "Save values...", QKeySequence(Qt::CTRL | Qt::Key_S), grid);
  s.LoadValues = Action(pgConfig, "actLoadValues", "Load values...", QKeySequence(Qt::CTRL | Qt::Key_O), grid);
  s.ExportCsv =
      Action(pgConfig, "actExportCsv", "Export grid as CSV...", QKeySequence(Qt::CTRL | Qt::Key_E), grid);
  s.Reload = Action(this, "actReload", "Reload configuration file", QKeySequence(Qt::Key_F5), Qt::WindowShortcut);

  connect(s.Copy, &QAction::triggered, this, handle([this] { CopyCells(); }));
  connect(s.Paste, &QAction::triggered, this, handle([this] { PasteCells(); }));
  connect(s.FillDown, &QAction::triggered, this, handle([this] { FillDown(); }));
  connect(s.CheckAll, &QAction::triggered, this, handle([this] { CheckAllRows(true, true); }));
  connect(s.CheckNone, &QAction::triggered, this, handle([this] { CheckAllRows(false, true); }));
  connect(s.SystemCheckAll, &QAction::triggered, this, handle([this] { CheckAllRows(true, false); }));
  connect(s.SystemCheckNone, &QAction::triggered, this, handle([this] { CheckAllRows(false, false); }));
  connect(s.SaveValues, &QAction::triggered, this, handle([this] { SaveValues(); }));
  connect(s.LoadValues, &QAction::triggered, this, handle([this] { LoadValues(); }));
  connect(s.ExportCsv, &QAction::triggered, this, handle([this] { ExportGridCsv(); }));
  connect(s.Reload, &QAction::triggered, this, handle([this] { ReloadConfiguration(); }));

  for (QTableView* g : {vstSystem, vstConfig}) {
    g->setContextMenuPolicy(Qt::CustomContextMenu);
    const bool config = g == vstConfig;
    connect(g, &QWidget::customContextMenuRequested, this, [this, g, config](const QPoint& At) {
      QMenu menu(this);
      FillGridMenu(menu, config);
      menu.exec(g->viewport()->mapToGlobal(At));
    });
  }

  s.Frozen = new TFrozenColumns(ConfigGrid_);
  s.Frozen->View()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(s.Frozen->View(), &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    QMenu menu(this);
    FillGridMenu(menu, true);
    menu.exec(Site_->Frozen->View()->viewport()->mapToGlobal(At));
  });

  // The widths the user gives the entry columns are kept per entry.
  connect(vstConfig->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int Column, int, int Size) {
    const int entry = Column - TConfigModel::kFixedColumns;
    if (Site_->Sizing || Options_.Settings == nullptr || entry < 0 || static_cast<size_t>(entry) >= VarNames.size())
      return;
    WriteColumnWidth(*Options_.Settings, Qs(VarNames[static_cast<size_t>(entry)]), Size);
  });
  // After each Read or Write the columns take their new values' widths, and
  // each clock read is stamped with the workstation's time.
  connect(Operations_.get(), &TOperationsController::RowFinished, this, [this](int Row, const TFleetResult&) {
    const TTavex* plc = TavexList.Items(Row);
    if (plc == nullptr || plc->RtcText.empty()) return;
    Site_->Clocks[ClockKey(*plc)] = {plc->RtcText, LocalNow()};
  });
  connect(Operations_.get(), &TOperationsController::RunEnded, this, [this] { FitColumns(); });

  // Tooltips: the clock cells and the entry columns' captions.
  vstConfig->viewport()->installEventFilter(Site_);
  vstConfig->horizontalHeader()->viewport()->installEventFilter(Site_);

  const QString ini = Options_.IniPath.isEmpty() ? QStringLiteral("none") : QDir::toNativeSeparators(Options_.IniPath);
  PageControl1->setTabToolTip(PageControl1->indexOf(pgConfig), QStringLiteral("Configuration file: %1").arg(ini));
  FitColumns();
}

void TfmMain::AddExpectedItem(QMenu& Menu, bool Enabled) {
  // The window's own shortcut (Ctrl+L) opens the same dialog; the menu
  // only names it.
  QAction* a = Menu.addAction(QStringLiteral("Expected controllers...\tCtrl+L"));
  a->setObjectName("actExpectedControllers");
  a->setEnabled(Enabled);
  connect(a, &QAction::triggered, this, [this] { TApplication::RunHandler([this] { ChooseExpectedControllers(); }); });
}

void TfmMain::FillGridMenu(QMenu& Menu, bool Config) {
  TSiteActions& s = *Site_;
  const bool idle = !Busy_;
  if (Config) {
    const bool cells = !ConfigGrid_->Selection().IsEmpty();
    s.Copy->setEnabled(cells);
    s.Paste->setEnabled(idle && cells);
    s.FillDown->setEnabled(idle && ConfigGrid_->Selection().IsBlock());
    s.SaveValues->setEnabled(idle);
    s.LoadValues->setEnabled(idle);
    s.Reload->setEnabled(idle);
    Menu.addAction(s.Copy);
    Menu.addAction(s.Paste);
    Menu.addAction(s.FillDown);
    Menu.addSeparator();
    Menu.addAction(s.CheckAll);
    Menu.addAction(s.CheckNone);
    Menu.addSeparator();
    Menu.addAction(s.SaveValues);
    Menu.addAction(s.LoadValues);
    Menu.addAction(s.ExportCsv);
    actAsLeftReport->setEnabled(idle);
    Menu.addAction(actAsLeftReport);
    Menu.addSeparator();
    AddExpectedItem(Menu, idle);
    Menu.addAction(s.Reload);
  } else {
    s.Reload->setEnabled(idle);
    Menu.addAction(s.SystemCheckAll);
    Menu.addAction(s.SystemCheckNone);
    Menu.addSeparator();
    AddExpectedItem(Menu, idle);
    Menu.addAction(s.Reload);
  }
}

// --- Check boxes -----------------------------------------------------------------

void TfmMain::CheckAllRows(bool Checked, bool Config) {
  // The rows' records stay as they are while an operation walks them.
  if (Busy_) return;
  TCheckedRowsModel& model = Config ? static_cast<TCheckedRowsModel&>(*ConfigModel_)
                                    : static_cast<TCheckedRowsModel&>(*SystemModel_);
  for (int r = 0; r < model.rowCount(); ++r) model.SetChecked(r, Checked);
}

// --- Rows file and CSV ------------------------------------------------------------

bool TfmMain::SaveValues(QString Path) {
  if (Busy_) return false;
  TValueRowsFile rows;
  int controllers = 0;
  const char separator = DecimalSeparator();
  for (int r = 0; r < TavexList.Count(); ++r) {
    const TTavex* plc = TavexList.Items(r);
    if (plc == nullptr || plc->Nad < 0) continue;
    const size_t before = rows.Count();
    for (size_t k = 0; k < VarNames.size(); ++k) {
      const std::string& text = Cells.At(r, static_cast<int>(k)).Text;
      // A cell never read has no value to keep.
      if (!text.empty()) rows.Add(std::to_string(plc->Nad), VarNames[k], ToFilePoint(text, separator));
    }
    controllers += rows.Count() > before ? 1 : 0;
  }
  if (rows.Count() == 0) {
    ShowWarning(QStringLiteral("No values to save: Read the controllers first."));
    return false;
  }
  if (Path.isEmpty())
    Path = QFileDialog::getSaveFileName(this, QStringLiteral("Save values"), QString(),
                                        QStringLiteral("Rows files (*.csv);;All files (*)"));
  if (Path.isEmpty()) return false;
  QString error;
  if (!WriteWhole(Path, rows.Text(), error)) {
    ShowWarning(QStringLiteral("Cannot save %1: %2").arg(QDir::toNativeSeparators(Path), error));
    return false;
  }
  ShowProgress(QStringLiteral("Saved %1 values of %2 controllers to %3.")
                   .arg(rows.Count())
                   .arg(controllers)
                   .arg(QDir::toNativeSeparators(Path)));
  return true;
}

bool TfmMain::LoadValues(QString Path) {
  if (Busy_) return false;
  if (Path.isEmpty())
    Path = QFileDialog::getOpenFileName(this, QStringLiteral("Load values"), QString(),
                                        QStringLiteral("Rows files (*.csv);;All files (*)"));
  if (Path.isEmpty()) return false;
  TValueFile file;
  try {
    // Rows whose value could not be read when saved ("?") are named, not loaded.
    file = LoadValueFile(Path.toStdString(), true);
  } catch (const TUsageError& e) {
    ShowWarning(QStringLiteral("Nothing loaded: %1").arg(Qs(e.Sentence)));
    return false;
  }
  std::vector<int64_t> nads;
  for (int r = 0; r < TavexList.Count(); ++r) nads.push_back(TavexList.Items(r)->Nad);
  const TValueRowsMatch match = MatchValueRows(file.Values, nads, VarNames);
  const char separator = DecimalSeparator();
  for (const TValueRowsApply& a : match.Apply) {
    TCell* cell = Cells.Cell(a.Row, a.Entry);
    if (cell == nullptr) continue;
    cell->Text = FromFilePoint(a.Value, separator);
    cell->Edited = true;
    ConfigModel_->RefreshCell(a.Row, a.Entry);
  }
  QStringList passed;
  for (const auto& w : file.Warnings) passed << Qs(w);
  for (const auto& w : match.Skipped) passed << Qs(w);
  const QString done = QStringLiteral("Loaded %1 values from %2 as edits; nothing is written before Write.")
                           .arg(match.Apply.size())
                           .arg(QFileInfo(Path).fileName());
  if (passed.isEmpty()) {
    ShowProgress(done);
  } else {
    QStringList shown = passed.mid(0, kNamedInBar);
    if (passed.size() > kNamedInBar) shown << QStringLiteral("%1 more").arg(passed.size() - kNamedInBar);
    ShowWarning(QStringLiteral("Loaded %1 values from %2; not applied: %3")
                    .arg(match.Apply.size())
                    .arg(QFileInfo(Path).fileName(), shown.join(QStringLiteral("; "))));
    lblProgress->setToolTip(done + QStringLiteral("\nNot applied:\n") + passed.join('\n'));
  }
  return true;
}

bool TfmMain::ExportGridCsv(QString Path) {
  TTextTable table;
  const int columns = ConfigModel_->columnCount();
  for (int c = 0; c < columns; ++c)
    table.Header.push_back(ConfigModel_->headerData(c, Qt::Horizontal).toString().toStdString());
  for (int r = 0; r < ConfigModel_->rowCount(); ++r) {
    std::vector<std::string> row;
    for (int c = 0; c < columns; ++c) row.push_back(ConfigModel_->CellText(r, c).toStdString());
    table.Rows.push_back(std::move(row));
  }
  if (Path.isEmpty())
    Path = QFileDialog::getSaveFileName(this, QStringLiteral("Export grid as CSV"), QString(),
                                        QStringLiteral("CSV files (*.csv);;All files (*)"));
  if (Path.isEmpty()) return false;
  QString error;
  if (!WriteWhole(Path, FormatCsv(table), error)) {
    ShowWarning(QStringLiteral("Cannot export to %1: %2").arg(QDir::toNativeSeparators(Path), error));
    return false;
  }
  ShowProgress(QStringLiteral("Exported %1 rows to %2.").arg(table.Rows.size()).arg(QDir::toNativeSeparators(Path)));
  return true;
}

// --- Copy, paste, fill down --------------------------------------------------------

QString TfmMain::CopyCells() {
  const TCellSelection& sel = ConfigGrid_->Selection();
  if (sel.IsEmpty()) return QString();
  const int rows = std::min(sel.Bottom(), ConfigModel_->rowCount() - 1);
  const int columns = std::min(sel.Right(), ConfigModel_->columnCount() - 1);
  std::vector<std::vector<std::string>> block;
  for (int r = sel.Top(); r <= rows; ++r) {
    block.emplace_back();
    for (int c = sel.Left(); c <= columns; ++c) block.back().push_back(ConfigModel_->CellText(r, c).toStdString());
  }
  const QString text = Qs(FormatTabText(block));
  if (QClipboard* clip = QGuiApplication::clipboard()) clip->setText(text);
  return text;
}

void TfmMain::PasteCells() {
  if (QClipboard* clip = QGuiApplication::clipboard()) PasteText(clip->text());
}

void TfmMain::PasteText(const QString& Text) {
  const TCellSelection& sel = ConfigGrid_->Selection();
  if (Busy_ || sel.IsEmpty()) return;
  if (Text.size() > kMaxPasteChars) {
    ShowWarning(QStringLiteral("Nothing pasted: the text is too long for the grid."));
    return;
  }
  const auto block = ParseTabText(Text.toStdString());
  const char separator = DecimalSeparator();
  const int rows = ConfigModel_->rowCount(), columns = ConfigModel_->columnCount();
  int pasted = 0;
  QStringList refused;
  for (size_t i = 0; i < block.size(); ++i) {
    const int r = sel.Top() + static_cast<int>(i);
    if (r >= rows) break;  // below the last row: dropped
    for (size_t j = 0; j < block[i].size(); ++j) {
      const int c = sel.Left() + static_cast<int>(j);
      if (c >= columns) break;  // right of the last column: dropped
      if (c < TConfigModel::kFixedColumns) continue;  // No., NAD, IP and the clock are no values
      const QString field = Qs(block[i][j]).trimmed();
      if (field.isEmpty()) continue;  // an empty field leaves the cell as it is
      const std::string value = ToFilePoint(field.toStdString(), separator);
      const int entry = c - TConfigModel::kFixedColumns;
      if (!ValidValueText(value)) {
        refused << QStringLiteral("\"%1\" (row %2, %3)")
                       .arg(field.left(40))
                       .arg(r + 1)
                       .arg(Qs(VarNames[static_cast<size_t>(entry)]));
        continue;
      }
      TCell* cell = Cells.Cell(r, entry);
      if (cell == nullptr) continue;
      cell->Text = FromFilePoint(value, separator);
      cell->Edited = true;
      ConfigModel_->RefreshCell(r, entry);
      ++pasted;
    }
  }
  if (refused.isEmpty()) {
    ShowProgress(QStringLiteral("Pasted %1 values.").arg(pasted));
    return;
  }
  QStringList shown = refused.mid(0, kNamedInBar);
  if (refused.size() > kNamedInBar) shown << QStringLiteral("%1 more").arg(refused.size() - kNamedInBar);
  ShowWarning(QStringLiteral("Pasted %1 values; not numbers, not pasted: %2").arg(pasted).arg(shown.join(", ")));
  lblProgress->setToolTip(QStringLiteral("Not numbers, not pasted:\n") + refused.join('\n'));
}

void TfmMain::FillDown() {
  const TCellSelection& sel = ConfigGrid_->Selection();
  if (Busy_ || sel.IsEmpty() || sel.Top() == sel.Bottom()) return;
  const int bottom = std::min(sel.Bottom(), ConfigModel_->rowCount() - 1);
  const int right = std::min(sel.Right(), ConfigModel_->columnCount() - 1);
  int filled = 0;
  for (int c = std::max(sel.Left(), TConfigModel::kFixedColumns); c <= right; ++c) {
    const int entry = c - TConfigModel::kFixedColumns;
    const TCell& top = Cells.At(sel.Top(), entry);
    // Only a value: an empty cell or a "?" has nothing to give the others.
    if (!ValidValueText(ToFilePoint(top.Text, DecimalSeparator()))) continue;
    const std::string value = top.Text;
    for (int r = sel.Top() + 1; r <= bottom; ++r) {
      TCell* cell = Cells.Cell(r, entry);
      if (cell == nullptr) continue;
      cell->Text = value;
      cell->Edited = true;
      ConfigModel_->RefreshCell(r, entry);
      ++filled;
    }
  }
  ShowProgress(QStringLiteral("Filled %1 cells.").arg(filled));
}

// --- Configuration file -----------------------------------------------------------

void TfmMain::ReloadConfiguration() {
  if (Busy_) return;
  // A file that cannot be read now (moved, half saved by an editor) would
  // take every column and its values with it: the entries stay instead.
  TConfigFile probe;
  if (!LoadConfigFile(Options_.IniPath.toStdString(), probe)) {
    ShowWarning(QStringLiteral("Cannot read the configuration file %1; the entries stay as they are.")
                    .arg(QDir::toNativeSeparators(Options_.IniPath)));
    return;
  }
  // The values follow their entries, wherever the entries now stand.
  const std::vector<std::string> oldNames = VarNames;
  const TCellTable oldCells = Cells;
  {
    Site_->Sizing = true;
    TScopeExit endSizing([this] { Site_->Sizing = false; });
    LoadVariableList();
  }
  Cells.Clear();
  for (size_t k = 0; k < VarNames.size(); ++k) {
    const auto it = std::find(oldNames.begin(), oldNames.end(), VarNames[k]);
    if (it == oldNames.end()) continue;
    const int from = static_cast<int>(it - oldNames.begin());
    for (int r = 0; r < Cells.Rows(); ++r) {
      const TCell& old = oldCells.At(r, from);
      if (old.Text.empty() && !old.Edited) continue;
      if (TCell* cell = Cells.Cell(r, static_cast<int>(k))) {
        cell->Text = old.Text;
        cell->Edited = old.Edited;
      }
    }
  }
  // Edits of entries no longer configured are gone: the bar says how many.
  int dropped = 0;
  for (size_t k = 0; k < oldNames.size(); ++k)
    if (std::find(VarNames.begin(), VarNames.end(), oldNames[k]) == VarNames.end())
      for (int r = 0; r < oldCells.Rows(); ++r) dropped += oldCells.At(r, static_cast<int>(k)).Edited ? 1 : 0;
  ConfigModel_->Refresh();
  FitColumns();
  const QString done = QStringLiteral("Configuration file read again: %1 entries from %2.")
                           .arg(VarNames.size())
                           .arg(QDir::toNativeSeparators(Options_.IniPath));
  if (dropped == 0)
    ShowProgress(done);
  else
    ShowWarning(done + QStringLiteral(" %1 edited values of entries no longer there were dropped.").arg(dropped));
}

// --- Column widths ------------------------------------------------------------------

void TfmMain::FitColumns() {
  if (Site_ == nullptr) return;
  Site_->Sizing = true;
  TScopeExit endSizing([this] { Site_->Sizing = false; });
  QHeaderView* header = vstConfig->horizontalHeader();
  const QFontMetrics cells(vstConfig->font());
  const QFontMetrics captions(header->font());
  // The text's margins in a cell, as the caption's were given before.
  constexpr int kMargin = 15;
  for (size_t k = 0; k < VarNames.size(); ++k) {
    const int column = TConfigModel::kFixedColumns + static_cast<int>(k);
    const QString name = Qs(VarNames[k]);
    if (Options_.Settings != nullptr)
      if (const auto width = ReadColumnWidth(*Options_.Settings, name)) {
        header->resizeSection(column, *width);
        continue;
      }
    int width = captions.horizontalAdvance(name) + kMargin;
    for (int r = 0; r < Cells.Rows(); ++r)
      width = std::max(width, cells.horizontalAdvance(Qs(Cells.At(r, static_cast<int>(k)).Text)) + kMargin);
    header->resizeSection(column, std::min(width, kMaxColumnWidth));
  }
  if (Site_->Frozen) Site_->Frozen->Update();
}

// --- Tooltips ---------------------------------------------------------------------

QString TfmMain::EntryToolTip(int Entry) const {
  if (Entry < 0 || static_cast<size_t>(Entry) >= VarNames.size()) return QString();
  const std::string& name = VarNames[static_cast<size_t>(Entry)];
  // A controller a run holds is not read meanwhile; its file is the run's.
  if (!Busy_)
    for (int r = 0; r < TavexList.Count(); ++r) {
      const TTavex* plc = TavexList.Items(r);
      if (plc == nullptr || plc->AlcVars.Count() == 0) continue;
      const TTavexVar* v = FindGlobalElement(*plc, name);
      if (v == nullptr) continue;
      QString tip = Qs(name);
      if (const std::string range = TypeRangeText(v->VarType); !range.empty()) tip += QStringLiteral("\n") + Qs(range);
      if (!v->Comment.empty()) tip += QStringLiteral("\n") + Qs(TerminalSafe(v->Comment)).left(200);
      return tip + QStringLiteral("\n(allocation file of controller %1)").arg(plc->Nad);
    }
  return Qs(name);
}

QString TfmMain::RtcToolTip(int Row) const {
  const TLocalTime now = LocalNow();
  const QString pc = QStringLiteral("PC %1").arg(LocalText(now));
  const TTavex* plc = TavexList.Items(Row);
  if (plc == nullptr || Busy_ || plc->RtcText.empty()) return pc;
  TLocalTime controller;
  const auto it = Site_->Clocks.find(ClockKey(*plc));
  if (it == Site_->Clocks.end() || it->second.Rtc != plc->RtcText || !ParseRtcText(plc->RtcText, controller))
    return pc;
  const TLocalTime& at = it->second.Pc;
  const int64_t offset =
      FieldSeconds(controller.Year, controller.Month, controller.Day, controller.Hour, controller.Minute,
                   controller.Second) -
      FieldSeconds(at.Year, at.Month, at.Day, at.Hour, at.Minute, at.Second);
  return pc + QStringLiteral(", ") + Qs(ClockOffsetText(offset)) +
         QStringLiteral(" (read at %1)").arg(LocalText(at).mid(11));
}

}  // namespace tavex
