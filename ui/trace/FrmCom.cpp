#include "ui/trace/FrmCom.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "core/ProtocolTraits.h"
#include "engine/PollEngine.h"
#include "protocols/FuncUnit.h"
#include "ui/trace/TraceRegisters.h"

namespace tessaro {

namespace {
constexpr int DumpRows = 101;  // row 0 is the heading row

QCheckBox* CheckedBox(const QString& text, QWidget* parent) {
  auto* box = new QCheckBox(text, parent);
  box->setChecked(true);
  return box;
}
}  // namespace

TFrmCom::TFrmCom(TPollEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), FEngine(engine), FCtx(engine.Context()) {
  setObjectName(QStringLiteral("FrmCom"));
  setWindowTitle(QStringLiteral("Trace"));
  resize(760, 560);

  rgSendMode = new QGroupBox(QStringLiteral("Send Mode"), this);
  rbAuto = new QRadioButton(QStringLiteral("Auto"), rgSendMode);
  rbManual = new QRadioButton(QStringLiteral("Manual"), rgSendMode);
  auto* modes = new QHBoxLayout(rgSendMode);
  modes->addWidget(rbAuto);
  modes->addWidget(rbManual);
  MemoTx = new QPlainTextEdit(this);
  MemoTx->setObjectName(QStringLiteral("MemoTx"));
  MemoRx = new QPlainTextEdit(this);
  MemoRx->setObjectName(QStringLiteral("MemoRx"));
  for (QPlainTextEdit* memo : {MemoTx, MemoRx}) {
    memo->setReadOnly(true);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->viewport()->installEventFilter(this);
  }
  CheckBox2 = CheckedBox(QStringLiteral("ASCII"), this);
  checkbox1 = CheckedBox(QStringLiteral("ASCII"), this);
  edtTx = new QLineEdit(this);
  edtTx->setObjectName(QStringLiteral("edtTx"));
  btnMSend = new QPushButton(QStringLiteral("Send"), this);
  btnMSend->setObjectName(QStringLiteral("btnMSend"));
  btnClrRx = new QPushButton(QStringLiteral("Clear"), this);
  btnClrRx->setObjectName(QStringLiteral("btnClrRx"));
  lb_CommInfo = new QLabel(this);
  lb_CommErr = new QLabel(this);
  edtReCnt = new QLineEdit(this);
  edtReCnt->setReadOnly(true);
  edtReCnt->setMaximumWidth(60);
  strGrdDbg = new QTableWidget(DumpRows, 2, this);
  strGrdDbg->setObjectName(QStringLiteral("strGrdDbg"));
  strGrdDbg->horizontalHeader()->hide();
  strGrdDbg->verticalHeader()->hide();
  strGrdDbg->setEditTriggers(QAbstractItemView::NoEditTriggers);
  strGrdDbg->verticalHeader()->setDefaultSectionSize(18);
  strGrdDbg->setColumnWidth(0, 60);
  strGrdDbg->horizontalHeader()->setStretchLastSection(true);
  strGrdDbg->viewport()->installEventFilter(this);
  for (int r = 0; r < DumpRows; ++r)
    for (int c = 0; c < 2; ++c) strGrdDbg->setItem(r, c, new QTableWidgetItem);
  medtAddr = new QLineEdit(QStringLiteral("0"), this);
  medtAddr->setObjectName(QStringLiteral("medtAddr"));
  medtAddr->setMaxLength(4);
  medtAddr->setValidator(new QIntValidator(0, 9000, medtAddr));
  medtAddr->setMaximumWidth(60);
  chkHex = new QCheckBox(QStringLiteral("Hex"), this);
  chkDbgShow = new QCheckBox(QStringLiteral("Debug show"), this);
  edtRecDly = new QLineEdit(this);
  edtRecDly->setReadOnly(true);
  edtRecDly->setMaximumWidth(60);

  auto* echo = new QGridLayout;
  echo->addWidget(new QLabel(QStringLiteral("Send:"), this), 0, 0);
  echo->addWidget(CheckBox2, 0, 1, Qt::AlignRight);
  echo->addWidget(MemoTx, 1, 0, 1, 2);
  echo->addWidget(new QLabel(QStringLiteral("Accept:"), this), 2, 0);
  echo->addWidget(checkbox1, 2, 1, Qt::AlignRight);
  echo->addWidget(MemoRx, 3, 0, 1, 2);
  auto* manual = new QHBoxLayout;
  manual->addWidget(rgSendMode);
  manual->addWidget(edtTx, 1);
  manual->addWidget(btnMSend);
  manual->addWidget(btnClrRx);
  auto* figures = new QHBoxLayout;
  figures->addWidget(new QLabel(QStringLiteral("Resend："), this));
  figures->addWidget(edtReCnt);
  figures->addWidget(new QLabel(QStringLiteral("RecDelay:"), this));
  figures->addWidget(edtRecDly);
  figures->addWidget(chkDbgShow);
  figures->addStretch();
  auto* left = new QVBoxLayout;
  left->addLayout(manual);
  left->addLayout(echo, 1);
  left->addWidget(lb_CommInfo);
  left->addWidget(lb_CommErr);
  left->addLayout(figures);
  auto* dumpHead = new QHBoxLayout;
  dumpHead->addWidget(medtAddr);
  dumpHead->addWidget(chkHex);
  auto* right = new QVBoxLayout;
  right->addLayout(dumpHead);
  right->addWidget(strGrdDbg, 1);
  auto* outer = new QHBoxLayout(this);
  outer->addLayout(left, 3);
  outer->addLayout(right, 1);

  connect(rbAuto, &QRadioButton::clicked, this, [this] { rgSendModeClick(0); });
  connect(rbManual, &QRadioButton::clicked, this, [this] { rgSendModeClick(1); });
  connect(btnMSend, &QPushButton::clicked, this, &TFrmCom::btnMSendClick);
  connect(btnClrRx, &QPushButton::clicked, this, &TFrmCom::btnClrRxClick);
  connect(chkDbgShow, &QCheckBox::toggled, this, [this](bool on) { FCtx.Display.DebugShow = on; });
  rgSendModeClick(0);

  FEngine.EchoTx = [this](const uint8_t* bytes, int count) { EchoTx(bytes, count); };
  FEngine.EchoRx = [this](const uint8_t* bytes, int count) { EchoRx(bytes, count); };
  FEngine.RefreshTrace = [this] { RefreshTrace(); };
}

TFrmCom::~TFrmCom() {
  FEngine.TraceVisible = 0;
  FEngine.EchoTx = nullptr;
  FEngine.EchoRx = nullptr;
  FEngine.RefreshTrace = nullptr;
  FCtx.Vars.Paused = 0;
}

QString TFrmCom::EchoLine(const uint8_t* bytes, int count, bool hex) {
  if (count <= 0) return {};
  if (hex) return QString::fromLatin1(BytesToHexText(bytes, static_cast<size_t>(count), " "));
  QString line;
  line.reserve(count);
  for (int i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    const bool shown = b == 10 || b == 13 || (b >= 48 && b <= 122) || b == 126;
    line += QChar(shown ? b : 127);
  }
  return line;
}

void TFrmCom::Echo(QPlainTextEdit* memo, const QString& line) {
  const int lines = memo->document()->isEmpty() ? 0 : memo->document()->blockCount();
  if (lines > MemoLineCap) memo->clear();
  memo->appendPlainText(line);
}

void TFrmCom::EchoTx(const uint8_t* bytes, int count) { Echo(MemoTx, EchoLine(bytes, count, CheckBox2->isChecked())); }

void TFrmCom::EchoRx(const uint8_t* bytes, int count) { Echo(MemoRx, EchoLine(bytes, count, checkbox1->isChecked())); }

void TFrmCom::RefreshTrace() {
  const int base = medtAddr->text().toInt();
  for (int r = 1; r < DumpRows; ++r) {
    const int number = base + r - 1;
    const int32_t value = TraceRegister(FCtx, FEngine.Port(), static_cast<uint16_t>(number));
    strGrdDbg->item(r, 0)->setText(QString::number(number));
    strGrdDbg->item(r, 1)->setText(chkHex->isChecked()
                                       ? QString::number(static_cast<uint32_t>(value), 16).toUpper().rightJustified(4, u'0')
                                       : QString::number(value));
  }
  const TPollStats& s = FCtx.Stats;
  lb_CommInfo->setText(QStringLiteral("Send:%1;  AcK:%2;  AckOK:%3;  Rate:%4")
                           .arg(s.TxCount)
                           .arg(s.RxCount)
                           .arg(s.AckOkCount)
                           .arg(QString::number(TraceRate(s), 'f', 1)));
  QString errors;
  const int32_t counters[] = {s.ErrA, s.ErrB, s.ErrC, s.ErrD, s.ErrE, s.ErrF};
  for (int i = 0; i < 6; ++i)
    if (counters[i] > 0) errors += QChar(u'A' + i) + QStringLiteral(":%1; ").arg(counters[i]);
  lb_CommErr->setText(errors);
  edtReCnt->setText(QString::number(FCtx.Vars.SendNo));
  edtRecDly->setText(QString::number(FEngine.RecDelay));
}

void TFrmCom::rgSendModeClick(int index) {
  const bool manual = index == 1;
  (manual ? rbManual : rbAuto)->setChecked(true);
  FCtx.Vars.Paused = manual ? 255 : 0;
  edtTx->setEnabled(manual);
  btnMSend->setEnabled(manual);
}

void TFrmCom::btnMSendClick() {
  // The request in flight keeps its own frame: its repetitions stay what
  // they were. A text with no whole byte sends and counts nothing.
  const std::vector<uint8_t> bytes = HexTextToBytes(edtTx->text().toStdString());
  if (bytes.empty()) return;
  FEngine.SendFrame(bytes.data(), static_cast<int>(bytes.size()));
}

void TFrmCom::btnClrRxClick() {
  MemoRx->clear();
  TPollStats& s = FCtx.Stats;
  const int32_t parseFailures = s.ParseFailures;
  s = TPollStats{};
  s.ParseFailures = parseFailures;
}

void TFrmCom::strGrdDbgDblClick() {
  FCtx.Display.TimerStats.fill(0);
  FCtx.Stats.ParseFailures = 0;
}

void TFrmCom::FormActivate() {
  if (ProtocolTraits(FCtx.Settings.PortInfo.Protocol).BinaryFrames) {
    CheckBox2->setChecked(true);
    checkbox1->setChecked(true);
  }
}

void TFrmCom::showEvent(QShowEvent* event) {
  FEngine.TraceVisible = 1;
  chkDbgShow->setChecked(FCtx.Display.DebugShow);
  QWidget::showEvent(event);
}

void TFrmCom::closeEvent(QCloseEvent* event) {
  FEngine.TraceVisible = 0;
  rgSendModeClick(0);
  QWidget::closeEvent(event);
}

void TFrmCom::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
  QWidget::changeEvent(event);
}

bool TFrmCom::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    if (watched == MemoTx->viewport()) MemoTx->clear();
    if (watched == MemoRx->viewport()) MemoRx->clear();
    if (watched == strGrdDbg->viewport()) strGrdDbgDblClick();
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tessaro
