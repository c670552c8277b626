#pragma once
// A short vertical pipe with moving flow marks (lime boxes of 6 pixels, 8
// pixels apart). Forward flow moves the marks down, reverse flow up; the
// interval is the time between two steps of the marks, so a shorter interval
// moves them faster. While the flow is stopped the marks are hidden.

#include <QTimer>
#include <QWidget>

namespace tessaro {

class TFlowPipe : public QWidget {
  Q_OBJECT

 public:
  explicit TFlowPipe(QWidget* parent = nullptr);

  void SetFlowOn(bool on);
  void SetReverse(bool reverse);
  void SetInterval(int ms);

  bool FlowOn() const { return FFlowOn; }
  bool Reverse() const { return FReverse; }
  int Interval() const { return FInterval; }
  int Offset() const { return FOffset; }
  bool Running() const { return FTimer.isActive(); }

  static constexpr int MarkSize = 6;
  static constexpr int MarkGap = 8;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Step();
  void UpdateTimer();

  QTimer FTimer;
  bool FFlowOn = false;
  bool FReverse = false;
  int FInterval = 500;
  int FOffset = 0;
  bool FShown = false;  // on the screen: shown and not hidden since
};

}  // namespace tessaro
