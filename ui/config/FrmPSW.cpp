#include "ui/config/FrmPSW.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "control/ModelGate.h"
#include "engine/Context.h"
#include "ui/config/ControlHost.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TfrmPSW::TfrmPSW(TContext& context, QWidget* parent) : QDialog(parent), FCtx(context) {
  setObjectName(QStringLiteral("frmPSW"));
  const int language = FCtx.Settings.Language;
  setWindowTitle(ZhEn(language, "输入密码", "Input Password"));
  edtPSW = new QLineEdit(this);
  edtPSW->setObjectName(QStringLiteral("edtPSW"));
  edtPSW->setMaxLength(GateMaxLength);
  edtPSW->setEchoMode(QLineEdit::Password);
  edtPSW->installEventFilter(this);
  btnOK = new QPushButton(ZhEn(language, "确定", "OK"), this);
  btnOK->setObjectName(QStringLiteral("btnOK"));
  btnCancle = new QPushButton(ZhEn(language, "取消", "Cancle"), this);
  btnCancle->setObjectName(QStringLiteral("btnCancle"));

  auto* v = new QVBoxLayout(this);
  v->addWidget(edtPSW);
  auto* h = new QHBoxLayout;
  h->addStretch();
  h->addWidget(btnOK);
  h->addWidget(btnCancle);
  v->addLayout(h);
  setFixedSize(260, 90);

  connect(btnOK, &QPushButton::clicked, this, &TfrmPSW::btnOKClick);
  connect(btnCancle, &QPushButton::clicked, this, &QDialog::reject);
}

bool TfrmPSW::eventFilter(QObject* watched, QEvent* event) {
  // Enter in the box only moves on to OK, so a half-typed word is not submitted.
  if (watched == edtPSW && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      btnOK->setFocus();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmPSW::btnOKClick() {
  const TGateOutcome outcome = GateOkPressed(edtPSW->text().toStdString(), FCtx.SelectedModel, FailCount);
  if (outcome == TGateOutcome::Accepted) {
    accept();
    return;
  }
  if (!Stopping()) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tessaro"),
                    ZhEn(FCtx.Settings.Language, "密码无效", "Password is invalid."), QMessageBox::Yes, this);
    box.exec();
  }
  if (outcome == TGateOutcome::Closed) reject();
}

bool PasswordGate(QWidget* owner, TContext& context) {
  TfrmPSW gate(context, owner);
  return gate.exec() == QDialog::Accepted;
}

}  // namespace tessaro
