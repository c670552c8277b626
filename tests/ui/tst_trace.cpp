// The trace window over a real main window and poll engine: echo forms and
// the memo cap, send modes, the register dump and statistics, the clears,
// the debug overlay switch, and a manual frame over a real pseudo-terminal.
#include <QtTest>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>

#include "MainFixture.h"
#include "ui/main/StatusStrip.h"
#include "serial/Comm.h"
#include "serial/PtyPair.h"
#include "ui/main/FrmAbout.h"
#include "ui/trace/FrmCom.h"
#include "ui/trace/TraceRegisters.h"
#include "protocols/ModbusTestFrames.h"

using namespace tessaro;
using namespace tessaro::test;
using namespace std::chrono_literals;

namespace {
const std::vector<uint8_t> ModbusRequest = {0x01, 0x04, 0x75, 0x30, 0x00, 0x0E, 0x6B, 0xCD};

void DoubleClick(QWidget* viewport) { QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(5, 5)); }
}  // namespace

class TstTrace : public QObject {
  Q_OBJECT

 private slots:
  void echoLineIsHexOrFilteredText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("line");
    QTest::newRow("hex") << QByteArray(reinterpret_cast<const char*>(ModbusRequest.data()), 8) << true
                         << "01 04 75 30 00 0E 6B CD ";
    QTest::newRow("text") << QByteArray("~20 01\x01z{\r\n", 11) << false
                          << QString("~20") + QChar(127) + "01" + QChar(127) + "z" + QChar(127) + "\r\n";
    QTest::newRow("nothing") << QByteArray() << true << "";
  }
  void echoLineIsHexOrFilteredText() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, hex);
    QFETCH(QString, line);
    QCOMPARE(TFrmCom::EchoLine(reinterpret_cast<const uint8_t*>(bytes.constData()), int(bytes.size()), hex), line);
  }

  void memoIsEmptiedWhenItHoldsMoreThanFourHundredLines() {
    TMainFixture f({});
    TFrmCom w(*f.Engine);
    for (int i = 0; i < 401; ++i) w.EchoRx(ModbusRequest.data(), 8);
    QCOMPARE(w.MemoRx->document()->blockCount(), 401);
    w.EchoRx(ModbusRequest.data(), 2);
    QCOMPARE(w.MemoRx->toPlainText(), QStringLiteral("01 04 "));
    QCOMPARE(w.MemoTx->toPlainText(), QString());
  }

  void manualModePausesUntilClosedButNotWhenHidden() {
    TMainFixture f({});
    TFrmCom w(*f.Engine);
    QVERIFY(w.rbAuto->isChecked());
    QVERIFY(!w.edtTx->isEnabled());
    w.show();
    QCOMPARE(int(f.Engine->TraceVisible), 1);
    w.rbManual->click();
    QCOMPARE(int(f.Context->Vars.Paused), 255);
    QVERIFY(w.edtTx->isEnabled() && w.btnMSend->isEnabled());
    w.hide();  // the About box hides it: still counts as shown
    QCOMPARE(int(f.Engine->TraceVisible), 1);
    QCOMPARE(int(f.Context->Vars.Paused), 255);
    w.show();
    w.close();
    QCOMPARE(int(f.Engine->TraceVisible), 0);
    QCOMPARE(int(f.Context->Vars.Paused), 0);
    QVERIFY(w.rbAuto->isChecked());
    QVERIFY(!w.btnMSend->isEnabled());
  }

  void theMainStatusBarSaysWhileManualModeHoldsPolling() {
    TMainFixture f({});
    TFrmCom w(*f.Engine);
    w.show();
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(1)->text(), QString());
    w.rbManual->click();
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(1)->text(), QStringLiteral("Polling paused (manual send)"));
    Child<QAction>(*f.Main, "mni401")->trigger();
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(1)->text(), QStringLiteral("轮询已暂停（手动发送）"));
    w.rbAuto->click();
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(1)->text(), QString());
  }

  void registersHoldTheNumbersOfTheTable() {
    TMainFixture f({}, 0, 3);
    f.OpenPort();
    TContext& c = *f.Context;
    c.Settings.PortInfo.BaudRate = 4800;
    c.Settings.PortInfo.ReadIntervalTimeout = 150;
    f.Engine->OpenCommPort();
    c.Stats = {.TxCount = 8, .RxCount = 6, .AckOkCount = 3, .ParseFailures = 9, .ErrA = 1, .ErrB = 2, .ErrC = 3,
               .ErrD = 4, .ErrE = 5, .ErrF = 6};
    c.Vars.Waiting = 255;
    c.Vars.WaitTicks = 7;
    c.Vars.SendNo = 1;
    c.Vars.MaxSends = 2;
    c.Vars.FrameLen = 8;
    c.Vars.DebugStage = 5;
    c.UpsInfo[0].TotalCount = 40;
    c.UpsInfo[9].SuccessCount = 41;
    c.UpsInfo[3].ReceiveCount = 42;
    c.Display.TimerStats[16] = 43;
    const std::vector<std::pair<int, int32_t>> expected = {
        {20, 0},    {21, int32_t(f.Port.PortHandle())}, {22, 4800}, {23, 150}, {24, 8},  {25, 6},   {26, 75},
        {27, 15},   {28, 2},   {29, 5},   {30, 10}, {31, 0},  {50, 1},  {53, 7},  {54, 1},   {55, 2},   {56, 8},
        {57, 5},    {58, 3},   {100, 8},  {101, 0}, {102, 6}, {103, 3}, {104, 37}, {105, 75}, {110, 1}, {115, 6},
        {116, 0},   {200, 40}, {219, 41}, {223, 42}, {316, 43}, {1000, 9}, {1001, 0}, {1150, 0}, {999, 0}};
    for (const auto& [number, value] : expected)
      QVERIFY2(TraceRegister(c, f.Port, static_cast<uint16_t>(number)) == value, qPrintable(QString::number(number)));
    c.Stats.TxCount = 0;
    QCOMPARE(TraceRegister(c, f.Port, 26), 0);
    QCOMPARE(TraceRegister(c, f.Port, 104), 0);
  }

  void refreshFillsTheDumpAndTheStatisticsLines() {
    TMainFixture f({});
    f.OpenPort();
    TFrmCom w(*f.Engine);
    f.Context->Stats = {.TxCount = 3, .RxCount = 2, .ErrB = 2, .ErrE = 5};
    f.Context->Vars.SendNo = 1;
    f.Engine->RecDelay = 17;
    w.medtAddr->setText(QStringLiteral("20"));
    w.RefreshTrace();
    QCOMPARE(w.strGrdDbg->rowCount(), 101);
    QCOMPARE(w.strGrdDbg->item(0, 0)->text(), QString());
    QCOMPARE(w.strGrdDbg->item(1, 0)->text(), QStringLiteral("20"));
    QCOMPARE(w.strGrdDbg->item(1, 1)->text(), QStringLiteral("0"));
    QCOMPARE(w.strGrdDbg->item(2, 1)->text(), QString::number(f.Port.PortHandle()));
    QCOMPARE(w.strGrdDbg->item(100, 0)->text(), QStringLiteral("119"));
    w.chkHex->setChecked(true);
    w.RefreshTrace();
    QCOMPARE(w.strGrdDbg->item(3, 1)->text(), QStringLiteral("2580"));  // 9600 baud
    QCOMPARE(w.lb_CommInfo->text(), QStringLiteral("Send:3;  AcK:2;  AckOK:0;  Rate:0.0"));
    QCOMPARE(w.lb_CommErr->text(), QStringLiteral("B:2; E:5; "));
    QCOMPARE(w.edtReCnt->text(), QStringLiteral("1"));
    QCOMPARE(w.edtRecDly->text(), QStringLiteral("17"));
    // The engine refreshes it on its tick while it is shown.
    w.show();
    f.Context->Stats.TxCount = 4;
    f.Engine->Tick();
    QVERIFY(w.lb_CommInfo->text().startsWith(QStringLiteral("Send:4;")));
  }

  // Only an answer the engine accepts counts as AckOK; a refused chunk is a receive all the same.
  void acceptedAnswersCountTowardsTheRate() {
    TMainFixture f({{1, "a"}}, 0, 2);
    f.OpenPort();
    TFrmCom w(*f.Engine);
    for (int i = 0; i < 20 && f.Port.SentFrames.empty(); ++i) f.Engine->Tick();
    QCOMPARE(f.Port.SentFrames.size(), size_t{1});
    const std::vector<uint8_t> request = f.Port.SentFrames[0];
    f.Port.InjectReceive(std::vector<uint8_t>{0x01, 0x04, 0x00});  // refused: no frame
    const std::vector<uint16_t> registers(request[4] * 256 + request[5], 0);
    f.Port.InjectReceive(testing_modbus::ReadAnswer(request[0], request[1], registers));
    w.RefreshTrace();
    QCOMPARE(w.lb_CommInfo->text(), QStringLiteral("Send:1;  AcK:2;  AckOK:1;  Rate:100.0"));
    QCOMPARE(TraceRegister(*f.Context, f.Port, 104), 100);
  }

  void clearsAndDoubleClicksResetWhatTheyShould() {
    TMainFixture f({});
    TFrmCom w(*f.Engine);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.EchoTx(ModbusRequest.data(), 8);
    w.EchoRx(ModbusRequest.data(), 8);
    f.Context->Stats = {.TxCount = 3, .RxCount = 2, .AckOkCount = 1, .ParseFailures = 4, .ErrA = 1, .ErrF = 6};
    f.Context->Display.TimerStats[10] = 99;
    w.btnClrRx->click();
    QCOMPARE(w.MemoRx->toPlainText(), QString());
    QVERIFY(!w.MemoTx->toPlainText().isEmpty());
    const TPollStats& s = f.Context->Stats;
    QCOMPARE(s.TxCount + s.RxCount + s.AckOkCount + s.ErrA + s.ErrF, 0);
    QCOMPARE(s.ParseFailures, 4);
    QCOMPARE(f.Context->Display.TimerStats[10], 99);
    DoubleClick(w.strGrdDbg->viewport());
    QCOMPARE(s.ParseFailures, 0);
    QCOMPARE(f.Context->Display.TimerStats[10], 0);
    DoubleClick(w.MemoTx->viewport());
    QCOMPARE(w.MemoTx->toPlainText(), QString());
  }

  void debugShowDrivesTheMainWindowsOverlay() {
    TMainFixture f({{1, "a"}});
    f.ShowWindow();
    TFrmCom w(*f.Engine);
    w.show();
    QVERIFY(!w.chkDbgShow->isChecked());
    w.chkDbgShow->click();
    QVERIFY(f.Context->Display.DebugShow);
    f.Main->HousekeepingPass();
    QTRY_VERIFY(Child<QLabel>(*f.Main, "lblDebug")->isVisible());  // once the tool bar has laid it out
    w.chkDbgShow->click();
    f.Main->HousekeepingPass();
    QTRY_VERIFY(!Child<QLabel>(*f.Main, "lblDebug")->isVisible());
  }

  void modbusChecksBothHexBoxesWhenActivated() {
    TMainFixture f({}, 0, 2);
    TFrmCom w(*f.Engine);
    w.CheckBox2->setChecked(false);
    w.checkbox1->setChecked(false);
    w.FormActivate();
    QVERIFY(w.CheckBox2->isChecked() && w.checkbox1->isChecked());
  }

  void theAboutBoxCodeOpensTheTraceWindow() {
    TMainFixture f({});
    TFrmAbout about(0, QStringLiteral("1.0"), [&] { f.Main->ShowTraceWindow(); }, [&] { f.Main->HideTraceWindow(); },
                    f.Main.get());
    for (QChar c : QStringLiteral("52719304")) about.FormKeyPress(c);
    auto* trace = qobject_cast<TFrmCom*>(f.Main->TraceWindow());
    QVERIFY(trace && trace->isVisible());
    QCOMPARE(trace->windowTitle(), QStringLiteral("Trace"));
  }

  // A manual frame goes out on the real line, is echoed and counted; the
  // device's answer comes back through the receive path.
  void manualFrameGoesOverARealPort() {
    TPtyPair line;
    TMainFixture f({}, 0, 2);
    f.Context->Settings.PortInfo.ComName = line.SlavePath();
    f.Context->Settings.PortInfo.ReadIntervalTimeout = 20;
    TComm port;
    ConfigureProgramPort(port);
    TPollEngine engine(*f.Context, port);
    engine.OpenCommPort();
    TFrmCom w(engine);
    w.show();
    w.rbManual->click();
    for (int i = 0; i < 3; ++i) engine.Tick();  // paused: nothing is built or sent
    QCOMPARE(f.Context->Stats.TxCount, 0);

    struct TCase {
      const char* Text;
      std::vector<uint8_t> Sent;
    };
    const std::vector<TCase> cases = {{"01 04 75 30 00 0e 6b cd", ModbusRequest},
                                      {"AB C", {0xAB}},  // the unpaired last digit is dropped
                                      {"zz", {}}};       // no byte: nothing sent, nothing counted
    int sent = 0;
    for (const TCase& c : cases) {
      w.edtTx->setText(QString::fromLatin1(c.Text));
      w.btnMSend->click();
      sent += c.Sent.empty() ? 0 : 1;
      QCOMPARE(f.Context->Stats.TxCount, sent);
      if (!c.Sent.empty()) QCOMPARE(line.ReadExactly(c.Sent.size()), c.Sent);
    }
    PumpFor(port, 100ms);
    QCOMPARE(line.ReadExactly(1, 50ms), std::vector<uint8_t>());
    QCOMPARE(w.MemoTx->toPlainText(), QStringLiteral("01 04 75 30 00 0E 6B CD \nAB "));

    line.Write(std::vector<uint8_t>{0x01, 0x84, 0x02, 0xC2, 0xC1});
    QVERIFY(PumpUntil(port, [&] { return f.Context->Stats.RxCount == 1; }));
    QCOMPARE(w.MemoRx->toPlainText(), QStringLiteral("01 84 02 C2 C1 "));
    QCOMPARE(f.Context->Stats.ParseFailures, 1);  // no request of the engine's was out
  }
};

QTEST_MAIN(TstTrace)
#include "tst_trace.moc"
