#pragma once
// An angular gauge drawn with QPainter: a white face, an arc with coloured
// sections, red major and blue minor tick marks, a black needle on a lime hub.
// Angles are in degrees, counter-clockwise from three o'clock; the arc runs
// clockwise from ArcStart for ArcRange degrees (170 and 160 put the minimum on
// the left, the maximum on the right, symmetric about the vertical).

#include <QColor>
#include <QString>
#include <QVector>
#include <QWidget>

#include "ui/widgets/ColorSection.h"

namespace tessaro {

class TAngularGauge : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString Unit READ Unit)  // painted under the hub

 public:
  using TSection = TColorSection;

  explicit TAngularGauge(QWidget* parent = nullptr);

  void SetRange(double minimum, double maximum);
  void SetArc(double startDegrees, double rangeDegrees);
  void SetMajorTicks(int count);    // including both ends
  void SetMinorPerMajor(int count); // minor marks between two major ones
  void SetUnit(const QString& unit);
  QString Unit() const { return FUnit; }
  void SetSections(const QVector<TSection>& sections);
  void SetValue(double value);

  double Value() const { return FValue; }
  double Minimum() const { return FMin; }
  double Maximum() const { return FMax; }
  const QVector<TSection>& Sections() const { return FSections; }
  // Angle of the needle (degrees, counter-clockwise from three o'clock); a value
  // outside the range pins the needle at the nearer end.
  double NeedleAngle() const;
  // The colour of the section that holds the value, invalid when none does.
  QColor SectionColorAt(double value) const;

  QSize sizeHint() const override { return {190, 130}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  double AngleOf(double value) const;

  double FMin = 0;
  double FMax = 300;
  double FArcStart = 170;
  double FArcRange = 160;
  int FMajorTicks = 7;
  int FMinorPerMajor = 4;
  QString FUnit = QStringLiteral("V");
  QVector<TSection> FSections;
  double FValue = 0;
};

}  // namespace tessaro
