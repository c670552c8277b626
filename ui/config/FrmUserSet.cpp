#include "ui/config/FrmUserSet.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>

#include "control/Control.h"
#include "engine/Context.h"
#include "ui/config/CommandStatus.h"
#include "ui/config/FrmDataSet.h"
#include "ui/config/FrmPSW.h"

namespace tessaro {

namespace {

struct TFieldDef {
  const char* Name;
  const char* Zh;
  const char* En;
  int Group;  // 0 parameters, 1 battery, 2 output box
  std::string TUserSetTexts::*Text;
};

const TFieldDef FieldDefs[] = {
    {"WorkMode", "工作模式", "Work Mode", 0, &TUserSetTexts::WorkMode},
    {"VoltLevel", "系统电压等级(V)", "System Voltage Level(V)", 0, &TUserSetTexts::VoltLevel},
    {"FreqLevel", "系统频率等级(Hz)", "System Frequency Level(Hz)", 0, &TUserSetTexts::FreqLevel},
    {"ParallelNum", "并机台数", "Parallel Amount", 0, &TUserSetTexts::ParallelNum},
    {"RedundancyNum", "并机冗余", "Parallel Redundancy", 0, &TUserSetTexts::RedundancyNum},
    {"BypassFreqRange", "旁路频率跟踪范围", "Bypass Frequency Range", 0, &TUserSetTexts::BypassFreqRange},
    {"BypassVoltMax", "旁路电压上限", "Bypass Volt Upper Limit", 0, &TUserSetTexts::BypassVoltMax},
    {"BypassVoltMin", "旁路电压下限", "Bypass Volt lower Limit", 0, &TUserSetTexts::BypassVoltMin},
    {"OutputVoltFine", "逆变电压微调", "Invert-Volt adjustment", 0, &TUserSetTexts::OutputVoltFine},
    {"SysId", "并机系统ID", "Parallel ID", 0, &TUserSetTexts::SysId},
    {"Buzzer", "蜂鸣器", "Buzzer", 0, &TUserSetTexts::Buzzer},
    {"OperationMode", "操作模式", "Operation Mode", 2, &TUserSetTexts::OperationMode},
    {"BattNum", "电池节数", "Battery Number", 1, &TUserSetTexts::BattNum},
    {"BattCapAh", "单节电池容量(AH)", "Single Battery Capability(AH)", 1, &TUserSetTexts::BattCapAh},
    {"BattGroup", "电池组数", "Battery Group", 1, &TUserSetTexts::BattGroup},
    {"BoostVolt", "均充电压上限(V/Cell)", "Boost upper limit Volt.(V/Cell)", 1, &TUserSetTexts::BoostVolt},
    {"FloatVolt", "浮充基准电压(V/Cell)", "Float base Volt.(V/Cell)", 1, &TUserSetTexts::FloatVolt},
    {"EodVolt", "EOD电压(V/Cell)", "EOD Volt(V/Cell)", 1, &TUserSetTexts::EodVolt},
    {"PreAlarmTime", "关机预报警时间(分钟)", "Shutdown PreAlarm Time(min)", 1, &TUserSetTexts::PreAlarmTime},
    {"BoostLastTime", "均充持续时间(分钟)", "Boost Last Time(min)", 1, &TUserSetTexts::BoostLastTime},
    {"MaxChargeCurr", "最大充电电流(A)", "Max Charge current(A)", 1, &TUserSetTexts::MaxChargeCurr},
    {"BoostCharge", "均充", "Boost Charge", 1, &TUserSetTexts::BoostCharge},
};

}  // namespace

TFrmUserSet::TFrmUserSet(const TControlHost& host, QWidget* parent) : QWidget(parent, Qt::Window), FHost(host) {
  setObjectName(QStringLiteral("FrmUserSet"));
  grpParams = new QGroupBox(this);
  grpBattery = new QGroupBox(this);
  grpOutput = new QGroupBox(this);
  grpOutput->setObjectName(QStringLiteral("grpOutput"));
  QFormLayout* forms[] = {new QFormLayout(grpParams), new QFormLayout(grpBattery), new QFormLayout(grpOutput)};
  for (const TFieldDef& def : FieldDefs) {
    auto* label = new QLabel(this);
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(def.Name));
    edit->setReadOnly(true);
    edit->setFocusPolicy(Qt::NoFocus);
    forms[def.Group]->addRow(label, edit);
    FFields.push_back({def.Name, def.Zh, def.En, label, edit});
    if (std::strcmp(def.Name, "PreAlarmTime") == 0) {
      lblPreAlarm = label;
      edtPreAlarm = edit;
    }
  }
  // The device reports it, but it is not one the operator may change here.
  lblPreAlarm->hide();
  edtPreAlarm->hide();

  btnSet = new QPushButton(this);
  btnSet->setObjectName(QStringLiteral("btnSet"));
  btnSet->setEnabled(false);
  auto* left = new QVBoxLayout;
  left->addWidget(grpParams);
  left->addWidget(grpOutput);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(grpBattery);
  right->addStretch();
  right->addWidget(btnSet, 0, Qt::AlignRight);
  auto* h = new QHBoxLayout(this);
  h->addLayout(left);
  h->addLayout(right);

  Timer1.setInterval(1000);
  connect(&Timer1, &QTimer::timeout, this, &TFrmUserSet::Timer1Timer);
  connect(btnSet, &QPushButton::clicked, this, &TFrmUserSet::btnSetClick);
  Clear();
  SetTexts();
  grpOutput->hide();
}

QString TFrmUserSet::FieldText(const char* field) const {
  for (const TField& f : FFields)
    if (std::strcmp(f.Name, field) == 0) return f.Edit->text();
  return {};
}

void TFrmUserSet::SetTexts() {
  const int language = FHost.Ctx.Settings.Language;
  ShowTitle();
  grpBattery->setTitle(ZhEn(language, "电池设置", "Battery Set"));
  btnSet->setText(ZhEn(language, "设置", "Set"));
  for (TField& f : FFields) f.Label->setText(ZhEn(language, f.Zh, f.En));
}

void TFrmUserSet::ShowTitle() {
  const int language = FHost.Ctx.Settings.Language;
  const QString title = TitleWithDevice(FHost.Ctx, ZhEn(language, "用户设置量", "User Set"), FHost.SelDevAddr(), language);
  if (windowTitle() != title) setWindowTitle(title);
}

void TFrmUserSet::Clear() {
  for (TField& f : FFields) f.Edit->clear();
}

void TFrmUserSet::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::LanguageChange) {
    SetTexts();
    if (isVisible()) Timer1Timer();  // the values' texts too
    return;
  }
  if (event->type() != QEvent::ActivationChange) return;
  if (isActiveWindow()) {
    SetTexts();
    Timer1.start();
  }
  Timer1Timer();  // "Set" follows the activation at once
}

void TFrmUserSet::closeEvent(QCloseEvent* event) {
  // An accepted close only hides the view (it is kept for the next opening);
  // an ignored one would also veto the program's own exit.
  Timer1.stop();
  event->accept();
}

void TFrmUserSet::Timer1Timer() {
  ShowTitle();  // it follows the device selected in the main window
  const TUpsInfo& info = FHost.Ctx.UpsInfo[FHost.SelDevAddr()];
  if (!FHost.PortOpen() || info.CommState != 0) {
    Clear();
    btnSet->setEnabled(false);
    return;
  }
  const TUserSetTexts texts = UserSetTexts(info.Params, FHost.Ctx.Settings.Language);
  for (size_t i = 0; i < FFields.size(); ++i)
    FFields[i].Edit->setText(QString::fromStdString(texts.*FieldDefs[i].Text));
  grpOutput->setVisible(FHost.Ctx.SelectedModel == "RXA410LT");
  btnSet->setEnabled(isActiveWindow());
}

void TFrmUserSet::btnSetClick() {
  if (!PasswordGate(this, FHost.Ctx)) return;
  TFrmDataSet dialog(FHost, this);
  dialog.exec();
}

}  // namespace tessaro
