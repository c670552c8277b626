#pragma once
// The main window's "Log" menu: the event log viewer (created on first use
// and kept), the data log viewer and the data log settings (modal, made
// afresh each time), and the export progress window they share.

#include <QObject>

class QWidget;

namespace tessaro {

class TContext;
class TPollEngine;
class TFrmEventLog;
class TfrmProgress;

class TLogMenu final : public QObject {
  Q_OBJECT

 public:
  TLogMenu(TContext& context, TPollEngine& engine, QWidget* mainWindow);

  void OpenEventLog();
  void OpenDataLog();
  void OpenLogSetting();

  TFrmEventLog* EventLog() const { return FEventLog; }
  TfrmProgress* Progress() const { return FProgress; }

 private:
  TContext& FCtx;
  TPollEngine& FEngine;
  QWidget* FMain;
  TfrmProgress* FProgress;
  TFrmEventLog* FEventLog = nullptr;
};

}  // namespace tessaro
