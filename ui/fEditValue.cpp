#include "ui/fEditValue.h"

#include <QColor>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include "vars/uValueRules.h"

namespace tavex {

namespace {
// Without a rule the dialog keeps its plain size; with one it grows for the
// type line and a message of up to three lines.
const QSize kPlainSize(243, 108);
const QSize kRuleSize(243, 176);
}  // namespace

TfmEditValue::TfmEditValue(QWidget* Parent) : QDialog(Parent) {
  setObjectName("fmEditValue");
  setWindowTitle("Edit Value");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kPlainSize);

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
  lblType = new QLabel(this);
  lblType->setObjectName("lblType");
  lblType->hide();
  lblError = new QLabel(this);
  lblError->setObjectName("lblError");
  lblError->setWordWrap(true);
  QPalette red = lblError->palette();
  red.setColor(QPalette::WindowText, QColor(255, 0, 0));
  lblError->setPalette(red);
  lblError->hide();
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(btnOK);
  bottom->addWidget(btnCancel);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->addStretch(1);
  outer->addLayout(row);
  outer->addWidget(lblType);
  outer->addWidget(lblError);
  outer->addStretch(1);
  outer->addLayout(bottom);

  setTabOrder(edValue, btnOK);
  setTabOrder(btnOK, btnCancel);

  connect(btnOK, &QPushButton::clicked, this, [this] {
    if (!TextAccepted()) return;
    btnOKClick();
    accept();
  });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmEditValue::showEvent(QShowEvent* Event) {
  FormShow();
  QDialog::showEvent(Event);
}

void TfmEditValue::SetRule(uint8_t VarType, char DecimalSeparator) {
  HasRule_ = true;
  VarType_ = VarType;
  DecimalSeparator_ = DecimalSeparator;
  lblType->setText(QString::fromStdString(TypeRangeText(VarType)));
  lblType->show();
  lblError->clear();
  lblError->hide();
  setFixedSize(kRuleSize);
}

void TfmEditValue::ClearRule() {
  HasRule_ = false;
  lblType->clear();
  lblType->hide();
  lblError->clear();
  lblError->hide();
  setFixedSize(kPlainSize);
}

bool TfmEditValue::TextAccepted() {
  // An empty cell is never written: emptying one is always allowed.
  if (!HasRule_ || edValue->text().isEmpty()) return true;
  const std::string why = CheckValueText(VarType_, edValue->text().toStdString(), DecimalSeparator_);
  if (why.empty()) return true;
  lblError->setText(QString::fromStdString(why));
  lblError->show();
  edValue->setFocus();
  edValue->selectAll();
  return false;
}

void TfmEditValue::FormShow() {
  lblError->clear();
  lblError->hide();
  edValue->setText(Value);
  edValue->setFocus();
  edValue->selectAll();
}

void TfmEditValue::btnOKClick() { Value = edValue->text(); }

}  // namespace tavex
