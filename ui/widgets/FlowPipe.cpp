#include "ui/widgets/FlowPipe.h"

#include <QPainter>

namespace tessaro {

TFlowPipe::TFlowPipe(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  connect(&FTimer, &QTimer::timeout, this, &TFlowPipe::Step);
  FTimer.setInterval(FInterval);
}

void TFlowPipe::SetFlowOn(bool on) {
  if (on != FFlowOn) update();
  FFlowOn = on;
  UpdateTimer();
}

void TFlowPipe::SetReverse(bool reverse) {
  if (reverse == FReverse) return;
  FReverse = reverse;
  update();
}

void TFlowPipe::SetInterval(int ms) {
  FInterval = ms < 1 ? 1 : ms;
  if (FTimer.interval() != FInterval) FTimer.setInterval(FInterval);
}

void TFlowPipe::UpdateTimer() {
  const bool run = FFlowOn && FShown;
  if (run && !FTimer.isActive()) FTimer.start();
  if (!run && FTimer.isActive()) FTimer.stop();
}

// A minimised window hides its widgets with spontaneous events only; they
// still count as visible then, so the events themselves are followed.
void TFlowPipe::showEvent(QShowEvent*) {
  FShown = true;
  UpdateTimer();
}

void TFlowPipe::hideEvent(QHideEvent*) {
  FShown = false;
  UpdateTimer();
}

void TFlowPipe::Step() {
  const int period = MarkSize + MarkGap;
  FOffset = (FOffset + (FReverse ? period - 1 : 1)) % period;
  update();
}

void TFlowPipe::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  // Pipe wall
  QLinearGradient wall(r.topLeft(), r.topRight());
  wall.setColorAt(0, QColor(0x3a, 0x42, 0x4c));
  wall.setColorAt(0.5, QColor(0x12, 0x16, 0x1b));
  wall.setColorAt(1, QColor(0x3a, 0x42, 0x4c));
  p.setPen(QPen(QColor(0x8a, 0x96, 0xa3), 1));
  p.setBrush(wall);
  p.drawRoundedRect(r, 2, 2);

  // Marks, clipped to the inside of the pipe; a stopped flow shows none
  if (!FFlowOn) return;
  const QRect inner = rect().adjusted(2, 1, -2, -1);
  p.setClipRect(inner);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x00, 0xff, 0x00));
  const int period = MarkSize + MarkGap;
  const int x = (width() - MarkSize) / 2;
  for (int y = -period + FOffset; y < height(); y += period) {
    p.drawRect(QRect(x, y, MarkSize, MarkSize));
  }
}

}  // namespace tessaro
