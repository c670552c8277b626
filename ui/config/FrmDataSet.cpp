#include "ui/config/FrmDataSet.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "control/ParamTable.h"
#include "engine/Context.h"
#include "ui/widgets/GrowToContent.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

namespace {

QGroupBox* Switch(QWidget* parent, const char* name, QRadioButton*& enable, QRadioButton*& disable, int language) {
  auto* group = new QGroupBox(parent);
  group->setObjectName(QString::fromLatin1(name));
  enable = new QRadioButton(ZhEn(language, "允许", "Enable"), group);
  disable = new QRadioButton(ZhEn(language, "禁止", "Disable"), group);
  auto* h = new QHBoxLayout(group);
  h->addWidget(enable);
  h->addWidget(disable);
  return group;
}

}  // namespace

TFrmDataSet::TFrmDataSet(const TControlHost& host, QWidget* parent) : QDialog(parent), FHost(host) {
  setObjectName(QStringLiteral("FrmDataSet"));
  const int language = FHost.Ctx.Settings.Language;
  setWindowTitle(TitleWithDevice(FHost.Ctx, ZhEn(language, "数据设置", "Data Set"), FHost.SelDevAddr(), language));

  grpList = new QGroupBox(ZhEn(language, "项目名称", "Name"), this);
  ListBox1 = new QListWidget(grpList);
  ListBox1->setObjectName(QStringLiteral("ListBox1"));
  (new QVBoxLayout(grpList))->addWidget(ListBox1);

  grpSetting = new QGroupBox(this);
  grpSetting->setObjectName(QStringLiteral("grpSetting"));
  lblValue = new QLabel(ZhEn(language, "数值", "Value"), grpSetting);
  ComboBox1 = new QComboBox(grpSetting);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  Edit1 = new QLineEdit(grpSetting);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9.]*")), Edit1));
  RadioGroup4 = Switch(grpSetting, "RadioGroup4", rbBuzzerEnable, rbBuzzerDisable, language);
  RadioGroup4->setTitle(ZhEn(language, "蜂鸣器", "Buzzer"));
  RadioGroup5 = Switch(grpSetting, "RadioGroup5", rbBoostEnable, rbBoostDisable, language);
  RadioGroup5->setTitle(ZhEn(language, "均充", "Boost Charge"));
  btnSetTo = new QPushButton(ZhEn(language, "设置", "Set"), grpSetting);
  btnSetTo->setObjectName(QStringLiteral("btnSetTo"));
  btnSetTo->setAutoDefault(false);

  auto* s = new QVBoxLayout(grpSetting);
  s->addWidget(lblValue);
  s->addWidget(ComboBox1);
  s->addWidget(Edit1);
  s->addWidget(RadioGroup4);
  s->addWidget(RadioGroup5);
  s->addWidget(btnSetTo);
  s->addStretch();

  auto* h = new QHBoxLayout;
  h->addWidget(grpList, 3);
  h->addWidget(grpSetting, 2);
  lblOutcome = new TCommandStatus(FHost.Ctx, this);
  auto* v = new QVBoxLayout(this);
  v->addLayout(h);
  v->addWidget(lblOutcome);
  resize(560, 470);

  for (int i = 0; i < ParamListCount(FHost.Ctx.SelectedModel); ++i) {
    const TParamDef& def = ParamDefs[static_cast<size_t>(i)];
    ListBox1->addItem(ZhEn(language, def.Zh, def.En));
  }
  ListBox1->setCurrentRow(-1);
  grpSetting->hide();

  connect(ListBox1, &QListWidget::currentRowChanged, this, &TFrmDataSet::ListBox1Click);
  connect(btnSetTo, &QPushButton::clicked, this, &TFrmDataSet::btnSetToClick);
}

void TFrmDataSet::ListBox1Click(int row) {
  FEntry = -1;
  const uint8_t addr = FHost.SelDevAddr();
  const TUpsInfo& info = FHost.Ctx.UpsInfo[addr];
  if (row < 0 || info.CommState != 0) {
    grpSetting->hide();
    return;
  }
  TCommandQueue& queue = FHost.Ctx.CommandQueue;
  LoadParamImage(queue, info.Params);
  FEntry = row;
  FAddr = addr;
  const TParamDef& def = ParamDefs[static_cast<size_t>(row)];
  CurRegister = static_cast<uint16_t>(def.Reg);

  const bool choice = def.Kind == TParamKind::Choice;
  const bool switches = def.Kind == TParamKind::Switches;
  lblValue->setVisible(!switches);
  ComboBox1->setVisible(choice);
  Edit1->setVisible(!choice && !switches);
  RadioGroup4->setVisible(switches);
  RadioGroup5->setVisible(switches);
  if (choice) {
    ComboBox1->clear();
    for (const TChoice& c : ParamChoices(row, FHost.Ctx.SelectedModel, info.Params, FHost.Ctx.Settings.Language))
      ComboBox1->addItem(QString::fromStdString(c.Text), c.Value);
    ComboBox1->setCurrentIndex(ShownChoice(row, FHost.Ctx.SelectedModel, info.Params));
  } else if (switches) {
    const uint16_t flags = info.Params.ConfigFlags;
    ((flags & 4096) ? rbBuzzerDisable : rbBuzzerEnable)->setChecked(true);
    ((flags & 8192) ? rbBoostDisable : rbBoostEnable)->setChecked(true);
  } else {
    Edit1->setText(QString::fromStdString(ShownNumber(row, info.Params)));
  }
  grpSetting->show();
}

void TFrmDataSet::btnSetToClick() {
  if (FEntry < 0) return;
  const int language = FHost.Ctx.Settings.Language;
  TParamInput input;
  if (ComboBox1->currentIndex() >= 0) input.ChoiceValue = ComboBox1->currentData().toInt();
  input.Text = Edit1->text().toStdString();
  input.BuzzerDisable = rbBuzzerDisable->isChecked();
  input.BoostDisable = rbBoostDisable->isChecked();
  // Asked before anything is stored or queued, naming the device, the
  // parameter and its old and new value; No is the default.
  const auto ask = [this, language](const TCommandRequest& request) {
    return AskYesNo(this, QString::fromStdString(ConfirmQuestion(FHost.Ctx, request, static_cast<uint8_t>(language))));
  };
  const TSetResult result = PressParamSet(FHost.Ctx, FAddr, FHost.PortOpen(), FEntry, input, ask);
  if (result.Check.Correction) Edit1->setText(QString::fromStdString(*result.Check.Correction));
  switch (result.Outcome) {
    case TSetOutcome::PortOff:
      ShowMessage(this, ZhEn(FHost.Ctx.Settings.Language, "串口未打开", "Serial Port Off"));
      return;
    case TSetOutcome::Invalid:
      // The table's messages are English; in Chinese the entry's own name says which.
      ShowMessage(this, FHost.Ctx.Settings.Language == 1
                            ? QStringLiteral("[%1]数值无效").arg(QString::fromUtf8(ParamDefs[static_cast<size_t>(FEntry)].Zh))
                            : QString::fromStdString(result.Check.Message));
      (ComboBox1->isVisible() ? static_cast<QWidget*>(ComboBox1) : Edit1)->setFocus();
      return;
    case TSetOutcome::Declined: return;
    case TSetOutcome::Refused:
      ShowMessage(this, QString::fromStdString(CheckText(result.Refusal, static_cast<uint8_t>(language))));
      return;
    case TSetOutcome::Stored:
      // Nothing can go out with this protocol; the line says so instead of a box.
      NewValue = result.Check.Value;
      lblOutcome->setText(QString::fromStdString(CheckText(TCommandCheck::NoCommands, static_cast<uint8_t>(language))));
      GrowToContent(this);
      return;
    case TSetOutcome::Queued:
      NewValue = result.Check.Value;
      lblOutcome->Track(result.Id, language);
      return;
  }
}

}  // namespace tessaro
