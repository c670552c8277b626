#include "ui/main/MsgBox.h"

#include <QMessageBox>

namespace tessaro {

namespace {
const QString Title = QStringLiteral("Tessaro");
}

void ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Information, Title, text, QMessageBox::Ok, parent);
  box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, Title, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace tessaro
