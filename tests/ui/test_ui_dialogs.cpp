// The Setup dialog and the Edit Value dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "tests/ui/UiTest.h"
#include "ui/fEditValue.h"
#include "ui/fOptions.h"

namespace tavex::test {

namespace {

std::vector<TAdapterRecord> ThreeAdapters() {
  return {{"lo", "Loopback adapter lo", "127.0.0.1", "255.0.0.0"},
          {"eth0", "Ethernet adapter eth0", "10.0.0.5", "255.255.255.0"},
          {"wlan0", "Wireless adapter wlan0", "192.168.1.7", "255.255.255.0"}};
}

QStringList Lines(const QComboBox& Box) {
  QStringList out;
  for (int i = 0; i < Box.count(); ++i) out << Box.itemText(i);
  return out;
}

}  // namespace

class TestDialogs : public QObject {
  Q_OBJECT

  std::unique_ptr<TFixedAdapters> Adapters_;

  // Shows the dialog as the main window does, with the given fields.
  static void Show(TfmOptions& Dialog, const std::string& AdapterID, bool Direct) {
    Dialog.AdapterID = AdapterID;
    Dialog.DirectConnection = Direct;
    Dialog.open();
    QVERIFY(QTest::qWaitForWindowExposed(&Dialog));
  }

 private slots:
  void init() { Adapters_ = std::make_unique<TFixedAdapters>(ThreeAdapters()); }
  void cleanup() { Adapters_.reset(); }

  void setupLayout() {
    TfmOptions d;
    QCOMPARE(d.windowTitle(), QString("Setup"));
    QCOMPARE(d.size(), QSize(374, 176));  // a row more for "Write edited values only"
    QCOMPARE(d.minimumSize(), d.maximumSize());
    QCOMPARE(d.Label1->text(), QString("&Ethernet adapter:"));
    QCOMPARE(d.Label1->buddy(), d.cbEthAdapter);
    QCOMPARE(d.Label2->text(), QString("Connection:"));
    QCOMPARE(d.rbLAN->text(), QString("&Local area network (LAN)"));
    QCOMPARE(d.rbDirect->text(), QString("&Direct connection"));
    QCOMPARE(d.cbWriteEditedOnly->text(), QString("Write edited values only"));
    QCOMPARE(d.btnOK->text(), QString("&OK"));
    QCOMPARE(d.btnCancel->text(), QString("&Cancel"));
    QVERIFY(d.btnOK->isDefault());
    QVERIFY(!d.cbEthAdapter->isEditable());
    QVERIFY(!(d.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(!(d.windowFlags() & Qt::WindowMinMaxButtonsHint));

    // Tab order: the buttons, then the adapter and the connection kind.
    QList<QWidget*> chain;
    const QList<QWidget*> ours = {d.btnOK, d.btnCancel, d.cbEthAdapter, d.rbLAN, d.rbDirect};
    QWidget* w = d.btnOK;
    do {
      if (ours.contains(w)) chain << w;
      w = w->nextInFocusChain();
    } while (w != d.btnOK);
    QCOMPARE(chain, ours);
  }

  void showSelectsTheAdapterInUse_data() {
    QTest::addColumn<QString>("adapter");
    QTest::addColumn<bool>("direct");
    QTest::addColumn<int>("line");
    QTest::newRow("eth0, LAN") << "eth0" << false << 1;
    QTest::newRow("wlan0, direct") << "wlan0" << true << 2;
    QTest::newRow("adapter gone") << "eth9" << false << -1;
    QTest::newRow("none") << "" << true << -1;
  }
  void showSelectsTheAdapterInUse() {
    QFETCH(QString, adapter);
    QFETCH(bool, direct);
    QFETCH(int, line);
    TfmOptions d;
    Show(d, adapter.toStdString(), direct);
    QCOMPARE(Lines(*d.cbEthAdapter),
             QStringList({"Loopback adapter lo (127.0.0.1)", "Ethernet adapter eth0 (10.0.0.5)",
                          "Wireless adapter wlan0 (192.168.1.7)"}));
    QCOMPARE(d.cbEthAdapter->currentIndex(), line);
    QCOMPARE(d.cbEthAdapter->toolTip(), line < 0 ? QString() : d.cbEthAdapter->itemText(line));
    QCOMPARE(d.rbDirect->isChecked(), direct);
    QCOMPARE(d.rbLAN->isChecked(), !direct);
    QCOMPARE(d.focusWidget(), d.btnOK);

    // OK untouched hands back what came in (an adapter still present).
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(QString::fromStdString(d.AdapterID), line < 0 ? QString() : adapter);
    QCOMPARE(d.DirectConnection, direct);
  }

  void pickedLineBecomesTheHintAndTheChoice() {
    TfmOptions d;
    Show(d, "lo", false);
    d.cbEthAdapter->setCurrentIndex(2);
    QCOMPARE(d.cbEthAdapter->toolTip(), QString("Wireless adapter wlan0 (192.168.1.7)"));
    d.rbDirect->setChecked(true);
    QTest::keyClick(&d, Qt::Key_Return);  // the default button
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.AdapterID, std::string("wlan0"));
    QVERIFY(d.DirectConnection);
  }

  void cancelStoresNothing_data() {
    QTest::addColumn<bool>("escape");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("Esc") << true;
  }
  void cancelStoresNothing() {
    QFETCH(bool, escape);
    TfmOptions d;
    Show(d, "eth0", false);
    d.cbEthAdapter->setCurrentIndex(0);
    d.rbDirect->setChecked(true);
    if (escape)
      QTest::keyClick(&d, Qt::Key_Escape);
    else
      QTest::mouseClick(d.btnCancel, Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Rejected));
    QCOMPARE(d.AdapterID, std::string("eth0"));
    QVERIFY(!d.DirectConnection);
  }

  void eachShowingListsTheAdaptersPresentThen() {
    TfmOptions d;
    Show(d, "eth0", false);
    QCOMPARE(d.cbEthAdapter->count(), 3);
    d.reject();
    Adapters_->Table().push_back({"usb0", "Ethernet adapter usb0", "169.254.3.4", "255.255.0.0"});
    Show(d, "usb0", false);
    QCOMPARE(d.cbEthAdapter->count(), 4);
    QCOMPARE(d.cbEthAdapter->currentText(), QString("Ethernet adapter usb0 (169.254.3.4)"));
    d.reject();

    // No adapters at all: nothing to choose, OK hands back no adapter.
    Adapters_->Table().clear();
    Show(d, "eth0", false);
    QCOMPARE(d.cbEthAdapter->count(), 0);
    QCOMPARE(d.cbEthAdapter->currentIndex(), -1);
    QTest::mouseClick(d.btnOK, Qt::LeftButton);
    QCOMPARE(d.result(), int(QDialog::Accepted));
    QCOMPARE(d.AdapterID, std::string());
  }

  void editValueLayout() {
    TfmEditValue d;
    QCOMPARE(d.windowTitle(), QString("Edit Value"));
    QCOMPARE(d.size(), QSize(243, 108));
    QCOMPARE(d.minimumSize(), d.maximumSize());
    QCOMPARE(d.Label1->text(), QString("Variable value:"));
    QCOMPARE(d.btnOK->text(), QString("&OK"));
    QCOMPARE(d.btnCancel->text(), QString("&Cancel"));
    QVERIFY(d.btnOK->isDefault());
  }

  void editValueHandsBackTheTextAsTyped_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("expected");
    QTest::newRow("typing replaces, Enter") << "12.5" << "7" << int(Qt::Key_Return)
                                            << int(QDialog::Accepted) << "7";
    QTest::newRow("blanks kept") << "1" << "  3 " << int(Qt::Key_Enter) << int(QDialog::Accepted)
                                 << "  3 ";
    QTest::newRow("no check of the text") << "1" << "abc" << int(Qt::Key_Return)
                                          << int(QDialog::Accepted) << "abc";
    QTest::newRow("emptied") << "1" << "" << int(Qt::Key_Return) << int(QDialog::Accepted) << "";
    QTest::newRow("Esc keeps the value") << "12.5" << "99" << int(Qt::Key_Escape)
                                         << int(QDialog::Rejected) << "12.5";
  }
  void editValueHandsBackTheTextAsTyped() {
    QFETCH(QString, value);
    QFETCH(QString, typed);
    QFETCH(int, key);
    QFETCH(int, result);
    QFETCH(QString, expected);
    TfmEditValue d;
    d.Value = value;
    d.open();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QCOMPARE(d.edValue->text(), value);
    QCOMPARE(d.edValue->selectedText(), value);
    QCOMPARE(d.focusWidget(), d.edValue);
    if (typed.isEmpty())
      QTest::keyClick(d.edValue, Qt::Key_Delete);
    else
      QTest::keyClicks(d.edValue, typed);
    QTest::keyClick(d.edValue, static_cast<Qt::Key>(key));
    QCOMPARE(d.result(), result);
    QCOMPARE(d.Value, expected);
  }
};

}  // namespace tavex::test

TAVEX_UI_TEST_MAIN(tavex::test::TestDialogs)
#include "test_ui_dialogs.moc"
