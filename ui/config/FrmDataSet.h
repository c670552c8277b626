#pragma once
// The parameter dialog: one parameter of the selected UPS at a time, checked,
// stored in ParamImage and queued as a write for the Modbus handler.

#include <QDialog>

#include <cstdint>

#include "ui/config/CommandStatus.h"
#include "ui/config/ControlHost.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace tessaro {

class TFrmDataSet : public QDialog {
  Q_OBJECT

 public:
  TFrmDataSet(const TControlHost& host, QWidget* parent = nullptr);

  QListWidget* ListBox1;
  QGroupBox* grpList;
  QGroupBox* grpSetting;
  QLabel* lblValue;
  QComboBox* ComboBox1;
  QLineEdit* Edit1;
  QPushButton* btnSetTo;
  QGroupBox* RadioGroup4;
  QRadioButton* rbBuzzerEnable;
  QRadioButton* rbBuzzerDisable;
  QGroupBox* RadioGroup5;
  QRadioButton* rbBoostEnable;
  QRadioButton* rbBoostDisable;
  TCommandStatus* lblOutcome;  // "queued", then the device's answer

  uint16_t CurRegister = 0;
  uint16_t NewValue = 0;

  void ListBox1Click(int row);
  void btnSetToClick();

 private:
  TControlHost FHost;
  int FEntry = -1;     // the list entry the input area belongs to
  uint8_t FAddr = 0;   // the device it was filled from
};

}  // namespace tessaro
