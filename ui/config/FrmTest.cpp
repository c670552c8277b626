#include "ui/config/FrmTest.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "control/Control.h"
#include "engine/Context.h"
#include "ui/widgets/GrowToContent.h"
#include "ui/widgets/MsgBox.h"

namespace tessaro {

TFrmTest::TFrmTest(const TControlHost& host, QWidget* parent) : QDialog(parent), FHost(host) {
  setObjectName(QStringLiteral("FrmTest"));
  const int language = FHost.Ctx.Settings.Language;
  setWindowTitle(ZhEn(language, "电池自检", "Battery Test"));
  lblTime = new QLabel(ZhEn(language, "自检时间（秒）", "Test Time(Sec)"), this);
  edtTime = new QLineEdit(QString::number(DefaultTestSeconds), this);
  edtTime->setObjectName(QStringLiteral("edtTime"));
  edtTime->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edtTime));
  btnTest = new QPushButton(ZhEn(language, "电池自检", "Battery Test"), this);
  btnTest->setObjectName(QStringLiteral("btnTest"));
  btnCancelTest = new QPushButton(ZhEn(language, "取消自检", "Cancel Test"), this);
  btnCancelTest->setObjectName(QStringLiteral("btnCancelTest"));
  for (QPushButton* b : {btnTest, btnCancelTest}) b->setAutoDefault(false);

  auto* v = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  row->addWidget(lblTime);
  row->addWidget(edtTime);
  v->addLayout(row);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(btnTest);
  buttons->addWidget(btnCancelTest);
  v->addLayout(buttons);
  lblOutcome = new TCommandStatus(FHost.Ctx, this);
  v->addWidget(lblOutcome);

  HoldTitle(this);
  connect(btnTest, &QPushButton::clicked, this, &TFrmTest::btnTestClick);
  connect(btnCancelTest, &QPushButton::clicked, this, &TFrmTest::btnCancelTestClick);
}

void TFrmTest::btnTestClick() {
  const std::optional<uint16_t> seconds = TestTimeValue(edtTime->text().toStdString());
  if (!seconds) {
    ShowMessage(this, ZhEn(FHost.Ctx.Settings.Language, "[自检时间]数值无效", "[Battery Test Time] value is invalid"));
    edtTime->setFocus();
    return;
  }
  Send(TCommandKind::BatteryTest, *seconds);
}

void TFrmTest::btnCancelTestClick() { Send(TCommandKind::CancelTest, 0); }

void TFrmTest::Send(TCommandKind kind, uint16_t seconds) {
  const int language = FHost.Ctx.Settings.Language;
  const TCommandRequest request{FHost.SelDevAddr(), kind, 0, seconds};
  if (const uint32_t id = AskAndQueue(this, FHost, request, language)) lblOutcome->Track(id, language);
}

}  // namespace tessaro
