#include "ui/fEditValue.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavex {

TfmEditValue::TfmEditValue(QWidget* Parent) : QDialog(Parent) {
  setObjectName("fmEditValue");
  setWindowTitle("Edit Value");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(243, 108);

  Label1 = new QLabel("Variable value:", this);
  Label1->setObjectName("Label1");
  edValue = new QLineEdit(this);
  edValue->setObjectName("edValue");
  Label1->setBuddy(edValue);

  btnOK = new QPushButton("&OK", this);
  btnOK->setObjectName("btnOK");
  btnOK->setDefault(true);
  btnOK->setFixedSize(75, 25);
  btnCancel = new QPushButton("&Cancel", this);
  btnCancel->setObjectName("btnCancel");
  btnCancel->setFixedSize(75, 25);

  auto* row = new QHBoxLayout;
  row->addWidget(Label1);
  row->addWidget(edValue, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(btnOK);
  bottom->addWidget(btnCancel);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->addStretch(1);
  outer->addLayout(row);
  outer->addStretch(1);
  outer->addLayout(bottom);

  setTabOrder(edValue, btnOK);
  setTabOrder(btnOK, btnCancel);

  connect(btnOK, &QPushButton::clicked, this, [this] {
    btnOKClick();
    accept();
  });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmEditValue::showEvent(QShowEvent* Event) {
  FormShow();
  QDialog::showEvent(Event);
}

void TfmEditValue::FormShow() {
  edValue->setText(Value);
  edValue->setFocus();
  edValue->selectAll();
}

void TfmEditValue::btnOKClick() { Value = edValue->text(); }

}  // namespace tavex
