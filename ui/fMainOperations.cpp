// The main window's operations: Autodetect and the status check (on the
// window's thread), Read and Write (served off it, shown as reported).
#include "ui/fMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QPainter>
#include <QTableView>
#include <QThread>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "comm/uCommunication.h"
#include "plc/uFleet.h"
#include "plc/uOperationRunner.h"
#include "plc/uOperations.h"
#include "ui/fMainInternal.h"
#include "ui/uCellPainter.h"
#include "ui/uGridModels.h"
#include "ui/uOperationsController.h"

namespace tavex {

using namespace fmain;


// --- Autodetect --------------------------------------------------------------

void TfmMain::btnAutodetectClick() {
  TOperationGuard operation(*this);
  if (!operation) return;

  // Autodetect and the other buttons are disabled while it runs.
  const TBusyDisplay busy(*this);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TScopeExit cursor([] { QApplication::restoreOverrideCursor(); });
  // The adapter watch must not stay silent after an early exit either.
  Detecting = true;
  const TScopeExit detecting([this] { Detecting = false; });
  StatusChecked = false;
  ShowProgress(QStringLiteral("Autodetect: listening for controllers..."));
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });

  TavexList.Clear();
  SystemModel_->SetRowCount(0);
  ConfigModel_->SetRowCount(0);
  vstSystem->viewport()->repaint();

  TDetectOptions detect;
  detect.AdapterID = AdapterID;
  detect.DirectConnection = DirectConnection;
  detect.Password = Password;
  detect.ListenMs = Options_.ListenMs;
  detect.AfterRound = [this, rounds = detect.Rounds](const TDetectRound& R) {
    if (R.Report.Lost > 0 && R.Again)
      ShowProgress(QStringLiteral("Autodetect: answers were lost, listening again (%1 of %2)...")
                       .arg(R.Round + 1)
                       .arg(rounds));
  };
  TDetectOutcome detected;
  const bool opened = DetectControllers(*Communicator, TavexList, detect, &detected);

  const int count = TavexList.Count();
  Cells.Resize(count, static_cast<int>(VarNames.size()));
  SystemModel_->SetRowCount(count);
  ConfigModel_->SetRowCount(count);
  for (int i = 0; i < count; ++i) {
    TTavex* plc = TavexList.Items(i);
    plc->Communicator->IdleHook = ProcessPendingEvents;
    Cells.ClearTexts(i);
    plc->Shown = false;
  }
  vstSystem->viewport()->repaint();
  Detecting = false;

  SetPageButtonsEnabled(count > 0);
  Communicator->Close();
  SystemModel_->CheckAll();
  ConfigModel_->CheckAll();
  finished = true;
  QString found = count == 1 ? QStringLiteral("Autodetect found 1 controller.")
                                   : QStringLiteral("Autodetect found %1 controllers.").arg(count);
  // What came but answered nothing asked: named, though nothing is missing
  // for it.
  const QString skipped = (detected.Skipped == 1 ? QStringLiteral("1 datagram")
                                                 : QStringLiteral("%1 datagrams").arg(detected.Skipped)) +
                          QStringLiteral(" that held no answer") +
                          (count == 0 ? QStringLiteral(" came") : QString()) + QStringLiteral(", ") +
                          QString::fromStdString(SkippedSendersText(detected)) + QStringLiteral(".");
  if (!opened) {
    ShowProgress(QString::fromLatin1(kErrOpen));
  } else if (detected.AnswersLost) {
    // More answers came at once than the system kept, in every round: the
    // rows shown are not all the controllers there are.
    ShowWarning(QStringLiteral("The list may be incomplete: answers were lost. ") +
                (count == 0 ? QStringLiteral("Autodetect found no controller.") : found));
  } else if (count == 0) {
    ShowProgress(detected.Skipped == 0 ? QStringLiteral("Autodetect found no controller.")
                                       : QStringLiteral("Autodetect found no controller; only ") + skipped);
  } else if (detected.Skipped == 0) {
    ShowProgress(found);
  } else {
    found.chop(1);
    ShowProgress(found + QStringLiteral("; skipped ") + skipped);
  }
}

void TfmMain::SetPageButtonsEnabled(bool Enabled) {
  PageButtonsEnabled_ = Enabled;
  ApplyButtonStates();
}

// --- System check page ---------------------------------------------------------

QString TfmMain::StatusText(int Row, int Step) const { return SystemModel_->StatusText(Row, Step); }

void TfmMain::btnCheckClick() {
  TOperationGuard operation(*this);
  if (!operation) return;
  const TBusyDisplay busy(*this);
  bool finished = false;
  const TScopeExit outcome([this, &finished] {
    if (!finished) ShowProgress(QString());
  });
  CheckProgress = 0;
  CheckLimit = -1;
  StatusChecked = true;
  Communicator->Close();
  const int total = 5 * CheckedRows(*SystemModel_);
  int done = 0;
  const TTavex* current = nullptr;
  auto showStep = [&](int Step) {
    ShowProgress(QStringLiteral("Checking %1: %2, %3 of %4")
                     .arg(current->Nad)
                     .arg(QString::fromLatin1(TSystemModel::kColumns[3 + Step].Caption))
                     .arg(done + 1)
                     .arg(total));
  };
  TStatusSteps steps;
  steps.AfterStep = [&](int Step, bool) {
    ++CheckProgress;
    ++done;
    SystemModel_->Refresh();
    if (Step < 4) showStep(Step + 1);
  };
  steps.Pause = [](int Ms) { QThread::msleep(static_cast<unsigned long>(Ms)); };
  steps.Stop = [this] { return StopRequested_; };
  bool stopped = false;
  for (int i = 0; i < TavexList.Count(); ++i) {
    TTavex* plc = TavexList.Items(i);
    plc->SelectAdapter(AdapterID);
    plc->SetDirectConnection(DirectConnection);
    if (!SystemModel_->Checked(i)) {
      CheckProgress += 5;
      continue;
    }
    if (StopRequested_) {
      stopped = true;
      break;
    }
    plc->Shown = true;
    // The check runs here, on the window's thread: its waits keep the window
    // responsive.
    plc->Communicator->IdleHook = ProcessPendingEvents;
    current = plc;
    showStep(0);
    SystemModel_->Refresh();
    vstSystem->viewport()->repaint();
    const bool complete = CheckStatus(*plc, steps);
    if (!plc->SocketOpen)
      NoteFailure(*plc, kErrOpen);
    else if (!plc->Responding)
      NoteFailure(*plc, kErrPing);
    if (!complete) {
      stopped = true;
      break;
    }
  }
  // A stopped check shows what it found; the steps it did not run stay empty.
  if (stopped) CheckLimit = CheckProgress;
  CheckProgress = -1;
  SystemModel_->Refresh();
  vstSystem->viewport()->repaint();
  finished = true;
  ShowOutcome(stopped, QStringLiteral("Status check"), done, total);
}

// --- Read and Write ------------------------------------------------------------
//
// The checked controllers are served side by side off this thread, each in
// one batched exchange; the window only starts the run and shows what it
// reports. A controller's record belongs to the run from the start until
// its row is reported finished: meanwhile the grids show its snapshot.

void TfmMain::btnReadClick() { StartRun(false); }

void TfmMain::btnWriteClick() { StartRun(true); }

void TfmMain::StartRun(bool Write) {
  if (Busy_) return;
  TRunPlan plan;
  plan.Write = Write;
  plan.Entries = VarNames;
  plan.DecimalSeparator = DecimalSeparator();
  // Each controller gets the time of its own clock write, taken after its values.
  if (Write && cbSyncRTC->isChecked()) plan.SyncClock = LocalNow;
  bool direct = false;
  Snapshots_.assign(static_cast<size_t>(TavexList.Count()), std::nullopt);
  for (int r = 0; r < TavexList.Count(); ++r) {
    if (!ConfigModel_->Checked(r)) continue;
    TTavex* plc = TavexList.Items(r);
    // An adapter by its ID: finding the host's own adapter looks names up,
    // which is not for several threads at once.
    if (plc->Communicator->Adapter.ID.empty()) plc->SelectAdapter(Communicator->Adapter.ID);
    direct = direct || plc->Communicator->DirectConnection;
    TRunItem item;
    item.Plc = plc;
    item.Row = r;
    if (Write) {
      item.Values.resize(VarNames.size());
      for (size_t k = 0; k < VarNames.size(); ++k) item.Values[k] = Cells.At(r, static_cast<int>(k)).Text;
    }
    TRowSnapshot shot;
    shot.Ip = plc->GetIpAddress();
    shot.Rtc = plc->RtcText;
    const bool flags[5] = {plc->SocketOpen, plc->Responding, plc->HasProgram, plc->AlcOk, plc->PlcRunning};
    std::copy(std::begin(flags), std::end(flags), std::begin(shot.Flags));
    Snapshots_[static_cast<size_t>(r)] = std::move(shot);
    plan.Items.push_back(std::move(item));
  }
  // A direct connection sends from one fixed port, which only one record
  // can hold: its controllers are served one after the other.
  plan.Jobs = direct ? 1 : 0;
  RunGuard_ = std::make_unique<TOperationGuard>(*this);
  RunDisplay_ = std::make_unique<TBusyDisplay>(*this);
  Run_ = {Write, 0, static_cast<int>(plan.Items.size())};
  ShowProgress(QStringLiteral("%1: 0 of %2 controllers").arg(Write ? "Writing" : "Reading").arg(Run_.Total));
  if (!Operations_->Start(std::move(plan))) RunEnded(false);
}

void TfmMain::ShowRunProgress(int Row) {
  if (StopRequested_) return;  // "Stopping..." stays
  const TTavex* plc = TavexList.Items(Row);
  ShowProgress(QStringLiteral("%1 %2: %3 of %4 controllers")
                   .arg(Run_.Write ? "Writing" : "Reading")
                   .arg(plc != nullptr ? plc->Nad : -1)
                   .arg(Run_.Finished)
                   .arg(Run_.Total));
}

void TfmMain::RunRowStarted(int Row) {
  for (size_t k = 0; k < VarNames.size(); ++k)
    if (TCell* cell = Cells.Cell(Row, static_cast<int>(k))) cell->Busy = true;
  ConfigModel_->RefreshRow(Row);
  ShowRunProgress(Row);
}

void TfmMain::RunRowFinished(int Row, const TFleetResult& Result) {
  TTavex* plc = TavexList.Items(Row);
  if (plc == nullptr || static_cast<size_t>(Row) >= Snapshots_.size() || !Snapshots_[static_cast<size_t>(Row)])
    return;
  Snapshots_[static_cast<size_t>(Row)].reset();  // the record is the window's again
  if (!Result.Interrupted) ++Run_.Finished;
  for (size_t k = 0; k < Result.Entries.size(); ++k) {
    TCell* cell = Cells.Cell(Row, static_cast<int>(k));
    if (cell == nullptr) continue;
    cell->Busy = false;
    const TFleetEntry& e = Result.Entries[k];
    // What a stop kept from being read keeps its text, and its edit.
    if (Result.Interrupted && (e.Reason == TEntryReason::NotDone || e.Reason == TEntryReason::NotReadBack))
      continue;
    cell->Text = e.Text;
    cell->Edited = false;
  }
  // A stop before the clock was read leaves the clock cell as it was. After
  // a Write the clock is shown only with its weekday, as the write sets it.
  if (!Result.Interrupted) plc->RtcText = Run_.Write && !Result.HasWeekday ? std::string() : Result.Rtc;
  if (Result.GivenUp && !Result.Interrupted) NoteFailure(*plc, Result.Error);
  ConfigModel_->RefreshRow(Row);
  SystemModel_->RefreshRow(Row);
  ShowRunProgress(Row);
}

void TfmMain::RunEnded(bool Stopped) {
  // Rows the run did not reach: not asked, not changed.
  for (size_t r = 0; r < Snapshots_.size(); ++r)
    if (Snapshots_[r])
      for (size_t k = 0; k < VarNames.size(); ++k)
        if (TCell* cell = Cells.Cell(static_cast<int>(r), static_cast<int>(k))) cell->Busy = false;
  Snapshots_.clear();
  ConfigModel_->Refresh();
  RunDisplay_.reset();
  // A stop that came when every controller was done cut nothing short.
  const bool cut = Stopped && Run_.Finished < Run_.Total;
  ShowOutcome(cut, Run_.Write ? QStringLiteral("Write") : QStringLiteral("Read"), Run_.Finished, Run_.Total,
              QStringLiteral(" controllers"));
  RunGuard_.reset();  // last: a close that came meanwhile happens now
}

}  // namespace tavex
