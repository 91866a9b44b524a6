// The main window's Write: which values go to which controller (the
// decision is plc/uWritePlan's; the window only gathers the cells and shows
// a refusal), what a Read or Write leaves in a row's cells (read, stale,
// not written and why), and the bottom bar's account of a Write.
#include <QLabel>
#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

#include "plc/uFleet.h"
#include "plc/uOutcome.h"
#include "plc/uWritePlan.h"
#include "ui/fMain.h"
#include "ui/uApplication.h"
#include "ui/uGridModels.h"

namespace tavex {

namespace {

// The bottom bar names this many values not written; the tooltip all.
constexpr int kIssuesShown = 3;

// The entry was read: its text is what the controller holds (or "?" for
// what it cannot hold: no such variable, a type never transferred).
bool WasRead(TEntryReason Reason) {
  switch (Reason) {
    case TEntryReason::None:
    case TEntryReason::UnknownEntry:
    case TEntryReason::RejectedValue:
    case TEntryReason::HeldBack:
    case TEntryReason::NotTransferred:
      return true;
    default:
      return false;
  }
}

QString Plural(int N, const char* One, const char* Many) {
  return QStringLiteral("%1 %2").arg(N).arg(QString::fromLatin1(N == 1 ? One : Many));
}

}  // namespace

bool TfmMain::PlanWrite() {
  WriteIssues_.clear();
  Wrote_ = {};
  TWritePlanOptions options;
  options.EditedOnly = WriteEditedOnly_;
  options.DecimalSeparator = DecimalSeparator();
  WritePlans_.assign(static_cast<size_t>(TavexList.Count()), TRowWrite());
  QStringList conflicts;
  for (int r = 0; r < TavexList.Count(); ++r) {
    if (!ConfigModel_->Checked(r)) continue;
    std::vector<TWriteCell> cells(VarNames.size());
    for (size_t k = 0; k < VarNames.size(); ++k) {
      const TCell& c = Cells.At(r, static_cast<int>(k));
      cells[k] = {c.Text, c.Edited, c.Stale};
    }
    TRowWrite& plan = WritePlans_[static_cast<size_t>(r)];
    plan = PlanRowWrite(VarNames, cells, options);
    if (plan.HasConflict)
      conflicts << QString::fromStdString(
          ConflictText(VarNames, TavexList.Items(r)->Nad, plan.Conflict, TConfigModel::kFixedColumns + 1));
  }
  if (conflicts.isEmpty()) return true;
  WritePlans_.clear();
  // Refused before anything is sent: to no controller, not only to the
  // row in doubt, so that the grid is written as a whole or not at all.
  ShowWarning(conflicts.front());
  lblProgress->setToolTip(conflicts.join(QLatin1Char('\n')));
  TApplication::ShowError(conflicts.join(QLatin1Char('\n')));
  return false;
}

void TfmMain::TakeRowResult(int Row, const TFleetResult& Result) {
  const TTavex* plc = TavexList.Items(Row);
  const QString nad = QString::number(plc != nullptr ? plc->Nad : -1);
  const TRowWrite* plan =
      Run_.Write && static_cast<size_t>(Row) < WritePlans_.size() ? &WritePlans_[static_cast<size_t>(Row)] : nullptr;
  // A controller that failed is named once, with its error, for every
  // value it did not take.
  const bool failed = Result.GivenUp && !Result.Interrupted;
  // In the words the other operations use: lost answers are "PLC not
  // responding!", whatever stage they hit.
  const TOutcomeFailure failure = FleetFailure(plc != nullptr ? plc->Nad : -1, Result);
  const std::string why = failure.Why.empty() ? Result.Error : failure.Why;
  if (Run_.Write && failed) WriteIssues_.emplace_back(Row, nad + QStringLiteral(": ") + QString::fromStdString(why));
  int took = 0;
  for (size_t k = 0; k < Result.Entries.size() && k < VarNames.size(); ++k) {
    TCell* cell = Cells.Cell(Row, static_cast<int>(k));
    if (cell == nullptr) continue;
    cell->Busy = false;
    const TFleetEntry& e = Result.Entries[k];
    std::string unwritten;
    if (Run_.Write && e.Verdict != TWriteVerdict::None) {
      if (VerdictTook(e.Verdict)) {
        ++took;
        ++Wrote_.Values;
        if (plan != nullptr && k < plan->FromEdit.size() && plan->FromEdit[k]) ++Wrote_.Edited;
      } else {
        const bool controllersFault = failed && e.Verdict == TWriteVerdict::NotDone;
        unwritten = controllersFault ? why : VerdictText(e.Verdict);
        if (!controllersFault)
          WriteIssues_.emplace_back(Row, QStringLiteral("%1 %2: %3")
                                             .arg(nad, QString::fromStdString(VarNames[k]),
                                                  QString::fromLatin1(VerdictText(e.Verdict))));
      }
    }
    if (WasRead(e.Reason)) {
      cell->Text = e.Text;
      cell->Edited = false;
      cell->Stale = false;
      cell->Unwritten = unwritten;
      continue;
    }
    // Not read (the controller failed, or a stop came first): the text
    // stays, and so does an edit; what is not an edit may be out of date.
    if (cell->Text.empty() && !Result.Interrupted) cell->Text = e.Text;
    if (!cell->Edited) cell->Stale = true;
    if (!unwritten.empty()) cell->Unwritten = unwritten;
  }
  if (took > 0) ++Wrote_.Controllers;
  if (Run_.Write && ClockOutcomeTook(ClockOutcome(Result))) ++Wrote_.Clocks;
  if (Run_.Write && !failed) {
    // The clock, when it was to be set and was not.
    const TClockOutcome clock = ClockOutcome(Result);
    if (clock == TClockOutcome::NotSet || clock == TClockOutcome::MayHaveBeenSet ||
        clock == TClockOutcome::NotLanded)
      WriteIssues_.emplace_back(Row, nad + QStringLiteral(" clock: ") + QString::fromLatin1(ClockOutcomeText(clock)));
  }
}

void TfmMain::MarkUnreached(int Row) {
  const TRowWrite* plan =
      Run_.Write && static_cast<size_t>(Row) < WritePlans_.size() ? &WritePlans_[static_cast<size_t>(Row)] : nullptr;
  bool values = false;
  for (size_t k = 0; k < VarNames.size(); ++k) {
    TCell* cell = Cells.Cell(Row, static_cast<int>(k));
    if (cell == nullptr) continue;
    cell->Busy = false;
    if (!cell->Edited && !cell->Text.empty()) cell->Stale = true;
    if (plan != nullptr && k < plan->Values.size() && !plan->Values[k].empty()) {
      cell->Unwritten = VerdictText(TWriteVerdict::NotDone);
      values = true;
    }
  }
  if (values)
    if (const TTavex* plc = TavexList.Items(Row))
      WriteIssues_.emplace_back(
          Row, QStringLiteral("%1: %2").arg(plc->Nad).arg(QString::fromLatin1(VerdictText(TWriteVerdict::NotDone))));
}

void TfmMain::ShowWriteOutcome(bool Stopped) {
  // In the grid's order, whatever order the controllers finished in.
  std::stable_sort(WriteIssues_.begin(), WriteIssues_.end(),
                   [](const auto& A, const auto& B) { return A.first < B.first; });
  QStringList issues;
  for (const auto& issue : WriteIssues_) issues << issue.second;
  WriteIssues_.clear();
  WritePlans_.clear();
  const TWriteCount wrote = Wrote_;
  Wrote_ = {};
  if (Stopped) {
    ShowProgress(QStringLiteral("Write stopped after %1 of %2 controllers.").arg(Run_.Finished).arg(Run_.Total));
    if (!issues.isEmpty()) lblProgress->setToolTip(issues.join(QLatin1Char('\n')));
    return;
  }
  const QString summary = QStringLiteral("Wrote %1 to %2 (%3 edited).")
                              .arg(Plural(wrote.Values, "value", "values"))
                              .arg(Plural(wrote.Controllers, "controller", "controllers"))
                              .arg(wrote.Edited)
                              .chopped(1) +
                          (wrote.Clocks > 0 ? QStringLiteral("; set %1.").arg(Plural(wrote.Clocks, "clock", "clocks"))
                                            : QStringLiteral("."));
  if (issues.isEmpty()) {
    ShowProgress(summary);
    return;
  }
  // What did not take comes first, the bar may be too narrow for the rest;
  // the tooltip has every value.
  QString text = QStringLiteral("Not written: ") + issues.mid(0, kIssuesShown).join(QStringLiteral("; "));
  if (issues.size() > kIssuesShown) text += QStringLiteral(" ...");
  ShowWarning(text + QStringLiteral(" | ") + summary);
  lblProgress->setToolTip(summary + QLatin1Char('\n') + issues.join(QLatin1Char('\n')));
}

}  // namespace tavex
