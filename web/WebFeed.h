#pragma once
// What the web listener serves, as the engine last decoded it: an immutable
// snapshot of the configured devices, the port and the line counters, made on
// the engine's thread once per tick and read by the listener's threads. A
// request never touches the device table itself.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/PollState.h"
#include "core/ForcedShutdown.h"
#include "core/UpsInfo.h"

namespace tessaro {
class TContext;
}

namespace tessaro::web {

struct TDeviceView {
  uint8_t Address = 0;
  std::string Name;  // UTF-8
  TUpsInfo Info;
  bool Up = false;         // its values may be served
  TDateTime LastAnswer = 0;  // local time of the last accepted answer; 0 none since start
  std::optional<TForcedShutdownMark> Forced;  // its forced shutdown, while set
  std::string TestResult, TestDate;           // its last battery test; empty: none kept
};

// Another part of the program the health check tells of (the MQTT publisher):
// up or not, since when (0: since the start).
struct TPartHealth {
  std::string Name;  // "mqtt"
  std::string What;  // "broker mqtt://host:1883"
  bool Up = false;
  TDateTime Since = 0;
};

struct TBusSnapshot {
  // Grows whenever anything a page shows has changed.
  uint64_t Sequence = 0;
  bool Made = false;  // false: nothing published yet
  int64_t MadeMs = 0;  // monotonic
  TDateTime Now = 0;
  uint8_t Language = 0;
  uint8_t Protocol = 0;
  std::string PortName;
  bool PortOpen = false;
  bool Paused = false;  // polling held by the trace window
  TPollStats Stats{};
  std::string RecordDir;
  // One per configured address, in list order (a duplicated address once).
  std::vector<TDeviceView> Devices;
  std::vector<TPartHealth> Parts;

  const TDeviceView* Find(int address) const;
};

using TSnapshotPtr = std::shared_ptr<const TBusSnapshot>;

class TWebFeed {
 public:
  explicit TWebFeed(const TClock& clock) : FClock(clock) {}

  // Engine thread: records the answer's time for the device page.
  void AnswerAccepted(uint8_t address);
  // Engine thread: makes and publishes a new snapshot.
  void Publish(const TContext& ctx, bool portOpen, std::vector<TPartHealth> parts = {});
  // Any thread: the last published snapshot (an empty one before the first).
  TSnapshotPtr Current() const;
  const TClock& Clock() const { return FClock; }

 private:
  const TClock& FClock;
  std::array<TDateTime, SlotCount> FAnswerTime{};  // 0 none
  mutable std::mutex FMutex;
  TSnapshotPtr FCurrent;
  uint64_t FSequence = 0;
};

}  // namespace tessaro::web
