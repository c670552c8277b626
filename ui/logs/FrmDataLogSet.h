#pragma once
// The data log settings: recording on or off and its interval, 10 to 300 s.
// OK stores the interval in tenths of a second (0 when off) and lets the
// poll engine take a snapshot on its next tick.

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace tessaro {

struct TSettings;
class TPollEngine;

class TFrmDataLogSet final : public QDialog {
  Q_OBJECT

 public:
  TFrmDataLogSet(TSettings& settings, TPollEngine& engine, QWidget* parent = nullptr);

  void ckbRecordClick();
  void btnOKClick();

  QCheckBox* ckbRecord;
  QGroupBox* grpInterval;
  QLabel* lblInterval;
  QSpinBox* spedtInterval;
  QLabel* lblSec;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  TSettings& FSettings;
  TPollEngine& FEngine;
};

}  // namespace tessaro
