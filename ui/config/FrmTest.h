#pragma once
// Battery self-test: start one of a given length, or cancel a running one.

#include <QDialog>

#include "engine/CommandTracker.h"
#include "ui/config/CommandStatus.h"
#include "ui/config/ControlHost.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaro {

class TFrmTest : public QDialog {
  Q_OBJECT

 public:
  TFrmTest(const TControlHost& host, QWidget* parent = nullptr);

  QLabel* lblTime;
  QLineEdit* edtTime;
  QPushButton* btnTest;
  QPushButton* btnCancelTest;

  TCommandStatus* lblOutcome;  // "queued", then the device's answer

  void btnTestClick();
  void btnCancelTestClick();

 private:
  void Send(TCommandKind kind, uint16_t seconds);
  TControlHost FHost;
};

}  // namespace tessaro
