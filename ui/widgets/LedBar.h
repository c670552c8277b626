#pragma once
// A vertical LED bar: a column of segments lit from the bottom up to the value,
// each coloured by the section its middle lies in, with a fixed scale beside it
// (the maximum at the top, the mark of the second section in its colour).

#include <QColor>
#include <algorithm>
#include <QString>
#include <QVector>
#include <QWidget>

#include "ui/widgets/ColorSection.h"

namespace tessaro {

class TLedBar : public QWidget {
  Q_OBJECT

 public:
  using TSection = TColorSection;

  explicit TLedBar(QWidget* parent = nullptr);

  void SetRange(double minimum, double maximum);
  void SetSections(const QVector<TSection>& sections);
  void SetSegmentSize(int pixels) { FSegmentSize = std::max(2, pixels); update(); }
  void SetValue(double value);

  double Value() const { return FValue; }
  int SegmentSize() const { return FSegmentSize; }
  int SegmentCount() const;
  int LitSegments() const;
  // Colour of segment i (0 = bottom) when lit.
  QColor SegmentColor(int i) const;
  // The colour of the highest lit segment; invalid when none is lit.
  QColor TopLitColor() const;

  QSize sizeHint() const override { return {64, 166}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect BarRect() const;

  double FMin = 0;
  double FMax = 150;
  int FSegmentSize = 4;
  int FSegmentGap = 1;
  QVector<TSection> FSections;
  double FValue = 0;
};

}  // namespace tessaro
