#pragma once
// The property dialog: the selected device's name (which may be changed) and
// its address (which may not).

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TDeviceList;

class TFrmProperty : public QDialog {
  Q_OBJECT

 public:
  // position: the 1-based device list entry of the selected device node; 0
  // when none matches (both fields then stay empty and OK changes nothing).
  TFrmProperty(TDeviceList& deviceList, int language, int position, QWidget* parent = nullptr);

  QLabel* StaticText1;
  QLineEdit* edtEquipName;
  QLabel* StaticText2;
  QComboBox* cbxAddr;
  QPushButton* btnOK;
  QPushButton* btnCancel;

  void btnOKClick();
  void btnCancelClick();

 private:
  void FormShow();

  TDeviceList& FDeviceList;
  int FLanguage;
  int FPosition;
};

}  // namespace tessaro
