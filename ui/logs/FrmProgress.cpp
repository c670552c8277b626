#include "ui/logs/FrmProgress.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/logs/LogTableModel.h"

namespace tessaro {

TfrmProgress::TfrmProgress(QWidget* mainWindow) : QDialog(mainWindow, Qt::Dialog | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("frmProgress"));
  setWindowTitle(QStringLiteral("Tessaro"));
  auto* box = new QVBoxLayout(this);
  lblText = new QLabel(this);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setTextVisible(false);
  auto* row = new QHBoxLayout;
  edtCount = new QLineEdit(this);
  edtCount->setReadOnly(true);
  edtCount->setAlignment(Qt::AlignRight);
  btnCancel = new QPushButton(this);
  row->addWidget(edtCount, 1);
  row->addWidget(btnCancel);
  box->addWidget(lblText);
  box->addWidget(ProgressBar1);
  box->addLayout(row);
  resize(360, 110);
  connect(btnCancel, &QPushButton::clicked, this, [this] { FCancel = true; });
}

void TfrmProgress::ShowProgress(int64_t position, int64_t maximum, int language) {
  position = std::min(position, maximum);
  // The bar counts in thousandths so a month of a million lines fits its int.
  const int scaled = maximum > 0 ? static_cast<int>(position * 1000 / maximum) : 0;
  ProgressBar1->setRange(0, 1000);
  ProgressBar1->setValue(scaled);
  lblText->setText(LangPick(language, "正在汇出......", "Remitting......"));
  btnCancel->setText(LangPick(language, "取消", "Cancel"));
  edtCount->setText(QString::number(position));
  if (!isVisible()) {
    if (QWidget* main = parentWidget())
      move(main->geometry().center() - QPoint(width() / 2, height() / 2));
    show();
  }
}

void TfrmProgress::reject() { FCancel = true; }

}  // namespace tessaro
