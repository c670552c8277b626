#pragma once
// The alarm group of the main window: the texts of the selected device's
// active alarms, one a line.

#include <QGroupBox>

class QPlainTextEdit;

namespace tessaro {

struct TUpsInfo;

class TAlarmPanel : public QGroupBox {
  Q_OBJECT

 public:
  explicit TAlarmPanel(QWidget* parent);

  void ApplyLanguage(int language);
  void ShowAlarms(const TUpsInfo& r, int language);

 private:
  QPlainTextEdit* MemoAlarm;
};

}  // namespace tessaro
