// The Setup dialog: which adapter the tool talks through, and whether the
// controllers are reached over a local network or a direct cable. It only
// hands the choice back; the main window applies it.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace tavex {

class TEthernetAdapterInfoList;

class TfmOptions : public QDialog {
  Q_OBJECT

 public:
  explicit TfmOptions(QWidget* Parent = nullptr);
  ~TfmOptions() override;

  // In: the adapter in use. Out (after OK): the adapter chosen, or empty.
  std::string AdapterID;
  // In: the adapter chosen before when it is gone (AdapterID then names
  // the one in use instead, if any); empty: none is gone. Said in the
  // dialog; an AdapterID that is not listed is told the same way.
  std::string GoneAdapterID;
  // In and out: direct cable instead of a local network.
  bool DirectConnection = false;
  // In and out: Write sends only the edited cells.
  bool WriteEditedOnly = false;

  QLabel* Label1;
  QComboBox* cbEthAdapter;
  // Shown (red) when the adapter handed in is no longer there; the box
  // then names it "(gone)" until another is chosen.
  QLabel* lblAdapterGone;
  QLabel* Label2;
  QRadioButton* rbLAN;
  QRadioButton* rbDirect;
  QCheckBox* cbWriteEditedOnly;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 public slots:
  void FormShow();
  void cbEthAdapterChange(int Index);
  void btnOKClick();

 protected:
  void showEvent(QShowEvent* Event) override;

 private:
  // The adapters present when the dialog was last shown.
  std::unique_ptr<TEthernetAdapterInfoList> Adapters_;
  // The adapter handed in is gone (lblAdapterGone).
  bool AdapterGone_ = false;
};

}  // namespace tavex
