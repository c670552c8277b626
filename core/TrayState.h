#pragma once
// The one word the tray icon gives for all devices together: the worst of
// their states, in this order from best to worst.

#include <cstdint>
#include <vector>

#include "core/DeviceList.h"
#include "core/UpsInfo.h"

namespace tessaro {

enum class TTrayState : uint8_t {
  AllFine,       // every device answers, on mains, without an alarm (or there are none)
  OnBattery,     // a device feeds its load from the battery
  Alarm,         // a device reports an alarm
  NotAnswering,  // a device is not heard: its link is down, or the port is closed
};

// The state of one device.
TTrayState DeviceTrayState(const TUpsInfo& info, bool portOpen);

// The worst state among the devices of the list.
TTrayState TrayState(const TUpsInfoTable& table, const TDeviceList& list, bool portOpen);

// ---- what is worth a desktop notification

// A device as the notifications compare it from one refresh to the next.
struct TDeviceLook {
  bool Known = false;   // a first look tells nothing new
  bool Linked = false;  // answering; a link error alone does not end it, only its loss
  bool OnBattery = false;
  bool BatteryLow = false;
};

enum class TDeviceNews : uint8_t { MainsFailed, MainsBack, BatteryLow, LinkLost, LinkBack };

// Battery low: the runtime left, in minutes, at or below which a device
// without a pre-alarm time of its own counts as low (as the network server).
constexpr int NewsLowRuntimeMinutes = 5;

TDeviceLook LookOf(const TUpsInfo& info, bool portOpen, const TDeviceLook& before);
// What changed between two looks, in this order: the link first, then the
// supply and the battery (those only while the device answers both times).
std::vector<TDeviceNews> NewsBetween(const TDeviceLook& before, const TDeviceLook& now);

}  // namespace tessaro
