#include "ui/main/Desktop.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStatusBar>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "config/DataDir.h"
#include "core/Clock.h"
#include "engine/Context.h"
#include "faces/Faces.h"
#include "ui/main/EngineHost.h"
#include "ui/main/FrmMain.h"
#include "ui/widgets/MsgBox.h"
#include "ui/main/SingleInstance.h"
#include "ui/widgets/Artwork.h"

namespace tessaro {

namespace {
int SignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int savedErrno = errno;  // write() may change it under the interrupted code
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], &byte, 1);
  errno = savedErrno;
}
}  // namespace

void UseInterfaceFont(QApplication& app) {
  // A face with both Latin and Chinese glyphs, so both languages look alike.
  const QStringList families = QFontDatabase::families();
  for (const char* name : {"Noto Sans CJK SC", "Noto Sans SC", "WenQuanYi Micro Hei", "Droid Sans Fallback"}) {
    if (families.contains(QString::fromLatin1(name))) {
      QFont font(QString::fromLatin1(name));
      font.setPixelSize(12);
      app.setFont(font);
      return;
    }
  }
}

void EndLoopWhenClosed(TFrmMain& main) {
  QApplication::setQuitOnLastWindowClosed(false);
  // exit(), not quit(): quit() first asks every window to close, and one that
  // refuses (a search still running) would cancel it. exit() also ends the
  // loop of every modal window open inside the main loop.
  QObject::connect(&main, &TFrmMain::Closed, qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void RequestStop(TFrmMain& main) {
  MarkStopping();
  // Before the main loop runs (a start-up box or dialog), exit() has no loop
  // to end: the modal windows are closed instead. Bounded, in case one stays.
  for (int i = 0; i < 16; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) break;
    modal->close();
  }
  main.ExitWithoutQuestion();
}

int RunDesktop(int argc, char** argv, const std::string& dataDir, const std::optional<std::string>& nutListen,
               const std::optional<std::string>& webListen, const std::optional<std::string>& mqtt) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tessaro"));
  QApplication::setWindowIcon(AssetIcon(QStringLiteral("app")));
  UseInterfaceFont(app);

  std::string noSocket;
  TSingleInstance instance(TSingleInstance::SocketPath(dataDir, noSocket));
  if (!noSocket.empty())
    std::fprintf(stderr, "tessaro: a second start will not find this window: %s\n", noSocket.c_str());
  if (instance.ActivateRunning()) {
    std::fprintf(stderr, "tessaro: already running on %s; that window was brought to the front\n", dataDir.c_str());
    return 0;
  }
  // No second monitor on these logs, and settings (with a hook) only from a
  // place nobody else can change.
  TInstanceLock instanceLock;
  if (std::string refusal; !config::PrepareMonitorDataDir(dataDir, {argv + 1, argv + argc}, instanceLock, refusal)) {
    std::fprintf(stderr, "tessaro: %s\n", refusal.c_str());
    QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromStdString(refusal));
    return 1;
  }
  // A settings file of noise would have the window poll COM1 on made-up defaults.
  if (const std::string refusal = config::SettingsRefusal(dataDir); !refusal.empty()) {
    std::fprintf(stderr, "tessaro: %s\n", refusal.c_str());
    QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromStdString(refusal));
    return 1;
  }
  instance.Listen();

  TSystemClock clock;
  TContext context(dataDir, clock);
  TProgramEngine program(context);
  TPollEngine& engine = program.Engine;
  std::unique_ptr<TFrmMain> main;
  try {
    main = std::make_unique<TFrmMain>(context, engine);
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromLocal8Bit(e.what()));
    return 1;
  }
  // The logs are written by a thread of their own: a slow disk holds up
  // neither polling nor the windows.
  context.StartLogWriter();
  QObject::connect(&instance, &TSingleInstance::Activated, main.get(), [&main] { BringToFront(*main); });

  bool stopRequested = false;
  // SIGTERM and SIGINT end the program as a confirmed exit would, so the
  // settings are saved and the closing event is logged.
  std::unique_ptr<QSocketNotifier> stopNotifier;
  if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    stopNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, main.get(), [&main, &stopRequested] {
      char buf[16];
      while (::read(SignalPipe[0], buf, sizeof buf) > 0) {
      }
      stopRequested = true;
      RequestStop(*main);
    });
  }

  auto host = std::make_unique<TEngineHost>(engine, program.Port);
  host->AttachFaces({nutListen, webListen, mqtt}, [&main](const TFaceMessage& message) {
    std::fprintf(stderr, "tessaro: %s\n", message.Text.c_str());
    if (main) main->statusBar()->showMessage(QString::fromStdString(message.Text), message.Lasting ? 60000 : 15000);
  });
  host->Start(nullptr, [&main] { main->mni102Click(); });
  main->EnableNotifications();
  main->show();

  EndLoopWhenClosed(*main);
  const int rc = stopRequested ? 0 : QApplication::exec();
  host.reset();  // the engine goes before the windows and the log stores
  main.reset();
  return rc;
}

}  // namespace tessaro
