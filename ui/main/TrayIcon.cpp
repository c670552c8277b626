#include "ui/main/TrayIcon.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

#include "ui/main/LangTable.h"

namespace tessaro {

namespace {

TTextId StateText(TTrayState state) {
  switch (state) {
    case TTrayState::AllFine: return TTextId::TrayAllFine;
    case TTrayState::OnBattery: return TTextId::TrayOnBattery;
    case TTrayState::Alarm: return TTextId::TrayAlarm;
    case TTrayState::NotAnswering: return TTextId::TrayNotAnswering;
  }
  return TTextId::TrayAllFine;
}

QIcon StateIcon(TTrayState state) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x20, 0x20, 0x20), 2));
  p.setBrush(TTrayIcon::StateColour(state));
  p.drawEllipse(QRectF(3, 3, 26, 26));
  return QIcon(pixmap);
}

}  // namespace

TTrayIcon::TTrayIcon(QWidget* window, std::function<void()> exit, QObject* parent)
    : QObject(parent), FWindow(window), FMenu(std::make_unique<QMenu>()) {
  FShow = FMenu->addAction(QString());
  FShow->setObjectName(QStringLiteral("trayShow"));
  FMute = FMenu->addAction(QString());
  FMute->setObjectName(QStringLiteral("trayMute"));
  FMute->setCheckable(true);
  FMenu->addSeparator();
  FExit = FMenu->addAction(QString());
  FExit->setObjectName(QStringLiteral("trayExit"));
  connect(FShow, &QAction::triggered, this, &TTrayIcon::ShowWindow);
  connect(FExit, &QAction::triggered, this, [exit = std::move(exit)] {
    if (exit) exit();
  });
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  FTray = new QSystemTrayIcon(this);
  FTray->setContextMenu(FMenu.get());
  FTray->setIcon(StateIcon(FState));
  connect(FTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) ShowWindow();
  });
  FTray->show();
}

TTrayIcon::~TTrayIcon() = default;

QColor TTrayIcon::StateColour(TTrayState state) {
  switch (state) {
    case TTrayState::AllFine: return {0x2e, 0xa0, 0x43};
    case TTrayState::OnBattery: return {0xf0, 0xa0, 0x20};
    case TTrayState::Alarm: return {0xd0, 0x20, 0x20};
    case TTrayState::NotAnswering: return {0x80, 0x80, 0x80};
  }
  return {};
}

bool TTrayIcon::Muted() const { return FMute->isChecked(); }

void TTrayIcon::Show(TTrayState state, int language, const std::function<void(const QString&)>& say) {
  if (!FTray && !FToldMissing && say) {
    FToldMissing = true;
    say(LangText(TTextId::TrayMissing, language));
  }
  if (language != FLanguage) {
    FLanguage = language;
    FShow->setText(LangText(TTextId::TrayShow, language));
    FMute->setText(LangText(TTextId::TrayMute, language));
    FExit->setText(LangText(TTextId::TrayExit, language));
    if (FTray) FTray->setToolTip(LangText(StateText(state), language));
  }
  const bool worse = FShown && state > FState;
  const bool changed = !FShown || state != FState;
  FShown = true;
  FState = state;
  if (changed && FTray) {
    FTray->setIcon(StateIcon(state));
    FTray->setToolTip(LangText(StateText(state), language));
  }
  // The window asks for attention (the task bar flashes) unless muted.
  if (worse && !Muted()) {
    ++FAlerts;
    QApplication::alert(FWindow);
  }
}

void TTrayIcon::ShowWindow() {
  FWindow->showNormal();
  FWindow->raise();
  FWindow->activateWindow();
}

}  // namespace tessaro
