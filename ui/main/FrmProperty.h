#pragma once
// The property dialog: the selected device's name (which may be changed) and
// its address (which may not).

#include <QDialog>

#include "ui/main/NameForm.h"

class QComboBox;
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

  // The name and address rows and the buttons, shared with the other name dialog.
  const TNameForm Form;
  QLineEdit* const edtEquipName;
  QComboBox* const cbxAddr;
  QPushButton* const btnOK;

  void btnOKClick();
  void btnCancelClick();

 private:
  void FormShow();

  TDeviceList& FDeviceList;
  int FLanguage;
  int FPosition;
};

}  // namespace tessaro
