#pragma once
// Battery self-test: start one of a given length, or cancel a running one.

#include <QDialog>

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

  void btnTestClick();
  void btnCancelTestClick();

 private:
  void Send(uint16_t value);
  TControlHost FHost;
};

// What the two control windows say when a command could not be queued.
void ReportCommandOutcome(QWidget* parent, int language, int outcome);

}  // namespace tessaro
