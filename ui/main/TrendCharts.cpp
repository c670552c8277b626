#include "ui/main/TrendCharts.h"

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QGraphicsSimpleTextItem>
#include <QLegend>
#include <QLineSeries>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>

#include "core/MeasureCatalogue.h"
#include "core/UpsInfo.h"
#include "ui/main/LangTable.h"

namespace tessaro {

TTrendCharts::TTrendCharts(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pnlGraph"));
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(6, 6, 6, 6);
  Build(Chart1);
  Build(Chart2);
}

void TTrendCharts::Build(TPhaseChart& pc) {
  pc.Chart = new QChart;
  pc.Chart->setBackgroundBrush(QColor(0xee, 0xf1, 0xf4));
  pc.Chart->setPlotAreaBackgroundBrush(Qt::white);
  pc.Chart->setPlotAreaBackgroundVisible(true);
  pc.Chart->setAnimationOptions(QChart::NoAnimation);
  QFont titleFont = pc.Chart->titleFont();
  titleFont.setBold(true);
  titleFont.setPixelSize(14);
  pc.Chart->setTitleFont(titleFont);
  pc.AxisX = new QCategoryAxis;
  pc.AxisX->setRange(1, 120);
  pc.AxisX->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  pc.AxisX->setGridLineVisible(true);
  auto* axisY = new QValueAxis;
  axisY->setRange(80, 300);
  // The axis draws its own title turned on its side; "V" stands upright
  // beside the scale instead.
  axisY->setTitleText(QStringLiteral("V"));
  axisY->setTitleVisible(false);
  axisY->setTickType(QValueAxis::TicksDynamic);
  axisY->setTickAnchor(80);
  axisY->setTickInterval(40);
  axisY->setMinorTickCount(1);
  axisY->setLabelFormat(QStringLiteral("%.0f"));
  QFont axisFont = axisY->labelsFont();
  axisFont.setPixelSize(10);
  axisY->setLabelsFont(axisFont);
  pc.AxisX->setLabelsFont(axisFont);
  pc.Chart->addAxis(pc.AxisX, Qt::AlignBottom);
  pc.Chart->addAxis(axisY, Qt::AlignLeft);
  pc.AxisY = axisY;
  pc.AxisYTitle = new QGraphicsSimpleTextItem(QStringLiteral("V"), pc.Chart);
  QFont yTitleFont = pc.AxisX->titleFont();
  pc.AxisYTitle->setFont(yTitleFont);
  pc.AxisYTitle->setBrush(pc.AxisX->titleBrush());
  QMargins margins = pc.Chart->margins();
  margins.setLeft(std::max(margins.left(), 26));
  pc.Chart->setMargins(margins);
  const QColor colours[3] = {Qt::red, QColor(0x00, 0x80, 0x00), Qt::blue};
  const char* titles[3] = {"A", "B", "C"};
  for (int i = 0; i < 3; ++i) {
    auto* s = new QLineSeries;
    s->setName(QString::fromLatin1(titles[i]));
    QPen pen(colours[i]);
    pen.setWidthF(1.6);
    s->setPen(pen);
    s->setPointsVisible(false);
    pc.Chart->addSeries(s);
    s->attachAxis(pc.AxisX);
    s->attachAxis(axisY);
    pc.Series[i] = s;
  }
  QLegend* legend = pc.Chart->legend();
  // A small silver box floating in the top right corner of the plot
  legend->detachFromChart();
  legend->setBackgroundVisible(true);
  legend->setBrush(QColor(0xc0, 0xc0, 0xc0));
  legend->setPen(QPen(QColor(0x80, 0x80, 0x80)));
  QGraphicsSimpleTextItem* yTitle = pc.AxisYTitle;
  connect(pc.Chart, &QChart::plotAreaChanged, legend, [legend, yTitle](const QRectF& plot) {
    legend->setGeometry(QRectF(plot.right() - 128, plot.top() + 6, 122, 26));
    legend->update();
    const QRectF box = yTitle->boundingRect();
    yTitle->setPos(8, plot.center().y() - box.height() / 2);
  });
  auto* view = new QChartView(pc.Chart, this);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(400, 200);
  layout()->addWidget(view);
  static_cast<QVBoxLayout*>(layout())->setStretchFactor(view, 1);
}

void TTrendCharts::ApplyLanguage(int language) {
  Chart1.Chart->setTitle(LangText(TTextId::Chart1Title, language));
  Chart2.Chart->setTitle(LangText(TTextId::Chart2Title, language));
  Chart1.AxisX->setTitleText(LangText(TTextId::ChartTimeAxis, language));
  Chart2.AxisX->setTitleText(LangText(TTextId::ChartTimeAxis, language));
}

void TTrendCharts::AddInputs(const TUpsInfo& r, const QString& time) {
  using enum TMeasureId;
  const TMeasureBlock& m = r.Measure;
  AddChartPoints(Chart1, {Measure(InputL1).Value(m), Measure(InputL2).Value(m), Measure(InputL3).Value(m)}, time);
}

void TTrendCharts::AddOutputs(const TUpsInfo& r, const QString& time) {
  using enum TMeasureId;
  const TMeasureBlock& m = r.Measure;
  AddChartPoints(Chart2, {Measure(OutputL1).Value(m), Measure(OutputL2).Value(m), Measure(OutputL3).Value(m)},
                 time);
}

void TTrendCharts::AddChartPoints(TPhaseChart& chart, const double (&values)[3], const QString& time) {
  for (int i = 0; i < 3; ++i) {
    QLineSeries* s = chart.Series[i];
    const int x = s->count();
    s->append(x, values[i]);
    if (i == 0) {
      if (chart.Times.size() <= x) chart.Times.resize(x + 1);
      chart.Times[x] = time;
    }
  }
  bool wrap = false;
  for (QLineSeries* s : chart.Series) wrap = wrap || (s->count() > 0 && s->count() % 120 == 0);
  if (wrap) {
    for (QLineSeries* s : chart.Series) s->clear();
    chart.Times.clear();
  }
  // Bottom axis labels: the time of every 20th point
  const int count = chart.Series[0]->count();
  const QStringList old = chart.AxisX->categoriesLabels();
  QStringList wanted;
  for (int x = 20; x < count; x += 20) wanted << chart.Times.value(x) + QStringLiteral("\u200b").repeated(x / 20);
  if (old != wanted) {
    for (const QString& label : old) chart.AxisX->remove(label);
    int x = 20;
    for (const QString& label : wanted) {
      chart.AxisX->append(label, x);
      x += 20;
    }
    chart.AxisX->setRange(1, 120);
  }
}

}  // namespace tessaro
