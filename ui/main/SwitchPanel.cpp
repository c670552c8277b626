#include "ui/main/SwitchPanel.h"

#include <QGridLayout>
#include <QLabel>

#include "core/DeviceState.h"
#include "ui/main/LangTable.h"

namespace tessaro {

TSwitchPanel::TSwitchPanel(QWidget* parent) : QGroupBox(parent) {
  setObjectName(QStringLiteral("grpSwitch"));
  auto* g = new QGridLayout(this);
  g->setContentsMargins(10, 16, 10, 8);
  g->setHorizontalSpacing(6);
  static const char* const onText[4] = {"Close", "ON", "ON", "Close"};
  static const char* const offText[4] = {"Open", "OFF", "OFF", "Open"};
  for (int i = 0; i < 6; ++i) Label[i] = new QLabel(this);
  // Switch rows 1..4 (input, bypass, output, maintenance bypass): on / off
  for (int i = 0; i < 4; ++i) {
    stOn[i] = new QLabel(QString::fromLatin1(onText[i]), this);
    stOff[i] = new QLabel(QString::fromLatin1(offText[i]), this);
    SwitchSlash[i] = new QLabel(QStringLiteral("/"), this);
    g->addWidget(Label[i], i, 0);
    g->addWidget(stOn[i], i, 1);
    g->addWidget(SwitchSlash[i], i, 2);
    g->addWidget(stOff[i], i, 3);
  }
  stInputPowerSupply = new QLabel(this);
  stUpsPowerSupply = new QLabel(this);
  stInputPowerSupply->setObjectName(QStringLiteral("stInputPowerSupply"));
  stUpsPowerSupply->setObjectName(QStringLiteral("stUpsPowerSupply"));
  const QString supplyStyle = QStringLiteral(
      "color: #008080; font-weight: bold; font-size: 13px; background: #ffffff; border: 1px solid #b5c0ca;"
      " border-radius: 3px; padding: 2px 8px;");
  stInputPowerSupply->setStyleSheet(supplyStyle);
  stUpsPowerSupply->setStyleSheet(supplyStyle);
  g->addWidget(Label[4], 4, 0);
  g->addWidget(stInputPowerSupply, 4, 1, 1, 3);
  g->addWidget(Label[5], 5, 0);
  g->addWidget(stUpsPowerSupply, 5, 1, 1, 3);
  g->setColumnStretch(1, 1);
  // The input switch row is never shown.
  Label[0]->hide();
  stOn[0]->hide();
  stOff[0]->hide();
  SwitchSlash[0]->hide();
}

void TSwitchPanel::ApplyLanguage(int language) {
  using enum TTextId;
  setTitle(LangText(GrpSwitch, language));
  setToolTip(LangText(GrpSwitchHint, language));
  const TTextId rows[6] = {Label1InputSwitch, Label2BypassSwitch, Label3OutputSwitch,
                           Label4MaintSwitch, Label5InputSupply,  Label6UpsSupply};
  for (int i = 0; i < 6; ++i) Label[i]->setText(LangText(rows[i], language));
}

void TSwitchPanel::HideSwitchRows() {
  for (int i = 1; i < 4; ++i) {
    stOn[i]->hide();
    stOff[i]->hide();
    Label[i]->hide();
    SwitchSlash[i]->hide();
  }
}

void TSwitchPanel::ShowSwitches(const TUpsInfo& r, int language) {
  const uint8_t flags[4] = {r.InputSwitch, r.BypassSwitch, r.OutputSwitch, r.MaintSwitch};
  for (int i = 0; i < 4; ++i) {
    stOn[i]->setEnabled(flags[i] == 1);
    stOff[i]->setEnabled(flags[i] != 1);
  }
  // A supply code the device never sends leaves the field as it was.
  if (const auto text = InputSupplyText(r)) stInputPowerSupply->setText(LangText(*text, language));
  if (const auto text = UpsSupplyText(r)) stUpsPowerSupply->setText(LangText(*text, language));
}

}  // namespace tessaro
