#include "ui/main/NameForm.h"

#include <QComboBox>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/widgets/MsgBox.h"

namespace tessaro {

TNameForm::TNameForm(QDialog* dialog, const char* acceptName) : Dialog(dialog) {
  NameLabel = new QLabel(dialog);
  Name = new QLineEdit(dialog);
  Name->setObjectName(QStringLiteral("edtEquipName"));
  AddressLabel = new QLabel(dialog);
  Address = new QComboBox(dialog);
  Address->setObjectName(QStringLiteral("cbxAddr"));
  Accept = new QPushButton(dialog);
  Accept->setObjectName(QString::fromLatin1(acceptName));
  Accept->setDefault(true);
  Cancel = new QPushButton(dialog);
  Cancel->setObjectName(QStringLiteral("btnCancel"));

  auto* grid = new QGridLayout(dialog);
  grid->setContentsMargins(12, 10, 12, 10);
  grid->setHorizontalSpacing(8);
  grid->addWidget(NameLabel, 0, 0);
  grid->addWidget(Name, 0, 1);
  grid->addWidget(AddressLabel, 1, 0);
  grid->addWidget(Address, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Accept);
  buttons->addWidget(Cancel);
  grid->addLayout(buttons, 2, 0, 1, 2);
  QObject::connect(Cancel, &QPushButton::clicked, dialog, &QDialog::reject);
}

void TNameForm::SetTexts(TTextId caption, TTextId acceptText, int language) const {
  Dialog->setWindowTitle(LangText(caption, language));
  NameLabel->setText(LangText(TTextId::EquipNameLabel, language));
  AddressLabel->setText(LangText(TTextId::EquipAddrLabel, language));
  Accept->setText(LangText(acceptText, language));
  Cancel->setText(LangText(TTextId::DlgCancel, language));
}

std::optional<TTextId> NameProblem(TNameCheck check, TTextId emptyText) {
  switch (check) {
    case TNameCheck::Empty: return emptyText;
    case TNameCheck::TooLong: return TTextId::MsgNameTooLong;
    case TNameCheck::NotStorable: return TTextId::MsgNameNotStorable;
    case TNameCheck::Ok: break;
  }
  return std::nullopt;
}

void ReportSaveFailure(QWidget* parent, int language, const std::system_error& error) {
  ShowMessage(parent, LangText(TTextId::MsgSaveFailed, language) + QLatin1Char('\n') + QString::fromLocal8Bit(error.what()));
}

}  // namespace tessaro
