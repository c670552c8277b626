#include "ui/logs/LogMenu.h"

#include <QWidget>

#include "ui/logs/FrmDataLog.h"
#include "ui/logs/FrmDataLogSet.h"
#include "ui/logs/FrmEventLog.h"
#include "ui/logs/FrmProgress.h"
#include "engine/Context.h"

namespace tessaro {

TLogMenu::TLogMenu(TContext& context, TPollEngine& engine, QWidget* mainWindow)
    : QObject(mainWindow), FCtx(context), FEngine(engine), FMain(mainWindow), FProgress(new TfrmProgress(mainWindow)) {}

void TLogMenu::OpenEventLog() {
  if (!FEventLog) FEventLog = new TFrmEventLog(FCtx, *FProgress, FMain);
  FEventLog->show();
  FEventLog->raise();
  FEventLog->activateWindow();
}

void TLogMenu::OpenDataLog() {
  TFrmDataLog viewer(FCtx, FEngine, *FProgress, FMain);
  viewer.exec();
}

void TLogMenu::OpenLogSetting() {
  TFrmDataLogSet dialog(FCtx.Settings, FEngine, FMain);
  dialog.exec();
}

}  // namespace tessaro
