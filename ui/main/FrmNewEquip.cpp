#include "ui/main/FrmNewEquip.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <system_error>

#include "core/DeviceList.h"
#include "core/UpsInfo.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/main/MsgBox.h"

namespace tessaro {

TFrmNewEquip::TFrmNewEquip(TDeviceList& deviceList, int language, QWidget* parent)
    : QDialog(parent), FDeviceList(deviceList), FLanguage(language) {
  setObjectName(QStringLiteral("FrmNewEquip"));
  setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(346, 116);

  StaticText1 = new QLabel(this);
  edtEquipName = new QLineEdit(this);
  edtEquipName->setObjectName(QStringLiteral("edtEquipName"));
  StaticText2 = new QLabel(this);
  cbxAddr = new QComboBox(this);
  cbxAddr->setObjectName(QStringLiteral("cbxAddr"));
  cbxAddr->setEditable(false);
  cbxAddr->setMaxVisibleItems(16);
  btnNew = new QPushButton(this);
  btnNew->setObjectName(QStringLiteral("btnNew"));
  btnNew->setDefault(true);
  btnCancel = new QPushButton(this);
  btnCancel->setObjectName(QStringLiteral("btnCancel"));

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(12, 10, 12, 10);
  grid->setHorizontalSpacing(8);
  grid->addWidget(StaticText1, 0, 0);
  grid->addWidget(edtEquipName, 0, 1);
  grid->addWidget(StaticText2, 1, 0);
  grid->addWidget(cbxAddr, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnNew);
  buttons->addWidget(btnCancel);
  grid->addLayout(buttons, 2, 0, 1, 2);

  connect(btnNew, &QPushButton::clicked, this, &TFrmNewEquip::btnNewClick);
  connect(btnCancel, &QPushButton::clicked, this, &TFrmNewEquip::btnCancelClick);
  FormShow();
}

void TFrmNewEquip::FormShow() {
  setWindowTitle(LangText(TTextId::NewEquipCaption, FLanguage));
  StaticText1->setText(LangText(TTextId::EquipNameLabel, FLanguage));
  StaticText2->setText(LangText(TTextId::EquipAddrLabel, FLanguage));
  btnNew->setText(LangText(TTextId::DlgAppend, FLanguage));
  btnCancel->setText(LangText(TTextId::DlgCancel, FLanguage));

  cbxAddr->clear();
  for (int address = 1; address <= MaxAddress; ++address) {
    bool used = false;
    for (int i = 1; i <= FDeviceList.Count && !used; ++i) used = FDeviceList.Nodes[i].Address == address;
    if (!used) cbxAddr->addItem(QString::number(address), address);
  }
  cbxAddr->setCurrentIndex(-1);
}

void TFrmNewEquip::btnNewClick() {
  const QString name = edtEquipName->text();
  const TNameCheck check = CheckDeviceName(name);
  if (check == TNameCheck::Empty) {
    ShowMessage(this, LangText(TTextId::MsgNameEmptyNew, FLanguage));
    return;
  }
  if (cbxAddr->currentIndex() < 0) {
    ShowMessage(this, LangText(TTextId::MsgAddrEmpty, FLanguage));
    return;
  }
  if (check == TNameCheck::TooLong) {
    ShowMessage(this, LangText(TTextId::MsgNameTooLong, FLanguage));
    return;
  }
  if (check == TNameCheck::NotStorable) {
    ShowMessage(this, LangText(TTextId::MsgNameNotStorable, FLanguage));
    return;
  }
  TDeviceNode node;
  node.Address = static_cast<uint8_t>(cbxAddr->currentData().toInt());
  node.Name = *StoredDeviceName(name);
  try {
    FDeviceList.AddDevice(node);  // ignored by a full list
  } catch (const std::system_error& e) {
    // The entry is in the list and the tree; only the file lags behind.
    ShowMessage(this, LangText(TTextId::MsgSaveFailed, FLanguage) + QLatin1Char('\n') + QString::fromLocal8Bit(e.what()));
  }
  accept();
}

void TFrmNewEquip::btnCancelClick() { reject(); }

}  // namespace tessaro
