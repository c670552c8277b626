#include "ui/main/FrmNewEquip.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <system_error>

#include "core/DeviceList.h"
#include "core/UpsInfo.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/main/NameForm.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TFrmNewEquip::TFrmNewEquip(TDeviceList& deviceList, int language, QWidget* parent)
    : QDialog(parent),
      Form(this, "btnNew"),
      edtEquipName(Form.Name),
      cbxAddr(Form.Address),
      btnNew(Form.Accept),
      FDeviceList(deviceList),
      FLanguage(language) {
  setObjectName(QStringLiteral("FrmNewEquip"));
  setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(346, 116);

  cbxAddr->setEditable(false);
  cbxAddr->setMaxVisibleItems(16);
  connect(btnNew, &QPushButton::clicked, this, &TFrmNewEquip::btnNewClick);
  Form.SetTexts(TTextId::NewEquipCaption, TTextId::DlgAppend, FLanguage);
  FormShow();
}

void TFrmNewEquip::FormShow() {
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
  if (const auto problem = NameProblem(check, TTextId::MsgNameEmptyNew)) {
    ShowMessage(this, LangText(*problem, FLanguage));
    return;
  }
  TDeviceNode node;
  node.Address = static_cast<uint8_t>(cbxAddr->currentData().toInt());
  node.Name = *StoredDeviceName(name);
  try {
    FDeviceList.AddDevice(node);  // ignored by a full list
  } catch (const std::system_error& e) {
    // The entry is in the list and the tree; only the file lags behind.
    ReportSaveFailure(this, FLanguage, e);
  }
  accept();
}

void TFrmNewEquip::btnCancelClick() { reject(); }

}  // namespace tessaro
