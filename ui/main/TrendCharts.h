#pragma once
// The graphs page of the main window: the input and the output voltages of
// the selected device, three phases each, over the last 120 refreshes.

#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>

class QCategoryAxis;
class QChart;
class QGraphicsSimpleTextItem;
class QLineSeries;
class QValueAxis;

namespace tessaro {

struct TUpsInfo;

// One line chart with its three phase series and the time label of every x.
struct TPhaseChart {
  QChart* Chart = nullptr;
  std::array<QLineSeries*, 3> Series{};
  QCategoryAxis* AxisX = nullptr;
  QValueAxis* AxisY = nullptr;
  QGraphicsSimpleTextItem* AxisYTitle = nullptr;  // "V", upright
  QStringList Times;
};

class TTrendCharts : public QWidget {
  Q_OBJECT

 public:
  explicit TTrendCharts(QWidget* parent);

  void ApplyLanguage(int language);
  // One point of every phase, labelled with `time` ("hh:mm:ss").
  void AddInputs(const TUpsInfo& r, const QString& time);
  void AddOutputs(const TUpsInfo& r, const QString& time);

  const TPhaseChart& InputChart() const { return Chart1; }
  const TPhaseChart& OutputChart() const { return Chart2; }

 private:
  void Build(TPhaseChart& pc);
  static void AddChartPoints(TPhaseChart& chart, const double (&values)[3], const QString& time);

  TPhaseChart Chart1;  // input voltages
  TPhaseChart Chart2;  // output voltages
};

}  // namespace tessaro
