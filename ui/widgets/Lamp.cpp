#include "ui/widgets/Lamp.h"

#include <QPainter>

namespace tessaro {

TLamp::TLamp(const QColor& color, QWidget* parent) : QWidget(parent), FColor(color) { setFixedSize(17, 17); }

void TLamp::SetLit(bool lit) {
  if (lit == FLit) return;
  FLit = lit;
  update();
}

void TLamp::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
  const QColor base = FLit ? FColor : QColor(FColor.red() / 5, FColor.green() / 5, FColor.blue() / 5);
  QRadialGradient g(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
  g.setColorAt(0, FLit ? base.lighter(170) : base.lighter(220));
  g.setColorAt(0.6, base);
  g.setColorAt(1, base.darker(160));
  p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
  p.setBrush(g);
  p.drawEllipse(r);
}

}  // namespace tessaro
