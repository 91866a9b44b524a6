// The main window's Autodetect and status check: both run off the window's
// thread (the operations controller over plc/'s runner); the window starts
// them and shows what they report.
#include "ui/fMain.h"

#include <QApplication>
#include <QTableView>

#include <algorithm>
#include <string>

#include "comm/uCommunication.h"
#include "plc/uFleet.h"
#include "plc/uOperationRunner.h"
#include "plc/uOperations.h"
#include "ui/fMainInternal.h"
#include "ui/uGridModels.h"
#include "ui/uOperationsController.h"

namespace tavex {

using namespace fmain;

void TfmMain::HoldOperation() {
  RunGuard_ = std::make_unique<TOperationGuard>(*this);
  RunDisplay_ = std::make_unique<TBusyDisplay>(*this);
}

void TfmMain::ReleaseOperation() {
  RunDisplay_.reset();
  RunGuard_.reset();  // last: a close that came meanwhile happens now
}

// --- Autodetect --------------------------------------------------------------
//
// The window's communicator and the list the discovery fills (DetectList_)
// belong to it until it has ended (Detecting): meanwhile the adapter watch
// leaves the communicator alone, and the grids go on showing the list as it
// was, which only the discovery's end replaces (fMainRows.cpp).

void TfmMain::btnAutodetectClick() {
  if (Busy_) return;
  HoldOperation();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  OverrideCursor_ = true;
  Detecting = true;
  ShowProgress(QStringLiteral("Autodetect: listening for controllers..."));

  Snapshots_.clear();
  DetectList_.Clear();

  TDetectPlan plan;
  plan.Comm = Communicator.get();
  plan.List = &DetectList_;
  plan.Options.AdapterID = AdapterID;
  plan.Options.DirectConnection = DirectConnection;
  plan.Options.Password = Password;
  plan.Options.ListenMs = Options_.ListenMs;
  DetectRounds_ = plan.Options.Rounds;
  if (!Operations_->StartDetect(std::move(plan))) DetectEnded(false, TDetectOutcome(), false);
}

void TfmMain::DetectRound(const TDetectRound& R) {
  if (R.Report.Lost > 0 && R.Again && !StopRequested_)
    ShowProgress(QStringLiteral("Autodetect: answers were lost, listening again (%1 of %2)...")
                     .arg(R.Round + 1)
                     .arg(DetectRounds_));
}

void TfmMain::DetectEnded(bool Opened, const TDetectOutcome& Detected, bool Stopped) {
  bool shown = false;
  const TScopeExit release([this, &shown] {
    if (!shown) ShowProgress(QString());
    Detecting = false;
    DetectList_.Clear();
    if (OverrideCursor_) QApplication::restoreOverrideCursor();
    OverrideCursor_ = false;
    ReleaseOperation();
  });
  Detecting = false;
  Communicator->Close();
  // Not over the question whether edits may go.
  if (OverrideCursor_) QApplication::restoreOverrideCursor();
  OverrideCursor_ = false;
  const int count = DetectList_.Count();
  const bool hadRows = TavexList.Count() > 0;
  // A discovery that could not send or heard nobody tells nothing about the
  // controllers listed: they stay, with their values and edits.
  const bool adopted = Opened && count > 0 && AdoptDetected();
  SetPageButtonsEnabled(TavexList.Count() > 0);
  shown = true;
  const QString kept = hadRows && !adopted ? QStringLiteral(" The controller list is kept.") : QString();
  const QStringList warnings = adopted ? RowWarnings() : QStringList();
  const QString more = warnings.isEmpty() ? QString() : QLatin1Char(' ') + warnings.join(QLatin1Char(' '));
  const auto show = [&](const QString& Text, bool Red = false) {
    if (Red || !more.isEmpty())
      ShowWarning(Text + kept + more);
    else
      ShowProgress(Text + kept);
  };
  QString found = count == 1 ? QStringLiteral("Autodetect found 1 controller.")
                             : QStringLiteral("Autodetect found %1 controllers.").arg(count);
  // What came but answered nothing asked: named, though nothing is missing
  // for it.
  const QString skipped = (Detected.Skipped == 1 ? QStringLiteral("1 datagram")
                                                 : QStringLiteral("%1 datagrams").arg(Detected.Skipped)) +
                          QStringLiteral(" that held no answer") +
                          (count == 0 ? QStringLiteral(" came") : QString()) + QStringLiteral(", ") +
                          QString::fromStdString(SkippedSendersText(Detected)) + QStringLiteral(".");
  if (!Opened) {
    show(QString::fromLatin1(kErrOpen));
  } else if (count > 0 && !adopted) {
    // The user kept the edits of controllers not found again.
    found.chop(1);
    ShowProgress(found + QStringLiteral("; the list is kept with its edited values."));
  } else if (Stopped) {
    // Cut short by the user: what was heard so far is listed.
    show(QStringLiteral("Autodetect stopped: the list may be incomplete. ") +
         (count == 0 ? QStringLiteral("Autodetect found no controller.") : found));
  } else if (Detected.AnswersLost) {
    // More answers came at once than the system kept, in every round: the
    // rows shown are not all the controllers there are.
    show(QStringLiteral("The list may be incomplete: answers were lost. ") +
             (count == 0 ? QStringLiteral("Autodetect found no controller.") : found),
         true);
  } else if (count == 0) {
    show(Detected.Skipped == 0 ? QStringLiteral("Autodetect found no controller.")
                               : QStringLiteral("Autodetect found no controller; only ") + skipped);
  } else if (Detected.Skipped == 0) {
    show(found);
  } else {
    found.chop(1);
    show(found + QStringLiteral("; skipped ") + skipped);
  }
}

// --- Status check ----------------------------------------------------------------
//
// The checked controllers are checked one after the other: the grid marks
// one step under way (CheckProgress), and the steps are paced for the eye.
// A row's record belongs to the check from the start until its row is
// reported finished: meanwhile the grids show its snapshot, whose status
// flags fill in as the steps end.

void TfmMain::btnCheckClick() {
  if (Busy_) return;
  HoldOperation();
  CheckLimit = -1;
  StatusChecked = true;
  Communicator->Close();
  TStatusPlan plan;
  CheckRows_.clear();
  Snapshots_.assign(static_cast<size_t>(TavexList.Count()), std::nullopt);
  for (int i = 0; i < TavexList.Count(); ++i) {
    TTavex* plc = TavexList.Items(i);
    plc->SelectAdapter(AdapterID);
    // An adapter by its ID: finding the host's own adapter looks names up,
    // which is not for another thread.
    if (plc->Communicator->Adapter.ID.empty()) plc->SelectAdapter(Communicator->Adapter.ID);
    plc->SetDirectConnection(DirectConnection);
    if (!SystemModel_->Checked(i)) continue;
    plc->Shown = true;
    TRowSnapshot shot;
    shot.Ip = plc->GetIpAddress();
    shot.Rtc = plc->RtcText;
    Snapshots_[static_cast<size_t>(i)] = std::move(shot);
    CheckRows_.push_back(i);
    plan.Items.push_back({plc, i});
  }
  Check_ = {0, 5 * static_cast<int>(CheckRows_.size())};
  CheckProgress = 5 * NextCheckedRow(-1);
  SystemModel_->Refresh();
  if (plan.Items.empty() || !Operations_->StartStatus(std::move(plan))) CheckEnded(false);
}

int TfmMain::NextCheckedRow(int Row) const {
  const auto next = std::upper_bound(CheckRows_.begin(), CheckRows_.end(), Row);
  return next != CheckRows_.end() ? *next : TavexList.Count();
}

void TfmMain::ShowCheckStep(int Row, int Step) {
  if (StopRequested_) return;  // "Stopping..." stays
  const TTavex* plc = TavexList.Items(Row);
  ShowProgress(QStringLiteral("Checking %1: %2, %3 of %4")
                   .arg(plc != nullptr ? plc->Nad : -1)
                   .arg(QString::fromLatin1(TSystemModel::kColumns[3 + Step].Caption))
                   .arg(Check_.Done + 1)
                   .arg(Check_.Total));
}

void TfmMain::CheckStarted(int Row) {
  CheckProgress = 5 * Row;
  ShowCheckStep(Row, 0);
  SystemModel_->Refresh();
}

void TfmMain::CheckStep(int Row, int Step, bool Ok) {
  if (Row < 0 || static_cast<size_t>(Row) >= Snapshots_.size() || !Snapshots_[static_cast<size_t>(Row)] ||
      Step < 0 || Step >= kStatusSteps)
    return;
  Snapshots_[static_cast<size_t>(Row)]->Flags[Step] = Ok;
  ++Check_.Done;
  // After a row's last step the mark goes on to the next row checked: the
  // rows between take no part.
  CheckProgress = Step + 1 < kStatusSteps ? 5 * Row + Step + 1 : 5 * NextCheckedRow(Row);
  if (Step + 1 < kStatusSteps) ShowCheckStep(Row, Step + 1);
  SystemModel_->Refresh();
}

void TfmMain::CheckFinished(int Row, const TStatusResult& Result) {
  const TTavex* plc = TavexList.Items(Row);
  if (plc == nullptr || static_cast<size_t>(Row) >= Snapshots_.size()) return;
  Snapshots_[static_cast<size_t>(Row)].reset();  // the record is the window's again
  // A controller that stopped answering is "PLC not responding!" whatever
  // step it stopped at; "PLC has no program!" only when its header said so.
  const TOutcomeFailure failure = StatusFailure(plc->Nad, Result);
  if (failure.Nad != -1) NoteFailure(failure);
  SystemModel_->RefreshRow(Row);
}

void TfmMain::CheckEnded(bool Stopped) {
  const TScopeExit release([this] { ReleaseOperation(); });
  Snapshots_.clear();
  // A stopped check shows what it found; the steps it did not run stay
  // empty. A stop that came when every step was done cut nothing short.
  const bool cut = Stopped && Check_.Done < Check_.Total;
  if (cut) CheckLimit = CheckProgress;
  CheckProgress = -1;
  SystemModel_->Refresh();
  RunDisplay_.reset();
  // A stop counts steps; the summary counts controllers.
  const int rows = static_cast<int>(CheckRows_.size());
  ShowOutcome(cut, QStringLiteral("Status check"), cut ? Check_.Done : rows, cut ? Check_.Total : rows, QString(),
              QStringLiteral("Checked"), rows);
}

}  // namespace tavex
