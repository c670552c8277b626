#pragma once
// The software parameter dialog: serial port, line speed, protocol, start
// at log-on and the MQTT broker (shown only: the settings file has it).
// Saving reopens the port with the new values first; only when it
// opens are the autostart entry, the display layout and the settings file
// updated.

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TContext;
class TPollEngine;
struct TSettings;

class TFrmSoftwarePara : public QDialog {
  Q_OBJECT

 public:
  // applyLayout re-applies the live display's protocol layout; devDir is
  // where the machine's serial ports are looked for.
  TFrmSoftwarePara(TContext& context, TPollEngine& engine, std::function<void()> applyLayout,
                   QWidget* parent = nullptr, std::string devDir = "/dev");

  void FormShow();
  void SaveSetBtnClick();
  void Button4Click();

  QComboBox* cbxComName;
  QComboBox* cbxBaudRate;
  QComboBox* cbxcurProtocol;
  QCheckBox* crbAutoStartup;
  QPushButton* SaveSetBtn;
  QPushButton* Button4;
  QLabel* bsSkinLabel2;
  QLabel* bsSkinLabel3;
  QLabel* lbProtocol;
  QLabel* lbWarnings;  // settings with which no device is polled
  QLabel* lbMqtt;
  QLineEdit* edMqtt;  // the MQTT broker, shown only

 private:
  TSettings Chosen() const;
  void UpdateWarnings();
  QString Txt(int index) const;

  TContext& FCtx;
  TPollEngine& FEngine;
  std::function<void()> FApplyLayout;
  std::string FDevDir;
};

}  // namespace tessaro
