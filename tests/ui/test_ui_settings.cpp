// The settings store: the eight values with their kinds and defaults, the
// window's placement across runs, and the Setup dialog's use of them.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "tests/ui/UiTest.h"
#include "ui/fMain.h"
#include "ui/fOptions.h"
#include "ui/uSettings.h"

namespace tavex::test {

namespace {

const QStringList kValueNames = {"EthernetAdapterID", "DirectConnection", "SynchronizeRTC", "Top",
                                 "Left", "Width", "Height", "Maximized"};

std::vector<TAdapterRecord> Adapters() {
  return {{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"},
          {"eth0", "Ethernet adapter eth0", "10.0.0.5", "255.255.255.0"}};
}

}  // namespace

class TestSettings : public QObject {
  Q_OBJECT

  std::unique_ptr<TUiFiles> Files_;
  std::unique_ptr<TFixedAdapters> Adapters_;

  // A window over the settings file, as one run of the program sees it.
  struct TRun {
    std::unique_ptr<QSettings> Settings;
    std::unique_ptr<TfmMain> Window;
    std::unique_ptr<TfmOptions> Options;
  };
  TRun Start() {
    TRun run;
    run.Settings = Files_->Settings();
    TMainOptions o;
    o.IniPath = Files_->Path("missing.ini");
    o.Settings = run.Settings.get();
    run.Window = std::make_unique<TfmMain>(o);
    run.Options = std::make_unique<TfmOptions>(run.Window.get());
    run.Window->SetDialogs(nullptr, run.Options.get());
    return run;
  }
  // Program end: the window goes (and saves), then the store.
  static void End(TRun& Run) {
    Run.Options.reset();
    Run.Window.reset();
    Run.Settings.reset();
  }
  QVariant Stored(const QString& Name) const { return Files_->Settings()->value(Name); }

 private slots:
  void init() {
    Files_ = std::make_unique<TUiFiles>();
    // The workstation's own address, 10.0.0.5, is on eth0.
    Adapters_ = std::make_unique<TFixedAdapters>(Adapters(), "10.0.0.5");
  }
  void cleanup() {
    Adapters_.reset();
    Files_.reset();
  }

  void valuesOfTheWrongKindAreAbsent_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("expected");  // as read, "absent" when absent
    QTest::newRow("number") << "Top" << QVariant(300) << "300";
    QTest::newRow("number as text") << "Left" << QVariant("-40") << "-40";
    QTest::newRow("text for a number") << "Top" << QVariant("high") << "absent";
    QTest::newRow("empty text for a number") << "Width" << QVariant("") << "absent";
    QTest::newRow("fraction for a number") << "Height" << QVariant("2.5") << "absent";
    QTest::newRow("list for a number") << "Left" << QVariant(QStringList({"1", "2"})) << "absent";
    QTest::newRow("beyond 32 bits") << "Width" << QVariant("99999999999") << "absent";
    QTest::newRow("huge width clamped") << "Width" << QVariant(2000000000) << "8192";
    QTest::newRow("zero height clamped") << "Height" << QVariant(0) << "1";
    QTest::newRow("far position clamped") << "Top" << QVariant(-1000000) << "-32767";
    QTest::newRow("direct 1") << "DirectConnection" << QVariant(1) << "true";
    QTest::newRow("direct any non-zero") << "DirectConnection" << QVariant(7) << "true";
    QTest::newRow("direct 0") << "DirectConnection" << QVariant(0) << "false";
    QTest::newRow("direct as word") << "DirectConnection" << QVariant("yes") << "absent";
    QTest::newRow("sync non-zero") << "SynchronizeRTC" << QVariant(-1) << "true";
    QTest::newRow("maximized 1") << "Maximized" << QVariant(1) << "true";
    QTest::newRow("maximized 2 is not") << "Maximized" << QVariant(2) << "false";
    QTest::newRow("adapter") << "EthernetAdapterID" << QVariant("eth0") << "eth0";
    QTest::newRow("adapter too long") << "EthernetAdapterID"
                                      << QVariant(QString(kMaxAdapterIDLength + 1, 'a'))
                                      << "absent";
  }
  void valuesOfTheWrongKindAreAbsent() {
    QFETCH(QString, name);
    QFETCH(QVariant, stored);
    QFETCH(QString, expected);
    {
      auto s = Files_->Settings();
      s->setValue(name, stored);
    }
    auto s = Files_->Settings();
    const TStoredSettings r = ReadSettings(*s);
    auto text = [](auto v) -> QString {
      if (!v) return "absent";
      using T = std::decay_t<decltype(*v)>;
      if constexpr (std::is_same_v<T, bool>) return *v ? "true" : "false";
      else if constexpr (std::is_same_v<T, int>) return QString::number(*v);
      else return *v;
    };
    const QMap<QString, QString> got = {{"EthernetAdapterID", text(r.EthernetAdapterID)},
                                        {"DirectConnection", text(r.DirectConnection)},
                                        {"SynchronizeRTC", text(r.SynchronizeRTC)},
                                        {"Top", text(r.Top)},
                                        {"Left", text(r.Left)},
                                        {"Width", text(r.Width)},
                                        {"Height", text(r.Height)},
                                        {"Maximized", text(r.Maximized)}};
    for (const QString& n : kValueNames) QCOMPARE(got[n], n == name ? expected : "absent");
  }

  void wrongKindsDoNotStopStartUp() {
    {
      auto s = Files_->Settings();
      for (const QString& n : kValueNames) s->setValue(n, "not a number, nor an adapter, really");
      s->setValue("EthernetAdapterID", QStringList({"a", "b"}));
    }
    TRun run = Start();
    QCOMPARE(run.Window->geometry(), QRect(437, 212, 877, 702));
    QVERIFY(!(run.Window->windowState() & Qt::WindowMaximized));
    QVERIFY(!run.Window->GetDirectConnection());
    QVERIFY(run.Window->GetAdapterID().empty());
    QVERIFY(!run.Window->cbSyncRTC->isChecked());
  }

  void firstRunUsesDefaultsAndSavesAllEight() {
    TRun run = Start();
    TfmMain& w = *run.Window;
    QCOMPARE(w.geometry(), QRect(437, 212, 877, 702));
    QVERIFY(!(w.windowState() & Qt::WindowMaximized));
    QVERIFY(!w.cbSyncRTC->isChecked());
    QVERIFY(!w.GetDirectConnection());
    QVERIFY(w.GetAdapterID().empty());
    // The adapter that carries the workstation's own address.
    QCOMPARE(w.GetCommunicator().Adapter.ID, std::string("eth0"));
    End(run);

    auto s = Files_->Settings();
    for (const QString& n : kValueNames) QVERIFY2(s->contains(n), qPrintable(n));
    QCOMPARE(s->value("EthernetAdapterID").toString(), QString("eth0"));
    QCOMPARE(s->value("DirectConnection").toInt(), 0);
    QCOMPARE(s->value("SynchronizeRTC").toInt(), 0);
    QCOMPARE(s->value("Left").toInt(), 437);
    QCOMPARE(s->value("Top").toInt(), 212);
    QCOMPARE(s->value("Width").toInt(), 877);
    QCOMPARE(s->value("Height").toInt(), 702);
    QCOMPARE(s->value("Maximized").toInt(), 0);
  }

  void placementAndChoicesSurviveARestart() {
    {
      auto s = Files_->Settings();
      s->setValue("EthernetAdapterID", "lo");
      s->setValue("DirectConnection", 1);
    }
    TRun first = Start();
    QCOMPARE(first.Window->GetAdapterID(), std::string("lo"));
    QVERIFY(first.Window->GetDirectConnection());
    QCOMPARE(first.Window->GetCommunicator().Adapter.ID, std::string("lo"));
    first.Window->show();
    QVERIFY(QTest::qWaitForWindowExposed(first.Window.get()));
    first.Window->setGeometry(100, 120, 640, 480);
    first.Window->cbSyncRTC->setChecked(true);
    End(first);

    TRun second = Start();
    QCOMPARE(second.Window->geometry(), QRect(100, 120, 640, 480));
    QVERIFY(second.Window->cbSyncRTC->isChecked());
    // Checked, but disabled until an Autodetect finds a controller.
    QVERIFY(!second.Window->cbSyncRTC->isEnabled());
    QCOMPARE(second.Window->GetAdapterID(), std::string("lo"));
    QVERIFY(second.Window->GetDirectConnection());
  }

  void maximisedWindowComesBackOverItsNormalBounds() {
    TRun first = Start();
    first.Window->show();
    QVERIFY(QTest::qWaitForWindowExposed(first.Window.get()));
    first.Window->setGeometry(100, 120, 640, 480);
    first.Window->showMaximized();
    QTRY_VERIFY(first.Window->isMaximized());
    End(first);

    QCOMPARE(Stored("Maximized").toInt(), 1);
    QCOMPARE(QRect(Stored("Left").toInt(), Stored("Top").toInt(), Stored("Width").toInt(),
                   Stored("Height").toInt()),
             QRect(100, 120, 640, 480));

    TRun second = Start();
    QVERIFY(second.Window->windowState() & Qt::WindowMaximized);
    second.Window->show();
    QVERIFY(QTest::qWaitForWindowExposed(second.Window.get()));
    QVERIFY(second.Window->isMaximized());
    second.Window->showNormal();
    QTRY_COMPARE(second.Window->geometry(), QRect(100, 120, 640, 480));
  }

  void storedMaximizedOtherThanOneDoesNotMaximise() {
    Files_->Settings()->setValue("Maximized", 2);
    TRun run = Start();
    QVERIFY(!(run.Window->windowState() & Qt::WindowMaximized));
  }

  // Setup with either result saves the settings; only OK changes them.
  void setupSavesWithEitherResult_data() {
    QTest::addColumn<bool>("ok");
    QTest::newRow("cancel") << false;
    QTest::newRow("ok") << true;
  }
  void setupSavesWithEitherResult() {
    QFETCH(bool, ok);
    Files_->Settings()->setValue("EthernetAdapterID", "lo");
    TRun run = Start();
    // Nothing stored yet but the adapter.
    QVERIFY(!Files_->Settings()->contains("Top"));

    bool shown = false;
    QString selected;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<TfmOptions*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      shown = true;
      selected = dialog->cbEthAdapter->currentText();
      dialog->cbEthAdapter->setCurrentIndex(1);  // eth0
      dialog->rbDirect->setChecked(true);
      QTest::mouseClick(ok ? dialog->btnOK : dialog->btnCancel, Qt::LeftButton);
    });
    run.Window->btnSetupClick();
    QVERIFY(shown);
    // The dialog opened on the adapter in use.
    QCOMPARE(selected, QString("Loopback adapter lo (127.0.0.1)"));
    QCOMPARE(run.Window->GetAdapterID(), std::string(ok ? "eth0" : "lo"));
    QCOMPARE(run.Window->GetDirectConnection(), ok);
    QCOMPARE(run.Window->GetCommunicator().Adapter.ID, std::string(ok ? "eth0" : "lo"));
    QCOMPARE(run.Window->GetCommunicator().DirectConnection, ok);

    auto s = Files_->Settings();
    for (const QString& n : kValueNames) QVERIFY2(s->contains(n), qPrintable(n));
    QCOMPARE(s->value("EthernetAdapterID").toString(), QString(ok ? "eth0" : "lo"));
    QCOMPARE(s->value("DirectConnection").toInt(), ok ? 1 : 0);
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestSettings)
#include "test_ui_settings.moc"
