#include "ui/main/SketchPanel.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "core/ChargeFlow.h"
#include "core/DeviceState.h"
#include "ui/widgets/FlowPipe.h"
#include "ui/widgets/UpsDiagram.h"

namespace tessaro {

namespace {

// Showing or hiding a widget lays out its window again (and asks the X
// server where the pointer is), so only a change of state does it.
void SetShown(QWidget* w, bool shown) {
  if (w->isHidden() == shown) w->setVisible(shown);
}

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

TSketchPanel::TSketchPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("pnlSketch"));
  setAttribute(Qt::WA_StyledBackground);
  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(10, 10, 10, 10);
  stComStatus = new QLabel(this);
  stComStatus->setObjectName(QStringLiteral("stComStatus"));
  stComStatus->setAlignment(Qt::AlignCenter);
  v->addWidget(stComStatus);

  auto* row = new QHBoxLayout;
  row->addStretch(1);
  auto* host = new QWidget(this);
  host->setFixedSize(420, 220);
  const TDiagramMode modes[SketchPictureCount] = {TDiagramMode::Standby, TDiagramMode::Online,  TDiagramMode::Bypass,
                                                  TDiagramMode::Battery, TDiagramMode::Economy, TDiagramMode::Test,
                                                  TDiagramMode::Fault};
  const char* names[SketchPictureCount] = {"GIFStandbyMode", "GIFOnlineMode", "GIFBypassMode", "GIFBattMode",
                                           "GIFEconomyMode", "GIFTestMode",   "GIFFaltMode"};
  for (int i = 0; i < SketchPictureCount; ++i) {
    GIFs[i] = new TUpsDiagram(modes[i], host);
    GIFs[i]->setObjectName(QString::fromLatin1(names[i]));
    GIFs[i]->move(0, 0);
    GIFs[i]->setVisible(i == static_cast<int>(TSketchPicture::Standby));
  }
  PipCharge = new TFlowPipe(host);
  PipCharge->setObjectName(QStringLiteral("PipCharge"));
  PipCharge->setGeometry(TUpsDiagram::BatteryBranch());
  PipCharge->raise();
  PipCharge->hide();
  row->addWidget(host);
  row->addSpacing(14);

  grpCode = new QGroupBox(this);
  grpCode->setObjectName(QStringLiteral("grpCode"));
  grpCode->setFixedWidth(222);
  auto* cg = new QGridLayout(grpCode);
  cg->setContentsMargins(8, 14, 4, 8);
  cg->setVerticalSpacing(6);
  auto code = [&](const char* caption, QLabel*& label, int r, const char* name) {
    auto* cap = new QLabel(QString::fromLatin1(caption), grpCode);
    cap->setStyleSheet(QStringLiteral("color: #8fa3b5; font-family: sans-serif; font-size: 10px;"));
    label = new QLabel(QStringLiteral("0000-0000"), grpCode);
    label->setObjectName(QString::fromLatin1(name));
    cg->addWidget(cap, r, 0);
    cg->addWidget(label, r, 1);
  };
  code("CMM ST", lblCMMState, 0, "lblCMMState");
  code("INV ST", lblINVState, 1, "lblINVState");
  code("CMM AL", lblCMMAlarm, 2, "lblCMMAlarm");
  code("INV AL", lblINVAlarm, 3, "lblINVAlarm");
  code("SYS ST", lbSysState, 4, "lbSysState");
  code("SYS AL", lbSysAlarm, 5, "lbSysAlarm");
  lbSysState->setText(QStringLiteral("0000"));
  lbSysAlarm->setText(QStringLiteral("0000"));
  row->addWidget(grpCode, 0, Qt::AlignVCenter);
  row->addStretch(1);
  v->addSpacing(8);
  v->addLayout(row);
  v->addStretch(1);
  lblUpsState = new QLabel(this);
  lblUpsState->setObjectName(QStringLiteral("lblUpsState"));
  v->addWidget(lblUpsState);
}

void TSketchPanel::SetPicture(int32_t stateCode) {
  const int wanted = static_cast<int>(StateRow(stateCode).Picture);
  if (wanted == VisiblePicture()) return;
  for (TUpsDiagram* d : GIFs) d->hide();
  if (wanted >= 0) GIFs[wanted]->show();
}

int TSketchPanel::VisiblePicture() const {
  for (int i = 0; i < SketchPictureCount; ++i) {
    if (!GIFs[i]->isHidden()) return i;
  }
  return -1;
}

void TSketchPanel::SetDebugShown(bool shown) { SetShown(lblUpsState, shown); }

void TSketchPanel::ShowStatus(const TUpsInfo& r, int language, const TProtocolTraits& traits) {
  SetPicture(r.StateCode);
  stComStatus->setText(Text(StateCaption(r.StateCode == -1 ? int32_t{StateCommLost} : r.StateCode, language)));
  const TStatusWordTexts words = StatusWordTexts(r.Status);
  lblCMMState->setText(Text(words.CmmState));
  lblINVState->setText(Text(words.InvState));
  lblCMMAlarm->setText(Text(words.CmmAlarm));
  lblINVAlarm->setText(Text(words.InvAlarm));
  lblUpsState->setText(QString::number(r.Status.UpsState) + QLatin1Char('(') + QString::number(r.StateCode) +
                       QLatin1Char(')'));
  if (traits.SystemWords) {
    grpCode->setFixedWidth(222);
    lbSysState->setText(Text(words.SysState));
    lbSysAlarm->setText(Text(words.SysAlarm));
  } else {
    grpCode->setFixedWidth(170);
    lbSysState->clear();
    lbSysAlarm->clear();
  }
}

void TSketchPanel::ShowSketch(const TUpsInfo& r, int language, const TProtocolTraits& traits) {
  const int32_t shown = ShownSketchState(r);
  if (shown != FSketchState) {
    FSketchState = shown;
    SetPicture(shown);
    stComStatus->setText(Text(StateCaption(shown, language)).trimmed());
  }
  const TChargeFlow flow = ChargeFlowOf(r, shown, traits);
  SetShown(PipCharge, flow.Shown);
  if (flow.Steered) {
    // The pipe lies over the picture; keep it on top of whichever is shown.
    PipCharge->raise();
    PipCharge->SetReverse(flow.Reverse);
    PipCharge->SetInterval(flow.IntervalMs);
  }
  PipCharge->SetFlowOn(flow.Flowing);
}

}  // namespace tessaro
