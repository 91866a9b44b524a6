// The one-line editor for a value cell of the configuration grid. Without a
// rule it only edits text; the value is interpreted by its variable's type
// when written. Given the variable's type (SetRule: the controller's
// allocation file is loaded), it shows the type and its range under the
// value and keeps the dialog open, with the rule in red, for a text the
// write would refuse, by the write's own conversion.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;

namespace tavex {

class TfmEditValue : public QDialog {
  Q_OBJECT

 public:
  explicit TfmEditValue(QWidget* Parent = nullptr);

  // In: the cell's text. Out (after OK): the text as typed.
  QString Value;

  // The variable's type, from now on until ClearRule; the cell shows values
  // with DecimalSeparator, which is taken as well as the point.
  void SetRule(uint8_t VarType, char DecimalSeparator);
  void ClearRule();
  bool HasRule() const { return HasRule_; }

  QLabel* Label1;
  QLineEdit* edValue;
  // Under the value, with a rule only: "word, 0 to 65535", and in red why
  // OK refused the text.
  QLabel* lblType;
  QLabel* lblError;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 public slots:
  void FormShow();
  void btnOKClick();

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  // True when the text may be handed back; otherwise the rule is shown.
  bool TextAccepted();

  bool HasRule_ = false;
  uint8_t VarType_ = 0;
  char DecimalSeparator_ = '.';
};

}  // namespace tavex
