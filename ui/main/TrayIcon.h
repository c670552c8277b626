#pragma once
// The tray icon: the worst device state in its colour and tooltip, a menu
// (show the window, mute, exit), and the main window's urgency hint when the
// state gets worse. A session without a tray gets none of it, and is told so
// once; the menu and the state are kept all the same.

#include <QObject>
#include <QColor>

#include <functional>
#include <memory>

#include "core/TrayState.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace tessaro {

class TTrayIcon : public QObject {
  Q_OBJECT

 public:
  // `exit` is the main window's System -> Exit (with its question).
  TTrayIcon(QWidget* window, std::function<void()> exit, QObject* parent = nullptr);
  ~TTrayIcon() override;

  // Called after each refresh; `say` hears once that there is no tray.
  void Show(TTrayState state, int language, const std::function<void(const QString&)>& say = {});

  static QColor StateColour(TTrayState state);
  TTrayState State() const { return FState; }
  bool HasTray() const { return FTray != nullptr; }
  bool Muted() const;
  int Alerts() const { return FAlerts; }  // urgency hints raised
  QMenu* Menu() const { return FMenu.get(); }
  QAction* ShowAction() const { return FShow; }
  QAction* MuteAction() const { return FMute; }
  QAction* ExitAction() const { return FExit; }

 private:
  void ShowWindow();
  QWidget* FWindow;
  std::unique_ptr<QMenu> FMenu;
  QAction* FShow;
  QAction* FMute;
  QAction* FExit;
  QSystemTrayIcon* FTray = nullptr;
  TTrayState FState = TTrayState::AllFine;
  bool FShown = false;  // Show has run once
  bool FToldMissing = false;
  int FAlerts = 0;
  int FLanguage = -1;
};

}  // namespace tessaro
