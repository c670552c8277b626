#pragma once
// The user settings view: the selected UPS's parameters as last read, once a
// second, and the way (through the model gate) into the parameter dialog.

#include <QTimer>
#include <QWidget>

#include <vector>

#include "ui/config/ControlHost.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TFrmUserSet : public QWidget {
  Q_OBJECT

 public:
  TFrmUserSet(const TControlHost& host, QWidget* parent = nullptr);

  QGroupBox* grpParams;
  QGroupBox* grpBattery;
  QGroupBox* grpOutput;  // the operation mode, only for "RXA410LT"
  QPushButton* btnSet;
  QTimer Timer1;

  // The shown text of a field, by the name of its device record field.
  QString FieldText(const char* field) const;
  QLabel* lblPreAlarm;
  QLineEdit* edtPreAlarm;

  void Timer1Timer();
  void btnSetClick();

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct TField {
    const char* Name;
    const char* Zh;
    const char* En;
    QLabel* Label;
    QLineEdit* Edit;
  };
  void SetTexts();
  void ShowTitle();  // the device it shows in the title
  void Clear();

  TControlHost FHost;
  std::vector<TField> FFields;
};

}  // namespace tessaro
