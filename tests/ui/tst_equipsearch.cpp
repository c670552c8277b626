// The device search window over a real main window and poll engine: its
// rules and messages with an in-memory port, and whole searches against the
// simulator on pseudo-terminals for every protocol.
#include <QtTest>

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include "MainFixture.h"
#include "e2e/ChildProcess.h"
#include "serial/Comm.h"
#include "ui/main/DeviceName.h"
#include "ui/main/EngineHost.h"
#include "ui/main/FrmEquipSearch.h"

using namespace tessaro;
using namespace tessaro::test;
using namespace std::chrono_literals;

namespace {

QStringList Items(const QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

// Data rows of the append grid as "address=name".
QStringList Rows(const TFrmEquipSearch& w) {
  QStringList out;
  for (int r = 0; r < w.DataRows(); ++r) out << w.grdAppend->item(r, 0)->text() + "=" + w.grdAppend->item(r, 1)->text();
  return out;
}

void Found(TFrmEquipSearch& w, std::initializer_list<int> addresses) {
  for (int a : addresses) w.DeviceFound(static_cast<uint8_t>(a));
}

}  // namespace

class TstEquipSearch : public QObject {
  Q_OBJECT

 private slots:
  void rangeStartsAtOneToSixteenAndStartNeverPassesEnd() {
    TMainFixture f({{9, "a"}, {2, "b"}});
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    QCOMPARE(w.seAddrS->value(), 1);
    QCOMPARE(w.seAddrE->value(), 16);
    QCOMPARE(w.seAddrE->maximum(), 252);
    QCOMPARE(Items(w.lstExist), QStringList({"2", "9"}));
    w.seAddrS->setValue(20);
    QCOMPARE(w.seAddrS->value(), 16);
    w.seAddrS->setValue(10);
    w.seAddrE->setValue(4);
    QCOMPARE(w.seAddrE->value(), 10);
    QCOMPARE(w.windowTitle(), QStringLiteral("Search Equipment"));
  }

  // 5..5 through the real engine: one probe to 5, then the search ends.
  void searchProbesEachAddressOnceThenCompletes() {
    TMainFixture f({}, 0, 2);
    f.OpenPort();
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    w.show();
    w.seAddrE->setValue(6);
    w.seAddrS->setValue(5);
    w.seAddrE->setValue(5);
    w.btnSearch->click();
    QCOMPARE(w.btnSearch->text(), QStringLiteral("Stop"));
    QVERIFY(w.PrgBarSearch->isVisible());
    QVERIFY(!w.txtFinished->isVisible());
    for (int i = 0; i < 40 && f.Context->Vars.SearchMode; ++i) f.Engine->Tick();
    QCOMPARE(int(f.Context->Vars.SearchMode), 0);
    QCOMPARE(f.Port.SentFrames.size(), size_t(1));
    QCOMPARE(int(f.Port.SentFrames[0][0]), 5);
    QCOMPARE(w.txtFinished->text(), QStringLiteral("Search Completed !"));
    QVERIFY(w.txtFinished->isVisible());
    QVERIFY(!w.PrgBarSearch->isVisible());
    QCOMPARE(w.btnSearch->text(), QStringLiteral("Search"));
    // Polling resumes; nothing beyond the range is probed.
    for (int i = 0; i < 40; ++i) f.Engine->Tick();
    QVERIFY(f.Port.SentFrames.size() > 1);
    for (const auto& frame : f.Port.SentFrames) QVERIFY(frame[0] != 6);
  }

  void stopKeepsTheFoundListAndANewSearchEmptiesIt() {
    TMainFixture f({}, 1);
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    w.btnSearchClick();
    QCOMPARE(w.btnSearch->text(), QStringLiteral("停止"));
    Found(w, {12, 3, 7, 3});
    QCOMPARE(Items(w.lstSearched), QStringList({"3", "7", "12"}));
    w.btnSearchClick();
    QCOMPARE(int(f.Context->Vars.SearchMode), 0);
    QCOMPARE(w.btnSearch->text(), QStringLiteral("搜索"));
    QCOMPARE(w.lstSearched->count(), 3);
    QCOMPARE(w.txtFinished->text(), QStringLiteral("    "));
    w.btnSearchClick();
    QCOMPARE(w.lstSearched->count(), 0);
  }

  void closeIsRefusedWhileSearching_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("message");
    QTest::newRow("English") << 0 << "Please stop search before close this forms !";
    QTest::newRow("Chinese") << 1 << "请先停止搜索再关闭窗口!";
  }
  void closeIsRefusedWhileSearching() {
    QFETCH(int, language);
    QFETCH(QString, message);
    TMainFixture f({}, language);
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    w.show();
    w.btnSearchClick();
    TBoxAnswerer ok(QMessageBox::Ok);
    QVERIFY(!w.close());
    QTest::keyClick(&w, Qt::Key_Escape);
    QCOMPARE(ok.Texts, QStringList({message, message}));
    QVERIFY(w.isVisible());
    w.btnSearchClick();
    QVERIFY(w.close());
  }

  void closingTheWindowEndsASearchAndReleasesTheEngine() {
    TMainFixture f({});
    {
      TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
      w.btnSearchClick();
    }
    QCOMPARE(int(f.Context->Vars.SearchMode), 0);
    QVERIFY(!f.Engine->NextSearchAddress);
    QVERIFY(!f.Engine->DeviceFound);
  }

  void selectAllSkipsConfiguredAddresses() {
    TMainFixture f({{7, "seven"}});
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    w.btnSelectAllClick();  // nothing found: the grid stays
    QCOMPARE(w.DataRows(), 0);
    Found(w, {12, 3, 7});
    w.btnSelectAllClick();
    QCOMPARE(Rows(w), QStringList({"3=3", "12=12"}));
    QVERIFY(!(w.grdAppend->item(0, 0)->flags() & Qt::ItemIsEditable));
    QVERIFY(w.grdAppend->item(0, 1)->flags() & Qt::ItemIsEditable);
    w.btnSelectAllClick();  // refilled, not doubled
    QCOMPARE(w.DataRows(), 2);
    w.btnClearClick();
    QCOMPARE(w.DataRows(), 0);
  }

  void selectOneRefusesConfiguredAndRepeatedAddresses_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("message");
    QTest::newRow("configured") << 0 << 1 << "This address is already exists !";
    QTest::newRow("configured, Chinese") << 1 << 1 << "系统已有该地址!";
    QTest::newRow("twice") << 0 << 0 << "You had appended this address to the list,not to append again";
    QTest::newRow("twice, Chinese") << 1 << 0 << "该地址你已添加到列表,无需再添加!";
  }
  void selectOneRefusesConfiguredAndRepeatedAddresses() {
    QFETCH(int, language);
    QFETCH(int, row);
    QFETCH(QString, message);
    TMainFixture f({{7, "seven"}}, language);
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    Found(w, {3, 7});
    w.lstSearched->setCurrentRow(0);
    w.btnSelect1Click();  // 3 goes in
    QCOMPARE(Rows(w), QStringList({"3=3"}));
    w.lstSearched->setCurrentRow(row);
    TBoxAnswerer ok(QMessageBox::Ok);
    w.btnSelect1Click();
    QCOMPARE(ok.Texts, QStringList({message}));
    QCOMPARE(Rows(w), QStringList({"3=3"}));
  }

  void appendAddsTheRowsRebuildsTheTreeAndSavesTheList() {
    TMainFixture f({{9, "nine"}});
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    Found(w, {12, 3});
    w.btnSelectAllClick();
    const QString longName = QStringLiteral("电").repeated(20);  // 40 bytes, the most a name holds
    w.grdAppend->item(1, 1)->setText(longName);
    w.btnAddClick();
    const TDeviceList& list = f.Context->DeviceList;
    QCOMPARE(int(list.Count), 3);
    QCOMPARE(int(list.Nodes[2].Address), 3);
    QCOMPARE(ShownDeviceName(list.Nodes[2].Name), QStringLiteral("3"));
    QCOMPARE(int(list.Nodes[2].Name[1]), 13);
    QCOMPARE(ShownDeviceName(list.Nodes[3].Name), QStringLiteral("电").repeated(20));
    QCOMPARE(Items(w.lstExist), QStringList({"3", "9", "12"}));
    QCOMPARE(w.DataRows(), 0);
    QCOMPARE(f.Tree()->topLevelItemCount(), 3);
    // The file holds the three entries.
    TDeviceList reloaded(f.Context->RecordDir);
    reloaded.LoadDeviceList();
    QCOMPARE(int(reloaded.Count), 3);
    QCOMPARE(int(reloaded.Nodes[3].Address), 12);
  }

  void appendRefusesAndAddsNothing_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("configured");  // devices already in the list
    QTest::addColumn<QString>("name");    // typed into the second row; null: the default
    QTest::addColumn<int>("found");       // addresses found, from 250 down
    QTest::addColumn<QString>("message");
    const QString missing = "Please set Equipment name for every Equipment in the list before append !";
    const QString fortyOne = QString(41, QLatin1Char('x'));
    QTest::newRow("nothing") << 0 << 1 << QString() << 0 << "There are no equipment that can be appended";
    QTest::newRow("nothing, Chinese") << 1 << 1 << QString() << 0 << "列表中没有可以添加的设备!";
    QTest::newRow("empty name") << 0 << 1 << "" << 2 << missing;
    QTest::newRow("empty name, Chinese") << 1 << 1 << "" << 2 << "请填写设备名后再添加";
    QTest::newRow("blanks") << 0 << 1 << "   " << 2 << missing;
    QTest::newRow("ideographic blanks, Chinese") << 1 << 1 << "\u3000\u3000" << 2 << "请填写设备名后再添加";
    QTest::newRow("41 bytes") << 0 << 1 << fortyOne << 2 << "Equipment name is too long !\n" + fortyOne;
    QTest::newRow("21 Chinese characters") << 1 << 1 << QString(21, QChar(0x7535)) << 2
                                           << "设备名过长\n" + QString(21, QChar(0x7535));
    QTest::newRow("a carriage return") << 0 << 1 << "a\rb" << 2
                                       << "Equipment name has a character that cannot be stored !\na\rb";
    QTest::newRow("more than the list holds")
        << 0 << 250 << QString() << 3 << "The equipment list holds at most 252 equipments; remove rows from the list before append";
  }
  void appendRefusesAndAddsNothing() {
    QFETCH(int, language);
    QFETCH(int, configured);
    QFETCH(QString, name);
    QFETCH(int, found);
    QFETCH(QString, message);
    std::vector<TDeviceSpec> devices;
    // A list file may hold an address twice: free addresses can outnumber free places.
    for (int a = 1; a <= configured; ++a) devices.push_back({1, "x"});
    TMainFixture f(devices, language);
    TFrmEquipSearch w(*f.Context, *f.Engine, f.Main.get());
    for (int i = 0; i < found; ++i) w.DeviceFound(static_cast<uint8_t>(252 - i));
    w.btnSelectAllClick();
    if (!name.isNull()) w.grdAppend->item(1, 1)->setText(name);
    TBoxAnswerer ok(QMessageBox::Ok);
    w.btnAddClick();
    QCOMPARE(ok.Texts, QStringList({message}));
    QCOMPARE(int(f.Context->DeviceList.Count), configured);
    QCOMPARE(w.DataRows(), found);
    if (!name.isNull()) QCOMPARE(w.grdAppend->currentRow(), 1);  // the refused name is pointed at
  }

  // The window over the real engine and a real port: each protocol's probes
  // against the simulator find exactly the simulated devices. The three
  // searches run side by side.
  void searchFindsTheSimulatedDevicesForEveryProtocol() {
    struct TRun {
      const char* SimName;
      int Protocol;
      std::unique_ptr<testing::TChildProcess> Sim;
      std::unique_ptr<TMainFixture> Fixture;
      TComm Port;
      std::unique_ptr<TPollEngine> Engine;
      std::unique_ptr<TEngineHost> Host;
      std::unique_ptr<TFrmEquipSearch> Window;
    };
    std::array<TRun, 3> runs{{{"modbus", 2}, {"ydt", 0}, {"quorvan", 1}}};
    QTemporaryDir links;
    for (TRun& r : runs) {
      const std::string link = links.path().toStdString() + "/tty-" + r.SimName;
      r.Sim = std::make_unique<testing::TChildProcess>(std::vector<std::string>{
          std::string(TESSARO_BUILD_DIR) + "/tessaro-sim", "--link", link, "--protocol", r.SimName, "--devices",
          "12,3,7,17", "--seed", "5"});
      QVERIFY2(r.Sim->WaitForOutput("ready", 10s), r.Sim->Err().c_str());
      r.Fixture = std::make_unique<TMainFixture>(std::vector<TDeviceSpec>{{7, "seven"}}, 0, r.Protocol);
      r.Fixture->Context->Settings.PortInfo.ComName = link;
      r.Fixture->Context->Settings.PortInfo.ReadIntervalTimeout = 50;
      ConfigureProgramPort(r.Port);
      r.Engine = std::make_unique<TPollEngine>(*r.Fixture->Context, r.Port);
      r.Host = std::make_unique<TEngineHost>(*r.Engine, r.Port);
      r.Host->Start(nullptr);
      QVERIFY(r.Engine->PortIsOpen());
      r.Window = std::make_unique<TFrmEquipSearch>(*r.Fixture->Context, *r.Engine);
      r.Window->show();
      r.Window->btnSearch->click();
    }
    for (TRun& r : runs)
      QTRY_VERIFY_WITH_TIMEOUT(r.Fixture->Context->Vars.SearchMode == 0, 60000);
    for (TRun& r : runs) {
      QCOMPARE(Items(r.Window->lstSearched), QStringList({"3", "7", "12"}));
      QCOMPARE(r.Window->txtFinished->text(), QStringLiteral("Search Completed !"));
      // The configured 7 is found but skipped by ">>"; the rest are appended.
      r.Window->btnSelectAll->click();
      r.Window->btnAdd->click();
      QCOMPARE(Items(r.Window->lstExist), QStringList({"3", "7", "12"}));
      r.Window.reset();
      r.Host.reset();
    }
  }
};

QTEST_MAIN(TstEquipSearch)
#include "tst_equipsearch.moc"
