// The main window over a prepared device table: tree, live display, sketch,
// language, protocol layout, graphs and the housekeeping pass.
#include <QtTest>

#include <QCategoryAxis>
#include <QChart>
#include <QGroupBox>
#include <QLineEdit>
#include <QValueAxis>
#include <QLineSeries>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QToolBar>

#include <cmath>

#include "MainFixture.h"
#include "ui/main/StatusStrip.h"
#include "ui/main/LiveValuesPanel.h"
#include "ui/main/SketchPanel.h"
#include "ui/main/SwitchPanel.h"
#include "ui/main/TrendCharts.h"
#include "ui/main/TrayIcon.h"
#include <QStatusBar>
#include <functional>
#include "core/Catalogue.h"
#include "ui/main/FrmProperty.h"
#include "ui/widgets/AngularGauge.h"
#include "ui/widgets/FlowPipe.h"
#include "ui/widgets/Lamp.h"
#include "ui/widgets/LedBar.h"
#include "ui/widgets/UpsDiagram.h"
#include "ui/widgets/ValueBox.h"
#include "ui/widgets/ValueText.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {
const std::vector<TDeviceSpec> Three = {{11, "UPS-A"}, {12, "UPS-B"}, {13, "UPS-C"}};
enum { PicStandby, PicOnline, PicBypass, PicBattery, PicEconomy, PicTest, PicFault };

// Names the widgets that are painted while it lives.
class TPaintCounter : public QObject {
 public:
  TPaintCounter() { qApp->installEventFilter(this); }
  ~TPaintCounter() override { qApp->removeEventFilter(this); }
  QStringList Painted;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      const QString name = watched->objectName();
      Painted << (name.isEmpty() ? QString::fromLatin1(watched->metaObject()->className()) : name);
    }
    return false;
  }
};

// Waits until the window has painted a change of its second status panel,
// so every update asked for before it has been painted too.
void PaintMarker(TFrmMain& main, TPaintCounter& counter) {
  QLabel* panel = main.Strip().Panel(1);
  panel->setText(panel->text() + QLatin1Char('.'));
  QTRY_VERIFY(counter.Painted.contains(QStringLiteral("StatusPanel2")));
}

// What painting the marker alone paints, once the window has settled (its
// activation and first layouts are painted late).
QStringList MarkerOnly(TFrmMain& main) {
  QStringList last;
  for (int round = 0; round < 20; ++round) {
    TPaintCounter counter;
    PaintMarker(main, counter);
    if (counter.Painted == last) break;
    last = counter.Painted;
  }
  return last;
}
}  // namespace

class TstFrmMain : public QObject {
  Q_OBJECT

 private slots:
  void startupSelectsTheFirstDeviceAndWritesNodeIndices() {
    TMainFixture f(Three);
    QCOMPARE(f.Tree()->topLevelItemCount(), 3);
    for (int k = 1; k <= 3; ++k) {
      QCOMPARE(int(f.Context->DeviceList.Nodes[k].NodeIndex), (k - 1) * 3);
      QCOMPARE(f.Device(k)->childCount(), 2);
      QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(k)), 0);
      QVERIFY(!f.Device(k)->isExpanded());
    }
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(11));
    QCOMPARE(f.Main->IdxSelNode(), 0);
    QCOMPARE(f.Main->IdxSelItem(), 1);
    QCOMPARE(f.Tree()->selectedItems().value(0), f.Device(1));
    QCOMPARE(f.Main->Pages()->currentIndex(), 0);
    QCOMPARE(f.Main->LiveTabs()->currentIndex(), 0);
    QCOMPARE(f.Main->VisiblePicture(), int(PicStandby));
  }

  void clickingTheGraphChildSelectsItsDeviceAndTheGraphPage() {
    TMainFixture f(Three);
    f.ShowWindow();
    f.Click(f.Device(2)->child(1));
    QCOMPARE(f.Main->IdxSelItem(), 2);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(12));
    QCOMPARE(f.Main->IdxSelNode(), 5);
    QCOMPARE(f.Main->Pages()->currentIndex(), 1);
    f.Click(f.Device(2));
    QCOMPARE(f.Main->IdxSelNode(), 3);
    QCOMPARE(f.Main->Pages()->currentIndex(), 0);
    f.Click(f.Device(3)->child(0));
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(13));
    QCOMPARE(f.Main->Pages()->currentIndex(), 0);
  }

  // However the highlight moves, it is the selected device: Delete removes it
  // from the list file and Property shows it.
  void deleteAndPropertyActOnTheHighlightedDevice_data() {
    QTest::addColumn<int>("button");     // 0: a key instead
    QTest::addColumn<int>("position");   // device clicked; 0: the empty area below the nodes
    QTest::addColumn<int>("child");      // -1: the device node itself
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("highlighted");
    const int left = Qt::LeftButton, right = Qt::RightButton, middle = Qt::MiddleButton;
    QTest::newRow("left click") << left << 3 << -1 << 0 << 0 << 3;
    QTest::newRow("right click") << right << 3 << -1 << 0 << 0 << 3;
    QTest::newRow("middle click") << middle << 2 << -1 << 0 << 0 << 2;
    QTest::newRow("right click on a graph child") << right << 2 << 1 << 0 << 0 << 2;
    QTest::newRow("right click on the empty area") << right << 0 << -1 << 0 << 0 << 1;
    QTest::newRow("ctrl+click on the highlighted node") << left << 1 << -1 << 0 << int(Qt::ControlModifier) << 1;
    QTest::newRow("arrow down") << 0 << 0 << -1 << int(Qt::Key_Down) << 0 << 2;
    QTest::newRow("end") << 0 << 0 << -1 << int(Qt::Key_End) << 0 << 3;
    QTest::newRow("ctrl+space on the highlighted node") << 0 << 0 << -1 << int(Qt::Key_Space)
                                                        << int(Qt::ControlModifier) << 1;
  }

  void deleteAndPropertyActOnTheHighlightedDevice() {
    QFETCH(int, button);
    QFETCH(int, position);
    QFETCH(int, child);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, highlighted);
    const std::vector<TDeviceSpec> devices = {{21, "UPS-1"}, {22, "UPS-2"}, {23, "UPS-3"}};
    TMainFixture f(devices);
    f.ShowWindow();
    f.Click(f.Device(1));
    const auto mods = Qt::KeyboardModifiers(modifiers);
    if (key != 0) {
      QTest::keyClick(f.Tree(), Qt::Key(key), mods);
    } else if (position == 0) {
      const QPoint below(5, f.Tree()->viewport()->height() - 5);
      QVERIFY(!f.Tree()->itemAt(below));
      QTest::mouseClick(f.Tree()->viewport(), Qt::MouseButton(button), mods, below);
    } else {
      f.Click(child < 0 ? f.Device(position) : f.Device(position)->child(child), Qt::MouseButton(button), mods);
    }
    QCoreApplication::processEvents();

    QTreeWidgetItem* current = f.Tree()->currentItem();
    QVERIFY(current);
    QCOMPARE(f.Tree()->selectedItems(), QList<QTreeWidgetItem*>{current});
    QCOMPARE(current->parent() ? current->parent() : current, f.Device(highlighted));
    QCOMPARE(f.Main->SelDevAddr(), devices[highlighted - 1].Address);

    QString shown;
    QTimer::singleShot(0, [&] {
      auto* dialog = f.Main->findChild<TFrmProperty*>();
      shown = dialog->edtEquipName->text();
      dialog->Form.Cancel->click();
    });
    f.Main->TreePane().PropertyButton()->click();
    QCOMPARE(shown, QString::fromUtf8(devices[highlighted - 1].Name));

    f.Main->TreePane().DeleteButton()->click();
    TDeviceList reread(f.Context->RecordDir);
    reread.LoadDeviceList();
    QStringList left;
    for (int k = 1; k <= reread.Count; ++k) left << QString::fromStdString(TrimDeviceName(reread.Nodes[k].Name));
    QStringList expected = {QStringLiteral("UPS-1"), QStringLiteral("UPS-2"), QStringLiteral("UPS-3")};
    expected.removeAt(highlighted - 1);
    QCOMPARE(left, expected);
  }

  void deletingKeepsThePositionInRange() {
    TMainFixture f(Three);
    f.ShowWindow();
    f.Click(f.Device(3));
    f.Main->TreePane().DeleteButton()->click();
    QCOMPARE(f.Tree()->topLevelItemCount(), 2);
    QCOMPARE(f.Main->IdxSelItem(), 2);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(12));
    QCOMPARE(f.Main->IdxSelNode(), 3);
    f.Main->TreePane().DeleteButton()->click();
    f.Main->TreePane().DeleteButton()->click();
    QCOMPARE(f.Tree()->topLevelItemCount(), 0);
    QCOMPARE(f.Main->IdxSelNode(), -1);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(0));
    f.Main->TreePane().DeleteButton()->click();  // nothing selected: nothing happens
    // The list file follows the tree.
    TDeviceList reread(f.Context->RecordDir);
    reread.LoadDeviceList();
    QCOMPARE(int(reread.Count), 0);
  }

  void duplicateAddressesShareStateAndGoTogether() {
    TMainFixture f({{11, "One"}, {20, "Twin"}, {20, "Twin too"}});
    f.OpenPort();
    f.Communicating(20, StateOnline);
    f.Main->RefreshView();
    QCOMPARE(f.Device(2)->text(0), QStringLiteral("Twin  (Online)"));
    QCOMPARE(f.Device(3)->text(0), QStringLiteral("Twin too  (Online)"));
    QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(2)), TDeviceTreePane::NodeIcon(f.Device(3)));
    f.ShowWindow();
    f.Click(f.Device(3));
    f.Main->TreePane().DeleteButton()->click();
    QCOMPARE(f.Tree()->topLevelItemCount(), 1);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(11));
  }

  void nodeIconAndCaptionFollowTheLink_data() {
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<int>("commState");
    QTest::addColumn<int>("alarms");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("cleared");
    QTest::newRow("online") << true << 0 << 0 << 4 << 1 << "UPS-A  (Online)" << false;
    QTest::newRow("alarm") << true << 0 << 2 << 4 << 2 << "UPS-A  (Online)" << false;
    QTest::newRow("maintenance bypass") << true << 0 << 0 << 10 << 2 << "UPS-A  (Maintain Bypass Status)" << false;
    QTest::newRow("no state yet") << true << 0 << 0 << -1 << 1 << "UPS-A" << false;
    QTest::newRow("state without text") << true << 0 << 0 << 0 << 1 << "UPS-A  ()" << false;
    QTest::newRow("error") << true << 1 << 0 << 4 << 2 << "UPS-A  (Communication Error)" << false;
    QTest::newRow("lost") << true << 2 << 0 << 4 << 0 << "UPS-A  (Communication lost)" << true;
    QTest::newRow("port closed") << false << 0 << 0 << 4 << 0 << "UPS-A  (Communication lost)" << true;
  }
  void nodeIconAndCaptionFollowTheLink() {
    QFETCH(bool, portOpen);
    QFETCH(int, commState);
    QFETCH(int, alarms);
    QFETCH(int, state);
    QFETCH(int, icon);
    QFETCH(QString, caption);
    QFETCH(bool, cleared);
    TMainFixture f(Three);
    if (portOpen) f.OpenPort();
    TUpsInfo& r = f.Slot(11);
    r.CommState = static_cast<uint8_t>(commState);
    r.AlarmCount = static_cast<uint8_t>(alarms);
    r.AlarmCodes[0] = 3;
    r.AlarmCodes[1] = 9;
    r.StateCode = state;
    r.Measure.InputVoltA = 230;
    f.Main->RefreshView();
    QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(1)), icon);
    QCOMPARE(f.Device(1)->text(0), caption);
    QCOMPARE(r.Measure.InputVoltA == 0, cleared);
    QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(1)->child(0)), 3);
  }

  void deviceAtAddressZeroKeepsItsBareName() {
    TMainFixture f({{0, "Zero"}});
    f.OpenPort();
    f.Communicating(0, StateOnline);
    f.Main->RefreshView();
    QCOMPARE(f.Device(1)->text(0), QStringLiteral("Zero"));
    QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(1)), 0);
  }

  void valueFormats_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("text");
    QTest::newRow("219.96") << 219.96 << 1 << "220.0";
    QTest::newRow("45.5") << 45.5 << 0 << "46";
    QTest::newRow("zero") << 0.0 << 1 << "0.0";
    QTest::newRow("five digits") << 12345.67 << 1 << "12346.0";
    QTest::newRow("tiny negative") << -0.04 << 1 << "0.0";
    QTest::newRow("frequency") << 49.987 << 1 << "50.0";
    QTest::newRow("nan") << std::nan("") << 1 << "NAN";
    QTest::newRow("infinity") << HUGE_VAL << 1 << "INF";
  }
  void valueFormats() {
    QFETCH(double, value);
    QFETCH(int, decimals);
    QFETCH(QString, text);
    QCOMPARE(FormatFixed(value, decimals), text);
  }

  void liveDisplayShowsTheSelectedDevice() {
    TMainFixture f(Three);
    f.OpenPort();
    f.Communicating(11, StateOnline);
    TUpsInfo& r = f.Slot(11);
    r.Measure.InputVoltA = 219.96;
    r.Measure.OutputVoltB = 230.04;
    r.Measure.LoadB = 45.5;
    r.Measure.LoadC = 120;
    r.Measure.OutputFreq = 50.02;
    r.Measure.DcInputVolt = 384.55;
    r.Measure.BattBackupTime = 30;
    r.Measure.BattCapacity = 87;
    r.InputSupply = 1;
    r.UpsSupply = 2;
    r.Params.WorkMode = 1;
    r.BypassSwitch = 1;
    r.Status.CmmState1 = 0x0A1F;
    r.Status.CmmState2 = 0x0001;
    r.Status.SysState = 0xBEEF;
    r.Status.UpsState = 3;
    r.AlarmCount = 3;
    r.AlarmCodes[0] = 9;
    r.AlarmCodes[1] = 1000;  // no text: no line
    r.AlarmCodes[2] = 0;
    f.Main->RefreshView();
    TFrmMain& m = *f.Main;
    QCOMPARE(m.LiveValues().InputText(0)->text(), QStringLiteral("220.0 V"));
    QCOMPARE(m.LiveValues().InputGauge(0)->Value(), 219.96);
    QCOMPARE(m.LiveValues().OutputText(1)->text(), QStringLiteral("230.0 V"));
    QCOMPARE(m.LiveValues().LoadText(1)->text(), QStringLiteral("46 %"));
    QCOMPARE(m.LiveValues().LoadBar(1)->TopLitColor(), QColor(0x00, 0xff, 0x00));
    QCOMPARE(m.LiveValues().LoadBar(2)->TopLitColor(), QColor(0xff, 0x20, 0x20));
    QCOMPARE(Child<TValueBox>(m, "AdvPanel1")->ValueText(), QStringLiteral("50.0"));
    QCOMPARE(Child<TValueBox>(m, "AdvPanel4")->ValueText(), QStringLiteral("384.6"));
    QCOMPARE(Child<TValueBox>(m, "AdvPanel9")->ValueText(), QStringLiteral("30"));
    QCOMPARE(Child<TValueBox>(m, "AdvPanel6")->ValueText(), QStringLiteral("87"));
    QCOMPARE(Child<QLabel>(m, "stInputPowerSupply")->text(), QStringLiteral("Mains Supply"));
    QCOMPARE(Child<QLabel>(m, "stUpsPowerSupply")->text(), QStringLiteral("ECO"));
    r.Params.WorkMode = 0;
    f.Main->RefreshView();
    QCOMPARE(Child<QLabel>(m, "stUpsPowerSupply")->text(), QStringLiteral("Bypass Supply"));
    r.UpsSupply = 7;  // unknown: the text stays
    f.Main->RefreshView();
    QCOMPARE(Child<QLabel>(m, "stUpsPowerSupply")->text(), QStringLiteral("Bypass Supply"));
    QVERIFY(m.Switches().OnLabel(1)->isEnabled() && !m.Switches().OffLabel(1)->isEnabled());
    QVERIFY(!m.Switches().OnLabel(2)->isEnabled() && m.Switches().OffLabel(2)->isEnabled());
    QCOMPARE(Child<QLabel>(m, "lblCMMState")->text(), QStringLiteral("0A1F-0001"));
    QCOMPARE(Child<QLabel>(m, "lbSysState")->text(), QStringLiteral("BEEF"));
    QCOMPARE(Child<QLabel>(m, "lblUpsState")->text(), QStringLiteral("3(4)"));
    QCOMPARE(Child<QPlainTextEdit>(m, "MemoAlarm")->toPlainText(),
             QString::fromStdString(AlarmText(9, 0) + "\n" + AlarmText(0, 0)));
    // The switch rows other than the two supply rows never show.
    for (int i = 0; i < 4; ++i) QVERIFY(m.Switches().RowLabel(i)->isHidden() && m.Switches().OnLabel(i)->isHidden());
    QVERIFY(!m.Switches().RowLabel(4)->isHidden() && !m.Switches().RowLabel(5)->isHidden());
  }

  void tenAlarmsGiveTenLinesInOrder() {
    TMainFixture f(Three);
    f.OpenPort();
    f.Communicating(11, StateFault);
    TUpsInfo& r = f.Slot(11);
    r.AlarmCount = 10;
    const int codes[10] = {15, 2, 40, 7, 0, 33, 21, 9, 11, 5};
    QStringList expected;
    for (int i = 0; i < 10; ++i) {
      r.AlarmCodes[i] = codes[i];
      expected << QString::fromStdString(AlarmText(codes[i], 0));
    }
    f.Main->RefreshView();
    QCOMPARE(Child<QPlainTextEdit>(*f.Main, "MemoAlarm")->toPlainText().split(QLatin1Char('\n')), expected);
    QCOMPARE(TDeviceTreePane::NodeIcon(f.Device(1)), 2);
  }

  void sketchPictureAndStateText_data() {
    QTest::addColumn<int>("commState");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("picture");
    QTest::addColumn<QString>("text");
    QTest::newRow("bypass") << 0 << 3 << int(PicBypass) << "Bypass Status";
    QTest::newRow("online") << 0 << 4 << int(PicOnline) << "Online";
    QTest::newRow("battery") << 0 << 5 << int(PicBattery) << "Battery Status";
    QTest::newRow("self-test") << 0 << 6 << int(PicTest) << "Battery Self-Test";
    QTest::newRow("soft start") << 0 << 7 << int(PicStandby) << "Inverter In Soft Starting";
    QTest::newRow("eco") << 0 << 8 << int(PicEconomy) << "ECO Status";
    QTest::newRow("fault") << 0 << 11 << int(PicFault) << "Fault Status";
    QTest::newRow("maintenance") << 0 << 10 << int(PicStandby) << "Maintain Bypass Status";
    QTest::newRow("error keeps the state picture") << 1 << 4 << int(PicOnline) << "Online";
  }
  void sketchPictureAndStateText() {
    QFETCH(int, commState);
    QFETCH(int, state);
    QFETCH(int, picture);
    QFETCH(QString, text);
    TMainFixture f(Three);
    f.OpenPort();
    f.Communicating(11, state);
    f.Slot(11).CommState = static_cast<uint8_t>(commState);
    f.Main->RefreshView();
    f.Main->RefreshView();
    QCOMPARE(f.Main->VisiblePicture(), picture);
    QCOMPARE(Child<QLabel>(*f.Main, "stComStatus")->text(), text);
    if (commState != 0) QVERIFY(f.Main->Sketch().Pipe()->isHidden());
  }

  void lostDeviceShowsNoPictureAndCommunicationLost() {
    TMainFixture f(Three);
    f.OpenPort();
    f.Slot(11).CommState = 2;
    f.Main->RefreshView();
    f.Main->RefreshView();
    QCOMPARE(f.Main->VisiblePicture(), -1);  // cleared record: state -1
    QCOMPARE(Child<QLabel>(*f.Main, "stComStatus")->text(), QStringLiteral("Communication lost"));
    QCOMPARE(f.Main->LiveValues().InputText(0)->text(), QStringLiteral("0.0 V"));
  }

  void batteryPipe_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("commState");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("cmmAlarm2");
    QTest::addColumn<bool>("discharging");
    QTest::addColumn<double>("current");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("flowing");
    QTest::addColumn<bool>("reverse");
    QTest::addColumn<int>("interval");
    QTest::newRow("charging 0.4 A") << 0 << 0 << 4 << 0 << false << 0.4 << true << true << false << 500;
    QTest::newRow("charging 50 A") << 2 << 0 << 4 << 0 << false << 50.0 << true << true << false << 300;
    QTest::newRow("charging 130 A") << 3 << 0 << 4 << 0 << false << 130.0 << true << true << false << 20;
    QTest::newRow("no charge current") << 0 << 0 << 4 << 0 << false << 0.0 << true << false << false << 500;
    QTest::newRow("discharging 2.5 A") << 0 << 0 << 5 << 0 << true << 2.5 << true << true << true << 456;
    QTest::newRow("discharging 25 A") << 0 << 0 << 5 << 0 << true << 25.0 << true << true << true << 60;
    QTest::newRow("battery alarm bit 13") << 0 << 0 << 4 << 0x2000 << false << 10.0 << true << false << false << -1;
    QTest::newRow("battery alarm bit 14") << 0 << 0 << 4 << 0x4000 << false << 10.0 << true << false << false << -1;
    QTest::newRow("EPO") << 0 << 0 << 9 << 0 << false << 10.0 << true << false << false << -1;
    QTest::newRow("fault") << 0 << 0 << 11 << 0 << false << 10.0 << true << false << false << -1;
    QTest::newRow("link error") << 0 << 1 << 4 << 0 << false << 10.0 << false << false << false << -1;
    QTest::newRow("power-frequency protocol") << 1 << 0 << 4 << 0 << false << 10.0 << false << false << false << -1;
  }
  void batteryPipe() {
    QFETCH(int, protocol);
    QFETCH(int, commState);
    QFETCH(int, state);
    QFETCH(int, cmmAlarm2);
    QFETCH(bool, discharging);
    QFETCH(double, current);
    QFETCH(bool, visible);
    QFETCH(bool, flowing);
    QFETCH(bool, reverse);
    QFETCH(int, interval);
    TMainFixture f(Three, 0, protocol);
    f.ShowWindow();
    f.Main->LiveTabs()->setCurrentIndex(1);
    f.OpenPort();
    f.Communicating(11, state);
    TUpsInfo& r = f.Slot(11);
    r.CommState = static_cast<uint8_t>(commState);
    r.Status.CmmAlarm2 = static_cast<uint16_t>(cmmAlarm2);
    r.Status.CmmState1 = discharging ? 0x0100 : 0;
    (discharging ? r.Measure.BattDischargeCurr : r.Measure.BattChargeCurr) = current;
    f.Main->RefreshView();
    TFlowPipe* pipe = f.Main->Sketch().Pipe();
    QCOMPARE(!pipe->isHidden(), visible);
    QCOMPARE(pipe->FlowOn(), flowing);
    QCOMPARE(pipe->Running(), flowing);
    if (visible && interval > 0) {
      QCOMPARE(pipe->Reverse(), reverse);
      QCOMPARE(pipe->Interval(), interval);
    }
  }

  void languageSwitchKeepsTheSelection() {
    TMainFixture f(Three, 1);
    f.ShowWindow();
    f.OpenPort();
    f.Communicating(12, StateOnline);
    f.Click(f.Device(2));
    f.Main->RefreshView();
    QCOMPARE(f.Main->windowTitle(), QStringLiteral("Tessaro监控"));
    QCOMPARE(f.Device(2)->text(0), QStringLiteral("UPS-B  (市电状态)"));
    QCOMPARE(Child<QAction>(*f.Main, "bsSkinSpeedButton6")->toolTip(), QStringLiteral("帮助"));

    Child<QAction>(*f.Main, "mni402")->trigger();
    QCOMPARE(int(f.Context->Settings.Language), 0);
    QCOMPARE(f.Tree()->topLevelItemCount(), 3);
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(12));
    QCOMPARE(f.Tree()->selectedItems().value(0), f.Device(2));
    QCOMPARE(f.Device(2)->child(0)->text(0), QStringLiteral("Real-time Info"));
    QCOMPARE(f.Device(2)->child(1)->text(0), QStringLiteral("Graph"));
    QCOMPARE(f.Main->windowTitle(), QStringLiteral("Tessaro Monitor"));
    QCOMPARE(Child<QMenu>(*f.Main, "mni100")->title(), QStringLiteral("System"));
    QCOMPARE(Child<QAction>(*f.Main, "bsSkinSpeedButton6")->toolTip(), QStringLiteral("About"));
    QCOMPARE(f.Main->TreePane().NewButton()->toolTip(), QStringLiteral("Append inverter of need to be Monitored "));
    QCOMPARE(f.Main->LiveTabs()->tabText(1), QStringLiteral("Sketch Map"));
    QCOMPARE(Child<TValueBox>(*f.Main, "AdvPanel1")->Caption(), QStringLiteral("Output Frequence"));
    QCOMPARE(Child<QMenu>(*f.Main, "mni400")->title(), QStringLiteral("Language"));
    f.Main->RefreshView();
    QCOMPARE(f.Device(2)->text(0), QStringLiteral("UPS-B  (Online)"));

    Child<QAction>(*f.Main, "mni401")->trigger();
    QCOMPARE(f.Device(2)->child(1)->text(0), QStringLiteral("曲线图"));
    QCOMPARE(f.Main->LiveValues().OutputCaption(2)->text(), QStringLiteral("输出C相电压"));
    QCOMPARE(f.Main->SelDevAddr(), uint8_t(12));
  }

  void protocolDecidesMenusAndLayout_data() {
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("modbusMenus");
    QTest::addColumn<bool>("capacityBox");
    QTest::addColumn<bool>("sketchTab");
    QTest::addColumn<int>("codeWidth");
    QTest::newRow("modular ASCII") << 0 << false << true << true << 222;
    QTest::newRow("power-frequency") << 1 << false << false << false << 170;
    QTest::newRow("Modbus") << 2 << true << true << true << 222;
    QTest::newRow("RXA") << 3 << true << true << true << 170;
  }
  void protocolDecidesMenusAndLayout() {
    QFETCH(int, protocol);
    QFETCH(bool, modbusMenus);
    QFETCH(bool, capacityBox);
    QFETCH(bool, sketchTab);
    QFETCH(int, codeWidth);
    TMainFixture f(Three, 0, protocol);
    f.Main->HousekeepingPass();
    f.Main->RefreshView();
    QCOMPARE(Child<QAction>(*f.Main, "mni101")->isVisible(), modbusMenus);
    QCOMPARE(Child<QMenu>(*f.Main, "mni300")->menuAction()->isVisible(), modbusMenus);
    QCOMPARE(Child<QAction>(*f.Main, "mni301")->isVisible(), modbusMenus);
    QCOMPARE(Child<QAction>(*f.Main, "mniTurnOn")->isVisible(), modbusMenus);
    QCOMPARE(!Child<TValueBox>(*f.Main, "AdvPanel6")->isHidden(), capacityBox);
    QVERIFY(!Child<TValueBox>(*f.Main, "AdvPanel9")->isHidden());
    QCOMPARE(!f.Main->LiveTabs()->tabBar()->isHidden(), sketchTab);
    QCOMPARE(Child<QGroupBox>(*f.Main, "grpCode")->width(), codeWidth);
    QCOMPARE(Child<QLabel>(*f.Main, "lbSysState")->text().isEmpty(), codeWidth == 170);
    QCOMPARE(Child<QLabel>(*f.Main, "lblProtocol")->text(), QString::number(protocol));
    if (!sketchTab) QCOMPARE(f.Main->LiveTabs()->currentIndex(), 0);
  }

  void chartsEmptyOnTheHundredAndTwentiethPoint() {
    TMainFixture f(Three);
    TUpsInfo& r = f.Slot(11);
    r.Measure.InputVoltA = 220;
    r.Measure.InputVoltB = 221;
    r.Measure.InputVoltC = 222;
    for (int i = 0; i < 119; ++i) f.Main->Charts().AddInputs(r, QString());
    for (QLineSeries* s : f.Main->Charts().InputChart().Series) {
      QCOMPARE(s->count(), 119);
      QCOMPARE(s->at(0).x(), 0.0);
      QCOMPARE(s->at(118).x(), 118.0);
    }
    QCOMPARE(f.Main->Charts().InputChart().Series[1]->at(5).y(), 221.0);
    QCOMPARE(f.Main->Charts().OutputChart().Series[0]->count(), 0);  // only the input chart was fed
    f.Main->Charts().AddInputs(r, QString());
    for (QLineSeries* s : f.Main->Charts().InputChart().Series) QCOMPARE(s->count(), 0);
    f.Main->Charts().AddInputs(r, QString());
    QCOMPARE(f.Main->Charts().InputChart().Series[2]->at(0).x(), 0.0);
    auto* axisY = f.Main->Charts().InputChart().Chart->axes(Qt::Vertical).value(0);
    QCOMPARE(static_cast<QValueAxis*>(axisY)->min(), 80.0);
    QCOMPARE(static_cast<QValueAxis*>(axisY)->max(), 300.0);
    QCOMPARE(f.Main->Charts().InputChart().AxisX->min(), 1.0);
    QCOMPARE(f.Main->Charts().InputChart().AxisX->max(), 120.0);
    // The "V" of the left axis stands upright, not turned on its side.
    for (const TPhaseChart* chart : {&f.Main->Charts().InputChart(), &f.Main->Charts().OutputChart()}) {
      QVERIFY(!chart->AxisY->isTitleVisible());
      QCOMPARE(chart->AxisYTitle->text(), QStringLiteral("V"));
      QCOMPARE(chart->AxisYTitle->rotation(), 0.0);
      QVERIFY(chart->AxisYTitle->isVisible());
    }
  }

  void gaugesAndBarsCarryTheirRangesAndSections() {
    TMainFixture f(Three);
    using TSections = QVector<TAngularGauge::TSection>;
    const QColor yellow(0xff, 0xff, 0x00), lime(0x00, 0xff, 0x00), red(0xff, 0x00, 0x00);
    const TSections input = {{0, 120, yellow}, {120, 276, lime}, {276, 300, red}};
    const TSections output = {{0, 205, yellow}, {205, 245, lime}, {245, 300, red}};
    auto same = [](const TSections& a, const TSections& b) {
      if (a.size() != b.size()) return false;
      for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].From != b[i].From || a[i].To != b[i].To || a[i].Color != b[i].Color) return false;
      }
      return true;
    };
    for (int i = 0; i < 3; ++i) {
      for (TAngularGauge* g : {f.Main->LiveValues().InputGauge(i), f.Main->LiveValues().OutputGauge(i)}) {
        QCOMPARE(g->Minimum(), 0.0);
        QCOMPARE(g->Maximum(), 300.0);
      }
      QVERIFY(same(f.Main->LiveValues().InputGauge(i)->Sections(), input));
      QVERIFY(same(f.Main->LiveValues().OutputGauge(i)->Sections(), output));
      f.Main->LiveValues().LoadBar(i)->SetValue(150);
      QCOMPARE(f.Main->LiveValues().LoadBar(i)->LitSegments(), f.Main->LiveValues().LoadBar(i)->SegmentCount());
    }
  }

  void housekeepingShowsPortAndLamps() {
    TMainFixture f(Three);
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(0)->text(), QStringLiteral("COM is closed"));
    QCOMPARE(Child<QPushButton>(*f.Main, "btnCom")->text(), QStringLiteral("Open COM"));
    QVERIFY(f.Main->Strip().Panel(2)->text().startsWith(QStringLiteral("Version ")));
    Child<QPushButton>(*f.Main, "btnCom")->click();  // opens with the settings of the file
    QVERIFY(f.Engine->PortIsOpen());
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(0)->text(), QStringLiteral("COM1 is Link"));
    QCOMPARE(Child<QPushButton>(*f.Main, "btnCom")->text(), QStringLiteral("Close COM"));
    f.Context->Display.TxLed = 3;
    for (int pass = 0; pass < 3; ++pass) {
      f.Main->HousekeepingPass();
      QVERIFY(Child<TLamp>(*f.Main, "iLedTx")->IsLit());
      QVERIFY(!Child<TLamp>(*f.Main, "iLedRx")->IsLit());
    }
    f.Main->HousekeepingPass();
    QVERIFY(!Child<TLamp>(*f.Main, "iLedTx")->IsLit());
    Child<QPushButton>(*f.Main, "btnCom")->click();
    QVERIFY(!f.Engine->PortIsOpen());
  }

  // The port's panel says why the port is closed, or which setting keeps
  // the devices from being polled, in the language of the window; in full on hover.
  void statusBarSaysWhyThePortIsClosed() {
    TMainFixture f(Three);
    QLabel* panel = f.Main->Strip().Panel(0);
    f.OpenPort();
    f.Port.InjectFailure({TPortFailureKind::HangUp, 0, "cannot find the host \"nohost\": Name or service not known"});
    QVERIFY(!f.Engine->PortIsOpen());
    f.Main->HousekeepingPass();
    QCOMPARE(panel->toolTip(), QStringLiteral("COM is closed: cannot find the host \"nohost\": Name or service not known"));
    QVERIFY2(panel->text().startsWith(QStringLiteral("COM is closed: cannot")), qPrintable(panel->text()));
    f.Main->mni401Click();
    f.Main->HousekeepingPass();
    QCOMPARE(panel->toolTip(), QStringLiteral("串口已关闭：找不到主机 \"nohost\"：Name or service not known"));

    // Open again: the reason goes; a setting with which nothing is heard shows instead.
    f.Context->Settings.PortInfo.ReadIntervalTimeout = 0;
    f.OpenPort();
    f.Engine->Tick();
    f.Main->HousekeepingPass();
    QVERIFY2(panel->toolTip().startsWith(QStringLiteral("COM1  已开启：接收间隔超时为 0")), qPrintable(panel->toolTip()));
    QVERIFY(!panel->toolTip().contains(QStringLiteral("nohost")));
    f.Main->mni402Click();
    f.Main->HousekeepingPass();
    QVERIFY2(panel->toolTip().startsWith(QStringLiteral("COM1 is Link: ReadIntervalTimeout is 0")), qPrintable(panel->toolTip()));
    // A port that cannot even be opened.
    f.Context->Settings.PortInfo.ReadIntervalTimeout = 200;
    f.Engine->CloseCommPort();
    f.Port.FailNextOpen();
    QVERIFY_THROWS_EXCEPTION(ECommsError, f.Engine->OpenCommPort());
    f.Main->HousekeepingPass();
    QVERIFY2(panel->toolTip().startsWith(QStringLiteral("COM is closed: Error opening serial port")), qPrintable(panel->toolTip()));
  }

  // During a communication error the last readings stay, greyed, with the
  // time of the device's last answer; its next answer brings them back.
  void staleValuesAreGreyedWithTheTimeOfTheLastAnswer() {
    TMainFixture f(Three);
    f.OpenPort();
    f.Clock.Set(EncodeDateTime({2026, 12, 10, 7, 8, 9, 0}));
    f.Communicating(11, StateOnline);
    f.Slot(11).Measure.InputVoltA = 219.9;
    TLiveValuesPanel& live = f.Main->LiveValues();
    QWidget* gaugeCell = live.InputGauge(0)->parentWidget();
    f.Main->RefreshView();
    QVERIFY(live.StaleNote()->isHidden());
    QVERIFY(!gaugeCell->graphicsEffect());

    f.Clock.AdvanceMs(5000);
    f.Slot(11).CommState = 1;
    f.Main->RefreshView();
    QVERIFY(!live.StaleNote()->isHidden());
    QCOMPARE(live.StaleNote()->text(), QStringLiteral("No answer: the values are those of the last answer, at 07:08:09"));
    QVERIFY(gaugeCell->graphicsEffect());
    QVERIFY(live.LoadBar(0)->parentWidget()->graphicsEffect());
    QCOMPARE(live.InputText(0)->text(), QStringLiteral("219.9 V"));  // kept, not cleared

    f.Communicating(11, StateOnline);
    f.Main->RefreshView();
    QVERIFY(live.StaleNote()->isHidden());
    QVERIFY(!gaugeCell->graphicsEffect());
  }

  // The tray follows the worst device; getting worse raises the window's
  // urgency hint unless muted; its menu shows the window and exits through
  // the exit question. Offscreen there is no tray: said once, and the rest
  // works all the same.
  void trayFollowsTheWorstDeviceAndItsMenuActs() {
    TMainFixture f(Three);
    f.OpenPort();
    for (int a : {11, 12, 13}) f.Communicating(a, StateOnline);
    TTrayIcon& tray = f.Main->Tray();
    f.Main->RefreshView();
    QCOMPARE(tray.State(), TTrayState::AllFine);
    QCOMPARE(tray.Alerts(), 0);
    if (!tray.HasTray()) {
      QLabel* middle = f.Main->Strip().Panel(1);
      QCOMPARE(middle->text(), QStringLiteral("No system tray: no tray icon shown"));
      middle->clear();
      f.Main->RefreshView();
      QVERIFY(middle->text().isEmpty());  // once
    }
    struct {
      std::function<void()> Change;
      TTrayState State;
      int Alerts;
    } const steps[] = {
        {[&] { f.Slot(12).StateCode = StateBattery; }, TTrayState::OnBattery, 1},
        {[&] { tray.MuteAction()->trigger(); }, TTrayState::OnBattery, 1},
        {[&] { f.Slot(13).AlarmCount = 1; }, TTrayState::Alarm, 1},  // muted
        {[&] { tray.MuteAction()->trigger(); }, TTrayState::Alarm, 1},
        {[&] { f.Slot(11).CommState = 1; }, TTrayState::NotAnswering, 2},
        {[&] { f.Communicating(11, StateOnline); }, TTrayState::Alarm, 2},  // better: no hint
    };
    for (const auto& step : steps) {
      step.Change();
      f.Main->RefreshView();
      QCOMPARE(tray.State(), step.State);
      QCOMPARE(tray.Alerts(), step.Alerts);
    }
    QCOMPARE(TTrayIcon::StateColour(TTrayState::Alarm), QColor(0xd0, 0x20, 0x20));

    QCOMPARE(tray.ShowAction()->text(), QStringLiteral("Show window"));
    f.Main->mni401Click();
    f.Main->RefreshView();
    QCOMPARE(tray.ExitAction()->text(), QStringLiteral("退出"));
    f.Main->hide();
    tray.ShowAction()->trigger();
    QVERIFY(f.Main->isVisible());
    {
      TBoxAnswerer no(QMessageBox::No);
      tray.ExitAction()->trigger();
      QCOMPARE(no.Texts, QStringList{QStringLiteral("您确定要退出系统吗?")});
    }
    QVERIFY(f.Main->isVisible());
  }

  void statusBarTellsOfALogThatCannotBeWritten() {
    if (!std::filesystem::exists("/dev/full")) QSKIP("no /dev/full");
    TMainFixture f(Three);
    const std::string active = f.Context->EventLogger->FullPath;
    std::filesystem::remove(active);
    std::filesystem::create_symlink("/dev/full", active);  // a device: refused, as a full disk fails
    f.Context->EventLogger->LogProgramEvent(0);
    f.Main->HousekeepingPass();
    QVERIFY(f.Main->Strip().Panel(1)->text().startsWith(QStringLiteral("event log: cannot write")));
    QVERIFY(f.Main->Strip().Panel(1)->toolTip().contains(QStringLiteral("not a plain file")));
    std::filesystem::remove(active);
    f.Clock.AdvanceMs(TStoreHealth::DefaultGapMs);
    f.Context->EventLogger->LogProgramEvent(0);
    f.Main->HousekeepingPass();
    QCOMPARE(f.Main->Strip().Panel(1)->text(),
             QString::fromStdString("event log: writing again to " + active + "; 1 record was lost"));
  }

  void everySixthPassRefreshesTheView() {
    TMainFixture f(Three);
    f.OpenPort();
    f.Communicating(11, StateOnline);
    for (int pass = 0; pass < 5; ++pass) f.Main->HousekeepingPass();
    QCOMPARE(f.Device(1)->text(0), QStringLiteral("UPS-A"));
    f.Clock.Set(EncodeDateTime({2026, 12, 10, 7, 8, 9, 0}));
    f.Main->HousekeepingPass();
    QCOMPARE(f.Device(1)->text(0), QStringLiteral("UPS-A  (Online)"));
    QCOMPARE(f.Main->Strip().Panel(3)->text(), QStringLiteral("07:08:09"));  // the program's clock
    // And every tick of the timer, at the pace of every 11th tick of 10 ms, is a housekeeping pass.
    QCOMPARE(f.Main->Timer1.interval(), 110);
    f.Context->Display.TxLed = 1;
    f.Main->Timer1Timer();
    QCOMPARE(int(f.Context->Display.TxLed), 0);
  }

  void refreshesThatChangeNothingPaintNothing() {
    TMainFixture f(Three);
    f.ShowWindow();
    f.OpenPort();
    for (int address : {11, 12, 13}) f.Communicating(address, StateOnline);
    f.Slot(12).AlarmCount = 1;  // another icon
    f.Slot(11).Measure.InputVoltA = 220.4;
    f.Main->Strip().Panel(1)->setObjectName(QStringLiteral("StatusPanel2"));
    QVERIFY(QTest::qWaitForWindowActive(f.Main.get()));
    f.Tree()->setFocus();
    for (int pass = 0; pass < 6; ++pass) f.Main->HousekeepingPass();
    const QStringList markerOnly = MarkerOnly(*f.Main);
    {
      TPaintCounter counter;
      for (int pass = 0; pass < 12; ++pass) f.Main->HousekeepingPass();  // two refreshes
      PaintMarker(*f.Main, counter);
      QStringList extra = counter.Painted;
      for (const QString& name : markerOnly) extra.removeOne(name);
      QVERIFY2(extra.isEmpty(), qPrintable(extra.join(QLatin1Char(' '))));
    }
    // A changed value repaints its own widgets, not the tree or the tool bar.
    f.Slot(11).Measure.InputVoltA = 230.1;
    TPaintCounter counter;
    f.Main->RefreshView();
    PaintMarker(*f.Main, counter);
    QVERIFY(counter.Painted.contains(QStringLiteral("tessaro::TAngularGauge")));
    QVERIFY(!counter.Painted.contains(QStringLiteral("TreeView1")));
    QVERIFY(!counter.Painted.contains(QStringLiteral("ToolBar1")));
  }

  void animationsRunOnlyOnTheScreen() {
    TMainFixture f(Three, 0, 2);
    f.ShowWindow();
    f.OpenPort();
    f.Communicating(11, StateOnline);
    f.Slot(11).Measure.BattChargeCurr = 10;
    f.Main->LiveTabs()->setCurrentIndex(1);
    f.Main->RefreshView();
    TUpsDiagram* online = f.Main->Sketch().Diagram(PicOnline);
    TFlowPipe* pipe = f.Main->Sketch().Pipe();
    auto running = [&] { return online->Animating() || pipe->Running(); };
    QVERIFY(online->Animating() && pipe->Running());
    f.Main->showMinimized();
    QVERIFY(!running());
    f.Main->RefreshView();  // the refresh goes on and starts nothing
    QVERIFY(!running());
    f.Main->showNormal();
    QVERIFY(online->Animating() && pipe->Running());
    f.Main->LiveTabs()->setCurrentIndex(0);  // the Data tab
    QVERIFY(!running());
    f.Main->LiveTabs()->setCurrentIndex(1);
    f.Main->Pages()->setCurrentIndex(1);  // the graphs
    QVERIFY(!running());
  }

  void debugOverlayFollowsDebugShow() {
    TMainFixture f(Three);
    f.ShowWindow();
    f.Main->HousekeepingPass();
    QVERIFY(Child<QLineEdit>(*f.Main, "edtTreeData")->isHidden() && Child<QLabel>(*f.Main, "lblDebug")->isHidden() && Child<QLabel>(*f.Main, "lblUpsState")->isHidden());
    f.Context->Display.DebugShow = true;
    f.Main->HousekeepingPass();
    QVERIFY(!Child<QLineEdit>(*f.Main, "edtTreeData")->isHidden());
    QTRY_VERIFY(!Child<QLabel>(*f.Main, "lblDebug")->isHidden());  // the tool bar shows it when it lays out
    f.Main->RefreshView();
    QVERIFY(Child<QLineEdit>(*f.Main, "edtTreeData")->text().startsWith(QStringLiteral("Items:1 Name:UPS-A")));
    QVERIFY(Child<QLineEdit>(*f.Main, "edtTreeData")->text().endsWith(QStringLiteral(" Addr:11 Node:0")));
    QCOMPARE(Child<QLineEdit>(*f.Main, "edtArrEq")->text(), QStringLiteral("Select:11 Addr:11 SelNode:0"));
    QCOMPARE(Child<QLineEdit>(*f.Main, "edtNode")->text(), QStringLiteral("FidxSelNode=0FSelDevAddr=11"));
    TUpsInfo& sel = f.Slot(11);
    sel.SuccessRate = 75;
    sel.FailStreak = 2;
    sel.ReceiveCount = 9;
    sel.SuccessCount = 6;
    sel.TotalCount = 8;
    f.Main->HousekeepingPass();
    const QString cur = QString::number(f.Engine->ActiveAddress());
    const QString total = QString::number(f.Slot(f.Engine->ActiveAddress()).TotalCount);
    QCOMPARE(Child<QLabel>(*f.Main, "lblDebug")->text(),
             QStringLiteral("Cur[") + cur + QStringLiteral("]:") + total + QStringLiteral("  Dev[11]:75%;R:2; 9:6/8"));
  }
};

QTEST_MAIN(TstFrmMain)
#include "tst_frmmain.moc"
