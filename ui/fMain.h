// The main window: two pages ("System check", "Configuration") over the
// controllers found by Autodetect, and a bottom bar with Setup, Autodetect
// and Close. It owns its own communicator, the controller list, the
// configuration entries and the grids' models (ui/uGridModels.h; the
// configuration model holds the value cells); the grids' views
// (ui/uGridViews.h) report what the user asks of a cell.
//
// Threads: the UI thread only. Autodetect, the status check, Read and Write
// run off it (an operations controller over plc/'s runner) and report back
// through queued signals; nothing here waits for the network or processes
// pending events inside a wait. One guard makes sure that while an
// operation runs no other starts, the controller list stays as it is, and
// closing stops it and waits for its end.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plc/uControllerMatch.h"
#include "plc/uOperations.h"
#include "plc/uOutcome.h"
#include "plc/uTavex.h"
#include "plc/uWritePlan.h"
#include "ui/uCells.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

class QAction;
class QCheckBox;
class QFontMetrics;
class QLabel;
class QMenu;
class QPushButton;
class QSettings;
class QTabWidget;
class QTableView;
class QTimer;

namespace tavex {

class TCheckedRowsModel;
class TCommunicator;
class TConfigModel;
class TSystemModel;
class TfmEditValue;
class TfmOptions;
class TOperationsController;
class TSiteActions;
struct TFleetResult;
struct TRunPlan;
struct TStatusResult;

struct TMainOptions {
  // The configuration file to read; empty: none (no password, no entries).
  QString IniPath;
  // The settings store; not owned, must outlive the window. Null: nothing
  // is loaded or saved.
  QSettings* Settings = nullptr;
  // How long Autodetect listens for answers, in milliseconds.
  int ListenMs = 1000;
  // Tests: called with the window's own communicator once it is created,
  // to set its seams. Empty: nothing.
  std::function<void(TCommunicator&)> PrepareCommunicator;
};

class TfmMain : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDesignLeft = 437;
  static constexpr int kDesignTop = 212;
  static constexpr int kDesignWidth = 877;
  static constexpr int kDesignHeight = 702;

  // Builds the window and runs FormCreate.
  explicit TfmMain(const TMainOptions& Options, QWidget* Parent = nullptr);
  // FormDestroy: saves the settings.
  ~TfmMain() override;

  // The dialogs of the program block; not owned. Without a Setup dialog
  // "&Setup" does nothing.
  void SetDialogs(TfmEditValue* EditValue, TfmOptions* Options);

  // --- Components ------------------------------------------------------------
  QTabWidget* PageControl1;
  QWidget* pgSystem;
  QWidget* pgConfig;
  QTableView* vstSystem;
  // A TConfigGridView (ConfigGrid()).
  QTableView* vstConfig;
  QPushButton* btnCheck;
  QPushButton* btnRead;
  QPushButton* btnWrite;
  QCheckBox* cbSyncRTC;
  QLabel* lblSyncRTC;
  QWidget* Panel1;
  QLabel* Label1;
  // Where Label1 would stand: what the running operation does ("Reading
  // 1002: fan_speed, 12 of 50"), and how the last one ended when that is
  // worth a word (stopped, a controller out of reach, nothing found).
  QLabel* lblProgress;
  QLabel* lblMyIP;
  QPushButton* btnSetup;
  QPushButton* btnAutodetect;
  QPushButton* btnClose;
  QTimer* Timer1;
  // "As-left report of the last Write..." in the configuration grid's
  // context menu.
  QAction* actAsLeftReport = nullptr;

  // --- State, read-only ------------------------------------------------------
  const TTavexList& GetTavexList() const { return TavexList; }
  const std::vector<std::string>& GetVarNames() const { return VarNames; }
  const std::string& GetPassword() const { return Password; }
  const std::string& GetAdapterID() const { return AdapterID; }
  bool GetDirectConnection() const { return DirectConnection; }
  const TCommunicator& GetCommunicator() const { return *Communicator; }
  const TCellTable& GetCells() const { return Cells; }
  const TCellSelection& GetSelection() const { return ConfigGrid_->Selection(); }
  int GetSelectedRow() const { return ConfigGrid_->SelectedRow(); }
  int GetSelectedColumn() const { return ConfigGrid_->SelectedColumn(); }
  bool IsDragging() const { return ConfigGrid_->IsDragging(); }
  bool GetSkipMouseDown() const { return ConfigGrid_->GetSkipMouseDown(); }
  bool IsDetecting() const { return Detecting; }
  bool GetStatusChecked() const { return StatusChecked; }
  int32_t GetCheckProgress() const { return CheckProgress; }
  // The first status step a stopped check did not run; -1 when none.
  int32_t GetCheckLimit() const { return CheckLimit; }
  bool IsStopRequested() const { return StopRequested_; }
  // True while an operation (autodetect, status check, read, write, setup) runs.
  bool IsBusy() const { return Busy_; }
  TSystemModel* SystemModel() const { return SystemModel_.get(); }
  TOperationsController* Operations() const { return Operations_.get(); }
  TConfigModel* ConfigModel() const { return ConfigModel_.get(); }
  TConfigGridView* ConfigGrid() const { return ConfigGrid_; }
  // The expected controllers (LoadExpectedControllers), and those of them
  // that the last Autodetect did not find: shown as red rows after the
  // list's rows, never part of an operation.
  const std::vector<TControllerKey>& GetExpected() const { return Expected_; }
  const std::vector<TControllerKey>& GetMissing() const { return Missing_; }
  // The values edited and not written, in every controller's row.
  int EditedCount() const;
  // Setup's "Write edited values only": Write sends only the edited cells.
  bool GetWriteEditedOnly() const { return WriteEditedOnly_; }
  void SetWriteEditedOnly(bool Value) { WriteEditedOnly_ = Value; }

 public slots:
  // Autodetect and the status check start and return at once, as Read
  // and Write do: IsBusy() is true until they have ended.
  void btnAutodetectClick();
  void btnCheckClick();
  // Start Read or Write of the checked rows and return at once; the run
  // goes on off this thread, and IsBusy() is true until it has ended.
  void btnReadClick();
  void btnWriteClick();
  void btnSetupClick();
  void btnCloseClick();
  void Timer1Timer();
  void PageControl1Change(int Index);
  // Esc, or Close while an operation runs: the operation abandons the
  // request in flight (Autodetect its listening) and sends nothing more.
  void StopOperation();
  // Reads a list of expected controllers (a `nad,ip` file, as tavexctl's
  // --hosts takes) and, once Autodetect has listed controllers, shows the
  // missing ones and names the ones found elsewhere. An empty path forgets
  // the list. False (the error shown through TApplication) when the file
  // cannot be read or is wrong, or while an operation runs; the list in
  // use then stays.
  bool LoadExpectedControllers(const QString& Path);
  // Ctrl+L: picks the file in a dialog and loads it.
  void ChooseExpectedControllers();
  // The as-left report of this session's last Write (its journal records
  // beside the values it read back) as an HTML file in the user's cache,
  // opened with the desktop's browser (TApplication::OpenUrl). Built off
  // this thread; without a Write the bottom bar says there is nothing to
  // report. Nothing while an operation runs.
  void ShowAsLeftReport();

 public:
  // A row's check box is about to change to Checked.
  void vstSystemChecking(int Row, bool Checked);
  void vstConfigChecking(int Row, bool Checked);

  // Reads the password and the entries from the configuration file and
  // makes one configuration column per entry.
  void LoadVariableList();
  void LoadSettings();

  // "ok", "error" or empty for one status cell (step 0 .. 4).
  QString StatusText(int Row, int Step) const;
  // Edits a value cell (column 4 on) in the Edit Value dialog.
  void EditCell(int Row, int Column);
  // False when the store reports an error.
  bool SaveSettings();

  // --- A day on site (fMainSite.cpp) ---------------------------------------
  // The grids' context menu: Config true for the configuration grid's, else
  // the system grid's. One line per item, so that more can join.
  void FillGridMenu(QMenu& Menu, bool Config);
  // The item that loads the list of expected controllers (fMainRows.cpp).
  void AddExpectedItem(QMenu& Menu, bool Enabled);
  // The configuration grid's values as a rows file (nad,entry,value, as
  // tavexctl saves them); Path empty: asked for. False when nothing was saved.
  bool SaveValues(QString Path = QString());
  // A rows file's values as edits of the matching cells; what matches no
  // row or column is named in the bottom bar. Nothing is sent.
  bool LoadValues(QString Path = QString());
  // Every column of the configuration grid as shown, as CSV.
  bool ExportGridCsv(QString Path = QString());
  // The selected block as tab-separated text (and to the clipboard).
  QString CopyCells();
  // Tab-separated text into the value cells from the selection's top left
  // on, as edits; PasteCells takes the clipboard's.
  void PasteText(const QString& Text);
  void PasteCells();
  // The top value of each column of the selected block into the cells below.
  void FillDown();
  // Checks or unchecks every row of a grid.
  void CheckAllRows(bool Checked, bool Config);
  // Reads the configuration file again; entries still there keep their values.
  void ReloadConfiguration();
  // Tooltips: an entry column's header, and a row's clock cell.
  QString EntryToolTip(int Entry) const;
  QString RtcToolTip(int Row) const;
  TSiteActions* Site() const { return Site_; }

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  // Holds the window's one operation slot while it lives. A guard that
  // finds the slot taken holds nothing and tests false: its operation does
  // not start.
  class TOperationGuard {
   public:
    explicit TOperationGuard(TfmMain& Window);
    ~TOperationGuard();
    TOperationGuard(const TOperationGuard&) = delete;
    TOperationGuard& operator=(const TOperationGuard&) = delete;
    explicit operator bool() const { return Owner_; }

   private:
    TfmMain& Window_;
    bool Owner_;
  };

  // While it lives (Autodetect, status check, Read, Write): the buttons
  // whose clicks would be ignored are shown disabled and the grids show the
  // wait cursor; both are restored when it goes, also after an exception.
  class TBusyDisplay {
   public:
    explicit TBusyDisplay(TfmMain& Window);
    ~TBusyDisplay();
    TBusyDisplay(const TBusyDisplay&) = delete;
    TBusyDisplay& operator=(const TBusyDisplay&) = delete;

   private:
    TfmMain& Window_;
  };

  // Controllers finished so far in the running Read or Write, and in all.
  struct TRunProgress {
    bool Write = false;
    int Finished = 0;
    int Total = 0;
  };

  void CreateControls();
  void ApplyButtonStates();
  // The keyboard focus onto the grid of the page shown (at start, after a
  // page change, when an operation starts and ends), unless it is in
  // another window (a dialog keeps it).
  void FocusShownGrid();
  void ShowProgress(const QString& Text);
  // The same in red: something the user must not miss.
  void ShowWarning(const QString& Text);
  // The bottom bar's text after an operation: stopped ("Read stopped after
  // 3 of 40 controllers."), or the summary (OutcomeSentence, with Done as
  // its verb: Served of Total, the controllers that did not answer, the
  // others' errors), in red when a controller failed. Its tooltip lists
  // every failure with what the transport saw.
  void ShowOutcome(bool Stopped, const QString& What, int Finished, int Total, const QString& Unit,
                   const QString& Done, int Served);
  // The number of the checked rows of a grid.
  static int CheckedRows(const TCheckedRowsModel& Model);
  void FormCreate();
  void FormDestroy();
  void SetPageButtonsEnabled(bool Enabled);
  void SetColumnWidths();
  char DecimalSeparator() const;
  // Read and Write: the run of the checked rows, and what it reports.
  void StartRun(bool Write);
  void RunRowStarted(int Row);
  void RunRowFinished(int Row, const TFleetResult& Result);
  void RunEnded(bool Stopped);
  // Why the last Write's journal could not be written; empty: it was.
  QString JournalError_;
  // The as-left report (fMainReport.cpp): its context-menu item; a Write's
  // operation id chosen at its start, what each controller read back, and
  // its end.
  struct TAsLeft;
  std::shared_ptr<TAsLeft> AsLeft_;
  void CreateReportAction();
  void NoteWriteStart(TRunPlan& Plan);
  void NoteWriteResult(const TTavex& Plc, const TFleetResult& Result);
  void NoteWriteEnd();
  void ShowRunProgress(int Row);
  // Write (fMainWrite.cpp): which values go to which checked row
  // (WritePlans_), decided before anything is sent; false, with the error
  // shown, when a row names a variable twice with different values.
  bool PlanWrite();
  // A row's cells after its Read or Write: read cells take the controller's
  // text, the others are marked stale (edits kept); Write's verdicts.
  void TakeRowResult(int Row, const TFleetResult& Result);
  // Rows the run did not reach: stale, and their values not written.
  void MarkUnreached(int Row);
  void ShowWriteOutcome(bool Stopped);
  // Notes a controller that failed, and why, for the bottom bar.
  void NoteFailure(const TOutcomeFailure& Failure);
  // The running operation's hold on the operation slot and the busy display.
  void HoldOperation();
  void ReleaseOperation();
  // Autodetect: what the discovery reports.
  void DetectRound(const TDetectRound& Round);
  void DetectEnded(bool Opened, const TDetectOutcome& Outcome, bool Stopped);
  // Autodetect's end, its rows (fMainRows.cpp): the controllers found
  // (DetectList_) take the list's place; a controller found again keeps its
  // row's cells, check states and selected cell wherever its row goes.
  // False, with nothing changed, when edits of controllers not found again
  // would be lost and the user keeps them.
  bool AdoptDetected();
  // Rebuilds both grids' rows over NewList (null: the list stays) and the
  // missing controllers; every row follows its controller.
  void RebuildRows(TTavexList* NewList, std::vector<TControllerKey> NewMissing);
  // The bottom bar's warnings about the rows: a NAD at several addresses,
  // expected controllers found elsewhere or not at all.
  QStringList RowWarnings() const;
  // Asks whether Count edited values may be discarded; Whose adds who they
  // belong to. True when there are none.
  static bool ConfirmDiscard(int Count, const QString& Whose);
  void CreateRowActions();
  // The status check: what it reports, and the bottom bar's step text.
  void CheckStarted(int Row);
  void CheckStep(int Row, int Step, bool Ok);
  void CheckFinished(int Row, const TStatusResult& Result);
  void CheckEnded(bool Stopped);
  void ShowCheckStep(int Row, int Step);
  // The first row checked after Row; the row count when none.
  int NextCheckedRow(int Row) const;

  TMainOptions Options_;
  TfmEditValue* fmEditValue_ = nullptr;
  TfmOptions* fmOptions_ = nullptr;

  // Declared before the models, which read them, so that they outlive them.
  std::unique_ptr<TCommunicator> Communicator;
  TTavexList TavexList;
  // What the running Autodetect fills; the window's list and its rows stay
  // as they are until it has ended.
  TTavexList DetectList_;
  std::vector<TControllerKey> Expected_;
  std::vector<TControllerKey> Missing_;
  std::vector<TMovedController> Moved_;
  QString ExpectedPath_;
  // An Autodetect has listed controllers: the expected ones are compared.
  bool Listed_ = false;
  std::vector<std::string> VarNames;
  // The configuration grid's model lives as long as the window: the value
  // cells it holds are the window's as well.
  std::unique_ptr<TConfigModel> ConfigModel_;
  TCellTable& Cells;
  std::string AdapterID;
  bool DirectConnection = false;
  std::string Password;
  bool Detecting = false;
  bool ProgressWarning_ = false;  // lblProgress shows a warning (red)
  bool StatusChecked = false;
  int32_t CheckProgress = -1;

  int32_t CheckLimit = -1;

  bool Busy_ = false;
  bool CloseRequested_ = false;
  bool StopRequested_ = false;
  bool BusyDisplay_ = false;
  bool PageButtonsEnabled_ = false;
  bool WriteEditedOnly_ = false;
  // The running Write: each row's values (by row; empty for rows not
  // written), every value not written and why ("1002 fan_speed: rejected
  // value"), and what was written.
  std::vector<TRowWrite> WritePlans_;
  std::vector<std::pair<int, QString>> WriteIssues_;  // row, text
  struct TWriteCount {
    int Values = 0;
    int Controllers = 0;
    int Edited = 0;
    int Clocks = 0;  // clocks set
  } Wrote_;
  // Each controller that failed in the running operation, and why.
  std::vector<TOutcomeFailure> Failures_;

  // The running operation: its hold on the operation slot and the busy
  // display, its progress, and the snapshot shown for each row whose record
  // it holds.
  std::unique_ptr<TOperationGuard> RunGuard_;
  std::unique_ptr<TBusyDisplay> RunDisplay_;
  TRunProgress Run_;
  // The status check: steps ended and in all, and the rows it checks in order.
  struct TCheckCount {
    int Done = 0;
    int Total = 0;
  } Check_;
  std::vector<int> CheckRows_;
  int DetectRounds_ = 0;
  bool OverrideCursor_ = false;  // Autodetect's wait cursor is set
  std::vector<std::optional<TRowSnapshot>> Snapshots_;
  // Declared after the controllers, so that it is gone (its run stopped and
  // waited for) before they are.
  std::unique_ptr<TOperationsController> Operations_;

  std::unique_ptr<TSystemModel> SystemModel_;
  TConfigGridView* ConfigGrid_ = nullptr;

  // fMainSite.cpp: the context menus, shortcuts and column widths.
  void CreateSite();
  void FitColumns();
  TSiteActions* Site_ = nullptr;
};

// The width the RTC column needs for a clock text in a font.
int RtcColumnWidth(const QFontMetrics& Metrics);

}  // namespace tavex
