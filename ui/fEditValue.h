// The one-line editor for a value cell of the configuration grid. It only
// edits text; the value is interpreted by its variable's type when written.
#pragma once

#include <QDialog>
#include <QString>

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

  QLabel* Label1;
  QLineEdit* edValue;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 public slots:
  void FormShow();
  void btnOKClick();

 protected:
  void showEvent(QShowEvent* Event) override;
};

}  // namespace tavex
