#pragma once
// The answers made from a snapshot: the devices as JSON, the metrics in the
// Prometheus text format and the health check. Pure functions of the
// snapshot; the listener only sends what they give.

#include <string>
#include <string_view>

#include "web/WebFeed.h"

namespace tessaro::web {

class TJson;

// The measured values the protocol reports, as a JSON object keyed by their
// network UPS names.
void WriteValues(TJson& j, const TMeasureBlock& m, uint8_t protocol);

// GET /api/v1/devices: the bus and every configured device.
std::string DevicesJson(const TBusSnapshot& snapshot);
// GET /api/v1/devices/N.
std::string DeviceJson(const TBusSnapshot& snapshot, const TDeviceView& device);
// The "device" object of that answer alone, without the bus around it.
std::string DeviceObjectJson(const TBusSnapshot& snapshot, const TDeviceView& device);

// What the device is doing, as the pages tell it apart: "fine", "battery",
// "alarm", "silent" (not answering, or the port closed), "waiting" (not yet
// polled since the start) or "off" (output off).
const char* LookName(const TBusSnapshot& snapshot, const TDeviceView& device);

// GET /metrics. `version` goes into tessaro_build_info.
std::string MetricsText(const TBusSnapshot& snapshot, std::string_view version);

// GET /healthz: 200 while the engine publishes and the port is open, 503
// otherwise; `reason` says which, and how the other parts fare, a line each
// ("mqtt: ..."): they do not stop polling, so they leave the status as it is.
struct THealth {
  bool Ok = false;
  std::string Reason;
};
// `nowMs` on the snapshot's monotonic clock.
THealth Health(const TBusSnapshot& snapshot, int64_t nowMs);
// A snapshot older than this means the engine is no longer ticking.
constexpr int64_t EngineStalledMs = 5000;

}  // namespace tessaro::web
