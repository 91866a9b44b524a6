// The main window's as-left report: the last Write of the session as the
// journal keeps it, beside what that Write read back, written as one HTML
// page to the user's cache and opened in the desktop's browser.
//
// The values "now" are the ones the Write itself read back (what the grid
// showed after it), not a new exchange: a report must never send anything,
// and nothing on this thread waits. Reading the journal (which only grows)
// and writing the page happen on a thread of their own; the window only
// hands them a copy of what they need and shows how it went.
#include "ui/fMain.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTableView>
#include <QThread>
#include <QUrl>

#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "comm/uCommunication.h"
#include "plc/uFleet.h"
#include "plc/uJournal.h"
#include "plc/uOperationRunner.h"
#include "plc/uReport.h"
#include "ui/uApplication.h"

namespace tavex {

namespace {

// One Write, as its report needs it. Filled on the window's thread while the
// Write runs; never changed after its end, so that a report's thread can
// read it while a later Write fills a new one.
struct TWriteRecord {
  std::string Op;           // its operation id in the journal; empty: not journalled
  std::string JournalPath;
  std::map<uint32_t, TReportNow> Now;  // what each controller read back
  std::string EndTime, EndOffset;      // when it ended (JournalNow)
};

// How a report's thread ended: a page written at Path; or nothing to report
// (Nothing, a text for the bottom bar); or an error.
struct TReportOutcome {
  QString Path;
  QString Nothing;
  QString Error;
};

// Only what is safe in a file name anywhere: an operation id is that
// already, but the id is not this code's to trust.
QString FileNamePart(const std::string& Text) {
  QString out;
  for (const char c : Text)
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_')
      out += QLatin1Char(c);
  return out.left(64);
}

// A folder only the user can enter: made 0700 when missing.
bool MakePrivateFolder(const QString& Path) {
  if (QDir(Path).exists()) return true;
  return QDir().mkdir(Path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// On the report's own thread: the journal read, the run's records found,
// the page written under Folder, readable by the user alone.
void BuildReport(const TWriteRecord& Write, const QString& Folder, TReportOutcome& Out) {
  if (Write.Op.empty() || Write.JournalPath.empty()) {
    Out.Nothing = QStringLiteral("The last Write was not journalled: there is nothing to report.");
    return;
  }
  TJournalContents journal;
  std::string error;
  if (!ReadJournal(Write.JournalPath, journal, error)) {
    Out.Error = QStringLiteral("The journal \"%1\" cannot be read (%2).")
                    .arg(QString::fromStdString(Write.JournalPath), QString::fromStdString(error));
    return;
  }
  TReportSelection selection;
  selection.Op = Write.Op;
  TReport report;
  report.Records = SelectReportRecords(journal.Records, selection);
  if (report.Records.empty()) {
    Out.Nothing = QStringLiteral("The journal holds no record of the last Write: there is nothing to report.");
    return;
  }
  report.Now = Write.Now;
  report.NowTime = Write.EndTime;
  report.NowOffset = Write.EndOffset;
  report.NowBy = "tavex-config " TAVEX_VERSION;
  report.ReadAgain = false;
  const std::string html = ReportHtml(report);

  if (Folder.isEmpty()) {
    Out.Error = QStringLiteral("The report cannot be written: the user's cache folder is not known.");
    return;
  }
  const QString tavex = Folder + QStringLiteral("/tavex");
  const QString reports = tavex + QStringLiteral("/reports");
  if (!QDir().mkpath(Folder) || !MakePrivateFolder(tavex) || !MakePrivateFolder(reports)) {
    Out.Error = QStringLiteral("The report cannot be written: the folder \"%1\" cannot be made.").arg(reports);
    return;
  }
  const QString path = reports + QStringLiteral("/as-left-") + FileNamePart(Write.Op) + QStringLiteral(".html");
  // A new file each time (never through a link someone left there), 0600
  // from the start.
  QFile::remove(path);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner) ||
      file.write(html.data(), static_cast<qint64>(html.size())) != static_cast<qint64>(html.size()) ||
      !file.flush()) {
    Out.Error = QStringLiteral("The report cannot be written to \"%1\" (%2).").arg(path, file.errorString());
    file.close();
    QFile::remove(path);
    return;
  }
  file.close();
  Out.Path = path;
}

}  // namespace

struct TfmMain::TAsLeft {
  std::shared_ptr<TWriteRecord> Running;       // the Write under way
  std::shared_ptr<const TWriteRecord> Last;    // the last one that ended; null: none yet
  bool Building = false;                       // a report's thread runs
};

void TfmMain::CreateReportAction() {
  AsLeft_ = std::make_shared<TAsLeft>();
  actAsLeftReport = new QAction(QStringLiteral("As-left report of the last Write..."), this);
  actAsLeftReport->setObjectName(QStringLiteral("actAsLeftReport"));
  connect(actAsLeftReport, &QAction::triggered, this,
          [this] { TApplication::RunHandler([this] { ShowAsLeftReport(); }); });
  // It joins the configuration grid's context menu (FillGridMenu).
}

void TfmMain::NoteWriteStart(TRunPlan& Plan) {
  auto write = std::make_shared<TWriteRecord>();
  // The window chooses the id, so that the report finds this run's records.
  if (!Plan.JournalPath.empty()) write->Op = NewOperationId();
  write->JournalPath = Plan.JournalPath;
  Plan.Op = write->Op;
  AsLeft_->Running = std::move(write);
}

void TfmMain::NoteWriteResult(const TTavex& Plc, const TFleetResult& Result) {
  if (!AsLeft_->Running || Plc.Nad < 0) return;
  TReportNow now;
  now.Ip = Plc.GetIpAddress();
  if (Plc.HasProgram && Plc.Communicator) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "0x%08x", Plc.Communicator->CodeStamp);
    now.Stamp = stamp;
  }
  now.Rtc = Result.Rtc;
  if (Result.GivenUp && !Result.Interrupted) now.Error = Result.Error.empty() ? "no answer" : Result.Error;
  else if (Result.Interrupted) now.Error = "the Write was stopped";
  // What the controller was found to hold after the write; a value not read
  // back is not known.
  for (size_t k = 0; k < Result.Entries.size() && k < VarNames.size(); ++k) {
    const TFleetEntry& e = Result.Entries[k];
    if (e.Text == "?") continue;
    if (e.Reason == TEntryReason::None || e.Reason == TEntryReason::RejectedValue ||
        e.Reason == TEntryReason::HeldBack)
      now.Values[VarNames[k]] = e.Text;
  }
  AsLeft_->Running->Now[static_cast<uint32_t>(Plc.Nad)] = std::move(now);
}

void TfmMain::NoteWriteEnd() {
  if (!AsLeft_->Running) return;
  // Its records are not in the journal (or only part of them): nothing to
  // report from.
  if (!JournalError_.isEmpty()) AsLeft_->Running->Op.clear();
  JournalNow(AsLeft_->Running->EndTime, AsLeft_->Running->EndOffset);
  AsLeft_->Last = std::move(AsLeft_->Running);
  AsLeft_->Running.reset();
}

void TfmMain::ShowAsLeftReport() {
  // Not while an operation runs (a Write's report would be half of it),
  // nor twice at once.
  if (Busy_ || AsLeft_->Building) return;
  if (!AsLeft_->Last) {
    ShowProgress(QStringLiteral("No Write in this session: there is nothing to report."));
    return;
  }
  const std::shared_ptr<const TWriteRecord> write = AsLeft_->Last;
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  auto outcome = std::make_shared<TReportOutcome>();
  QThread* worker = QThread::create([write, folder, outcome] {
    try {
      BuildReport(*write, folder, *outcome);
    } catch (const std::exception& e) {
      outcome->Error = QStringLiteral("The report cannot be made (%1).").arg(QString::fromUtf8(e.what()));
    }
  });
  // The state is shared, so that a window gone meanwhile leaves nothing
  // dangling: the thread cleans up after itself.
  connect(worker, &QThread::finished, worker, &QObject::deleteLater);
  connect(worker, &QThread::finished, this, [this, outcome] {
    TApplication::RunHandler([this, outcome] {
      AsLeft_->Building = false;
      if (!outcome->Error.isEmpty()) {
        TApplication::ShowError(outcome->Error);
        return;
      }
      if (!outcome->Nothing.isEmpty()) {
        ShowProgress(outcome->Nothing);
        return;
      }
      ShowProgress(QStringLiteral("As-left report: %1").arg(QDir::toNativeSeparators(outcome->Path)));
      if (!TApplication::OpenUrl(QUrl::fromLocalFile(outcome->Path)))
        TApplication::ShowError(
            QStringLiteral("The report is written to \"%1\", but no browser could open it.")
                .arg(QDir::toNativeSeparators(outcome->Path)));
    });
  });
  AsLeft_->Building = true;
  worker->start();
}

}  // namespace tavex
