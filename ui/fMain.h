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
#include <vector>

#include "plc/uOperations.h"
#include "plc/uOutcome.h"
#include "plc/uTavex.h"
#include "ui/uCells.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"

class QCheckBox;
class QFontMetrics;
class QLabel;
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
struct TFleetResult;
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
  void ShowRunProgress(int Row);
  // Notes a controller that failed, and why, for the bottom bar.
  void NoteFailure(const TOutcomeFailure& Failure);
  // The running operation's hold on the operation slot and the busy display.
  void HoldOperation();
  void ReleaseOperation();
  // Autodetect: what the discovery reports.
  void DetectRound(const TDetectRound& Round);
  void DetectEnded(bool Opened, const TDetectOutcome& Outcome, bool Stopped);
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
};

// The width the RTC column needs for a clock text in a font.
int RtcColumnWidth(const QFontMetrics& Metrics);

}  // namespace tavex
