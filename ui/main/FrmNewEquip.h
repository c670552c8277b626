#pragma once
// The add-device dialog: a name and a free bus address for one new entry of
// the device list.

#include <QDialog>

#include "ui/main/NameForm.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TDeviceList;

class TFrmNewEquip : public QDialog {
  Q_OBJECT

 public:
  TFrmNewEquip(TDeviceList& deviceList, int language, QWidget* parent = nullptr);

  // The name and address rows and the buttons, shared with the other name dialog.
  const TNameForm Form;
  QLineEdit* const edtEquipName;
  QComboBox* const cbxAddr;
  QPushButton* const btnNew;

  void btnNewClick();
  void btnCancelClick();

 private:
  void FormShow();

  TDeviceList& FDeviceList;
  int FLanguage;
};

}  // namespace tessaro
