#include "ui/widgets/AngularGauge.h"

#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <algorithm>
#include <cmath>

namespace tessaro {

namespace {

QPointF Polar(QPointF centre, double radius, double degrees) {
  const double rad = qDegreesToRadians(degrees);
  return {centre.x() + radius * std::cos(rad), centre.y() - radius * std::sin(rad)};
}

}  // namespace

TAngularGauge::TAngularGauge(QWidget* parent) : QWidget(parent) {
  setMinimumSize(150, 104);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TAngularGauge::SetRange(double minimum, double maximum) {
  FMin = minimum;
  FMax = maximum > minimum ? maximum : minimum + 1;
  update();
}

void TAngularGauge::SetArc(double startDegrees, double rangeDegrees) {
  FArcStart = startDegrees;
  FArcRange = rangeDegrees;
  update();
}

void TAngularGauge::SetMajorTicks(int count) {
  FMajorTicks = std::max(2, count);
  update();
}

void TAngularGauge::SetMinorPerMajor(int count) {
  FMinorPerMajor = std::max(0, count);
  update();
}

void TAngularGauge::SetUnit(const QString& unit) {
  FUnit = unit;
  update();
}

void TAngularGauge::SetSections(const QVector<TSection>& sections) {
  FSections = sections;
  update();
}

void TAngularGauge::SetValue(double value) {
  if (value == FValue) return;
  FValue = value;
  update();
}

double TAngularGauge::AngleOf(double value) const {
  double v = value;
  if (!std::isfinite(v)) v = FMin;
  v = std::clamp(v, FMin, FMax);
  return FArcStart - (v - FMin) / (FMax - FMin) * FArcRange;
}

double TAngularGauge::NeedleAngle() const { return AngleOf(FValue); }

QColor TAngularGauge::SectionColorAt(double value) const {
  for (const TSection& s : FSections) {
    if (value >= s.From && value <= s.To) return s.Color;
  }
  return {};
}

void TAngularGauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF outer = QRectF(rect()).adjusted(1, 1, -1, -1);

  // Bezel and face
  QLinearGradient bezel(outer.topLeft(), outer.bottomLeft());
  bezel.setColorAt(0, QColor(0x5a, 0x62, 0x6e));
  bezel.setColorAt(1, QColor(0x23, 0x27, 0x2e));
  p.setPen(QPen(QColor(0x15, 0x18, 0x1c), 1));
  p.setBrush(bezel);
  p.drawRoundedRect(outer, 8, 8);
  const QRectF face = outer.adjusted(4, 4, -4, -4);
  QLinearGradient faceGrad(face.topLeft(), face.bottomLeft());
  faceGrad.setColorAt(0, QColor(0xff, 0xff, 0xff));
  faceGrad.setColorAt(1, QColor(0xe9, 0xec, 0xef));
  p.setPen(Qt::NoPen);
  p.setBrush(faceGrad);
  p.drawRoundedRect(face, 5, 5);

  // The arc spans 170..10 degrees: its lowest points lie sin(10°) of the radius
  // below the centre; the arc and the hub are centred in the face as a whole.
  const double lowest = std::max(std::sin(qDegreesToRadians(FArcStart - FArcRange)),
                                 std::sin(qDegreesToRadians(FArcStart)));
  const double below = std::max(0.12, -lowest);
  const double radius = std::min((face.width() - 14) / 2.0, (face.height() - 12) / (1.0 + below));
  const double extra = (face.height() - radius * (1.0 + below) - radius * 0.12) / 2.0;
  const QPointF centre(face.center().x(), face.top() + extra + radius);

  // Coloured sections as a band along the outer edge
  const double bandR = radius * 0.94;
  const double bandW = std::max(4.0, radius * 0.09);
  for (const TSection& s : FSections) {
    const double a0 = AngleOf(s.From);
    const double a1 = AngleOf(s.To);
    p.setPen(QPen(s.Color, bandW, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    const QRectF box(centre.x() - bandR, centre.y() - bandR, 2 * bandR, 2 * bandR);
    p.drawArc(box, qRound(a0 * 16), qRound((a1 - a0) * 16));
  }

  // Tick marks inside the band: red majors, blue minors
  const int majors = FMajorTicks;
  const int steps = (majors - 1) * (FMinorPerMajor + 1);
  const double tickOuter = bandR - bandW / 2 - 1;
  for (int i = 0; i <= steps; ++i) {
    const bool major = i % (FMinorPerMajor + 1) == 0;
    const double v = FMin + (FMax - FMin) * i / steps;
    const double a = AngleOf(v);
    const double r0 = tickOuter - radius * (major ? 0.16 : 0.08);
    p.setPen(QPen(major ? QColor(0xd0, 0x10, 0x10) : QColor(0x10, 0x40, 0xd0), major ? 2.0 : 1.0,
                  Qt::SolidLine, Qt::FlatCap));
    p.drawLine(Polar(centre, r0, a), Polar(centre, tickOuter, a));
  }

  // Major labels inside the ticks
  QFont labelFont = font();
  labelFont.setPixelSize(std::max(8, qRound(radius * 0.115)));
  p.setFont(labelFont);
  p.setPen(QColor(0x2a, 0x2a, 0x2a));
  const double labelR = tickOuter - radius * 0.30;
  for (int i = 0; i < majors; ++i) {
    const double v = FMin + (FMax - FMin) * i / (majors - 1);
    const QPointF at = Polar(centre, labelR, AngleOf(v));
    const QRectF box(at.x() - 20, at.y() - 8, 40, 16);
    p.drawText(box, Qt::AlignCenter, QString::number(v, 'f', 0));
  }

  // Unit under the hub, where the needle never passes
  QFont unitFont = font();
  unitFont.setPixelSize(std::max(9, qRound(radius * 0.15)));
  unitFont.setBold(true);
  p.setFont(unitFont);
  p.setPen(QColor(0x50, 0x5a, 0x64));
  const double hubGap = std::max(4.0, radius * 0.08) + 2;
  p.drawText(QRectF(centre.x() - 30, centre.y() + hubGap, 60, radius * 0.2), Qt::AlignHCenter | Qt::AlignTop, FUnit);

  // Needle with a soft shadow, then the hub
  const double a = NeedleAngle();
  const QPointF tip = Polar(centre, radius * 0.80, a);
  const QPointF left = Polar(centre, 3.2, a + 90);
  const QPointF right = Polar(centre, 3.2, a - 90);
  const QPointF tail = Polar(centre, radius * 0.12, a + 180);
  QPainterPath needle;
  needle.moveTo(tip);
  needle.lineTo(left);
  needle.lineTo(tail);
  needle.lineTo(right);
  needle.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 50));
  p.drawPath(needle.translated(1.5, 1.5));
  p.setBrush(Qt::black);
  p.drawPath(needle);

  const double hubR = std::max(4.0, radius * 0.08);
  QRadialGradient hub(centre - QPointF(hubR / 3, hubR / 3), hubR * 1.4);
  hub.setColorAt(0, QColor(0xc8, 0xff, 0xc8));
  hub.setColorAt(0.5, QColor(0x00, 0xe0, 0x00));
  hub.setColorAt(1, QColor(0x00, 0x80, 0x00));
  p.setBrush(hub);
  p.setPen(QPen(QColor(0x10, 0x30, 0x10), 1));
  p.drawEllipse(centre, hubR, hubR);
}

}  // namespace tessaro
