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

#include <deque>
#include <functional>

#include "MainFixture.h"
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
    f.Communicating(1, 0);
    f.Click(f.Device(1));
    TModalScript script;
    script.Steps = {script.Gate(QStringLiteral(" RXA410 ")), [](QWidget* w) {
                                  auto* test = qobject_cast<TFrmTest*>(w);
                                  if (!test) return false;
                                  TModalScript::Later(test, [test] {
                                    test->btnTest->click();
                                    test->reject();
                                  });
                                  return true;
                                }};
    f.Main->mni301Click();
    QVERIFY(script.Done());
    QCOMPARE(f.Context->SelectedModel, std::string("RXA410"));
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
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("1.80"));
    QVERIFY(!f.Context->CommandQueue[0].Pending);

    dialog.Edit1->setText(QStringLiteral("1.7"));
    dialog.btnSetToClick();
    QCOMPARE(dialog.Edit1->text(), QStringLiteral("1.70"));
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
    QCOMPARE(dialog.windowTitle(), QStringLiteral("数据设置"));
    dialog.ListBox1->setCurrentRow(19);
    QCOMPARE(dialog.ComboBox1->currentText(), QStringLiteral("变频模式"));
    dialog.ListBox1->setCurrentRow(15);
    QVERIFY(dialog.rbBuzzerEnable->isChecked() && dialog.rbBoostEnable->isChecked());
    dialog.rbBuzzerDisable->setChecked(true);
    dialog.btnSetToClick();
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
    QCOMPARE(view->windowTitle(), QStringLiteral("User Set"));

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

  void onOffQueuesTheChosenCommandOnlyForModbus() {
    TMainFixture f({{1, "ups"}}, 0, 3);
    bool portOpen = true;
    TfrmTrunOn dialog(Host(f, &portOpen), f.Main.get());
    QCOMPARE(dialog.Panel1->text(), QStringLiteral("Turn  On/Off  UPS"));
    dialog.btnOKClick();  // no choice made
    QVERIFY(!f.Context->CommandQueue[1].Pending);
    dialog.rbOff->setChecked(true);
    dialog.btnOKClick();
    QCOMPARE(f.Context->CommandQueue[1].Reg, RegRemoteOff);
    QCOMPARE(int(f.Context->CommandQueue.CommandValue), 1);
    f.Context->CommandQueue[1].Pending = CommandFree;

    f.Context->Settings.PortInfo.Protocol = 0;
    dialog.rbOn->setChecked(true);
    dialog.btnOKClick();
    TFrmTest test(Host(f, &portOpen), f.Main.get());
    test.btnTestClick();
    QVERIFY(!f.Context->CommandQueue.TakeFirst().has_value());
  }

  void batteryTestRefusesATimeItCannotSend() {
    TMainFixture f({{1, "ups"}}, 1, 2);
    bool portOpen = true;
    TFrmTest test(Host(f, &portOpen), f.Main.get());
    QCOMPARE(test.windowTitle(), QStringLiteral("电池自检"));
    for (const char* text : {"", "70000"}) {
      test.edtTime->setText(QString::fromLatin1(text));
      TBoxAnswerer boxes(QMessageBox::Ok);
      test.btnTestClick();
      QCOMPARE(boxes.Texts, QStringList{QStringLiteral("[Battery Test Time] value is invalid")});
    }
    QVERIFY(!f.Context->CommandQueue[1].Pending);
    test.btnCancelTestClick();
    QCOMPARE(f.Context->CommandQueue[1].Reg, RegBatteryTest);
    QCOMPARE(int(f.Context->CommandQueue.CommandValue), 0);
  }
};

QTEST_MAIN(TstConfig)
#include "tst_config.moc"
