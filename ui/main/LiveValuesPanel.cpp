#include "ui/main/LiveValuesPanel.h"

#include <QGraphicsColorizeEffect>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include <cmath>

#include "core/MeasureCatalogue.h"
#include "core/ProtocolTraits.h"
#include "core/UpsInfo.h"
#include "ui/main/LangTable.h"
#include "ui/widgets/AngularGauge.h"
#include "ui/widgets/LedBar.h"
#include "ui/widgets/ValueBox.h"
#include "ui/widgets/ValueText.h"

namespace tessaro {

namespace {
const QColor Lime(0x00, 0xff, 0x00);

using enum TMeasureId;
constexpr TMeasureId Inputs[3] = {InputL1, InputL2, InputL3};
constexpr TMeasureId Outputs[3] = {OutputL1, OutputL2, OutputL3};
constexpr TMeasureId Loads[3] = {LoadL1, LoadL2, LoadL3};

QString Unit(TMeasureId id) { return QString::fromUtf8(Measure(id).Unit); }
QString Label(TMeasureId id, int language) { return LangText(*Measure(id).Label, language); }
// The value as the displays show it, without its unit.
QString Shown(TMeasureId id, const TMeasureBlock& m) {
  const TMeasure& def = Measure(id);
  const double v = ShownValue(def, m);
  return def.Integer ? QString::number(static_cast<long long>(v)) : FormatFixed(v, def.Decimals);
}
QString ShownWithUnit(TMeasureId id, const TMeasureBlock& m) { return Shown(id, m) + QLatin1Char(' ') + Unit(id); }
}  // namespace

QString FormatFixed(double value, int decimals) {
  if (std::isnan(value)) return QStringLiteral("NAN");
  if (std::isinf(value)) return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
  constexpr int precision = 5;
  double rounded = value;
  if (value != 0) {
    const int digits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
    if (digits > precision) {
      // Too many digits for the precision: scientific, as fixed-point cannot hold it.
      return QLocale::system().toString(value, 'E', precision - 1);
    }
    const double scale = std::pow(10.0, precision - digits);
    rounded = std::round(value * scale) / scale;
  }
  const double unit = std::pow(10.0, decimals);
  rounded = std::round(rounded * unit) / unit;
  if (rounded == 0) rounded = 0;  // no "-0.0"
  QString text = QString::number(rounded, 'f', decimals);
  const QString point = QLocale::system().decimalPoint();
  if (point != QLatin1String(".")) text.replace(QLatin1Char('.'), point);
  return text;
}

TLiveValuesPanel::TLiveValuesPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pnlInstrument"));
  setAttribute(Qt::WA_StyledBackground);
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(6);

  auto gaugeCell = [&](QLabel*& caption, TValueText*& value, TAngularGauge*& gauge, bool input) {
    auto* cell = new QWidget(this);
    auto* cv = new QVBoxLayout(cell);
    cv->setContentsMargins(0, 0, 0, 0);
    cv->setSpacing(3);
    auto* head = new QWidget(cell);
    head->setObjectName(QStringLiteral("pnlCaption"));
    head->setAttribute(Qt::WA_StyledBackground);
    auto* hh = new QHBoxLayout(head);
    hh->setContentsMargins(6, 2, 2, 2);
    caption = new QLabel(head);
    caption->setObjectName(QStringLiteral("Caption"));
    value = new TValueText(head);
    value->setText(QStringLiteral("0 V"));
    value->setFixedWidth(76);
    hh->addWidget(caption, 1);
    hh->addWidget(value);
    gauge = new TAngularGauge(cell);
    gauge->SetRange(0, 300);
    gauge->SetArc(170, 160);
    gauge->SetMajorTicks(7);
    gauge->SetUnit(Unit(input ? InputL1 : OutputL1));
    const QColor yellow(Qt::yellow), red(Qt::red);
    if (input) {
      gauge->SetSections({{0, 120, yellow}, {120, 276, Lime}, {276, 300, red}});
    } else {
      gauge->SetSections({{0, 205, yellow}, {205, 245, Lime}, {245, 300, red}});
    }
    cv->addWidget(head);
    cv->addWidget(gauge, 1);
    return cell;
  };
  for (int i = 0; i < 3; ++i) {
    grid->addWidget(gaugeCell(lbInput[i], stInputV[i], iAGInPutV[i], true), 0, i);
    grid->addWidget(gaugeCell(lbOutput[i], stOutputV[i], iAGOutPutV[i], false), 1, i);
  }

  // Load panel: three LED bars under one heading
  auto* load = new QWidget(this);
  load->setObjectName(QStringLiteral("pnlLoad"));
  load->setAttribute(Qt::WA_StyledBackground);
  auto* lg = new QGridLayout(load);
  lg->setContentsMargins(8, 6, 8, 8);
  lg->setVerticalSpacing(4);
  bsSkinLabel6 = new QLabel(load);
  bsSkinLabel6->setObjectName(QStringLiteral("LoadHeading"));
  bsSkinLabel6->setAlignment(Qt::AlignCenter);
  lg->addWidget(bsSkinLabel6, 0, 0, 1, 3);
  for (int i = 0; i < 3; ++i) {
    bsSkinStdLabel[i] = new QLabel(load);
    bsSkinStdLabel[i]->setAlignment(Qt::AlignCenter);
    iLedBar[i] = new TLedBar(load);
    iLedBar[i]->SetRange(0, 150);
    iLedBar[i]->SetSegmentSize(4);
    iLedBar[i]->SetSections({{0, 100, Lime}, {100, 150, QColor(0xff, 0x20, 0x20)}});
    stLoadPer[i] = new TValueText(load, Qt::AlignCenter);
    stLoadPer[i]->setText(QStringLiteral("0 %"));
    stLoadPer[i]->setFixedWidth(58);
    lg->addWidget(bsSkinStdLabel[i], 1, i, Qt::AlignHCenter);
    lg->addWidget(iLedBar[i], 2, i, Qt::AlignHCenter);
    lg->addWidget(stLoadPer[i], 3, i, Qt::AlignHCenter);
  }
  lg->setRowStretch(2, 1);
  grid->addWidget(load, 0, 3, 2, 1);

  // Value boxes along the bottom: DC input, frequency, backup time, capacity
  auto* boxes = new QHBoxLayout;
  boxes->setSpacing(10);
  AdvPanel4 = new TValueBox(this);
  AdvPanel4->SetUnit(Unit(BatteryVoltage));
  AdvPanel1 = new TValueBox(this);
  AdvPanel1->SetUnit(Unit(OutputFrequency));
  AdvPanel9 = new TValueBox(this);
  AdvPanel9->SetUnit(Unit(BatteryRuntime));
  AdvPanel6 = new TValueBox(this);
  AdvPanel6->SetUnit(Unit(BatteryCharge));
  AdvPanel4->setObjectName(QStringLiteral("AdvPanel4"));
  AdvPanel1->setObjectName(QStringLiteral("AdvPanel1"));
  AdvPanel9->setObjectName(QStringLiteral("AdvPanel9"));
  AdvPanel6->setObjectName(QStringLiteral("AdvPanel6"));
  AdvPanel1->SetTitleColor(QColor(0x1d, 0x6e, 0x5a));
  AdvPanel9->SetTitleColor(QColor(0x7a, 0x5a, 0x12));
  AdvPanel6->SetTitleColor(QColor(0x6a, 0x2a, 0x7a));
  for (TValueBox* b : {AdvPanel4, AdvPanel1, AdvPanel9, AdvPanel6}) {
    b->setFixedHeight(58);
    boxes->addWidget(b, 1);
  }
  grid->addLayout(boxes, 2, 0, 1, 4);
  lblStale = new QLabel(this);
  lblStale->setObjectName(QStringLiteral("lblStale"));
  lblStale->setWordWrap(true);
  lblStale->setStyleSheet(QStringLiteral("QLabel { color: #ffb84d; font-weight: bold; }"));
  lblStale->hide();
  grid->addWidget(lblStale, 3, 0, 1, 4);
  grid->setRowStretch(0, 1);
  grid->setRowStretch(1, 1);
  for (int c = 0; c < 3; ++c) grid->setColumnStretch(c, 1);
}

void TLiveValuesPanel::ApplyLanguage(int language) {
  for (int i = 0; i < 3; ++i) {
    lbInput[i]->setText(Label(Inputs[i], language));
    lbOutput[i]->setText(Label(Outputs[i], language));
    bsSkinStdLabel[i]->setText(Label(Loads[i], language));
  }
  bsSkinLabel6->setText(LangText(*Measure(LoadL1).Heading, language));
  AdvPanel4->SetCaption(Label(BatteryVoltage, language));
  AdvPanel9->SetCaption(Label(BatteryRuntime, language));
  AdvPanel6->SetCaption(Label(BatteryCharge, language));
  AdvPanel1->SetCaption(Label(OutputFrequency, language));
}

void TLiveValuesPanel::ApplyProtocol(const TProtocolTraits& traits) {
  AdvPanel6->setVisible(ProtocolHas(traits, Measure(BatteryCharge)));
  AdvPanel9->show();
}

void TLiveValuesPanel::HideBackupBox() { AdvPanel9->hide(); }

void TLiveValuesPanel::ShowStale(const QString& note) {
  const bool stale = !note.isEmpty();
  lblStale->setText(note);
  lblStale->setVisible(stale);
  // One grey wash over gauges, bars and boxes alike; the note stays readable.
  for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w == lblStale || stale == (w->graphicsEffect() != nullptr)) continue;
    if (stale) {
      auto* grey = new QGraphicsColorizeEffect(w);
      grey->setColor(QColor(0x80, 0x80, 0x80));
      w->setGraphicsEffect(grey);
    } else {
      w->setGraphicsEffect(nullptr);
    }
  }
}

void TLiveValuesPanel::ShowInputs(const TUpsInfo& r) {
  const TMeasureBlock& m = r.Measure;
  for (int i = 0; i < 3; ++i) {
    iAGInPutV[i]->SetValue(Measure(Inputs[i]).Value(m));
    stInputV[i]->setText(ShownWithUnit(Inputs[i], m));
  }
  AdvPanel1->SetValueText(Shown(OutputFrequency, m));
}

void TLiveValuesPanel::ShowOutputs(const TUpsInfo& r) {
  const TMeasureBlock& m = r.Measure;
  for (int i = 0; i < 3; ++i) {
    iAGOutPutV[i]->SetValue(Measure(Outputs[i]).Value(m));
    iLedBar[i]->SetValue(Measure(Loads[i]).Value(m));
    stOutputV[i]->setText(ShownWithUnit(Outputs[i], m));
    stLoadPer[i]->setText(ShownWithUnit(Loads[i], m));
  }
  AdvPanel4->SetValueText(Shown(BatteryVoltage, m));
  AdvPanel9->SetValueText(Shown(BatteryRuntime, m));
  AdvPanel6->SetValueText(Shown(BatteryCharge, m));
}

}  // namespace tessaro
