// Start-up and shutdown around a real main window: the port failure message,
// the exit question, the closing event and the single instance.
#include <QtTest>

#include <QLabel>
#include <QSignalSpy>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "MainFixture.h"
#include "ui/main/StatusStrip.h"
#include "core/UserParaIni.h"
#include "logs/EventLog.h"
#include "net/NutServer.h"
#include "web/WebFixture.h"
#include "web/WebServer.h"
#include "faces/Faces.h"
#include "faces/NutFace.h"
#include "ui/main/EngineHost.h"
#include "ui/widgets/MsgBox.h"
#include "ui/main/SingleInstance.h"

using namespace tessaro;
using namespace tessaro::test;

namespace {
int CountCode(const std::vector<EventRecord>& records, int code) {
  int n = 0;
  for (const EventRecord& r : records) n += (r.Kind == 0 && r.Code == code) ? 1 : 0;
  return n;
}
}  // namespace

class TstStartup : public QObject {
  Q_OBJECT

 private slots:
  void portFailureAtStartIsReportedAndTheProgramGoesOn() {
    TMainFixture f({{1, "a"}}, 1);
    f.Port.FailNextOpen();
    TEngineHost host(*f.Engine, f.Port);
    TBoxAnswerer ok(QMessageBox::Ok);
    host.Start(f.Main.get());
    QCOMPARE(ok.Texts.size(), qsizetype(1));
    QCOMPARE(ok.Texts[0], QStringLiteral("开启串口时出错,请检查串口设置!"));
    QVERIFY(host.Timer1.isActive());
    f.Main->HousekeepingPass();
    // Why, in the window's language.
    QCOMPARE(f.Main->Strip().Panel(0)->toolTip(), QStringLiteral("串口已关闭：打开串口出错"));
    QVERIFY(f.Main->Strip().Panel(0)->text().startsWith(QStringLiteral("串口已关闭")));
    QCOMPARE(Child<QPushButton>(*f.Main, "btnCom")->text(), QStringLiteral("开启串口"));
    const auto records = ReadEventLogFile(f.Context->EventLogger->FullPath);
    QCOMPARE(CountCode(records, EventProgramStarted), 1);
  }

  void exitAnsweredNoKeepsRunningAndYesSavesThenLogsOneClose() {
    TMainFixture f({{1, "a"}}, 0);
    auto host = std::make_unique<TEngineHost>(*f.Engine, f.Port);
    host->Start(f.Main.get());
    QVERIFY(f.Engine->PortIsOpen());
    f.Main->Timer1.start();
    f.ShowWindow();
    {
      TBoxAnswerer no(QMessageBox::No);
      Child<QAction>(*f.Main, "mni103")->trigger();
      QCOMPARE(no.Texts.value(0), QStringLiteral("Exit Program ?"));
    }
    QVERIFY(f.Main->isVisible());
    QVERIFY(f.Main->Timer1.isActive());
    QVERIFY(f.Engine->PortIsOpen());
    QVERIFY(host->Timer1.isActive());

    Child<QAction>(*f.Main, "mni401")->trigger();  // Chinese, saved at exit
    const std::string ini = f.Context->IniPath();
    QSignalSpy closed(f.Main.get(), &TFrmMain::Closed);
    {
      TBoxAnswerer yes(QMessageBox::Yes);
      f.Main->close();
      QCOMPARE(yes.Texts.value(0), QStringLiteral("您确定要退出系统吗?"));
    }
    QCOMPARE(closed.count(), 1);
    QVERIFY(!f.Main->isVisible());
    QVERIFY(!f.Main->Timer1.isActive());
    QVERIFY(!f.Engine->PortIsOpen());
    TSettings saved;
    LoadSettings(saved, ini);
    QCOMPARE(int(saved.Language), 1);
    auto records = ReadEventLogFile(f.Context->EventLogger->FullPath);
    QCOMPARE(CountCode(records, EventProgramClosed), 0);

    host.reset();  // the engine goes first
    records = ReadEventLogFile(f.Context->EventLogger->FullPath);
    QCOMPARE(CountCode(records, EventProgramClosed), 1);
    QCOMPARE(records.back().Code, int(EventProgramClosed));
    QCOMPARE(CountCode(records, EventProgramStarted), 1);
  }

  void aStopRequestSavesAndClosesWithoutAskingAndNoBoxWaits() {
    TMainFixture f({{1, "a"}}, 0);
    auto host = std::make_unique<TEngineHost>(*f.Engine, f.Port);
    host->Start(f.Main.get());
    f.ShowWindow();
    Child<QAction>(*f.Main, "mni401")->trigger();  // Chinese, to be saved
    QSignalSpy closed(f.Main.get(), &TFrmMain::Closed);
    TBoxAnswerer any(QMessageBox::No);
    MarkStopping();
    f.Main->ExitWithoutQuestion();
    QVERIFY(any.Texts.isEmpty());
    QCOMPARE(closed.count(), 1);
    QVERIFY(!f.Engine->PortIsOpen());
    TSettings saved;
    LoadSettings(saved, f.Context->IniPath());
    QCOMPARE(int(saved.Language), 1);
    QVERIFY(!AskYesNo(nullptr, QStringLiteral("never shown")));
    qApp->setProperty("tessaroStopping", false);
  }

  // Only a minimised window is restored; a maximised one stays maximised.
  void secondStartBringsTheFirstWindowToTheFront_data() {
    QTest::addColumn<bool>("maximised");
    QTest::addColumn<bool>("minimised");
    QTest::newRow("normal") << false << false;
    QTest::newRow("maximised") << true << false;
    QTest::newRow("minimised") << false << true;
    QTest::newRow("minimised while maximised") << true << true;
  }

  void networkServerAndEventHooksRunOnTheUserInterfaceThread() {
    TMainFixture f({{1, "a"}, {7, "b"}}, 0, 2);
    const std::string script = f.Dir.path().toStdString() + "/hook.sh";
    const std::string log = f.Dir.path().toStdString() + "/hook.log";
    std::ofstream(script) << "#!/bin/sh\necho \"$TESSARO_CODE $TESSARO_TEXT\" >> '" << log << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    f.Context->Settings.HookOnEvent = script;
    TEngineHost host(*f.Engine, f.Port);
    std::vector<std::string> said;
    host.AttachFaces({.NutListen = "127.0.0.1:0"}, [&said](const TFaceMessage& m) { said.push_back(m.Text); });
    host.Start(f.Main.get());
    QCOMPARE(said.size(), size_t{1});
    QVERIFY2(said[0].rfind("network UPS server listening on 127.0.0.1:", 0) == 0, said[0].c_str());
    const net::TNutServer* server = host.Faces()->Find<TNutFace>()->Server();
    f.Communicating(7, 4);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server->Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string request = "GET VAR ups7 ups.status\nGET VAR ups1 ups.status\n";
    QCOMPARE(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    std::string reply;
    auto take = [&] {
      char buf[512];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) reply.append(buf, static_cast<size_t>(n));
      return reply;
    };
    QTRY_VERIFY_WITH_TIMEOUT(take().find("ERR") != std::string::npos, 5000);
    ::close(fd);
    QCOMPARE(reply, std::string("VAR ups7 ups.status \"OL\"\nERR DATA-STALE\n"));
    // A device command is reported where the server's messages go (the status bar).
    const int second = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QCOMPARE(::connect(second, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string command = "USERNAME op\nPASSWORD pw\nINSTCMD ups7 load.off\n";
    QCOMPARE(::send(second, command.data(), command.size(), 0), static_cast<ssize_t>(command.size()));
    QTRY_VERIFY_WITH_TIMEOUT(said.size() == 2, 5000);
    ::close(second);
    QVERIFY2(said[1].rfind("network command load.off for ups7 by user \"op\" from 127.0.0.1: refused", 0) == 0,
             said[1].c_str());

    auto hookLog = [&log] {
      std::ifstream in(log);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    QTRY_VERIFY_WITH_TIMEOUT(hookLog().find("20 Monitor software is open\n") != std::string::npos, 5000);
    QCOMPARE(said.size(), size_t{2});  // no hook failed
  }

  // A port held by another program at start: the server binds once it is
  // free, on the host's timer and the context's clock; told once each.
  void networkServerWhosePortIsTakenStartsWhenItIsFree() {
    TMainFixture f({{1, "a"}});
    auto holder = std::make_unique<net::TNutServer>(
        net::TNutSource{f.Context->UpsInfo, f.Context->DeviceList, f.Context->Settings, f.Context->Freshness()}, f.Clock);
    std::string error;
    QVERIFY2(holder->Listen("127.0.0.1:0", error), error.c_str());
    const std::string address = "127.0.0.1:" + std::to_string(holder->Port());
    TEngineHost host(*f.Engine, f.Port);
    std::vector<std::string> said;
    host.AttachFaces({.NutListen = address}, [&said](const TFaceMessage& m) { said.push_back(m.Text); });
    host.Start(f.Main.get());
    QCOMPARE(said.size(), size_t{1});
    QCOMPARE(said[0], "network UPS server cannot listen on " + address +
                          ": Address already in use; trying again every 5 s");
    holder.reset();
    f.Clock.AdvanceMs(5000);
    QTRY_VERIFY_WITH_TIMEOUT(host.Faces()->Find<TNutFace>()->Server()->Listening(), 5000);
    QCOMPARE(said.size(), size_t{2});
    QCOMPARE(said[1], "network UPS server listening on " + address);
  }

  void webListenerServesWhatTheDesktopPolls() {
    TMainFixture f({{1, "a"}, {7, "b"}}, 0, 2);
    TEngineHost host(*f.Engine, f.Port);
    std::vector<std::string> messages;
    host.AttachFaces({.WebListen = "127.0.0.1:0"}, [&messages](const TFaceMessage& m) { messages.push_back(m.Text); });
    host.Start(f.Main.get());
    QCOMPARE(messages.size(), size_t(1));
    const std::string mark = "web server listening on http://127.0.0.1:";
    QVERIFY2(messages[0].rfind(mark, 0) == 0, messages[0].c_str());
    const auto port = static_cast<uint16_t>(std::atoi(messages[0].c_str() + mark.size()));
    // The fake port never answers: the device answers here, before each look.
    auto device7 = [&f, port] {
      f.Communicating(7, 4);
      return tessaro::testing::Get(port, "/api/v1/devices/7").Body;
    };
    QTRY_VERIFY_WITH_TIMEOUT(device7().find("\"text\":\"Online\"") != std::string::npos, 5000);
    QVERIFY(device7().find("\"up\":true") != std::string::npos);
  }

  void secondStartBringsTheFirstWindowToTheFront() {
    QFETCH(bool, maximised);
    QFETCH(bool, minimised);
    TMainFixture f({{1, "a"}});
    const QString name = QStringLiteral("tessaro-test-%1").arg(QCoreApplication::applicationPid());
    TSingleInstance first(name);
    QVERIFY(!first.ActivateRunning(200));  // nobody there yet
    QVERIFY(first.Listen());
    QObject::connect(&first, &TSingleInstance::Activated, f.Main.get(), [&] { BringToFront(*f.Main); });
    f.ShowWindow();
    const QRect normalGeometry = f.Main->geometry();
    if (maximised) {
      f.Main->showMaximized();
      QTRY_VERIFY(f.Main->isMaximized());
    }
    if (minimised) {
      f.Main->showMinimized();
      QTRY_VERIFY(f.Main->isMinimized());
    }
    QSignalSpy activated(&first, &TSingleInstance::Activated);
    TSingleInstance second(name);
    QVERIFY(second.ActivateRunning());
    QTRY_COMPARE(activated.count(), 1);
    QTRY_VERIFY(!f.Main->isMinimized());
    QVERIFY(f.Main->isVisible());
    QCOMPARE(f.Main->isMaximized(), maximised);
    if (!maximised) QCOMPARE(f.Main->geometry(), normalGeometry);
  }

  void aSocketLeftByACrashedInstanceIsTakenOver() {
    const QString name = QStringLiteral("tessaro-stale-%1").arg(QCoreApplication::applicationPid());
    // What a crashed instance leaves behind: a bound socket file nobody listens on.
    const QByteArray path = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + name);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), std::min<size_t>(path.size(), sizeof addr.sun_path - 1));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    QVERIFY(QFile::exists(QFile::decodeName(path)));

    TSingleInstance instance(name);
    QVERIFY(!TSingleInstance(name).ActivateRunning(200));
    QVERIFY(instance.Listen());
    QVERIFY(TSingleInstance(name).ActivateRunning());
  }
};

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
