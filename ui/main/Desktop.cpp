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

#include "core/Clock.h"
#include "engine/Context.h"
#include "engine/PollEngine.h"
#include "net/NutServer.h"
#include "web/WebServer.h"
#include "serial/Comm.h"
#include "ui/main/EngineHost.h"
#include "ui/main/FrmMain.h"
#include "ui/main/MsgBox.h"
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

int RunDesktop(int argc, char** argv, const std::string& dataDir, const std::optional<std::string>& nutListen,
               const std::optional<std::string>& webListen) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tessaro"));
  QApplication::setWindowIcon(AssetIcon(QStringLiteral("app")));
  UseInterfaceFont(app);

  TSingleInstance instance(TSingleInstance::DefaultName());
  if (instance.ActivateRunning()) return 0;
  instance.Listen();

  TSystemClock clock;
  TContext context(dataDir, clock);
  TComm port;
  ConfigureProgramPort(port);
  TPollEngine engine(context, port);
  std::unique_ptr<TFrmMain> main;
  try {
    main = std::make_unique<TFrmMain>(context, engine);
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromLocal8Bit(e.what()));
    return 1;
  }
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
      MarkStopping();
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      main->ExitWithoutQuestion();
    });
  }

  auto host = std::make_unique<TEngineHost>(engine, port);
  if (!context.Settings.HookOnEvent.empty()) {
    host->RunEventHooks(context.Settings.HookOnEvent, [&main](const std::string& text) {
      std::fprintf(stderr, "tessaro: %s\n", text.c_str());
      if (main) main->statusBar()->showMessage(QString::fromStdString(text), 15000);
    });
  }
  host->Start(nullptr, [&main] { main->mni102Click(); });
  if (const std::string nut = nutListen.value_or(context.Settings.NutListen); !nut.empty()) {
    std::string error;
    if (host->ServeNut(nut, error))
      std::fprintf(stderr, "tessaro: network UPS server listening on %s\n", host->NutServer()->Address().c_str());
    else
      std::fprintf(stderr, "tessaro: network UPS server not started: %s\n", error.c_str());
  }
  host->ServeWeb({webListen.value_or(context.Settings.WebListen), context.Settings.WebUsersFile,
                  context.Settings.WebPublic},
                 [&main](const std::string& text) {
                   std::fprintf(stderr, "tessaro: %s\n", text.c_str());
                   if (main) main->statusBar()->showMessage(QString::fromStdString(text), 15000);
                 });
  main->show();

  QApplication::setQuitOnLastWindowClosed(false);
  QObject::connect(main.get(), &TFrmMain::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
  const int rc = stopRequested ? 0 : QApplication::exec();
  host.reset();  // the engine goes before the windows and the log stores
  main.reset();
  return rc;
}

}  // namespace tessaro
