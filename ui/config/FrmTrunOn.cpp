#include "ui/config/FrmTrunOn.h"

#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "engine/Context.h"
#include "ui/widgets/GrowToContent.h"

namespace tessaro {

namespace {
// This window reads Chinese for every language but 0.
QString Txt(int language, const char* zh, const char* en) { return QString::fromUtf8(language != 0 ? zh : en); }
}  // namespace

TfrmTrunOn::TfrmTrunOn(const TControlHost& host, QWidget* parent) : QDialog(parent), FHost(host) {
  setObjectName(QStringLiteral("frmTrunOn"));
  Panel1 = new QLabel(this);
  Panel1->setAlignment(Qt::AlignCenter);
  Panel1->setFrameShape(QFrame::Panel);
  rgOnOff = new QGroupBox(this);
  rbOn = new QRadioButton(rgOnOff);
  rbOn->setObjectName(QStringLiteral("rbOn"));
  rbOff = new QRadioButton(rgOnOff);
  rbOff->setObjectName(QStringLiteral("rbOff"));
  auto* choices = new QVBoxLayout(rgOnOff);
  choices->addWidget(rbOn);
  choices->addWidget(rbOff);
  btnOK = new QPushButton(this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnOK->setAutoDefault(false);
  auto* v = new QVBoxLayout(this);
  v->addWidget(Panel1);
  v->addWidget(rgOnOff);
  v->addWidget(btnOK, 0, Qt::AlignRight);
  lblOutcome = new TCommandStatus(FHost.Ctx, this);
  v->addWidget(lblOutcome);
  SetTexts();
  connect(btnOK, &QPushButton::clicked, this, &TfrmTrunOn::btnOKClick);
}

void TfrmTrunOn::SetTexts() {
  const int language = FHost.Ctx.Settings.Language;
  setWindowTitle(Txt(language, "用户控制", "Remote Control"));
  Panel1->setText(Txt(language, "遥控", "Turn  On/Off  UPS"));
  rbOn->setText(Txt(language, "开机", "On"));
  rbOff->setText(Txt(language, "关机", "Off"));
  btnOK->setText(Txt(language, "确定", "OK"));
  HoldTitle(this);
}

void TfrmTrunOn::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::ActivationChange) return;
  if (isActiveWindow()) {
    FWasActive = true;
    SetTexts();
  } else if (FWasActive && isVisible() && !FAsking) {
    reject();  // it does not stay open behind another window
  }
}

void TfrmTrunOn::btnOKClick() {
  TCommandKind kind;
  if (rbOn->isChecked())
    kind = TCommandKind::LoadOn;
  else if (rbOff->isChecked())
    kind = TCommandKind::LoadOff;
  else
    return;
  // The texts of this window are Chinese for every language but 0.
  const int language = FHost.Ctx.Settings.Language != 0 ? 1 : 0;
  FAsking = true;
  const uint32_t id = AskAndQueue(this, FHost, TCommandRequest{FHost.SelDevAddr(), kind, 0, 0}, language);
  FAsking = false;
  if (id) lblOutcome->Track(id, language);
}

}  // namespace tessaro
