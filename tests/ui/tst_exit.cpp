// The program always ends when asked to: System -> Exit -> Yes, or a stop
// request (SIGTERM, SIGINT), with any of its windows open beside the main
// window, modal or not. The loop is the application's own, as in the program.
#include <QtTest>

#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <functional>

#include "MainFixture.h"
#include "config/Commands.h"
#include "core/UserParaIni.h"
#include "logs/EventLog.h"
#include "ui/config/FrmPSW.h"
#include "ui/config/FrmUserSet.h"
#include "ui/main/Desktop.h"
#include "ui/main/EngineHost.h"
#include "ui/main/FrmEquipSearch.h"
#include "ui/widgets/MsgBox.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {

using TOpener = std::function<void(TFrmMain&)>;

// Calls `act` once a visible top-level window named `name` (or of that
// class) is up.
void WhenShown(const QString& name, std::function<void()> act) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, name, act] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      const bool named = w->objectName() == name || QLatin1String(w->metaObject()->className()) == name;
      if (named && w->isVisible()) {
        timer->deleteLater();
        timer->stop();
        act();
        return;
      }
    }
  });
  timer->start();
}

// Passes every model gate that comes up with an accepted model.
class TGatePasser : public QObject {
 public:
  TGatePasser() {
    FTimer.setInterval(5);
    connect(&FTimer, &QTimer::timeout, this, [] {
      if (auto* gate = qobject_cast<TfrmPSW*>(QApplication::activeModalWidget())) {
        gate->edtPSW->setText(QStringLiteral("RXA410"));
        QTimer::singleShot(0, gate, [gate] { gate->btnOK->click(); });
      }
    });
    FTimer.start();
  }

 private:
  QTimer FTimer;
};

int CountCode(const std::vector<EventRecord>& records, int code) {
  int n = 0;
  for (const EventRecord& r : records) n += (r.Kind == 0 && r.Code == code) ? 1 : 0;
  return n;
}

}  // namespace

Q_DECLARE_METATYPE(TOpener)

class TstExit : public QObject {
  Q_OBJECT

 private slots:
  void exitEndsTheProgramWithAnyWindowOpen_data() {
    QTest::addColumn<TOpener>("open");
    QTest::addColumn<QString>("shown");  // the window that must be up before the exit
    QTest::addColumn<bool>("stopSignal");
    struct TRow {
      const char* Name;
      TOpener Open;
      const char* Shown;
      bool StopOnly = false;
    };
    const TRow rows[] = {
        {"user settings view", [](TFrmMain& m) { m.mni101Click(); }, "FrmUserSet"},
        {"user settings view and event log viewer",
         [](TFrmMain& m) {
           m.mni101Click();
           m.mni201Click();
         },
         "FrmEventLog"},
        {"parameter dialog over the user settings view",
         [](TFrmMain& m) {
           m.mni101Click();
           m.UserSetWindow()->btnSetClick();
         },
         "FrmDataSet"},
        {"trace window", [](TFrmMain& m) { m.ShowTraceWindow(); }, "FrmCom"},
        {"event log viewer", [](TFrmMain& m) { m.mni201Click(); }, "FrmEventLog"},
        {"data log viewer", [](TFrmMain& m) { m.mni202Click(); }, "FrmDataLog"},
        {"log setting", [](TFrmMain& m) { m.mni203Click(); }, "FrmDataLogSet"},
        {"model gate", [](TFrmMain& m) { m.mni301Click(); }, "frmPSW"},
        {"battery test", [](TFrmMain& m) { m.mni301Click(); }, "FrmTest"},
        {"remote on/off", [](TFrmMain& m) { m.mniTurnOnClick(); }, "frmTrunOn"},
        {"software parameter dialog", [](TFrmMain& m) { m.mni102Click(); }, "FrmSoftwarePara"},
        {"device search", [](TFrmMain& m) { m.btnSearchClick(); }, "FrmEquipSearch"},
        {"device search while searching",
         [](TFrmMain& m) {
           WhenShown(QStringLiteral("FrmEquipSearch"), [] {
             for (QWidget* w : QApplication::topLevelWidgets())
               if (auto* s = qobject_cast<TFrmEquipSearch*>(w)) s->btnSearch->click();
           });
           m.btnSearchClick();
         },
         "FrmEquipSearch"},
        {"add device", [](TFrmMain& m) { m.btnNewClick(); }, "FrmNewEquip"},
        {"device property", [](TFrmMain& m) { m.btnPropertyClick(); }, "FrmProperty"},
        {"about box", [](TFrmMain& m) { m.mni501Click(); }, "FrmAbout"},
        {"exit question", [](TFrmMain& m) { Child<QAction>(m, "mni103")->trigger(); }, "QMessageBox", true},
        {"exit question over the user settings view",
         [](TFrmMain& m) {
           m.mni101Click();
           Child<QAction>(m, "mni103")->trigger();
         },
         "QMessageBox", true},
    };
    for (const TRow& row : rows) {
      for (const bool stop : {false, true}) {
        if (row.StopOnly && !stop) continue;
        const QByteArray tag = QByteArray(row.Name) + (stop ? " / stop request" : " / exit yes");
        QTest::newRow(tag.constData()) << row.Open << QString::fromLatin1(row.Shown) << stop;
      }
    }
  }

  void exitEndsTheProgramWithAnyWindowOpen() {
    QFETCH(TOpener, open);
    QFETCH(QString, shown);
    QFETCH(bool, stopSignal);
    TMainFixture f({{1, "ups"}}, 0, 2);
    auto host = std::make_unique<TEngineHost>(*f.Engine, f.Port);
    host->Start(f.Main.get());
    f.Main->Timer1.start();
    f.ShowWindow();
    f.Communicating(1, 4);
    f.Click(f.Device(1));
    EndLoopWhenClosed(*f.Main);

    std::unique_ptr<TGatePasser> gates;
    if (shown != QStringLiteral("frmPSW")) gates = std::make_unique<TGatePasser>();
    bool asked = false;
    WhenShown(shown, [&] {
      if (stopSignal) {
        RequestStop(*f.Main);
        return;
      }
      asked = true;
      TBoxAnswerer yes(QMessageBox::Yes);
      Child<QAction>(*f.Main, "mni103")->trigger();
    });
    QTimer::singleShot(0, f.Main.get(), [&] { open(*f.Main); });
    bool timedOut = false;
    QTimer::singleShot(10000, qApp, [&] {
      timedOut = true;
      QCoreApplication::exit(1);
    });
    const int rc = QApplication::exec();
    QVERIFY2(!timedOut, "the message loop did not end");
    QCOMPARE(rc, 0);
    QCOMPARE(asked, !stopSignal);
    QVERIFY(!f.Engine->PortIsOpen());

    host.reset();  // as the program does once its loop has ended
    const auto records = ReadEventLogFile(f.Context->EventLogger->FullPath);
    QCOMPARE(CountCode(records, EventProgramClosed), 1);
    QCOMPARE(records.back().Code, int(EventProgramClosed));
    qApp->setProperty("tessaroStopping", false);
  }

  // The window's size and the selected tab come back at the next start.
  void theWindowsLayoutIsRememberedFromOneRunToTheNext() {
    TMainFixture f({{1, "ups"}}, 0, 2);
    f.ShowWindow();
    const QSize wanted = f.Main->minimumSizeHint().expandedTo(QSize(900, 650)) + QSize(37, 21);
    f.Main->resize(wanted);
    QTRY_COMPARE(f.Main->size(), wanted);
    f.Main->LiveTabs()->setCurrentIndex(1);
    f.Main->ExitWithoutQuestion();
    f.Main.reset();
    f.Main = std::make_unique<TFrmMain>(*f.Context, *f.Engine);
    f.Main->Timer1.stop();
    f.ShowWindow();
    QCOMPARE(f.Main->size(), wanted);
    QCOMPARE(f.Main->LiveTabs()->currentIndex(), 1);
  }

  // `tessaro config set` while the desktop runs, then System -> Exit: what
  // either side changed is in the file; for a key both changed, the desktop's
  // value (the operator's last word).
  void exitKeepsSettingsChangedOnDiskMeanwhile_data() {
    QTest::addColumn<QStringList>("commandLine");
    QTest::addColumn<int>("desktopLanguage");  // -1: not changed at the desktop
    QTest::addColumn<int>("desktopRecInterval");
    QTest::addColumn<int>("language");
    QTest::addColumn<int>("recInterval");
    QTest::addColumn<bool>("fastPoll");
    QTest::newRow("command line only") << QStringList{"RecInterval=300", "FastPoll=1"} << -1 << -1 << 0 << 300 << true;
    QTest::newRow("desktop only") << QStringList{} << 1 << -1 << 1 << 600 << false;
    QTest::newRow("both, other keys") << QStringList{"RecInterval=300", "FastPoll=1"} << 1 << -1 << 1 << 300 << true;
    QTest::newRow("the same key both") << QStringList{"RecInterval=300"} << -1 << 1200 << 0 << 1200 << false;
  }

  void exitKeepsSettingsChangedOnDiskMeanwhile() {
    QFETCH(QStringList, commandLine);
    QFETCH(int, desktopLanguage);
    QFETCH(int, desktopRecInterval);
    TMainFixture f({{1, "ups"}}, 0, 2);
    const std::string dir = f.Dir.path().toStdString() + "/";
    if (!commandLine.isEmpty()) {
      std::vector<std::string> args = {"--data-dir", dir, "config", "set"};
      for (const QString& a : commandLine) args.push_back(a.toStdString());
      std::string out, err;
      QCOMPARE(config::RunCommand(args, dir, out, err), 0);
    }
    if (desktopLanguage == 1) f.Main->mni401Click();
    if (desktopRecInterval >= 0) f.Context->Settings.RecInterval = desktopRecInterval;  // as the log setting does
    f.Main->ExitWithoutQuestion();

    TSettings saved;
    (void)LoadSettings(saved, dir + "UserParaIni.ini");
    QTEST(int(saved.Language), "language");
    QTEST(int(saved.RecInterval), "recInterval");
    QTEST(saved.PortInfo.FastPoll, "fastPoll");
    QCOMPARE(saved.PortInfo.Protocol, uint8_t{2});  // changed by neither
    // A second save (the parameter dialog, then Exit) keeps them too.
    QVERIFY(!f.Context->SaveSettings());
    TSettings again;
    (void)LoadSettings(again, dir + "UserParaIni.ini");
    QCOMPARE(again.RecInterval, saved.RecInterval);
    QCOMPARE(again.PortInfo.FastPoll, saved.PortInfo.FastPoll);
  }
};

QTEST_MAIN(TstExit)
#include "tst_exit.moc"
