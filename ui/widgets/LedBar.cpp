#include "ui/widgets/LedBar.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tessaro {

TLedBar::TLedBar(QWidget* parent) : QWidget(parent) {
  setMinimumSize(56, 90);
  FSections = {{0, 100, QColor(0x00, 0xff, 0x00)}, {100, 150, QColor(0xff, 0x20, 0x20)}};
}

void TLedBar::SetRange(double minimum, double maximum) {
  FMin = minimum;
  FMax = maximum > minimum ? maximum : minimum + 1;
  update();
}

void TLedBar::SetSections(const QVector<TSection>& sections) {
  FSections = sections;
  update();
}

void TLedBar::SetValue(double value) {
  if (value == FValue) return;
  FValue = value;
  update();
}

QRect TLedBar::BarRect() const {
  // The bar takes the left part; the scale labels sit to its right.
  const int barWidth = std::min(22, std::max(12, width() / 3));
  return {4, 8, barWidth, std::max(10, height() - 16)};
}

int TLedBar::SegmentCount() const {
  const int inner = BarRect().height() - 4;
  return std::max(1, (inner + FSegmentGap) / (FSegmentSize + FSegmentGap));
}

int TLedBar::LitSegments() const {
  if (!std::isfinite(FValue)) return 0;
  const double fraction = std::clamp((FValue - FMin) / (FMax - FMin), 0.0, 1.0);
  return static_cast<int>(std::lround(fraction * SegmentCount()));
}

QColor TLedBar::SegmentColor(int i) const {
  const int count = SegmentCount();
  const double middle = FMin + (FMax - FMin) * (i + 0.5) / count;
  for (const TSection& s : FSections) {
    if (middle >= s.From && middle < s.To) return s.Color;
  }
  return FSections.isEmpty() ? QColor(Qt::green) : FSections.back().Color;
}

QColor TLedBar::TopLitColor() const {
  const int lit = LitSegments();
  return lit > 0 ? SegmentColor(lit - 1) : QColor();
}

void TLedBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  const QRect bar = BarRect();

  // Recessed well
  p.setPen(QColor(0x55, 0x5b, 0x63));
  p.setBrush(QColor(0x0b, 0x0e, 0x0b));
  p.drawRect(bar.adjusted(0, 0, -1, -1));

  const int count = SegmentCount();
  const int lit = LitSegments();
  const int step = FSegmentSize + FSegmentGap;
  const int x = bar.left() + 2;
  const int w = bar.width() - 4;
  for (int i = 0; i < count; ++i) {
    const int y = bar.bottom() - 2 - (i + 1) * step + FSegmentGap + 1;
    QColor c = SegmentColor(i);
    if (i >= lit) c = QColor(c.red() / 6, c.green() / 6, c.blue() / 6);
    p.fillRect(x, y, w, FSegmentSize, c);
  }

  // Scale: the top of the range and the start of the red section
  QFont f = font();
  f.setPixelSize(10);
  f.setBold(true);
  p.setFont(f);
  const int lx = bar.right() + 4;
  auto yOf = [&](double v) {
    const double fraction = (v - FMin) / (FMax - FMin);
    return bar.bottom() - 2 - static_cast<int>(fraction * count) * step;
  };
  p.setPen(QColor(0x30, 0x30, 0x30));
  p.drawLine(bar.right() + 1, yOf(FMax) + 1, bar.right() + 3, yOf(FMax) + 1);
  p.drawText(QRect(lx, yOf(FMax) - 5, width() - lx, 12), Qt::AlignLeft | Qt::AlignVCenter,
             QString::number(FMax, 'f', 0) + QLatin1Char('%'));
  if (FSections.size() > 1) {
    const double mark = FSections[1].From;
    p.setPen(QColor(0xe0, 0x10, 0x10));
    p.drawLine(bar.right() + 1, yOf(mark), bar.right() + 3, yOf(mark));
    p.drawText(QRect(lx, yOf(mark) - 6, width() - lx, 12), Qt::AlignLeft | Qt::AlignVCenter,
               QString::number(mark, 'f', 0) + QLatin1Char('%'));
  }
}

}  // namespace tessaro
