#include "ui/fOptions.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColor>
#include <QPalette>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "hostutil/uEthernetUtils.h"

namespace tavex {

TfmOptions::TfmOptions(QWidget* Parent) : QDialog(Parent) {
  setObjectName("fmOptions");
  setWindowTitle("Setup");
  // Only the close box in the title bar.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  // The designed 152 pixels and a row for "Write edited values only".
  setFixedSize(374, 176);

  Label1 = new QLabel("&Ethernet adapter:", this);
  Label1->setObjectName("Label1");
  cbEthAdapter = new QComboBox(this);
  cbEthAdapter->setObjectName("cbEthAdapter");
  cbEthAdapter->setEditable(false);
  cbEthAdapter->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbEthAdapter->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  Label1->setBuddy(cbEthAdapter);
  lblAdapterGone = new QLabel(this);
  lblAdapterGone->setObjectName("lblAdapterGone");
  {
    QPalette p = lblAdapterGone->palette();
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    lblAdapterGone->setPalette(p);
  }
  lblAdapterGone->setVisible(false);

  Label2 = new QLabel("Connection:", this);
  Label2->setObjectName("Label2");
  rbLAN = new QRadioButton("&Local area network (LAN)", this);
  rbLAN->setObjectName("rbLAN");
  rbDirect = new QRadioButton("&Direct connection", this);
  rbDirect->setObjectName("rbDirect");
  auto* group = new QButtonGroup(this);
  group->addButton(rbLAN);
  group->addButton(rbDirect);

  btnOK = new QPushButton("&OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  btnOK->setFixedSize(75, 25);
  btnCancel = new QPushButton("&Cancel", this);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setFixedSize(75, 25);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(4);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(cbEthAdapter, 0, 1);
  grid->addWidget(lblAdapterGone, 1, 0, 1, 2);
  grid->addWidget(Label2, 2, 0);
  auto* radios = new QVBoxLayout;
  radios->setContentsMargins(16, 0, 0, 0);
  radios->setSpacing(2);
  radios->addWidget(rbLAN);
  radios->addWidget(rbDirect);
  grid->addLayout(radios, 3, 0, 1, 2);
  cbWriteEditedOnly = new QCheckBox("Write edited values only", this);
  cbWriteEditedOnly->setObjectName("cbWriteEditedOnly");
  cbWriteEditedOnly->setToolTip("Write sends only the values you edited (blue); without it, every value shown");
  grid->addWidget(cbWriteEditedOnly, 4, 0, 1, 2);
  grid->setColumnStretch(1, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(btnOK);
  bottom->addWidget(btnCancel);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->setSpacing(4);
  outer->addLayout(grid);
  outer->addStretch(1);
  outer->addLayout(bottom);

  // The buttons first, then the adapter and the connection kind.
  setTabOrder(btnOK, btnCancel);
  setTabOrder(btnCancel, cbEthAdapter);
  setTabOrder(cbEthAdapter, rbLAN);
  setTabOrder(rbLAN, rbDirect);
  setTabOrder(rbDirect, cbWriteEditedOnly);

  connect(cbEthAdapter, &QComboBox::currentIndexChanged, this, &TfmOptions::cbEthAdapterChange);
  connect(btnOK, &QPushButton::clicked, this, [this] {
    btnOKClick();
    accept();
  });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TfmOptions::~TfmOptions() = default;

void TfmOptions::showEvent(QShowEvent* Event) {
  FormShow();
  QDialog::showEvent(Event);
}

void TfmOptions::FormShow() {
  // A fresh list each showing: adapters come and go.
  Adapters_ = std::make_unique<TEthernetAdapterInfoList>();
  const QSignalBlocker block(cbEthAdapter);
  cbEthAdapter->clear();
  Adapters_->Refresh();
  for (const std::string& line : Adapters_->ComboBoxLines())
    cbEthAdapter->addItem(QString::fromStdString(line));
  cbEthAdapter->setCurrentIndex(Adapters_->IndexOfID(AdapterID));
  cbEthAdapter->setToolTip(cbEthAdapter->currentText());
  // An adapter that was chosen and is gone (unplugged, disabled) is said
  // so, in the box and under it, rather than shown as an empty box. OK
  // without another choice hands back no adapter; the main window then
  // keeps the one chosen, and goes on warning that it is gone.
  const bool unlisted = !AdapterID.empty() && cbEthAdapter->currentIndex() < 0;
  AdapterGone_ = unlisted || !GoneAdapterID.empty();
  // A long system name (a GUID) is cut to fit the dialog; the tooltip has it whole.
  constexpr int kNameMax = 24;
  const QString full = QString::fromStdString(GoneAdapterID.empty() ? AdapterID : GoneAdapterID);
  const QString id = full.size() > kNameMax ? full.left(kNameMax - 3) + QStringLiteral("...") : full;
  cbEthAdapter->setPlaceholderText(unlisted ? QStringLiteral("%1 (gone)").arg(id) : QString());
  lblAdapterGone->setText(AdapterGone_ ? QStringLiteral("The adapter chosen before (%1) is gone: choose another.").arg(id)
                                       : QString());
  lblAdapterGone->setToolTip(AdapterGone_ ? QStringLiteral("Adapter %1 is no longer listed.").arg(full) : QString());
  lblAdapterGone->setVisible(AdapterGone_);
  setFixedSize(374, 176 + (AdapterGone_ ? lblAdapterGone->sizeHint().height() + 4 : 0));
  if (DirectConnection)
    rbDirect->setChecked(true);
  else
    rbLAN->setChecked(true);
  cbWriteEditedOnly->setChecked(WriteEditedOnly);
  btnOK->setFocus();
}

void TfmOptions::cbEthAdapterChange(int Index) {
  cbEthAdapter->setToolTip(cbEthAdapter->itemText(Index));
}

void TfmOptions::btnOKClick() {
  const int i = cbEthAdapter->currentIndex();
  const TEthernetAdapterInfo* item =
      Adapters_ && i >= 0 && i < Adapters_->Count() ? Adapters_->Items(i) : nullptr;
  AdapterID = item != nullptr ? item->ID : std::string();
  DirectConnection = rbDirect->isChecked();
  WriteEditedOnly = cbWriteEditedOnly->isChecked();
}

}  // namespace tavex
