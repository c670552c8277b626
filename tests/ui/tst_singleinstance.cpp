// The single-instance socket against another user: a listener of theirs is
// never obeyed, a client of theirs never brings our window up, and a desktop
// started while they squat the old or the new socket path starts all the
// same. Another user is nobody, so these run only as root.
#include <QtTest>

#include <QSignalSpy>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"
#include "serial/PtyPair.h"
#include "ui/main/SingleInstance.h"

using namespace tessaro;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

sockaddr_un Address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

// A process of nobody's holding local sockets until the test lets it go:
// `asRoot` are bound before it gives up root (in directories only root may
// enter), `asNobody` after, once it has made `nobodyDir`. Either way the
// sockets listen as nobody, which is what a peer sees.
class TOtherUsersSockets {
 public:
  TOtherUsersSockets(const std::vector<std::string>& asRoot, const std::string& nobodyDir,
                     const std::vector<std::string>& asNobody) {
    std::vector<sockaddr_un> rootAddrs, nobodyAddrs;
    for (const std::string& p : asRoot) rootAddrs.push_back(Address(p));
    for (const std::string& p : asNobody) nobodyAddrs.push_back(Address(p));
    int ready[2], hold[2];
    if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      // Only system calls from here on: the parent has threads.
      ::close(ready[0]);
      ::close(hold[1]);
      int fds[16];
      int n = 0;
      auto bindAll = [&](const std::vector<sockaddr_un>& addrs) {
        for (const sockaddr_un& a : addrs) {
          fds[n] = ::socket(AF_UNIX, SOCK_STREAM, 0);
          if (::bind(fds[n], reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ::_exit(3);
          ++n;
        }
      };
      bindAll(rootAddrs);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(Nobody, Nobody, Nobody) != 0 ||
          ::setresuid(Nobody, Nobody, Nobody) != 0)
        ::_exit(2);
      if (!nobodyDir.empty() && ::mkdir(nobodyDir.c_str(), 0777) != 0) ::_exit(4);
      bindAll(nobodyAddrs);
      for (int i = 0; i < n; ++i) ::listen(fds[i], 8);
      if (::write(ready[1], "r", 1) != 1) ::_exit(5);
      char c;
      while (::read(hold[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    FHold = hold[1];
    char c;
    FReady = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~TOtherUsersSockets() {
    if (FHold >= 0) ::close(FHold);
    if (FPid > 0) ::waitpid(FPid, nullptr, 0);
  }
  bool Ready() const { return FReady; }

 private:
  pid_t FPid = -1;
  int FHold = -1;
  bool FReady = false;
};

// Sets environment variables for the programs the test starts, and back.
class TEnv {
 public:
  void Set(const char* name, const std::string& value) {
    FSaved.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
    qputenv(name, QByteArray::fromStdString(value));
  }
  ~TEnv() {
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it)
      if (it->WasSet)
        qputenv(it->Name, it->Value);
      else
        qunsetenv(it->Name);
  }

 private:
  struct TSaved {
    const char* Name;
    QByteArray Value;
    bool WasSet;
  };
  std::vector<TSaved> FSaved;
};

}  // namespace

class TstSingleInstance : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    if (::geteuid() != 0) QSKIP("needs root to play another user");
    Dir = fs::temp_directory_path() / ("tessaro_instance_" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    fs::permissions(Dir, fs::perms(0755));
  }
  void cleanup() { fs::remove_all(Dir); }

  void aListenerOfAnotherUserIsNeverObeyedAndItsPathIsTakenOver() {
    const std::string path = (Dir / "instance").string();
    {
      TOtherUsersSockets theirs({path}, {}, {});
      QVERIFY(theirs.Ready());
      TSingleInstance mine(QString::fromStdString(path));
      QVERIFY(!mine.ActivateRunning(500));
      QVERIFY(mine.Listen());
      QVERIFY(TSingleInstance(QString::fromStdString(path)).ActivateRunning());
    }
  }

  void aClientOfAnotherUserCannotBringTheWindowUp() {
    const std::string path = (Dir / "instance").string();
    TSingleInstance mine(QString::fromStdString(path));
    QVERIFY(mine.Listen());
    ::chmod(path.c_str(), 0777);  // so that nobody may connect at all
    QSignalSpy activated(&mine, &TSingleInstance::Activated);
    const sockaddr_un a = Address(path);
    // The child says how it went through a pipe (its exit status may be
    // collected by Qt's own child handling).
    int done[2];
    QCOMPARE(::pipe2(done, O_NONBLOCK), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      auto finish = [&](char how) {
        if (::write(done[1], &how, 1) != 1) ::_exit(1);
        ::_exit(0);
      };
      if (::setgroups(0, nullptr) != 0 || ::setresgid(Nobody, Nobody, Nobody) != 0 ||
          ::setresuid(Nobody, Nobody, Nobody) != 0)
        finish('u');
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) finish('c');
      if (::write(fd, "activate\n", 9) != 9) finish('w');
      // The server has dealt with it once it hangs up.
      char c;
      while (::read(fd, &c, 1) > 0) {
      }
      finish('k');
    }
    ::close(done[1]);
    char how = 0;
    auto told = [&] { return how != 0 || ::read(done[0], &how, 1) == 1; };
    QTRY_VERIFY_WITH_TIMEOUT(told(), 5000);
    ::close(done[0]);
    ::waitpid(pid, nullptr, 0);
    QCOMPARE(how, 'k');
    QCOMPARE(activated.count(), 0);
    // Our own user still gets through.
    QVERIFY(TSingleInstance(QString::fromStdString(path)).ActivateRunning());
    QTRY_COMPARE(activated.count(), 1);
  }

  // What the old path in the shared temporary directory allowed: any user
  // squatting it made every start of the desktop exit 0 with no window.
  void aDesktopStartsWhileAnotherUserSquatsTheSocketPaths() {
    const std::string tmp = (Dir / "tmp").string();
    fs::create_directories(tmp);
    fs::permissions(tmp, fs::perms(01777));
    const std::string data = (Dir / "data").string();
    test::TPtyPair pty;
    fs::create_directories(data);
    std::ofstream(data + "/UserParaIni.ini") << "[CommPort]\nComName=" << pty.SlavePath() << "\nProtocol=2\n";

    // The runtime directory is not ours, so the fallback in TMPDIR is used,
    // and nobody made that first; the old name sits beside it.
    const std::string run = (Dir / "run").string();
    fs::create_directories(run);
    QCOMPARE(::chown(run.c_str(), Nobody, Nobody), 0);
    const std::string fallback = tmp + "/tessaro-0";
    TEnv env;
    env.Set("TMPDIR", tmp);
    env.Set("XDG_RUNTIME_DIR", run);
    {
      TOtherUsersSockets theirs({}, fallback, {tmp + "/Tessaro-0", fallback + "/instance"});
      QVERIFY(theirs.Ready());
      RunsUntilStopped(data, "tessaro: a second start will not find this window: " + fallback +
                                 " belongs to nobody (uid 65534)\n");
    }

    // Our own runtime directory, where a socket of theirs listens at the very path.
    const std::string ownRun = (Dir / "ownrun").string();
    fs::create_directories(ownRun);
    fs::permissions(ownRun, fs::perms(0700));
    env.Set("XDG_RUNTIME_DIR", ownRun);
    std::string why;
    const QString path = TSingleInstance::SocketPath(data + "/", why);
    QVERIFY2(path.startsWith(QString::fromStdString(ownRun + "/tessaro/instance-")), qPrintable(path));
    TOtherUsersSockets theirs({path.toStdString()}, {}, {});
    QVERIFY(theirs.Ready());
    RunsUntilStopped(data, "", true);
  }

 private:
  // Starts the desktop on `data`; it must keep running with its window (its
  // start logged) until stopped, and say `said` on stderr. With
  // `secondStart`, a second start meanwhile brings the first to the front.
  void RunsUntilStopped(const std::string& data, const std::string& said, bool secondStart = false) {
    fs::remove_all(data + "/Record");
    const std::string tessaro = std::string(TESSARO_BUILD_DIR) + "/tessaro";
    testing::TChildProcess desktop({tessaro, "--data-dir", data});
    const fs::path log = fs::path(data) / "Record" / "EventLog.dat";
    for (int i = 0; i < 200 && (!fs::exists(log) || fs::file_size(log) < 48); ++i) desktop.WaitForExit(50ms);
    QVERIFY2(fs::exists(log) && fs::file_size(log) >= 48, desktop.Err().c_str());
    QCOMPARE(desktop.WaitForExit(0ms), -1);
    if (secondStart) {
      testing::TChildProcess second({tessaro, "--data-dir", data});
      QCOMPARE(second.WaitForExit(20s), 0);
      QCOMPARE(second.Err(), "tessaro: already running on " + data + "/; that window was brought to the front\n");
    }
    desktop.Signal(SIGTERM);
    QCOMPARE(desktop.WaitForExit(20s), 0);
    // Qt may add its own words about the runtime directory.
    if (said.empty())
      QVERIFY2(desktop.Err().find("will not find") == std::string::npos, desktop.Err().c_str());
    else
      QVERIFY2(desktop.Err().find(said) != std::string::npos, desktop.Err().c_str());
  }

  fs::path Dir;
};

QTEST_MAIN(TstSingleInstance)
#include "tst_singleinstance.moc"
