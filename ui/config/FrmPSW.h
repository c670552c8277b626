#pragma once
// The model gate in front of every action that changes a device.

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tessaro {

class TContext;

class TfrmPSW : public QDialog {
  Q_OBJECT

 public:
  TfrmPSW(TContext& context, QWidget* parent = nullptr);

  QLineEdit* edtPSW;
  QPushButton* btnOK;
  QPushButton* btnCancle;
  int FailCount = 0;

  void btnOKClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  TContext& FCtx;
};

// A fresh gate owned by owner, shown modally: true when a model was accepted.
bool PasswordGate(QWidget* owner, TContext& context);

}  // namespace tessaro
