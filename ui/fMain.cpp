#include "ui/fMain.h"

#include <QApplication>
#include <QColor>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPalette>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "abus/uABus.h"
#include "comm/uCommunication.h"
#include "hostutil/uEthernetUtils.h"
#include "plc/uOperations.h"
#include "ui/fEditValue.h"
#include "ui/fOptions.h"
#include "ui/uApplication.h"
#include "ui/uGridModels.h"
#include "ui/uGridViews.h"
#include "ui/uOperationsController.h"
#include "ui/uSettings.h"
#include "ui/fMainInternal.h"
#include "vars/uConfigFile.h"

namespace tavex {

using namespace fmain;

// --- Operation guard ---------------------------------------------------------

TfmMain::TOperationGuard::TOperationGuard(TfmMain& Window) : Window_(Window), Owner_(!Window.Busy_) {
  if (!Owner_) return;
  Window_.Busy_ = true;
  Window_.StopRequested_ = false;
  Window_.Failures_.clear();
}

TfmMain::TOperationGuard::~TOperationGuard() {
  if (!Owner_) return;
  Window_.Busy_ = false;
  if (Window_.CloseRequested_) {
    // The close that came while the operation ran; after the handler returns.
    Window_.CloseRequested_ = false;
    QTimer::singleShot(0, &Window_, &QWidget::close);
  }
}

// --- Busy display ---------------------------------------------------------------

TfmMain::TBusyDisplay::TBusyDisplay(TfmMain& Window) : Window_(Window) {
  Window_.BusyDisplay_ = true;
  // First: a button that is disabled with the focus hands it on to the
  // next control (the clock option, which the next Space would toggle).
  Window_.FocusShownGrid();
  Window_.ApplyButtonStates();
  for (QTableView* grid : {Window_.vstSystem, Window_.vstConfig}) grid->viewport()->setCursor(Qt::WaitCursor);
}

TfmMain::TBusyDisplay::~TBusyDisplay() {
  Window_.BusyDisplay_ = false;
  Window_.ApplyButtonStates();
  Window_.FocusShownGrid();
  for (QTableView* grid : {Window_.vstSystem, Window_.vstConfig}) grid->viewport()->unsetCursor();
}

void TfmMain::ApplyButtonStates() {
  // Close stays enabled: during an operation it stops it and then closes.
  const bool idle = !BusyDisplay_;
  btnSetup->setEnabled(idle);
  btnAutodetect->setEnabled(idle);
  btnCheck->setEnabled(idle && PageButtonsEnabled_);
  btnRead->setEnabled(idle && PageButtonsEnabled_);
  btnWrite->setEnabled(idle && PageButtonsEnabled_);
  lblSyncRTC->setEnabled(PageButtonsEnabled_);
  cbSyncRTC->setEnabled(PageButtonsEnabled_);
}

void TfmMain::ShowProgress(const QString& Text) {
  if (ProgressWarning_) {
    lblProgress->setPalette(QPalette());
    ProgressWarning_ = false;
  }
  lblProgress->setText(Text);
  // The bar may be too narrow for the whole text.
  lblProgress->setToolTip(Text);
}

void TfmMain::ShowWarning(const QString& Text) {
  ShowProgress(Text);
  QPalette p = lblProgress->palette();
  p.setColor(QPalette::WindowText, QColor(255, 0, 0));
  lblProgress->setPalette(p);
  ProgressWarning_ = true;
}

void TfmMain::StopOperation() {
  if (!Busy_ || !BusyDisplay_ || StopRequested_) return;
  StopRequested_ = true;
  ShowProgress(QStringLiteral("Stopping..."));
  if (Operations_) Operations_->Stop();
}

void TfmMain::NoteFailure(const TOutcomeFailure& Failure) { Failures_.push_back(Failure); }

void TfmMain::ShowOutcome(bool Stopped, const QString& What, int Finished, int Total, const QString& Unit,
                          const QString& Done, int Served) {
  if (Stopped) {
    ShowProgress(QStringLiteral("%1 stopped after %2 of %3%4.").arg(What).arg(Finished).arg(Total).arg(Unit));
    return;
  }
  const QString sentence =
      QString::fromStdString(OutcomeSentence(Done.toStdString(), Served, Total, Failures_));
  if (Failures_.empty()) {
    ShowProgress(sentence);
    return;
  }
  ShowWarning(sentence);
  // The bar holds one line; the tooltip every controller, with what the
  // transport saw (bounded: a tooltip is no list view).
  constexpr size_t kTipLines = 40;
  QStringList tip{sentence};
  for (size_t i = 0; i < Failures_.size() && i < kTipLines; ++i)
    tip << QString::fromStdString(FailureLine(Failures_[i]));
  if (Failures_.size() > kTipLines) tip << QStringLiteral("... and %1 more").arg(Failures_.size() - kTipLines);
  lblProgress->setToolTip(tip.join(QLatin1Char('\n')));
}

int TfmMain::CheckedRows(const TCheckedRowsModel& Model) {
  int n = 0;
  for (int r = 0; r < Model.rowCount(); ++r) n += Model.Checked(r) ? 1 : 0;
  return n;
}

// --- Creation and destruction ------------------------------------------------

TfmMain::TfmMain(const TMainOptions& Options, QWidget* Parent)
    : QWidget(Parent),
      Options_(Options),
      ConfigModel_(std::make_unique<TConfigModel>(TavexList, VarNames)),
      Cells(ConfigModel_->Cells()) {
  setObjectName("fmMain");
  setWindowTitle("Tavex Config Tool v1.3");
  CreateControls();
  setGeometry(kDesignLeft, kDesignTop, kDesignWidth, kDesignHeight);
  FormCreate();
  CreateSite();
  TApplication::SetMainWindow(this);
  FocusShownGrid();
}

TfmMain::~TfmMain() { FormDestroy(); }

void TfmMain::SetDialogs(TfmEditValue* EditValue, TfmOptions* Options) {
  fmEditValue_ = EditValue;
  fmOptions_ = Options;
}

void TfmMain::FormCreate() {
  Communicator = std::make_unique<TCommunicator>();
  if (Options_.PrepareCommunicator) Options_.PrepareCommunicator(*Communicator);
  TavexList.Clear();

  Operations_ = std::make_unique<TOperationsController>();
  connect(Operations_.get(), &TOperationsController::RowStarted, this,
          [this](int Row) { TApplication::RunHandler([this, Row] { RunRowStarted(Row); }); });
  connect(Operations_.get(), &TOperationsController::RowFinished, this,
          [this](int Row, const TFleetResult& Result) {
            TApplication::RunHandler([this, Row, &Result] { RunRowFinished(Row, Result); });
          });
  connect(Operations_.get(), &TOperationsController::Journalled, this, [this](bool Kept, const QString& Error) {
    if (!Kept) JournalError_ = Error.isEmpty() ? QStringLiteral("unknown error") : Error;
  });
  connect(Operations_.get(), &TOperationsController::RunEnded, this,
          [this](bool Stopped) { TApplication::RunHandler([this, Stopped] { RunEnded(Stopped); }); });
  connect(Operations_.get(), &TOperationsController::StatusStarted, this,
          [this](int Row) { TApplication::RunHandler([this, Row] { CheckStarted(Row); }); });
  connect(Operations_.get(), &TOperationsController::StatusStep, this, [this](int Row, int Step, bool Ok) {
    TApplication::RunHandler([this, Row, Step, Ok] { CheckStep(Row, Step, Ok); });
  });
  connect(Operations_.get(), &TOperationsController::StatusFinished, this,
          [this](int Row, const TStatusResult& Result) {
            TApplication::RunHandler([this, Row, &Result] { CheckFinished(Row, Result); });
          });
  connect(Operations_.get(), &TOperationsController::StatusEnded, this,
          [this](bool Stopped) { TApplication::RunHandler([this, Stopped] { CheckEnded(Stopped); }); });
  connect(Operations_.get(), &TOperationsController::DetectRound, this, [this](const TDetectRound& R) {
    TApplication::RunHandler([this, &R] { DetectRound(R); });
  });
  connect(Operations_.get(), &TOperationsController::DetectEnded, this,
          [this](bool Opened, const TDetectOutcome& Outcome, bool Stopped) {
            TApplication::RunHandler([&] { DetectEnded(Opened, Outcome, Stopped); });
          });
  auto snapshot = [this](int Row) -> const TRowSnapshot* {
    if (Row < 0 || static_cast<size_t>(Row) >= Snapshots_.size() || !Snapshots_[static_cast<size_t>(Row)])
      return nullptr;
    return &*Snapshots_[static_cast<size_t>(Row)];
  };

  SystemModel_ = std::make_unique<TSystemModel>(TavexList, StatusChecked, CheckProgress, CheckLimit);
  SystemModel_->Snapshot = snapshot;
  // New rows: checked on the system page, unchecked on the configuration page.
  SystemModel_->NewRowsChecked = true;
  SystemModel_->Checking = [this](int Row, bool Checked) { vstSystemChecking(Row, Checked); };
  ConfigModel_->Snapshot = snapshot;
  ConfigModel_->Checking = [this](int Row, bool Checked) { vstConfigChecking(Row, Checked); };
  vstSystem->setModel(SystemModel_.get());
  vstConfig->setModel(ConfigModel_.get());
  SystemModel_->Missing = &Missing_;
  ConfigModel_->Missing = &Missing_;
  SystemModel_->SetRowCount(0);
  ConfigModel_->SetRowCount(0);

  DirectConnection = false;
  Detecting = false;
  AdapterID.clear();
  LoadSettings();
  Communicator->Adapter.AssignFromID(AdapterID);
  Communicator->SetDirectConnection(DirectConnection);

  VarNames.clear();
  StatusChecked = false;
  CheckProgress = -1;
  LoadVariableList();
  Cells.Clear();

  SetPageButtonsEnabled(false);
  CreateRowActions();
  Timer1->start();
}

void TfmMain::FormDestroy() {
  // An operation under way is stopped and waited for; what it still
  // reports is dropped.
  Operations_.reset();
  Snapshots_.clear();
  Detecting = false;
  if (OverrideCursor_) QApplication::restoreOverrideCursor();
  OverrideCursor_ = false;
  RunDisplay_.reset();
  CloseRequested_ = false;
  RunGuard_.reset();
  Timer1->stop();
  SaveSettings();
  // The views let go of the models first (they read the list), then the
  // controllers go. The configuration model, which holds the value cells,
  // goes with the window.
  vstSystem->setModel(nullptr);
  vstConfig->setModel(nullptr);
  SystemModel_.reset();
  TavexList.Clear();
  Communicator.reset();
}

void TfmMain::closeEvent(QCloseEvent* Event) {
  if (Busy_) {
    // The running operation still walks the controllers: it stops after the
    // request in flight, and the window closes once it has ended.
    CloseRequested_ = true;
    StopOperation();
    Event->ignore();
    return;
  }
  // Unwritten edits go only when the user says so.
  if (!ConfirmDiscard(EditedCount(), QString())) {
    Event->ignore();
    return;
  }
  Event->accept();
}

// --- Configuration file -----------------------------------------------------

void TfmMain::LoadVariableList() {
  TConfigFile config;
  LoadConfigFile(Options_.IniPath.toStdString(), config);
  Password = config.Password;
  ConfigModel_->ChangeColumns([&] { VarNames = std::move(config.Entries); });
  Cells.Resize(TavexList.Count(), static_cast<int>(VarNames.size()));
  SetColumnWidths();
}

void TfmMain::SetColumnWidths() {
  QHeaderView* sys = vstSystem->horizontalHeader();
  for (int c = 0; c < TSystemModel::kColumnCount; ++c)
    sys->resizeSection(c, TSystemModel::kColumns[c].Width);
  QHeaderView* cfg = vstConfig->horizontalHeader();
  for (int c = 0; c < TConfigModel::kFixedColumns; ++c)
    cfg->resizeSection(c, TConfigModel::kFixedWidths[c]);
  const QFontMetrics metrics(font());
  // The clock is read at a glance: its column takes the whole text in
  // fonts wider than the one its design width was made for.
  cfg->resizeSection(kRtcColumn, std::max(TConfigModel::kFixedWidths[kRtcColumn], RtcColumnWidth(metrics)));
  for (size_t k = 0; k < VarNames.size(); ++k)
    cfg->resizeSection(TConfigModel::kFixedColumns + static_cast<int>(k),
                       metrics.horizontalAdvance(QString::fromStdString(VarNames[k])) + 15);
}

int RtcColumnWidth(const QFontMetrics& Metrics) {
  return Metrics.horizontalAdvance(QStringLiteral("0000-00-00  00:00:00")) + 12;
}

// --- Settings ---------------------------------------------------------------

void TfmMain::LoadSettings() {
  if (Options_.Settings == nullptr) return;
  const TStoredSettings s = ReadSettings(*Options_.Settings);
  if (s.EthernetAdapterID) AdapterID = s.EthernetAdapterID->toStdString();
  if (s.DirectConnection) DirectConnection = *s.DirectConnection;
  if (s.SynchronizeRTC) cbSyncRTC->setChecked(*s.SynchronizeRTC);
  if (s.WriteEditedOnly) WriteEditedOnly_ = *s.WriteEditedOnly;
  const QRect now = geometry();
  setGeometry(s.Left.value_or(now.left()), s.Top.value_or(now.top()),
              s.Width.value_or(now.width()), s.Height.value_or(now.height()));
  if (s.Maximized.value_or(false)) setWindowState(windowState() | Qt::WindowMaximized);
}

bool TfmMain::SaveSettings() {
  if (Options_.Settings == nullptr) return true;
  // With no choice made, the adapter in use becomes the saved choice.
  if (AdapterID.empty() && Communicator) AdapterID = Communicator->Adapter.ID;
  TSettingsRecord r;
  r.EthernetAdapterID = QString::fromStdString(AdapterID);
  r.DirectConnection = DirectConnection;
  r.SynchronizeRTC = cbSyncRTC->isChecked();
  r.WriteEditedOnly = WriteEditedOnly_;
  r.Restored = normalGeometry();
  r.Maximized = isMaximized();
  return WriteSettings(*Options_.Settings, r);
}
// --- Adapter watch -------------------------------------------------------------

void TfmMain::Timer1Timer() {
  // Autodetect uses the adapter record; it is left alone meanwhile.
  if (Detecting) return;
  // The adapter chosen, or (with no choice made) the one in use. One that
  // is no longer listed keeps its last address in the record: without
  // this check it would pass for present.
  const std::string id = AdapterID.empty() ? Communicator->Adapter.ID : AdapterID;
  const bool present = Communicator->Adapter.AssignFromID(id);
  QString warning;
  if (!id.empty() && !present)
    warning = AdapterGoneWarning(id);
  else if (IPToInt(Communicator->Adapter.IP) == 0)
    warning = QString::fromLatin1(kInvalidIPWarning);
  if (!warning.isEmpty()) {
    QPalette p = lblMyIP->palette();
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    lblMyIP->setPalette(p);
  }
  lblMyIP->setText(warning);
  lblMyIP->setToolTip(warning.isEmpty() ? QString()
                                        : warning + QStringLiteral(" (adapter %1)").arg(QString::fromStdString(id)));
  // The warning is read whole: the label takes its width from the bar's
  // free room (the progress text gives way), never cut to "Warning: your
  // computer IP addre".
  lblMyIP->setMinimumWidth(std::max(kMyIPMinWidth, lblMyIP->sizeHint().width()));
}

// --- Setup -------------------------------------------------------------------

void TfmMain::btnSetupClick() {
  TOperationGuard operation(*this);
  if (!operation || fmOptions_ == nullptr) return;
  fmOptions_->DirectConnection = DirectConnection;
  // The adapter chosen, or with no choice made the one in use. A chosen
  // one that is gone is named as such; the box then offers the one in use
  // (if that is there), never without a word.
  std::string ip, mask, description;
  const bool chosenGone = !AdapterID.empty() && !FindAdapterByID(AdapterID, ip, mask, description);
  const bool inUsePresent = !Communicator->Adapter.ID.empty() &&
                            FindAdapterByID(Communicator->Adapter.ID, ip, mask, description);
  fmOptions_->GoneAdapterID = chosenGone ? AdapterID : std::string();
  fmOptions_->AdapterID = AdapterID.empty() || (chosenGone && inUsePresent) ? Communicator->Adapter.ID : AdapterID;
  fmOptions_->WriteEditedOnly = WriteEditedOnly_;
  if (fmOptions_->exec() == QDialog::Accepted) {
    // OK without a choice in place of an adapter that is gone keeps the
    // one chosen, named by the warning, rather than let the adapter of the
    // host's own address (or none) stand in for it unnoticed.
    if (!fmOptions_->AdapterID.empty() || !chosenGone) AdapterID = fmOptions_->AdapterID;
    DirectConnection = fmOptions_->DirectConnection;
    WriteEditedOnly_ = fmOptions_->WriteEditedOnly;
    Communicator->Adapter.AssignFromID(AdapterID);
    Communicator->SetDirectConnection(DirectConnection);
    for (int i = 0; i < TavexList.Count(); ++i) {
      TTavex* plc = TavexList.Items(i);
      plc->SetDirectConnection(DirectConnection);
      plc->SelectAdapter(AdapterID);
    }
    Timer1Timer();  // the warning as the new choice has it, at once
  }
  if (!SaveSettings())
    throw std::runtime_error("Cannot save the settings to " +
                             Options_.Settings->fileName().toStdString());
}

// --- Check boxes -------------------------------------------------------------

void TfmMain::vstSystemChecking(int Row, bool Checked) {
  if (Checked) return;
  // An unchecked row shows no status.
  if (TTavex* plc = TavexList.Items(Row)) plc->Shown = false;
  SystemModel_->RefreshRow(Row);
}

void TfmMain::vstConfigChecking(int Row, bool Checked) { vstSystemChecking(Row, Checked); }

void TfmMain::PageControl1Change(int Index) {
  // The page now visible takes over the other page's selection.
  TCheckedRowsModel* from = Index == 0 ? static_cast<TCheckedRowsModel*>(ConfigModel_.get())
                                       : static_cast<TCheckedRowsModel*>(SystemModel_.get());
  TCheckedRowsModel* to = Index == 0 ? static_cast<TCheckedRowsModel*>(SystemModel_.get())
                                     : static_cast<TCheckedRowsModel*>(ConfigModel_.get());
  const int rows = std::min(from->rowCount(), to->rowCount());
  for (int r = 0; r < rows; ++r) to->SetChecked(r, from->Checked(r));
  FocusShownGrid();
}

void TfmMain::btnCloseClick() { close(); }

// --- Editing -----------------------------------------------------------------

void TfmMain::EditCell(int Row, int Column) {
  // A row without a controller (an expected one not found) has no values.
  if (Column < TConfigModel::kFixedColumns || TavexList.Items(Row) == nullptr) return;
  // Not while Read or Write walks the cells: the dialog would hold their
  // answers up, and the request would overwrite the edit.
  TOperationGuard operation(*this);
  if (!operation || fmEditValue_ == nullptr) return;
  const int entry = Column - TConfigModel::kFixedColumns;
  fmEditValue_->Value = QString::fromStdString(Cells.At(Row, entry).Text);
  // With the controller's allocation file at hand the dialog knows the
  // variable's type, and refuses what the write would.
  const TTavex* plc = TavexList.Items(Row);
  const TTavexVar* element = plc != nullptr && plc->AlcOk && static_cast<size_t>(entry) < VarNames.size()
                                 ? FindGlobalElement(*plc, VarNames[static_cast<size_t>(entry)])
                                 : nullptr;
  if (element != nullptr)
    fmEditValue_->SetRule(element->VarType, DecimalSeparator());
  else
    fmEditValue_->ClearRule();
  if (fmEditValue_->exec() != QDialog::Accepted) return;
  // The rows may have changed while the dialog was open.
  TCell* cell = Cells.Cell(Row, entry);
  if (cell == nullptr) return;
  cell->Text = fmEditValue_->Value.toStdString();
  cell->Edited = true;
  cell->Stale = false;  // the user's edit is what is meant
  ConfigModel_->RefreshCell(Row, entry);
}

// --- Page operations ---------------------------------------------------------

char TfmMain::DecimalSeparator() const {
  const QString point = QLocale().decimalPoint();
  if (point.size() == 1 && point[0].unicode() > 32 && point[0].unicode() < 127)
    return static_cast<char>(point[0].unicode());
  return '.';
}


}  // namespace tavex
