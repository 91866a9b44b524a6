// The main window's Read and Write (served off the window's thread, shown
// as reported) and the system page's texts. Autodetect and the status
// check: fMainCheck.cpp.
#include "ui/fMain.h"

#include <QCheckBox>
#include <QTableView>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "comm/uCommunication.h"
#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uOperationRunner.h"
#include "plc/uOperations.h"
#include "ui/fMainInternal.h"
#include "ui/uApplication.h"
#include "ui/uGridModels.h"
#include "ui/uOperationsController.h"

namespace tavex {

using namespace fmain;


void TfmMain::SetPageButtonsEnabled(bool Enabled) {
  PageButtonsEnabled_ = Enabled;
  ApplyButtonStates();
}

// --- System check page ---------------------------------------------------------

QString TfmMain::StatusText(int Row, int Step) const { return SystemModel_->StatusText(Row, Step); }

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
  if (Write && !PlanWrite()) return;  // nothing is sent
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
    if (Write && static_cast<size_t>(r) < WritePlans_.size()) item.Values = WritePlans_[static_cast<size_t>(r)].Values;
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
  // Every value written and every clock set goes to the user's journal,
  // as tavexctl's do.
  if (Write) {
    plan.JournalPath = JournalPath();
    plan.Adapter = Communicator->Adapter.ID;
    NoteWriteStart(plan);
  }
  JournalError_.clear();
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
  if (Run_.Write) NoteWriteResult(*plc, Result);
  if (!Result.Interrupted) ++Run_.Finished;
  TakeRowResult(Row, Result);
  // A stop before the clock was read leaves the clock cell as it was. After
  // a Write the clock is shown only with its weekday, as the write sets it.
  if (!Result.Interrupted) plc->RtcText = Run_.Write && !Result.HasWeekday ? std::string() : Result.Rtc;
  const TOutcomeFailure failure = FleetFailure(plc->Nad, Result);
  if (failure.Nad != -1) NoteFailure(failure);
  ConfigModel_->RefreshRow(Row);
  SystemModel_->RefreshRow(Row);
  ShowRunProgress(Row);
}

void TfmMain::RunEnded(bool Stopped) {
  // Rows the run did not reach: not asked; their texts stay, marked stale.
  for (size_t r = 0; r < Snapshots_.size(); ++r)
    if (Snapshots_[r]) MarkUnreached(static_cast<int>(r));
  Snapshots_.clear();
  ConfigModel_->Refresh();
  RunDisplay_.reset();
  if (Run_.Write) NoteWriteEnd();
  // A stop that came when every controller was done cut nothing short.
  const bool cut = Stopped && Run_.Finished < Run_.Total;
  if (Run_.Write)
    ShowWriteOutcome(cut);
  else
    ShowOutcome(cut, QStringLiteral("Read"), Run_.Finished, Run_.Total, QStringLiteral(" controllers"),
                QStringLiteral("Read"), Run_.Finished - static_cast<int>(Failures_.size()));
  // Loud: the values went to the controllers, but nobody can trace them.
  if (!JournalError_.isEmpty())
    TApplication::ShowError(QStringLiteral("The journal could not be written: %1").arg(JournalError_));
  RunGuard_.reset();  // last: a close that came meanwhile happens now
}

}  // namespace tavex
