#pragma once
// The animated one-line diagram of a UPS (420 x 220): input line into the
// rectifier, the DC link with the battery hanging below it, the inverter, the
// output line, and the bypass line running above from input to output. One
// instance shows one operating state; the main window stacks seven of them and
// shows at most one. Live lines carry moving flow marks, converters in use are
// coloured; the animation runs only while the picture is visible.

#include <QTimer>
#include <QWidget>

namespace tessaro {

enum class TDiagramMode { Standby, Online, Bypass, Battery, Economy, Test, Fault };

class TUpsDiagram : public QWidget {
  Q_OBJECT

 public:
  explicit TUpsDiagram(TDiagramMode mode, QWidget* parent = nullptr);

  TDiagramMode Mode() const { return FMode; }
  bool Animating() const { return FTimer.isActive(); }
  int Phase() const { return FPhase; }

  // Where the battery branch runs, in the diagram's own coordinates (the
  // battery pipe is laid over it).
  static QRect BatteryBranch() { return {204, 137, 13, 35}; }

  static constexpr int FrameInterval = 60;  // ms between animation frames

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  TDiagramMode FMode;
  QTimer FTimer;
  int FPhase = 0;
};

}  // namespace tessaro
