#pragma once
// The add-device dialog: a name and a free bus address for one new entry of
// the device list.

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TDeviceList;

class TFrmNewEquip : public QDialog {
  Q_OBJECT

 public:
  TFrmNewEquip(TDeviceList& deviceList, int language, QWidget* parent = nullptr);

  QLabel* StaticText1;
  QLineEdit* edtEquipName;
  QLabel* StaticText2;
  QComboBox* cbxAddr;
  QPushButton* btnNew;
  QPushButton* btnCancel;

  void btnNewClick();
  void btnCancelClick();

 private:
  void FormShow();

  TDeviceList& FDeviceList;
  int FLanguage;
};

}  // namespace tessaro
