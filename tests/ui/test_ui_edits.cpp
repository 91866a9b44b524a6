// The desktop tool writes what was meant and says what it did not write,
// against simulated controllers on loopback, each case proven from the
// simulator's log: a variable in two columns written once (the edit wins,
// two edits refused before anything is sent), stale cells grey and kept
// back, the Edit Value dialog checking by the variable's type, the bottom
// bar's account of a Write with the cells' marks, and "Write edited values
// only".
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QTimer>

#include <bit>
#include <chrono>
#include <functional>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "plc/uFleet.h"
#include "plc/uTavex.h"
#include "sim/uSimulator.h"
#include "tests/ui/UiTest.h"
#include "tests/ui/UiWindow.h"
#include "ui/fEditValue.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uGridModels.h"

namespace tavex::test {

using nlohmann::json;

namespace {

constexpr int kWrite = 52;

// A controller with the clock variables, fan_speed (word 1450) and setpoint
// (real 21.5).
json Controller(uint32_t Nad, const std::string& IP) { return SimController(Nad, IP, FanAndSetpoint()); }

}  // namespace

class TestEdits : public TWindowTest {
  Q_OBJECT

  QStringList Errors_;

  TfmMain& Open(const std::string& Ini, int Expect) {
    ShowWindow(WindowOptions(*Files_, Ini, Settings_.get()), Window_, &EditValue_);
    DetectCount(*Window_, Expect);
    Window_->PageControl1->setCurrentIndex(1);
    Window_->cbSyncRTC->setChecked(false);
    QCoreApplication::processEvents();
    return *Window_;
  }
  // Name -> values of every write to one address, in order (a name twice
  // in one write shows as two values).
  std::vector<std::multimap<std::string, double>> Writes(const std::string& IP) const {
    return test::Writes<std::multimap<std::string, double>>(*Sim_, IP);
  }
  size_t WritesToAnyone() const {
    size_t n = 0;
    for (const json& e : Sim_->Log()) n += e.value("command", -1) == kWrite ? 1 : 0;
    return n;
  }
  // Edits a cell through the Edit Value dialog: each text typed in turn
  // (replacing the whole text) and Enter pressed; Seen gets, for each, the
  // dialog's red message ("" when it closed).
  void Edit(int Row, int Column, QStringList Typed, QStringList* Seen = nullptr) {
    bool opened = false;
    OnEditValue(this, [=, &opened](TfmEditValue& d) {
      opened = true;
      for (const QString& t : Typed) {
        d.edValue->selectAll();
        QTest::keyClick(d.edValue, Qt::Key_Delete);
        QTest::keyClicks(d.edValue, t);
        QTest::keyClick(d.edValue, Qt::Key_Return);
        if (Seen != nullptr) *Seen << (d.isVisible() ? d.lblError->text() : QString());
      }
      if (d.isVisible()) QTest::keyClick(d.edValue, Qt::Key_Escape);
    });
    Window_->EditCell(Row, Column);
    QVERIFY(opened);
  }
  bool Run(bool Write) { return Write ? test::Write(*Window_) : test::Read(*Window_); }

 private slots:
  void init() {
    Begin();
    Errors_.clear();
    TApplication::ErrorDisplay = [this](const QString& Text) { Errors_ << Text; };
  }
  void cleanup() {
    QLocale::setDefault(QLocale::c());
    End();
  }

  // fan_speed in columns 5 and 7: one value per controller, the edit wins
  // wherever it stands; two different edits are refused before anything
  // goes to any controller.
  void variableInTwoColumnsIsWrittenOnce() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\nVar2=fan_speed\n", 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Run(false));
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(Text(cfg, 0, 6), QString("1450"));

    // The edit in the first column: the second column's old value used to
    // follow it and overwrite it.
    for (int column : {4, 6}) {
      const QString value = QString::number(1500 + column);
      Edit(0, column, {value});
      Sim_->ClearLog();
      QVERIFY(Run(true));
      const auto writes = Writes("127.0.0.2");
      QCOMPARE(writes.size(), size_t{1});
      QCOMPARE(writes[0].count("fan_speed"), size_t{1});
      QCOMPARE(writes[0].find("fan_speed")->second, value.toDouble());
      QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(value.toDouble()));
      // The other controller: its one value, once.
      QCOMPARE(Writes("127.0.0.3").at(0).count("fan_speed"), size_t{1});
      QCOMPARE(Text(cfg, 0, 4), value);
      QCOMPARE(Text(cfg, 0, 6), value);
    }

    // Two different edits of one variable in one row: nothing is sent to
    // any controller, and the error names the entry and both columns.
    Edit(0, 4, {"1600"});
    Edit(0, 6, {"1700"});
    Sim_->ClearLog();
    QVERIFY(Write(w));
    QCOMPARE(WritesToAnyone(), size_t{0});
    QVERIFY(Sim_->Log().empty());
    QCOMPARE(Errors_.size(), 1);
    QCOMPARE(Errors_[0], QString("1000: fan_speed has two different edits, in columns 5 and 7 (1600 and 1700). "
                                 "Nothing was written."));
    QCOMPARE(w.lblProgress->text(), Errors_[0]);
    // The edits stay for the user to settle.
    QVERIFY(w.GetCells().At(0, 0).Edited && w.GetCells().At(0, 2).Edited);
    Edit(0, 6, {"1600"});
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QCOMPARE(Writes("127.0.0.2").at(0).count("fan_speed"), size_t{1});
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1600));
  }

  // A controller that fails a Read leaves its cells grey with their old
  // texts (an edit stays blue); Write leaves the grey ones out, and the
  // next read clears the mark.
  void staleCellsAreGreyAndNotWritten() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Run(false));
    Edit(1, 5, {"30"});
    QVERIFY(Sim_->SetFaults(1001, sim::ParseFaults({{"silent", true}})));
    QVERIFY(Run(false));
    QCOMPARE(Text(cfg, 1, 4), QString("1450"));
    QCOMPARE(RoleColor(cfg, 1, 4, Qt::ForegroundRole), kStaleCellColor);
    QCOMPARE(Text(cfg, 1, 5), QString("30"));
    QCOMPARE(RoleColor(cfg, 1, 5, Qt::ForegroundRole), kEditedCellColor);
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::ForegroundRole).isValid());

    // Behind the grid's back the controller's value changes; the grey cell
    // must not put the old one back.
    QVERIFY(Sim_->SetFaults(1001, sim::TFaults()));
    QVERIFY(Sim_->WriteVarRaw(1001, "fan_speed", 0, 1234));
    Sim_->ClearLog();
    QVERIFY(Run(true));
    const auto writes = Writes("127.0.0.3");
    QCOMPARE(writes.size(), size_t{1});
    QCOMPARE(writes[0].count("fan_speed"), size_t{0});
    QCOMPARE(writes[0].count("setpoint"), size_t{1});
    QCOMPARE(Sim_->ReadVarValue(1001, "fan_speed"), std::optional<double>(1234));
    QCOMPARE(Sim_->ReadVarValue(1001, "setpoint"), std::optional<double>(30));
    QCOMPARE(Writes("127.0.0.2").at(0).count("fan_speed"), size_t{1});
    // Read back: no longer grey.
    QCOMPARE(Text(cfg, 1, 4), QString("1234"));
    QVERIFY(!RoleColor(cfg, 1, 4, Qt::ForegroundRole).isValid());
    QVERIFY(!w.GetCells().At(1, 0).Stale);

    // Another failure: the text read last stays, grey.
    QVERIFY(Sim_->SetFaults(1001, sim::ParseFaults({{"silent", true}})));
    QVERIFY(Run(false));
    QCOMPARE(Text(cfg, 1, 4), QString("1234"));
    QVERIFY(w.GetCells().At(1, 0).Stale);
  }

  // A Read stopped while the controllers' requests are in flight: what it
  // did not read is grey (an edit stays blue), and the next Write sends
  // only the edit.
  void stoppedReadLeavesStaleCells() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 2);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Run(false));
    Edit(1, 4, {"1600"});
    for (uint32_t nad : {1000u, 1001u}) QVERIFY(Sim_->SetFaults(nad, sim::ParseFaults({{"silent", true}})));
    for (int r = 0; r < 2; ++r) SetTransport(*w.GetTavexList().Items(r), 30000, 3);
    Sim_->ClearLog();
    w.btnReadClick();
    QVERIFY(Sim_->WaitForLog(2, std::chrono::seconds(10)));
    QTRY_VERIFY(w.GetCells().At(0, 0).Busy && w.GetCells().At(1, 0).Busy);
    w.StopOperation();
    QVERIFY(Finished(w));
    QCOMPARE(Text(cfg, 0, 4), QString("1450"));
    QCOMPARE(RoleColor(cfg, 0, 4, Qt::ForegroundRole), kStaleCellColor);
    QCOMPARE(RoleColor(cfg, 1, 5, Qt::ForegroundRole), kStaleCellColor);
    QCOMPARE(Text(cfg, 1, 4), QString("1600"));
    QCOMPARE(RoleColor(cfg, 1, 4, Qt::ForegroundRole), kEditedCellColor);

    for (uint32_t nad : {1000u, 1001u}) QVERIFY(Sim_->SetFaults(nad, sim::TFaults()));
    for (int r = 0; r < 2; ++r) SetTransport(*w.GetTavexList().Items(r), 500, 3);
    QVERIFY(Sim_->WriteVarRaw(1000, "fan_speed", 0, 1234));
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QVERIFY(Writes("127.0.0.2").empty());
    QCOMPARE(Writes("127.0.0.3").size(), size_t{1});
    QCOMPARE(Writes("127.0.0.3")[0].size(), size_t{1});
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1234));
    QCOMPARE(Sim_->ReadVarValue(1001, "fan_speed"), std::optional<double>(1600));
    QCOMPARE(Text(cfg, 0, 4), QString("1234"));
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::ForegroundRole).isValid());
    QCOMPARE(w.lblProgress->text(), QString("Wrote 1 value to 1 controller (1 edited)."));
  }

  // With the controller's allocation file loaded the dialog shows the
  // type and refuses what the type rejects; without it, it takes any text.
  void editValueChecksByType() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 1);
    QAbstractItemModel& cfg = *w.vstConfig->model();

    // Before Read nothing knows the type: as ever, any text.
    QStringList seen;
    Edit(0, 4, {"abc"}, &seen);
    QCOMPARE(seen, QStringList{""});
    QVERIFY(!EditValue_->HasRule());
    QCOMPARE(EditValue_->size(), QSize(243, 108));
    QCOMPARE(Text(cfg, 0, 4), QString("abc"));

    QVERIFY(Run(false));
    seen.clear();
    Edit(0, 4, {"70000", "abc", "1,5", "65535"}, &seen);
    QCOMPARE(seen, (QStringList{"A word takes 0 to 65535.", "A word takes 0 to 65535.", "A word takes 0 to 65535.", ""}));
    QCOMPARE(EditValue_->lblType->text(), QString("word, 0 to 65535"));
    QCOMPARE(Text(cfg, 0, 4), QString("65535"));
    // Refused and cancelled: the cell is as it was.
    seen.clear();
    Edit(0, 5, {"1E39"}, &seen);
    QVERIFY(seen.at(0).startsWith("A real takes numbers from -3.4028235E38 to 3.4028235E38."));
    QCOMPARE(Text(cfg, 0, 5), QString("21.5"));
    QVERIFY(!w.GetCells().At(0, 1).Edited);
  }

  // Where the locale writes a decimal comma, the grid shows it, the dialog
  // takes it, and Write sends the number meant (a shown "21,5" used to be
  // refused by the write).
  void decimalCommaIsTheLocales() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2")}), Sim_);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    TfmMain& w = Open("[Variables]\nVar0=setpoint\nVar1=setpoint\n", 1);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    QVERIFY(Run(false));
    QCOMPARE(Text(cfg, 0, 4), QString("21,5"));
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QCOMPARE(Writes("127.0.0.2").size(), size_t{1});
    QCOMPARE(Writes("127.0.0.2").at(0).count("setpoint"), size_t{1});
    QCOMPARE(Writes("127.0.0.2").at(0).find("setpoint")->second, double(std::bit_cast<uint32_t>(21.5f)));
    QCOMPARE(w.lblProgress->text(), QString("Wrote 1 value to 1 controller (0 edited)."));

    QStringList seen;
    Edit(0, 5, {"22,25"}, &seen);
    QCOMPARE(seen, QStringList{""});
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QCOMPARE(Sim_->ReadVarValue(1000, "setpoint"), std::optional<double>(22.25));
    QCOMPARE(Text(cfg, 0, 4), QString("22,25"));
    QCOMPARE(w.lblProgress->text(), QString("Wrote 1 value to 1 controller (1 edited)."));
  }

  // After Write the bar names each value not written and why, in the
  // grid's order; those cells keep a mark until they are next read. A
  // Write that took everything ends with its summary.
  void writeNamesWhatWasNotWritten() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3"),
                                Controller(1002, "127.0.0.4")}),
                   Sim_);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 3);
    QAbstractItemModel& cfg = *w.vstConfig->model();
    // Before any Read the dialog takes any text: one the type rejects.
    Edit(0, 4, {"fast"});
    Edit(1, 4, {"1600"});
    Edit(2, 4, {"1600"});
    QVERIFY(Sim_->SetFaults(1001, sim::ParseFaults({{"silent", true}})));
    QVERIFY(Sim_->SetFaults(1002, sim::ParseFaults({{"ignore_writes", true}})));
    Sim_->ClearLog();
    QVERIFY(Run(true));
    const QString bar = w.lblProgress->text();
    // What did not take first, then how much did.
    const QStringList halves = bar.split(" | ");
    QCOMPARE(halves.size(), 2);
    QVERIFY2(halves[0].startsWith("Not written: "), qPrintable(bar));
    const QStringList parts = halves[0].mid(QString("Not written: ").size()).split("; ");
    QCOMPARE(parts.size(), 3);
    QCOMPARE(parts[0], QString("1000 fan_speed: rejected value"));
    QCOMPARE(parts[1], QString("1001: PLC not responding!"));
    QCOMPARE(parts[2], QString("1002 fan_speed: written, reads back otherwise"));
    QCOMPARE(halves[1], QString("Wrote 0 values to 0 controllers (0 edited)."));
    QCOMPARE(w.lblProgress->toolTip(), halves[1] + "\n" + parts.join("\n"));
    QCOMPARE(w.lblProgress->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    // What the log says went out: nothing for the rejected text, the
    // ignored write sent.
    QVERIFY(Writes("127.0.0.2").empty());
    QCOMPARE(Writes("127.0.0.4").size(), size_t{1});
    QCOMPARE(Sim_->ReadVarValue(1002, "fan_speed"), std::optional<double>(1450));
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(RoleColor(cfg, r, 4, Qt::BackgroundRole), kUnwrittenCellColor);
      QVERIFY(cfg.index(r, 4).data(Qt::ToolTipRole).toString().startsWith("Not written: "));
      QVERIFY(!RoleColor(cfg, r, 5, Qt::BackgroundRole).isValid());
    }
    QCOMPARE(cfg.index(0, 4).data(Qt::ToolTipRole).toString(), QString("Not written: rejected value"));
    // The failed controller's edit is kept for another try.
    QCOMPARE(Text(cfg, 1, 4), QString("1600"));
    QVERIFY(w.GetCells().At(1, 0).Edited);

    // A Read clears the marks of the cells it reads, not of the others.
    QVERIFY(Sim_->SetFaults(1002, sim::TFaults()));
    QVERIFY(Run(false));
    QVERIFY(!RoleColor(cfg, 0, 4, Qt::BackgroundRole).isValid());
    QVERIFY(!RoleColor(cfg, 2, 4, Qt::BackgroundRole).isValid());
    QCOMPARE(RoleColor(cfg, 1, 4, Qt::BackgroundRole), kUnwrittenCellColor);

    // Everything taken: the summary, in the normal colour.
    Click(cfg, 1, false);
    Edit(0, 4, {"1700"});
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QCOMPARE(w.lblProgress->text(), QString("Wrote 4 values to 2 controllers (1 edited)."));
    QVERIFY(w.lblProgress->palette().color(QPalette::WindowText) != QColor(255, 0, 0));
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1700));
  }

  // "Write edited values only": a row's edits and nothing else; a row
  // without edits gets only its clock. Stored with the settings.
  void writeEditedValuesOnly() {
    StartSimulator(json::array({Controller(1000, "127.0.0.2"), Controller(1001, "127.0.0.3")}), Sim_);
    Settings_->setValue("WriteEditedOnly", 1);
    TfmMain& w = Open("[Variables]\nVar0=fan_speed\nVar1=setpoint\n", 2);
    QVERIFY(w.GetWriteEditedOnly());
    QVERIFY(Run(false));
    Edit(0, 5, {"19.5"});
    QVERIFY(Sim_->WriteVarRaw(1000, "fan_speed", 0, 1234));
    w.cbSyncRTC->setChecked(true);
    Sim_->ClearLog();
    QVERIFY(Run(true));
    const auto first = Writes("127.0.0.2");
    QCOMPARE(first.size(), size_t{2});
    QCOMPARE(first[0].size(), size_t{1});
    QCOMPARE(first[0].count("setpoint"), size_t{1});
    QCOMPARE(first[1].count("rtc_write_req"), size_t{1});
    QCOMPARE(Sim_->ReadVarValue(1000, "fan_speed"), std::optional<double>(1234));
    const auto second = Writes("127.0.0.3");
    QCOMPARE(second.size(), size_t{1});
    QCOMPARE(second[0].count("rtc_write_req"), size_t{1});
    QCOMPARE(second[0].count("fan_speed") + second[0].count("setpoint"), size_t{0});
    QCOMPARE(w.lblProgress->text(), QString("Wrote 1 value to 1 controller (1 edited); set 2 clocks."));

    // Off: every value cell again.
    w.SetWriteEditedOnly(false);
    QVERIFY(w.SaveSettings());
    QCOMPARE(Settings_->value("WriteEditedOnly").toInt(), 0);
    w.cbSyncRTC->setChecked(false);
    Sim_->ClearLog();
    QVERIFY(Run(true));
    QCOMPARE(Writes("127.0.0.3").at(0).size(), size_t{2});
  }

  // The Setup dialog's box hands the option in and out; a store from
  // before the option leaves it off.
  void setupHoldsWriteEditedOnly() {
    TFixedAdapters adapters(std::vector<TAdapterRecord>{});
    TfmOptions d;
    d.WriteEditedOnly = true;
    d.show();
    QVERIFY(d.cbWriteEditedOnly->isChecked());
    d.cbWriteEditedOnly->setChecked(false);
    d.btnOKClick();
    QVERIFY(!d.WriteEditedOnly);
    d.close();

    TMainOptions o;
    o.Settings = Settings_.get();
    TfmMain w(o);
    QVERIFY(!w.GetWriteEditedOnly());
    w.SetWriteEditedOnly(true);
    QVERIFY(w.SaveSettings());
    QCOMPARE(Settings_->value("WriteEditedOnly").toInt(), 1);
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestEdits)
#include "test_ui_edits.moc"
