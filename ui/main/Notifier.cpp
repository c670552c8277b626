#include "ui/main/Notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

#include "control/Control.h"
#include "engine/Context.h"
#include "ui/main/LangTable.h"

namespace tessaro {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");

TTextId NewsText(TDeviceNews news) {
  switch (news) {
    case TDeviceNews::MainsFailed: return TTextId::NewsMainsFailed;
    case TDeviceNews::MainsBack: return TTextId::NewsMainsBack;
    case TDeviceNews::BatteryLow: return TTextId::NewsBatteryLow;
    case TDeviceNews::LinkLost: return TTextId::NewsLinkLost;
    case TDeviceNews::LinkBack: return TTextId::NewsLinkBack;
  }
  return TTextId::NewsCommand;
}

bool Urgent(TDeviceNews news) {
  return news == TDeviceNews::MainsFailed || news == TDeviceNews::BatteryLow || news == TDeviceNews::LinkLost;
}

}  // namespace

TNotifier::TNotifier(QDBusConnection bus, QObject* parent) : QObject(parent), FBus(std::move(bus)) {}

bool TNotifier::Available() const {
  return FBus.isConnected() && FBus.interface() && FBus.interface()->isServiceRegistered(Service).value();
}

bool TNotifier::Ready(int language) {
  if (Available()) return true;
  if (!FToldMissing && Say) Say(LangText(TTextId::NotifyMissing, language));
  FToldMissing = true;
  return false;
}

bool TNotifier::Notify(const QString& summary, const QString& body, bool urgent) {
  if (!Available()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(urgent ? 2 : 1)));  // critical or normal
  call << QStringLiteral("Tessaro") << uint(0) << QStringLiteral("tessaro") << summary << body << QStringList()
       << hints << int(-1);
  // Not waited for: a slow service must not hold up the refresh.
  if (!FBus.send(call)) return false;
  ++FSent;
  return true;
}

void TNotifier::Watch(const TContext& ctx, bool portOpen) {
  const int language = ctx.Settings.Language;
  bool ready = true;
  bool asked = false;
  for (int i = 1; i <= ctx.DeviceList.Count; ++i) {
    const uint8_t address = ctx.DeviceList.Nodes[static_cast<size_t>(i)].Address;
    if (address > MaxAddress) continue;
    TDeviceLook& look = FLooks[address];
    const TDeviceLook now = LookOf(ctx.UpsInfo[address], portOpen, look);
    const std::vector<TDeviceNews> news = NewsBetween(look, now);
    look = now;
    if (news.empty()) continue;
    if (!asked) {
      ready = Ready(language);
      asked = true;
    }
    if (!ready) continue;
    const QString device = QString::fromStdString(DeviceText(ctx, address, static_cast<uint8_t>(language)));
    for (const TDeviceNews n : news) Notify(LangText(NewsText(n), language), device, Urgent(n));
  }
}

void TNotifier::CommandOutcome(const QString& line, bool failed, int language) {
  if (Ready(language)) Notify(LangText(TTextId::NewsCommand, language), line, failed);
}

}  // namespace tessaro
