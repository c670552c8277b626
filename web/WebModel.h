#pragma once
// The answers made from a snapshot: the devices as JSON, the metrics in the
// Prometheus text format and the health check. Pure functions of the
// snapshot; the listener only sends what they give.

#include <map>
#include <string>
#include <utility>
#include <vector>
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
// What one event stream has sent, to send next only what changed since.
class TDevicesDiff {
 public:
  struct TEvent {
    bool Full = false;  // the whole DevicesJson, else a patch
    std::string Data;   // "" nothing to send
  };
  // The first call, and any after the device list changed, gives the whole
  // body; later ones a patch: {"sequence", member paths ("port/receives",
  // "devices" → {"N": {"up", "link/state", "values/battery.charge", ...}})
  // with their new values, an object member whose keys changed whole}. The
  // bus time is left out, and a device's last answer is sent only while it
  // is not up: the page shows it only then. "" when nothing is due.
  TEvent Next(const TBusSnapshot& snapshot);

  // The measured values of an otherwise unchanged device go at most this often.
  static constexpr int64_t ReadingsEveryMs = 10000;

 private:
  using TFlat = std::vector<std::pair<std::string, std::string>>;
  std::map<std::string, std::string> FBus;
  std::map<std::string, std::map<std::string, std::string>> FDevices;  // by address
  std::vector<std::string> FOrder;  // addresses as last sent
  int64_t FReadingsSentMs = 0;  // on the snapshot's monotonic clock
  bool FStarted = false;
};

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
