// The device configuration windows on a real main window: the model gate in
// front of the control menu, the parameter dialog, the user settings view and
// the on/off dialog, with what each leaves in the command queue.
#include <QtTest>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QStatusBar>

#include <deque>
#include <functional>

#include "MainFixture.h"
#include "control/ParamTable.h"
#include "control/CommandSlots.h"
#include "ui/config/FrmDataSet.h"
#include "ui/config/FrmPSW.h"
#include "ui/config/FrmTest.h"
#include "ui/config/FrmTrunOn.h"
#include "ui/config/FrmUserSet.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

// Plays a script against the modal windows as they come up: each step gets
// the active modal window and says whether it was the one it waited for. A
// step acts later (Later), from the event loop: a click that opens another
// modal window must not hold up the script's own timer.
class TModalScript : public QObject {
 public:
  using TStep = std::function<bool(QWidget*)>;
  TModalScript() {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [this] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w || Steps.empty()) return;
      if (Seen.isEmpty() || Seen.last() != w->objectName()) Seen << w->objectName();
      if (Steps.front()(w)) Steps.pop_front();
    });
    FTimer.start();
  }
  bool Done() const { return Steps.empty(); }
  static void Later(QObject* context, std::function<void()> act) { QTimer::singleShot(0, context, std::move(act)); }
  std::deque<TStep> Steps;
  QStringList Seen;  // object names of the modal windows, in order
  QStringList Boxes;

  TModalScript::TStep Gate(const QString& text) {
    return [text](QWidget* w) {
      auto* gate = qobject_cast<TfrmPSW*>(w);
      if (!gate) return false;
      Later(gate, [gate, text] {
        gate->edtPSW->setText(text);
        gate->btnOK->click();
      });
      return true;
    };
  }
  // Answers a question box, keeping its text; it must offer No as the default.
  TModalScript::TStep Answer(QMessageBox::StandardButton button) {
    return [this, button](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      Boxes << box->text();
      if (box->defaultButton() != box->button(QMessageBox::No)) Boxes << QStringLiteral("(No is not the default)");
      QAbstractButton* answer = box->button(button) ? box->button(button) : box->buttons().first();
      Later(box, [answer] { answer->click(); });
      return true;
    };
  }
  TModalScript::TStep Box() {
    return [this](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box) return false;
      Boxes << box->text();
      Later(box, [box] { box->buttons().first()->click(); });
      return true;
    };
  }

 private:
  QTimer FTimer;
};

// Answers the next question box, keeping its text and whether No was its default.
class TQuestionAnswerer : public QObject {
 public:
  explicit TQuestionAnswerer(QMessageBox::StandardButton button) {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [this, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible() || !box->button(button)) return;
      Texts << box->text();
      NoWasDefault = box->defaultButton() == box->button(QMessageBox::No);
      box->button(button)->click();
    });
    FTimer.start();
  }
  QStringList Texts;
  bool NoWasDefault = false;

 private:
  QTimer FTimer;
};

TControlHost Host(TMainFixture& f, bool* portOpen) {
  return {*f.Context, [] { return uint8_t{1}; }, [portOpen] { return *portOpen; }};
}

}  // namespace

class TstConfig : public QObject {
  Q_OBJECT

 private slots:
  void gateAcceptedOpensTheBatteryTestWhichQueuesItsCommand() {
    TMainFixture f({{1, "ups"}}, 0, 2);
    f.ShowWindow();
    f.OpenPort();
    f.Communicating(1, 0);
    f.Click(f.Device(1));
    TModalScript script;
    TFrmTest* window = nullptr;
    QString shown;  // the window's outcome line after the question
    script.Steps = {script.Gate(QStringLiteral(" RXA410 ")),
                    [&window](QWidget* w) {
                      window = qobject_cast<TFrmTest*>(w);
                      if (!window) return false;
                      TModalScript::Later(window, [test = window] { test->btnTest->click(); });
                      return true;
                    },
                    script.Answer(QMessageBox::Yes), [&shown](QWidget* w) {
                      auto* test = qobject_cast<TFrmTest*>(w);
                      // Back from the question, the click handler has yet to queue.
                      if (!test || test->lblOutcome->text().isEmpty()) return false;
                      shown = test->lblOutcome->text();
                      TModalScript::Later(test, [test] { test->reject(); });
                      return true;
                    }};
    f.Main->mni301Click();
    QVERIFY(script.Done());
    QCOMPARE(f.Context->SelectedModel, std::string("RXA410"));
    QCOMPARE(script.Boxes.size(), qsizetype(1));
    QCOMPARE(shown, QStringLiteral("Battery test of 60 s, UPS \"ups\" (address 1): queued, waiting to be sent"));
    QVERIFY2(script.Boxes[0].startsWith(QStringLiteral("Start a battery test of 60 seconds on UPS \"ups\" (address 1)?")),
             qPrintable(script.Boxes[0]));
    const TCommandEntry& e = f.Context->CommandQueue[1];
    QCOMPARE(int(e.Pending), int(CommandPending));
    QCOMPARE(int(e.Addr), 1);
    QCOMPARE(e.Reg, RegBatteryTest);
    QCOMPARE(int(f.Context->CommandQueue.CommandValue), 60);
  }

  void gateCancelledOrFailedThriceOpensNothing() {
    TMainFixture f({{1, "ups"}}, 0, 2);
    f.ShowWindow();
    f.Click(f.Device(1));
    {
      TModalScript script;
      script.Steps = {script.Gate(QStringLiteral("nope")), script.Box(), [](QWidget* w) {
                                    auto* gate = qobject_cast<TfrmPSW*>(w);
                                    if (gate) TModalScript::Later(gate, [gate] { gate->btnCancle->click(); });
                                    return gate != nullptr;
                                  }};
      f.Main->mniTurnOnClick();
      QVERIFY(script.Done());
      QCOMPARE(script.Boxes, QStringList{QStringLiteral("Password is invalid.")});
      QCOMPARE(f.Context->SelectedModel, std::string("nope"));
    }
    {
      TModalScript script;
      script.Steps = {script.Gate(QStringLiteral("a")), script.Box(), script.Gate(QStringLiteral("rxa205")),
                                  script.Box(), script.Gate(QStringLiteral("b")), script.Box()};
      f.Main->mni301Click();
      QVERIFY(script.Done());
      QCOMPARE(script.Boxes.size(), 3);
      QVERIFY(!script.Seen.contains(QStringLiteral("FrmTest")));
    }
    QVERIFY(!f.Context->CommandQueue.TakeFirst().has_value());
  }

  void gateBoxHoldsTenCharactersAndEnterOnlyMovesToOk() {
    TMainFixture f({{1, "ups"}});
    TfrmPSW gate(*f.Context, f.Main.get());
    gate.show();
    QVERIFY(QTest::qWaitForWindowExposed(&gate));
    gate.edtPSW->setFocus();
    QTest::keyClicks(gate.edtPSW, QStringLiteral("RXA410LTXYZ"));
    QCOMPARE(gate.edtPSW->text(), QStringLiteral("RXA410LTXY"));
    QTest::keyClick(gate.edtPSW, Qt::Key_Return);
    QVERIFY(gate.isVisible());
    QCOMPARE(f.Context->SelectedModel, std::string());
    QCOMPARE(gate.windowTitle(), QStringLiteral("Input Password"));
    QCOMPARE(gate.btnCancle->text(), QStringLiteral("Cancle"));
  }

  void dataSetShowsModelChoicesChecksAndQueues() {
    TMainFixture f({{1, "ups"}}, 0, 2);
    f.Communicating(1, 0);
    TDeviceParams& p = f.Slot(1).Params;
    p.VoltLevel = 120;
    p.EodVolt = 175;
    bool portOpen = true;
    f.Context->SelectedModel = "RXA205";
    TFrmDataSet dialog(Host(f, &portOpen), f.Main.get());
    dialog.show();
    QCOMPARE(dialog.ListBox1->count(), 19);
    QVERIFY(!dialog.grpSetting->isVisible());

    dialog.ListBox1->setCurrentRow(1);
    QCOMPARE(dialog.ComboBox1->count(), 4);
    QCOMPARE(dialog.ComboBox1->currentText(), QStringLiteral("120V"));
    QCOMPARE(int(dialog.CurRegister), 40005);

    dialog.ListBox1->setCurrentRow(11);
    QVERIFY(dialog.Edit1->isVisible() && !dialog.ComboBox1->isVisible());
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("1.75"));
    dialog.Edit1->setText(QStringLiteral("1.95"));
    {
      TBoxAnswerer boxes(QMessageBox::Ok);
      dialog.btnSetToClick();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("[EOD Volt] value is invalid")});
    }
    f.Context->Settings.Language = 1;  // the same refusal in Chinese names the entry in Chinese
    dialog.Edit1->setText(QStringLiteral("1.95"));
    {
      TBoxAnswerer boxes(QMessageBox::Ok);
      dialog.btnSetToClick();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("[%1]数值无效").arg(QString::fromUtf8(ParamDefs[11].Zh))});
    }
    f.Context->Settings.Language = 0;
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("1.80"));
    QVERIFY(!f.Context->CommandQueue[0].Pending);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("Data Set - UPS \"ups\" (address 1)"));
    dialog.Edit1->setText(QStringLiteral("1.7"));
    {
      // Asked first, naming the device, the parameter and its old and new value; No leaves it.
      TQuestionAnswerer no(QMessageBox::No);
      dialog.btnSetToClick();
      QCOMPARE(no.Texts.size(), qsizetype(1));
      QVERIFY2(no.Texts[0].startsWith(QStringLiteral("Set \"EOD Volt(V/Cell)\" of UPS \"ups\" (address 1) from 1.75 to 1.70?")),
               qPrintable(no.Texts[0]));
      QVERIFY(no.NoWasDefault);
    }
    QVERIFY(!f.Context->CommandQueue[0].Pending);
    QCOMPARE(int(f.Context->CommandQueue.ParamImage.EodVolt), 175);
    {
      TQuestionAnswerer yes(QMessageBox::Yes);
      dialog.btnSetToClick();
      QCOMPARE(yes.Texts.size(), qsizetype(1));
    }
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("1.70"));
    QVERIFY2(dialog.lblOutcome->text().endsWith(QStringLiteral("queued, waiting to be sent")),
             qPrintable(dialog.lblOutcome->text()));
    QCOMPARE(f.Context->CommandQueue[0].Reg, 40020);
    QCOMPARE(int(f.Context->CommandQueue.ParamImage.EodVolt), 170);

    portOpen = false;
    dialog.ListBox1->setCurrentRow(2);
    {
      TBoxAnswerer boxes(QMessageBox::Ok);
      dialog.btnSetToClick();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("Serial Port Off")});
    }
    QCOMPARE(f.Context->CommandQueue.TakeFirst()->Reg, 40020);
    QVERIFY(!f.Context->CommandQueue.TakeFirst().has_value());

    f.Slot(1).CommState = 2;
    dialog.ListBox1->setCurrentRow(3);
    QVERIFY(!dialog.grpSetting->isVisible());
  }

  void dataSetListsOperationModeOnlyForItsModel() {
    TMainFixture f({{1, "ups"}}, 1, 2);
    bool portOpen = true;
    f.Communicating(1, 0);
    f.Slot(1).Params.OperationMode = 2;
    f.Context->SelectedModel = "RXA410LT";
    TFrmDataSet dialog(Host(f, &portOpen), f.Main.get());
    QCOMPARE(dialog.ListBox1->count(), 20);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("数据设置 - UPS“ups”(地址 1)"));
    dialog.ListBox1->setCurrentRow(19);
    QCOMPARE(dialog.ComboBox1->currentText(), QStringLiteral("变频模式"));
    dialog.ListBox1->setCurrentRow(15);
    QVERIFY(dialog.rbBuzzerEnable->isChecked() && dialog.rbBoostEnable->isChecked());
    dialog.rbBuzzerDisable->setChecked(true);
    {
      TQuestionAnswerer yes(QMessageBox::Yes);
      dialog.btnSetToClick();
      QCOMPARE(yes.Texts.size(), qsizetype(1));
    }
    QCOMPARE(int(f.Context->CommandQueue.ParamImage.ConfigFlags), 4096);
  }

  void userSetFollowsTheDeviceAndThePort() {
    TMainFixture f({{1, "ups"}}, 0, 2);
    f.ShowWindow();
    f.Click(f.Device(1));
    {
      TBoxAnswerer boxes(QMessageBox::Ok);
      f.Main->mni101Click();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("The device is not communication!")});
    }
    QVERIFY(!f.Main->UserSetWindow());

    f.Communicating(1, 0);
    TDeviceParams& p = f.Slot(1).Params;
    p.BypassVoltMin = static_cast<int16_t>(65516);
    p.OutputVoltFine = 25;
    p.OperationMode = 1;
    f.OpenPort();
    f.Main->mni101Click();
    TFrmUserSet* view = f.Main->UserSetWindow();
    QVERIFY(view && view->isVisible());
    view->Timer1Timer();
    QCOMPARE(view->FieldText("BypassVoltMin"), QStringLiteral("-20%"));
    QCOMPARE(view->FieldText("OutputVoltFine"), QStringLiteral("2.5%"));
    QVERIFY(view->grpOutput->isHidden());
    QVERIFY(view->edtPreAlarm->isHidden());
    QCOMPARE(view->windowTitle(), QStringLiteral("User Set - UPS \"ups\" (address 1)"));

    f.Context->SelectedModel = "RXA410LT";
    view->Timer1Timer();
    QVERIFY(!view->grpOutput->isHidden());
    QCOMPARE(view->FieldText("OperationMode"), QStringLiteral("Sleep"));

    f.Slot(1).CommState = 1;
    view->Timer1Timer();
    QCOMPARE(view->FieldText("BypassVoltMin"), QString());
    QVERIFY(!view->btnSet->isEnabled());
    // Hidden and kept, and the close is accepted: a refused one would veto the program's exit.
    QVERIFY(view->close());
    QVERIFY(!view->isVisible());
    QVERIFY(!view->Timer1.isActive());
    QCOMPARE(f.Main->UserSetWindow(), view);
  }

  void onOffAsksNamingTheDeviceWithNoAsDefaultThenShowsQueuedAndTheOutcome() {
    TMainFixture f({{1, "Server room"}}, 0, 3);
    f.ShowWindow();
    f.OpenPort();
    f.Communicating(1, 0);
    bool portOpen = true;
    TfrmTrunOn dialog(Host(f, &portOpen), f.Main.get());
    QCOMPARE(dialog.Panel1->text(), QStringLiteral("Turn  On/Off  UPS"));
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.btnOKClick();  // no choice made: nothing asked, nothing queued
    QVERIFY(!f.Context->CommandQueue[1].Pending);

    dialog.rbOff->setChecked(true);
    {
      TQuestionAnswerer no(QMessageBox::No);
      dialog.btnOK->click();
      QCOMPARE(no.Texts.size(), qsizetype(1));
      QVERIFY2(no.Texts[0].startsWith(QStringLiteral("Switch off UPS \"Server room\" (address 1)?")),
               qPrintable(no.Texts[0]));
      QVERIFY(no.Texts[0].contains(QStringLiteral("the equipment it feeds loses power")));
      QVERIFY(no.NoWasDefault);
    }
    QVERIFY(!f.Context->CommandQueue[1].Pending);
    QVERIFY(dialog.lblOutcome->text().isEmpty());
    QVERIFY2(dialog.isVisible(), "the question does not close the window behind it");

    const std::vector<uint8_t> off = {0x01, 0x06, 0x4E, 0x21, 0x00, 0x01, 0x0F, 0x28};
    struct {
      std::vector<uint8_t> Answer;
      const char* Shown;
    } const answers[] = {
        {off, "Switch off, UPS \"Server room\" (address 1): confirmed by the device"},
        {{0x01, 0x86, 0x04, 0x43, 0xA3}, "Switch off, UPS \"Server room\" (address 1): refused by the device (exception 4: device failure)"},
    };
    for (const auto& a : answers) {
      {
        TQuestionAnswerer yes(QMessageBox::Yes);
        dialog.btnOK->click();
        QCOMPARE(yes.Texts.size(), qsizetype(1));
      }
      QCOMPARE(f.Context->CommandQueue[1].Reg, RegRemoteOff);
      QCOMPARE(dialog.lblOutcome->text(),
               QStringLiteral("Switch off, UPS \"Server room\" (address 1): queued, waiting to be sent"));
      // The engine sends it; the device answers.
      f.Port.SentFrames.clear();
      for (int i = 0; i < 60 && (f.Port.SentFrames.empty() || f.Port.SentFrames.back() != off); ++i)
        f.Engine->Tick();
      QVERIFY(!f.Port.SentFrames.empty() && f.Port.SentFrames.back() == off);
      f.Port.InjectReceive(a.Answer);
      QCOMPARE(dialog.lblOutcome->text(), QString::fromUtf8(a.Shown));
      QCOMPARE(f.Main->statusBar()->currentMessage(), QString::fromUtf8(a.Shown));
      for (int i = 0; i < 15; ++i) f.Engine->Tick();  // the request is released
    }

    // A protocol that cannot write: said, nothing queued.
    f.Context->CommandQueue[1].Pending = CommandFree;
    f.Context->Settings.PortInfo.Protocol = 0;
    dialog.rbOn->setChecked(true);
    {
      TBoxAnswerer ok(QMessageBox::Ok);
      dialog.btnOKClick();
      QCOMPARE(ok.Texts, QStringList{QStringLiteral("The selected protocol cannot send commands to devices.")});
    }
    TFrmTest test(Host(f, &portOpen), f.Main.get());
    {
      TBoxAnswerer ok(QMessageBox::Ok);
      test.btnTestClick();
    }
    QVERIFY(!f.Context->CommandQueue.TakeFirst().has_value());
  }

  // The longest outcome line, in either language and with the longest device
  // name, wraps inside its window: never clipped, and the choices above it
  // keep their room. The title fits as well.
  void controlWindowsHoldTheirLongestOutcome_data() {
    QTest::addColumn<int>("language");
    QTest::newRow("English") << 0;
    QTest::newRow("Chinese") << 1;
  }

  void controlWindowsHoldTheirLongestOutcome() {
    QFETCH(int, language);
    const char* longName = language == 1 ? "机房一号不间断电源系统主机柜并机组成员" : "Server room north wall rack 12 UPS unit";
    TMainFixture f({{1, longName}}, language, 2);
    bool portOpen = true;
    TFrmTest test(Host(f, &portOpen), f.Main.get());
    TfrmTrunOn onOff(Host(f, &portOpen), f.Main.get());
    using S = TCommandState;
    const S states[] = {S::Pending, S::Confirmed, S::Refused, S::NotAnswered, S::ConfirmedLate, S::Superseded, S::NotSent};
    for (QDialog* dialog : {static_cast<QDialog*>(&test), static_cast<QDialog*>(&onOff)}) {
      dialog->show();
      QVERIFY(QTest::qWaitForWindowExposed(dialog));
      const QFontMetrics metrics(dialog->font());
      QVERIFY2(dialog->width() > metrics.horizontalAdvance(dialog->windowTitle()) + 100, qPrintable(dialog->windowTitle()));
      TCommandStatus* outcome = dialog->findChild<TCommandStatus*>();
      for (const S state : states) {
        const TCommandKind kind = dialog == &test ? TCommandKind::BatteryTest : TCommandKind::LoadOff;
        const uint32_t id = f.Context->Commands.Add({1, kind, 0, 65535}, 0);
        f.Context->Commands.Resolve(id, state == S::ConfirmedLate ? S::NotAnswered : state, 1, 11);
        if (state == S::ConfirmedLate) f.Context->Commands.ConfirmLate(id, 2);
        outcome->Track(id, language);
        QCoreApplication::processEvents();
        const QString shown = outcome->text();
        QVERIFY(!shown.isEmpty());
        // Wrapped, at its full height, and inside the window.
        QVERIFY2(outcome->height() >= outcome->heightForWidth(outcome->width()), qPrintable(shown));
        QVERIFY2(dialog->rect().contains(outcome->geometry()), qPrintable(shown));
        for (QWidget* above : dialog->findChildren<QWidget*>()) {
          if (above == outcome || above->parentWidget() != dialog || !above->isVisible()) continue;
          QVERIFY2(above->height() >= above->minimumSizeHint().height(), qPrintable(above->objectName()));
          QVERIFY2(!above->geometry().intersects(outcome->geometry()), qPrintable(above->objectName()));
        }
      }
    }
    QVERIFY(onOff.rbOn->height() >= onOff.rbOn->sizeHint().height());
    QVERIFY(onOff.rbOff->height() >= onOff.rbOff->sizeHint().height());
  }

  void batteryTestRefusesATimeItCannotSend() {
    TMainFixture f({{1, "ups"}}, 1, 2);
    f.Communicating(1, 0);
    bool portOpen = true;
    TFrmTest test(Host(f, &portOpen), f.Main.get());
    QCOMPARE(test.windowTitle(), QStringLiteral("电池自检"));
    for (const char* text : {"", "70000"}) {
      test.edtTime->setText(QString::fromLatin1(text));
      TBoxAnswerer boxes(QMessageBox::Ok);
      test.btnTestClick();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("[自检时间]数值无效")});
    }
    QVERIFY(!f.Context->CommandQueue[1].Pending);
    {
      TQuestionAnswerer yes(QMessageBox::Yes);
      test.btnCancelTestClick();
      QCOMPARE(yes.Texts.size(), qsizetype(1));
      QVERIFY2(yes.Texts[0].startsWith(QStringLiteral("确定要取消UPS“ups”(地址 1)的电池自检吗?")), qPrintable(yes.Texts[0]));
    }
    QCOMPARE(f.Context->CommandQueue[1].Reg, RegBatteryTest);
    QCOMPARE(int(f.Context->CommandQueue.CommandValue), 0);
    QCOMPARE(test.lblOutcome->text(), QStringLiteral("取消电池自检,UPS“ups”(地址 1):已排队,等待发送"));

    // Nothing is asked for a device that is not heard.
    f.Context->CommandQueue[1].Pending = CommandFree;
    f.Slot(1).CommState = 2;
    TBoxAnswerer boxes(QMessageBox::Ok);
    test.btnCancelTestClick();
    QCOMPARE(boxes.Texts, QStringList{QStringLiteral("该设备未联机!")});
    QVERIFY(!f.Context->CommandQueue[1].Pending);
  }
};

QTEST_MAIN(TstConfig)
#include "tst_config.moc"
