#pragma once
// Remote on/off of the selected UPS.

#include <QDialog>

#include "ui/config/CommandStatus.h"
#include "ui/config/ControlHost.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace tessaro {

class TfrmTrunOn : public QDialog {
  Q_OBJECT

 public:
  TfrmTrunOn(const TControlHost& host, QWidget* parent = nullptr);

  QLabel* Panel1;
  QGroupBox* rgOnOff;
  QRadioButton* rbOn;
  QRadioButton* rbOff;
  QPushButton* btnOK;
  TCommandStatus* lblOutcome;  // "queued", then the device's answer

  void btnOKClick();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void SetTexts();
  TControlHost FHost;
  bool FWasActive = false;
  bool FAsking = false;  // its own question or message is up: it stays open meanwhile
};

}  // namespace tessaro
