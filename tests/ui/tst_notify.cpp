// Desktop notifications reach the session's notification service: a session
// bus of its own (Debian's dbus-daemon, started here) with a fake service on
// it that keeps what it is told. Without the service nothing is sent, and the
// status bar says so once.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QProcess>
#include <QStatusBar>

#include "MainFixture.h"
#include "ui/main/StatusStrip.h"
#include "control/Control.h"
#include "core/Catalogue.h"
#include "ui/main/Notifier.h"

using namespace tessaro;
using namespace tessaro::test;

class TFakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public slots:
  uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
              const QStringList& actions, const QVariantMap& hints, int timeout) {
    Q_UNUSED(app) Q_UNUSED(replaces) Q_UNUSED(icon) Q_UNUSED(actions) Q_UNUSED(timeout)
    Summaries << summary;
    Bodies << body;
    Urgencies << hints.value(QStringLiteral("urgency")).toInt();
    return uint(Summaries.size());
  }

 public:
  QStringList Summaries, Bodies;
  QList<int> Urgencies;
};

class TstNotify : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QVERIFY(Bus.isValid());
    Daemon.setProgram(QStringLiteral("dbus-daemon"));
    Daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                         QStringLiteral("--print-address=1"), QStringLiteral("--address=unix:dir=") + Bus.path()});
    Daemon.start();
    if (!Daemon.waitForStarted(10000)) QSKIP("no dbus-daemon (scripts/deps.sh installs it)");
    QTRY_VERIFY_WITH_TIMEOUT(Daemon.canReadLine(), 10000);
    Address = QString::fromUtf8(Daemon.readLine()).trimmed();
    QVERIFY(!Address.isEmpty());
    // Before the program's first use of the session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", Address.toUtf8());
    Service = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(Address, QStringLiteral("fake")));
    QVERIFY(Service->isConnected());
    QVERIFY(Service->registerObject(QStringLiteral("/org/freedesktop/Notifications"), &Fake,
                                    QDBusConnection::ExportAllSlots));
    QVERIFY(Service->registerService(QStringLiteral("org.freedesktop.Notifications")));
  }

  void cleanupTestCase() {
    Service.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    Daemon.terminate();
    Daemon.waitForFinished(10000);
  }

  // Mains failure and return, low battery, a lost link and its return, and a
  // command's outcome, each once, naming the device.
  void devicesChangesAndCommandOutcomesAreNotified() {
    TMainFixture f({{1, "rack A"}, {2, "rack B"}}, 0, 2);
    f.OpenPort();
    f.Main->EnableNotifications();
    for (int a : {1, 2}) f.Communicating(a, StateOnline);
    f.Main->RefreshView();  // the first look tells nothing
    f.Main->RefreshView();
    QVERIFY(Fake.Summaries.isEmpty());

    f.Slot(1).StateCode = StateBattery;
    f.Main->RefreshView();
    f.Main->RefreshView();  // no change: nothing more
    f.Slot(1).Measure.BattBackupTime = 3;
    f.Main->RefreshView();
    f.Slot(1).StateCode = StateOnline;
    f.Main->RefreshView();
    f.Slot(2).CommState = 1;  // an error alone is no loss
    f.Main->RefreshView();
    f.Slot(2).CommState = 2;
    f.Main->RefreshView();
    f.Communicating(2, StateOnline);
    f.Main->RefreshView();
    const QStringList expected = {QStringLiteral("Mains failure"), QStringLiteral("Battery low"),
                                  QStringLiteral("Mains back"),    QStringLiteral("Link lost"),
                                  QStringLiteral("Link back")};
    QTRY_COMPARE_WITH_TIMEOUT(Fake.Summaries, expected, 10000);
    QCOMPARE(Fake.Bodies[0], QStringLiteral("UPS \"rack A\" (address 1)"));
    QCOMPARE(Fake.Bodies[3], QStringLiteral("UPS \"rack B\" (address 2)"));
    QCOMPARE(Fake.Urgencies, (QList<int>{2, 2, 1, 2, 1}));

    const uint32_t id = f.Context->Commands.Add({1, TCommandKind::LoadOff, 0, 0}, 0);
    f.Context->Commands.Resolve(id, TCommandState::Refused, 1, 4);
    QTRY_COMPARE_WITH_TIMEOUT(Fake.Summaries.size(), expected.size() + 1, 10000);
    QCOMPARE(Fake.Summaries.last(), QStringLiteral("Command outcome"));
    QVERIFY2(Fake.Bodies.last().startsWith(QStringLiteral("Switch off, UPS \"rack A\" (address 1): refused")),
             qPrintable(Fake.Bodies.last()));
  }

  void withoutTheServiceNothingIsSentAndThatIsSaidOnce() {
    QVERIFY(Service->unregisterService(QStringLiteral("org.freedesktop.Notifications")));
    Fake.Summaries.clear();
    TMainFixture f({{1, "rack A"}}, 0, 2);
    f.OpenPort();
    f.Main->EnableNotifications();
    f.Communicating(1, StateOnline);
    f.Main->RefreshView();
    f.Slot(1).StateCode = StateBattery;
    f.Main->RefreshView();
    QLabel* middle = f.Main->Strip().Panel(1);
    QCOMPARE(middle->text(), QStringLiteral("No notification service: none sent"));
    middle->clear();
    f.Slot(1).StateCode = StateOnline;
    f.Main->RefreshView();
    QVERIFY(middle->text().isEmpty());
    QCOMPARE(f.Main->Notifier()->Sent(), 0);
    QVERIFY(Fake.Summaries.isEmpty());
    QVERIFY(Service->registerService(QStringLiteral("org.freedesktop.Notifications")));
  }

 private:
  QTemporaryDir Bus;
  QProcess Daemon;
  QString Address;
  std::unique_ptr<QDBusConnection> Service;
  TFakeNotifications Fake;
};

QTEST_MAIN(TstNotify)
#include "tst_notify.moc"
