#include "ui/main/FrmProperty.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <system_error>

#include "core/DeviceList.h"
#include "ui/main/DeviceName.h"
#include "ui/main/LangTable.h"
#include "ui/main/NameForm.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TFrmProperty::TFrmProperty(TDeviceList& deviceList, int language, int position, QWidget* parent)
    : QDialog(parent),
      Form(this, "btnOK"),
      edtEquipName(Form.Name),
      cbxAddr(Form.Address),
      btnOK(Form.Accept),
      FDeviceList(deviceList),
      FLanguage(language),
      FPosition(position) {
  setObjectName(QStringLiteral("FrmProperty"));
  setFixedSize(326, 108);
  CentreOnScreen(this);

  cbxAddr->setEnabled(false);
  connect(btnOK, &QPushButton::clicked, this, &TFrmProperty::btnOKClick);
  Form.SetTexts(TTextId::PropertyCaption, TTextId::DlgOk, FLanguage);
  FormShow();
}

void TFrmProperty::FormShow() {
  if (FPosition >= 1 && FPosition <= FDeviceList.Count) {
    const TDeviceNode& node = FDeviceList.Nodes[FPosition];
    edtEquipName->setText(ShownDeviceName(node.Name));
    cbxAddr->addItem(QString::number(node.Address));
    cbxAddr->setCurrentIndex(0);
  }
}

void TFrmProperty::btnOKClick() {
  const QString name = edtEquipName->text();
  if (const auto problem = NameProblem(CheckDeviceName(name), TTextId::MsgNameEmptyProperty)) {
    ShowMessage(this, LangText(*problem, FLanguage));
    return;
  }
  if (FPosition >= 1 && FPosition <= FDeviceList.Count) {
    // Renamed by position: the one-byte NodeIndex of the list file repeats
    // itself once a list holds more than 85 devices, so it cannot tell them apart.
    FDeviceList.Nodes[FPosition].Name = *StoredDeviceName(name);
    if (FDeviceList.OnRebuildTree) FDeviceList.OnRebuildTree();
    try {
      FDeviceList.SaveDeviceList();
    } catch (const std::system_error& e) {
      ReportSaveFailure(this, FLanguage, e);
    }
  }
  accept();
}

void TFrmProperty::btnCancelClick() { reject(); }

}  // namespace tessaro
