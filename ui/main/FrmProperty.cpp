#include "ui/main/FrmProperty.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <system_error>

#include "core/DeviceList.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/main/MsgBox.h"

namespace tessaro {

TFrmProperty::TFrmProperty(TDeviceList& deviceList, int language, int position, QWidget* parent)
    : QDialog(parent), FDeviceList(deviceList), FLanguage(language), FPosition(position) {
  setObjectName(QStringLiteral("FrmProperty"));
  setFixedSize(326, 108);
  CentreOnScreen(this);

  StaticText1 = new QLabel(this);
  edtEquipName = new QLineEdit(this);
  edtEquipName->setObjectName(QStringLiteral("edtEquipName"));
  StaticText2 = new QLabel(this);
  cbxAddr = new QComboBox(this);
  cbxAddr->setObjectName(QStringLiteral("cbxAddr"));
  cbxAddr->setEnabled(false);
  btnOK = new QPushButton(this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnOK->setDefault(true);
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
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  grid->addLayout(buttons, 2, 0, 1, 2);

  connect(btnOK, &QPushButton::clicked, this, &TFrmProperty::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &TFrmProperty::btnCancelClick);
  FormShow();
}

void TFrmProperty::FormShow() {
  setWindowTitle(LangText(TTextId::PropertyCaption, FLanguage));
  StaticText1->setText(LangText(TTextId::EquipNameLabel, FLanguage));
  StaticText2->setText(LangText(TTextId::EquipAddrLabel, FLanguage));
  btnOK->setText(LangText(TTextId::DlgOk, FLanguage));
  btnCancel->setText(LangText(TTextId::DlgCancel, FLanguage));
  if (FPosition >= 1 && FPosition <= FDeviceList.Count) {
    const TDeviceNode& node = FDeviceList.Nodes[FPosition];
    edtEquipName->setText(ShownDeviceName(node.Name));
    cbxAddr->addItem(QString::number(node.Address));
    cbxAddr->setCurrentIndex(0);
  }
}

void TFrmProperty::btnOKClick() {
  const QString name = edtEquipName->text();
  switch (CheckDeviceName(name)) {
    case TNameCheck::Empty:
      ShowMessage(this, LangText(TTextId::MsgNameEmptyProperty, FLanguage));
      return;
    case TNameCheck::TooLong:
      ShowMessage(this, LangText(TTextId::MsgNameTooLong, FLanguage));
      return;
    case TNameCheck::NotStorable:
      ShowMessage(this, LangText(TTextId::MsgNameNotStorable, FLanguage));
      return;
    case TNameCheck::Ok:
      break;
  }
  if (FPosition >= 1 && FPosition <= FDeviceList.Count) {
    // Renamed by position: the one-byte NodeIndex of the list file repeats
    // itself once a list holds more than 85 devices, so it cannot tell them apart.
    FDeviceList.Nodes[FPosition].Name = *StoredDeviceName(name);
    if (FDeviceList.OnRebuildTree) FDeviceList.OnRebuildTree();
    try {
      FDeviceList.SaveDeviceList();
    } catch (const std::system_error& e) {
      ShowMessage(this, LangText(TTextId::MsgSaveFailed, FLanguage) + QLatin1Char('\n') + QString::fromLocal8Bit(e.what()));
    }
  }
  accept();
}

void TFrmProperty::btnCancelClick() { reject(); }

}  // namespace tessaro
