#include "ui/main/Desktop.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QMessageBox>

#include <exception>
#include <memory>

#include "app/Options.h"
#include "core/Clock.h"
#include "core/engine/Context.h"
#include "core/engine/PollEngine.h"
#include "serial/Comm.h"
#include "ui/main/EngineHost.h"
#include "ui/main/FrmMain.h"
#include "ui/main/SingleInstance.h"
#include "ui/widgets/Artwork.h"

namespace tessaro {

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

int RunDesktop(int argc, char** argv, const TAppOptions& options) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tessaro"));
  QApplication::setWindowIcon(AssetIcon(QStringLiteral("app")));
  UseInterfaceFont(app);

  TSingleInstance instance(TSingleInstance::DefaultName());
  if (instance.ActivateRunning()) return 0;
  instance.Listen();

  TSystemClock clock;
  TContext context(options.DataDir, clock);
  TComm port;
  TPollEngine engine(context, port);
  std::unique_ptr<TFrmMain> main;
  try {
    main = std::make_unique<TFrmMain>(context, engine);
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromLocal8Bit(e.what()));
    return 1;
  }
  QObject::connect(&instance, &TSingleInstance::Activated, main.get(), [&main] {
    main->showNormal();
    main->raise();
    main->activateWindow();
  });

  auto host = std::make_unique<TEngineHost>(engine, port);
  host->Start(nullptr);
  main->show();

  QApplication::setQuitOnLastWindowClosed(false);
  QObject::connect(main.get(), &TFrmMain::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
  const int rc = QApplication::exec();
  host.reset();  // the engine goes before the windows and the log stores
  main.reset();
  return rc;
}

}  // namespace tessaro
