#include "ui/widgets/ValueBox.h"

#include <QPainter>

#include <algorithm>

namespace tessaro {

TValueBox::TValueBox(QWidget* parent) : QWidget(parent) { setMinimumSize(120, 52); }

void TValueBox::SetCaption(const QString& caption) {
  FCaption = caption;
  update();
}

void TValueBox::SetValueText(const QString& text) {
  if (text == FValue) return;
  FValue = text;
  update();
}

void TValueBox::SetUnit(const QString& unit) {
  FUnit = unit;
  update();
}

void TValueBox::SetTitleColor(const QColor& color) {
  FTitleColor = color;
  update();
}

void TValueBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const double titleH = std::max(18.0, r.height() * 0.38);

  // Body
  p.setPen(QPen(QColor(0x2a, 0x2e, 0x33), 1));
  p.setBrush(Qt::black);
  p.drawRoundedRect(r, 4, 4);

  // Title bar
  QRectF title(r.left(), r.top(), r.width(), titleH);
  QLinearGradient g(title.topLeft(), title.bottomLeft());
  g.setColorAt(0, FTitleColor.lighter(140));
  g.setColorAt(1, FTitleColor);
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.save();
  p.setClipRect(title);
  p.drawRoundedRect(r, 4, 4);
  p.restore();
  QFont cf = font();
  cf.setPixelSize(12);
  cf.setBold(true);
  p.setFont(cf);
  p.setPen(Qt::white);
  p.drawText(title, Qt::AlignCenter, FCaption);

  // Value and unit
  QRectF body(r.left() + 6, title.bottom(), r.width() - 12, r.height() - titleH);
  QFont uf = font();
  uf.setPixelSize(12);
  const int unitW = FUnit.isEmpty() ? 0 : QFontMetrics(uf).horizontalAdvance(FUnit) + 8;
  QFont vf = font();
  vf.setPixelSize(std::max(14, static_cast<int>(body.height() * 0.6)));
  vf.setBold(true);
  p.setFont(vf);
  p.setPen(QColor(0x00, 0xff, 0x00));
  p.drawText(body.adjusted(0, 0, -unitW, 0), Qt::AlignRight | Qt::AlignVCenter, FValue);
  if (unitW > 0) {
    p.setFont(uf);
    p.setPen(QColor(0xc8, 0xd0, 0xc8));
    p.drawText(QRectF(body.right() - unitW + 6, body.top(), unitW, body.height()),
               Qt::AlignLeft | Qt::AlignVCenter, FUnit);
  }
}

}  // namespace tessaro
