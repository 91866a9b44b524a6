// The as-left report of the last Write, from the configuration grid's
// context menu: a page in the user's cache that names each controller and
// entry with what it held before, what was written, and the verdict,
// opened through the application's URL hook; nothing when there was no
// Write, and nothing sent for the report itself.
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QTableView>
#include <QTemporaryDir>
#include <QUrl>

#include <nlohmann/json.hpp>

#include "plc/uOperations.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fMain.h"

namespace tavex::test {

using nlohmann::json;

namespace {

json Controller(uint32_t Nad, const std::string& IP) { return SimController(Nad, IP, FanAndSetpoint()); }

// The environment variable Name set to Value for the life of the object.
class TEnvGuard {
 public:
  TEnvGuard(const char* Name, const QByteArray& Value) : Name_(Name), Had_(qEnvironmentVariableIsSet(Name)),
                                                          Old_(qgetenv(Name)) {
    qputenv(Name, Value);
  }
  ~TEnvGuard() {
    if (Had_) qputenv(Name_, Old_);
    else qunsetenv(Name_);
  }

 private:
  const char* Name_;
  bool Had_;
  QByteArray Old_;
};

}  // namespace

class TestReport : public TWindowTest {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> Cache_;
  std::unique_ptr<TEnvGuard> CacheEnv_;
  QList<QUrl> Opened_;
  QStringList Errors_;

  TfmMain& Open(int Expect) {
    ShowWindow(WindowOptions(*Files_, "[Variables]\nVar0=fan_speed\nVar1=setpoint\n", Settings_.get()), Window_);
    DetectCount(*Window_, Expect);
    Window_->PageControl1->setCurrentIndex(1);
    return *Window_;
  }

  // The report item as the context menu offers it.
  // The item as the configuration grid's context menu holds it.
  static QAction* ReportItem(TfmMain& W) {
    QMenu menu;
    W.FillGridMenu(menu, true);
    for (QAction* a : menu.actions())
      if (a->text() == "As-left report of the last Write...") return a;
    return nullptr;
  }

 private slots:
  void init() {
    Begin();
    Cache_ = std::make_unique<QTemporaryDir>();
    QVERIFY(Cache_->isValid());
    CacheEnv_ = std::make_unique<TEnvGuard>("XDG_CACHE_HOME", Cache_->path().toLocal8Bit());
    Opened_.clear();
    Errors_.clear();
    TApplication::UrlOpener = [this](const QUrl& Url) {
      Opened_ << Url;
      return true;
    };
    TApplication::ErrorDisplay = [this](const QString& Text) { Errors_ << Text; };
  }
  void cleanup() {
    TApplication::UrlOpener = nullptr;
    End();
    CacheEnv_.reset();
    Cache_.reset();
  }

  // After a Write, the item writes the page of that Write (each controller,
  // each entry with before, written and verdict, nothing of an earlier
  // Write), readable by the user alone, and opens it; the report itself
  // sends nothing.
  void theLastWriteIsReportedAndOpened() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open(2);
    QAction* item = ReportItem(w);
    QVERIFY(item != nullptr);
    QCOMPARE(w.vstConfig->contextMenuPolicy(), Qt::CustomContextMenu);
    w.cbSyncRTC->setChecked(false);
    QVERIFY(Read(w));
    // An earlier Write, whose records must not show.
    QVERIFY(Sim_->WriteVarRaw(1000, "fan_speed", 0, 1111));
    QVERIFY(Write(w));
    // Changed behind the grid's back: the Write puts back what the grid shows.
    QVERIFY(Sim_->WriteVarRaw(1000, "fan_speed", 0, 1500));
    QVERIFY(Sim_->WriteVarRaw(1001, "fan_speed", 0, 1600));
    QVERIFY(Write(w));
    QVERIFY2(Errors_.isEmpty(), qPrintable(Errors_.join("; ")));

    const size_t sent = Sim_->LogSize();
    item->trigger();
    QTRY_COMPARE(Opened_.size(), 1);
    QVERIFY2(Errors_.isEmpty(), qPrintable(Errors_.join("; ")));
    QCOMPARE(Sim_->LogSize(), sent);  // nothing asked of the controllers for it
    const QUrl url = Opened_[0];
    QVERIFY(url.isLocalFile());
    const QString path = url.toLocalFile();
    QVERIFY2(path.startsWith(Cache_->path() + "/tavex/reports/as-left-"), qPrintable(path));
    QVERIFY(path.endsWith(".html"));
    QCOMPARE(QFileInfo(path).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(QFileInfo(Cache_->path() + "/tavex/reports").permissions() &
                 ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(w.lblProgress->text().contains(QFileInfo(path).fileName()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(f.readAll());
    QVERIFY(html.startsWith("<!DOCTYPE html>"));
    for (const char* fact : {"<h2>Controller 1000</h2>", "<h2>Controller 1001</h2>",
                             "<td>fan_speed</td><td>1500</td><td>1450</td><td>1450</td><td>written</td><td>1450</td>",
                             "<td>fan_speed</td><td>1600</td><td>1450</td><td>1450</td><td>written</td><td>1450</td>",
                             "<td>setpoint</td><td>21.5</td><td>21.5</td><td>21.5</td><td>written</td>",
                             "read them back at the end of the run", "<td>127.0.0.3</td>"})
      QVERIFY2(html.contains(fact), fact);
    QVERIFY2(!html.contains("<td>1111</td>"), "a record of the earlier Write");
    QVERIFY(!html.contains("class=\"bad\">"));  // every value took, and reads as written
    QVERIFY(!html.contains("<script"));

    // Again: the same run's page, written anew, opened again.
    item->trigger();
    QTRY_COMPARE(Opened_.size(), 2);
    QCOMPARE(Opened_[1], url);
  }

  // Without a Write in the session (a Read is none) nothing is written or
  // opened, and the bottom bar says why.
  void withoutAWriteNothingIsOpened() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    TfmMain& w = Open(1);
    QVERIFY(Read(w));
    QAction* item = ReportItem(w);
    QVERIFY(item != nullptr);
    item->trigger();
    QTest::qWait(200);
    QVERIFY(Opened_.isEmpty());
    QVERIFY(Errors_.isEmpty());
    QCOMPARE(w.lblProgress->text(), QString("No Write in this session: there is nothing to report."));
    QVERIFY(!QFileInfo::exists(Cache_->path() + "/tavex/reports"));
  }

  // A Write whose journal could not be kept has no records to report: the
  // bar says so, nothing is opened.
  void aWriteNotJournalledHasNothingToReport() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    TfmMain& w = Open(1);
    w.cbSyncRTC->setChecked(false);
    QVERIFY(Read(w));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile blocker(dir.filePath("file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    {
      TEnvGuard journal("TAVEX_JOURNAL", dir.filePath("file/journal").toLocal8Bit());
      QVERIFY(Write(w));
    }
    QCOMPARE(Errors_.size(), 1);  // the journal's own error
    ReportItem(w)->trigger();
    QTRY_VERIFY(w.lblProgress->text().contains("nothing to report"));
    QVERIFY(Opened_.isEmpty());
    QCOMPARE(Errors_.size(), 1);
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestReport)
#include "test_ui_report.moc"
