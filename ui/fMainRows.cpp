// The main window's rows: what Autodetect's end does to them (a controller
// found again keeps its row's cells, check states and selected cell, edits
// are only dropped when the user agrees), the expected controllers (a
// site's inventory: missing ones shown as red rows after the list's rows),
// and the question before edits are lost.
//
// The red rows live in Missing_, apart from the controller list: the
// operations walk the list's rows only, so nothing can send to a
// controller that has no record.
#include "ui/fMain.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QSettings>
#include <QShortcut>

#include <utility>

#include "cli/uCliInputs.h"
#include "cli/uInventory.h"
#include "ui/uApplication.h"
#include "ui/uGridModels.h"

namespace tavex {

namespace {

constexpr char kExpectedPathKey[] = "ExpectedControllers";
// Controllers named in one bottom-bar sentence; the rest as "...".
constexpr int kNamed = 3;

std::vector<TControllerKey> KeysOf(const TTavexList& List) {
  std::vector<TControllerKey> keys;
  keys.reserve(static_cast<size_t>(List.Count()));
  for (int i = 0; i < List.Count(); ++i) keys.push_back({List.Items(i)->Nad, List.Items(i)->GetIpAddress()});
  return keys;
}

QString Named(const TControllerKey& Key) {
  return QStringLiteral("%1 (%2)").arg(Key.Nad).arg(QString::fromStdString(Key.Ip));
}

QString JoinCapped(const QStringList& Items) {
  QStringList shown = Items.mid(0, kNamed);
  if (Items.size() > kNamed) shown << QStringLiteral("...");
  return shown.join(QStringLiteral(", "));
}

QString JoinAnd(const std::vector<std::string>& Items) {
  QStringList q;
  for (const std::string& s : Items) q << QString::fromStdString(s);
  if (q.size() < 2) return q.join(QString());
  const QString last = q.takeLast();
  return q.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

}  // namespace

void TfmMain::CreateRowActions() {
  // No room in the window's layout for a button: a shortcut, and the
  // grids' context menu.
  auto* expected = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
  expected->setContext(Qt::WindowShortcut);
  connect(expected, &QShortcut::activated, this,
          [this] { TApplication::RunHandler([this] { ChooseExpectedControllers(); }); });
  if (Options_.Settings != nullptr) ExpectedPath_ = Options_.Settings->value(kExpectedPathKey).toString();
}

int TfmMain::EditedCount() const {
  int n = 0;
  for (int r = 0; r < TavexList.Count(); ++r)
    for (int k = 0; k < Cells.Columns(); ++k) n += Cells.At(r, k).Edited ? 1 : 0;
  return n;
}

bool TfmMain::ConfirmDiscard(int Count, const QString& Whose) {
  if (Count <= 0) return true;
  QString text = Count == 1 ? QStringLiteral("1 edited value is not written. Discard it?")
                            : QStringLiteral("%1 edited values are not written. Discard them?").arg(Count);
  if (!Whose.isEmpty()) text += QStringLiteral("\n\n") + Whose;
  return TApplication::Ask(text);
}

bool TfmMain::AdoptDetected() {
  const std::vector<TControllerKey> found = KeysOf(DetectList_);
  TExpectedOutcome expected = CompareExpected(Expected_, found);
  std::vector<TControllerKey> oldKeys = KeysOf(TavexList);
  std::vector<TControllerKey> newKeys = found;
  newKeys.insert(newKeys.end(), expected.Missing.begin(), expected.Missing.end());
  const std::vector<int> newRow = MatchKeys(oldKeys, newKeys);
  // Only the edits of controllers not found again are lost.
  int lost = 0;
  QStringList whose;
  for (int r = 0; r < TavexList.Count(); ++r) {
    if (newRow[static_cast<size_t>(r)] >= 0) continue;
    int n = 0;
    for (int k = 0; k < Cells.Columns(); ++k) n += Cells.At(r, k).Edited ? 1 : 0;
    if (n == 0) continue;
    lost += n;
    whose << Named(oldKeys[static_cast<size_t>(r)]);
  }
  if (!ConfirmDiscard(lost, QStringLiteral("They belong to controllers that Autodetect did not find again: %1.")
                                .arg(JoinCapped(whose))))
    return false;
  RebuildRows(&DetectList_, std::move(expected.Missing));
  Moved_ = std::move(expected.Moved);
  Listed_ = true;
  // Autodetect starts the status afresh.
  StatusChecked = false;
  CheckLimit = -1;
  SystemModel_->Refresh();
  return true;
}

void TfmMain::RebuildRows(TTavexList* NewList, std::vector<TControllerKey> NewMissing) {
  const int oldCount = TavexList.Count();
  std::vector<TControllerKey> oldKeys = KeysOf(TavexList);
  oldKeys.insert(oldKeys.end(), Missing_.begin(), Missing_.end());
  std::vector<TControllerKey> newKeys = NewList != nullptr ? KeysOf(*NewList) : KeysOf(TavexList);
  const int newCount = static_cast<int>(newKeys.size());
  newKeys.insert(newKeys.end(), NewMissing.begin(), NewMissing.end());
  const std::vector<int> newRow = MatchKeys(oldKeys, newKeys);

  // A controller found for the first time is checked on both pages; one
  // found again keeps its check states, and its clock as last read.
  std::vector<char> sys(newKeys.size(), 0), cfg(newKeys.size(), 0);
  for (int j = 0; j < newCount; ++j) sys[static_cast<size_t>(j)] = cfg[static_cast<size_t>(j)] = 1;
  for (int r = 0; r < oldCount; ++r) {
    const int to = newRow[static_cast<size_t>(r)];
    if (to < 0 || to >= newCount) continue;
    sys[static_cast<size_t>(to)] = SystemModel_->Checked(r) ? 1 : 0;
    cfg[static_cast<size_t>(to)] = ConfigModel_->Checked(r) ? 1 : 0;
    if (NewList != nullptr) NewList->Items(to)->RtcText = TavexList.Items(r)->RtcText;
  }

  SystemModel_->BeginResetRows();
  ConfigModel_->BeginResetRows();
  if (NewList != nullptr) TavexList.Swap(*NewList);
  Missing_ = std::move(NewMissing);
  Cells.MoveRows(newRow, newCount);
  Cells.Resize(newCount, static_cast<int>(VarNames.size()));
  SystemModel_->EndResetRows(std::move(sys));
  ConfigModel_->EndResetRows(std::move(cfg));
  ConfigGrid_->MoveRows(newRow);
  // The records of the list before: not found again, or replaced by the
  // new ones.
  if (NewList != nullptr) NewList->Clear();
}

QStringList TfmMain::RowWarnings() const {
  QStringList out;
  for (const TSharedNad& s : SharedNads(KeysOf(TavexList)))
    out << QStringLiteral("NAD %1 answered from %2.").arg(s.Nad).arg(JoinAnd(s.Ips));
  for (const TMovedController& m : Moved_)
    out << QStringLiteral("%1 found at %2, expected %3.")
               .arg(m.Expected.Nad)
               .arg(JoinAnd(m.FoundAt))
               .arg(QString::fromStdString(m.Expected.Ip));
  if (!Missing_.empty()) {
    QStringList names;
    for (const TControllerKey& k : Missing_) names << Named(k);
    out << QStringLiteral("Not found: %1.").arg(JoinCapped(names));
  }
  return out;
}

void TfmMain::ChooseExpectedControllers() {
  if (Busy_) return;
  const QString path = QFileDialog::getOpenFileName(
      this, QStringLiteral("Expected controllers"), ExpectedPath_,
      QStringLiteral("Controller lists (*.csv *.txt);;All files (*)"));
  if (!path.isEmpty()) LoadExpectedControllers(path);
}

bool TfmMain::LoadExpectedControllers(const QString& Path) {
  if (Busy_) {
    // The rows belong to the running operation.
    TApplication::ShowError(QStringLiteral("The expected controllers cannot be loaded while an operation runs."));
    return false;
  }
  std::vector<TControllerKey> expected;
  QStringList notes;
  if (!Path.isEmpty()) {
    // "-" is a file here: the desktop tool has no standard input to read.
    const std::string path = Path == QStringLiteral("-") ? std::string("./-") : Path.toStdString();
    TInventory inventory;
    try {
      inventory = LoadInventory(path);
    } catch (const TUsageError& e) {
      TApplication::ShowError(QString::fromStdString(e.Sentence));
      return false;
    }
    for (const TInventoryHost& h : inventory.Hosts) expected.push_back({h.Nad, AddressHost(h.Address)});
    for (const std::string& w : inventory.Warnings) notes << QString::fromStdString(w);
    ExpectedPath_ = Path;
    if (Options_.Settings != nullptr) Options_.Settings->setValue(kExpectedPathKey, Path);
  }
  Expected_ = std::move(expected);
  QString text = Expected_.empty()
                     ? QStringLiteral("No expected controllers.")
                     : QStringLiteral("%1 expected controller%2 from %3.")
                           .arg(Expected_.size())
                           .arg(Expected_.size() == 1 ? "" : "s")
                           .arg(QFileInfo(Path).fileName());
  if (Listed_) {
    // Compared with the controllers the last Autodetect listed.
    TExpectedOutcome outcome = CompareExpected(Expected_, KeysOf(TavexList));
    RebuildRows(nullptr, std::move(outcome.Missing));
    Moved_ = std::move(outcome.Moved);
    notes = RowWarnings() + notes;
  } else if (!Expected_.empty()) {
    text += QStringLiteral(" Autodetect compares them with the controllers it finds.");
  }
  if (notes.isEmpty())
    ShowProgress(text);
  else
    ShowWarning(text + QLatin1Char(' ') + notes.join(QLatin1Char(' ')));
  return true;
}

}  // namespace tavex
