#include "ui/logs/FrmDataLogSet.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/UserParaIni.h"
#include "engine/PollEngine.h"
#include "ui/logs/LogTableModel.h"

namespace tessaro {

TFrmDataLogSet::TFrmDataLogSet(TSettings& settings, TPollEngine& engine, QWidget* parent)
    : QDialog(parent), FSettings(settings), FEngine(engine) {
  setObjectName(QStringLiteral("FrmDataLogSet"));
  const int l = settings.Language;
  setWindowTitle(LangPick(l, "数据日志设定", "Data Log Setting"));
  ckbRecord = new QCheckBox(LangPick(l, "记录数据到日志中", "Save data to data log"), this);
  grpInterval = new QGroupBox(this);
  auto* row = new QHBoxLayout(grpInterval);
  lblInterval = new QLabel(LangPick(l, "记录间隔:", "Record Interval:"), grpInterval);
  spedtInterval = new QSpinBox(grpInterval);
  spedtInterval->setRange(10, 300);
  lblSec = new QLabel(LangPick(l, "秒", "sec"), grpInterval);
  row->addWidget(lblInterval);
  row->addWidget(spedtInterval);
  row->addWidget(lblSec);
  btnOK = new QPushButton(LangPick(l, "确定", "OK"), this);
  btnCancel = new QPushButton(LangPick(l, "取消", "Cancel"), this);
  btnOK->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* box = new QVBoxLayout(this);
  box->addWidget(ckbRecord);
  box->addWidget(grpInterval);
  box->addLayout(buttons);

  // 600 is more than the field takes: it shows 300.
  const bool on = settings.RecInterval != 0;
  ckbRecord->setChecked(on);
  spedtInterval->setValue(on ? settings.RecInterval / 10 : 600);
  grpInterval->setEnabled(on);

  connect(ckbRecord, &QCheckBox::toggled, this, &TFrmDataLogSet::ckbRecordClick);
  connect(btnOK, &QPushButton::clicked, this, &TFrmDataLogSet::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFrmDataLogSet::ckbRecordClick() { grpInterval->setEnabled(ckbRecord->isChecked()); }

void TFrmDataLogSet::btnOKClick() {
  FSettings.RecInterval = ckbRecord->isChecked() ? spedtInterval->value() * 10 : 0;
  FEngine.RecDelay = 0;  // the next tick takes a snapshot with the new interval
  accept();
}

}  // namespace tessaro
