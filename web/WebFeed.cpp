#include "web/WebFeed.h"

#include <algorithm>
#include <cstring>

#include "core/DeviceName.h"
#include "core/Freshness.h"
#include "engine/Context.h"

namespace tessaro::web {

namespace {

bool SameDevice(const TDeviceView& a, const TDeviceView& b) {
  const TUpsInfo& x = a.Info;
  const TUpsInfo& y = b.Info;
  return a.Address == b.Address && a.Name == b.Name && a.Up == b.Up && a.LastAnswer == b.LastAnswer &&
         a.Forced.has_value() == b.Forced.has_value() && a.TestResult == b.TestResult && a.TestDate == b.TestDate &&
         x.CommState == y.CommState && x.StateCode == y.StateCode && x.SuccessRate == y.SuccessRate &&
         x.AlarmCount == y.AlarmCount && x.AlarmCodes == y.AlarmCodes &&
         std::memcmp(&x.Measure, &y.Measure, sizeof x.Measure) == 0 &&
         std::memcmp(&x.Status, &y.Status, sizeof x.Status) == 0 && x.InputSupply == y.InputSupply &&
         x.UpsSupply == y.UpsSupply && x.InputSwitch == y.InputSwitch && x.OutputSwitch == y.OutputSwitch &&
         x.BypassSwitch == y.BypassSwitch && x.MaintSwitch == y.MaintSwitch && x.BattTestFlag == y.BattTestFlag &&
         x.Params.WorkMode == y.Params.WorkMode;
}

bool SameContent(const TBusSnapshot& a, const TBusSnapshot& b) {
  if (a.Language != b.Language || a.Protocol != b.Protocol || a.PortName != b.PortName ||
      a.PortOpen != b.PortOpen || a.Paused != b.Paused || a.Devices.size() != b.Devices.size() ||
      std::memcmp(&a.Stats, &b.Stats, sizeof a.Stats) != 0)
    return false;
  for (size_t i = 0; i < a.Devices.size(); ++i)
    if (!SameDevice(a.Devices[i], b.Devices[i])) return false;
  return true;
}

}  // namespace

const TDeviceView* TBusSnapshot::Find(int address) const {
  for (const TDeviceView& d : Devices)
    if (d.Address == address) return &d;
  return nullptr;
}

void TWebFeed::AnswerAccepted(uint8_t address) {
  if (address <= MaxAddress) FAnswerTime[address] = FClock.Now();
}

void TWebFeed::Publish(const TContext& ctx, bool portOpen, std::vector<TPartHealth> parts) {
  auto next = std::make_shared<TBusSnapshot>();
  TBusSnapshot& s = *next;
  s.Made = true;
  s.MadeMs = FClock.MonotonicMs();
  s.Now = FClock.Now();
  s.Language = ctx.Settings.Language;
  s.Protocol = ctx.Settings.PortInfo.Protocol;
  s.PortName = ctx.Settings.PortInfo.ComName;
  s.PortOpen = portOpen;
  s.Parts = std::move(parts);
  s.Paused = ctx.Vars.Paused != 0;
  s.Stats = ctx.Stats;
  s.RecordDir = ctx.RecordDir;
  std::array<bool, SlotCount> seen{};
  const TDeviceList& list = ctx.DeviceList;
  const TFreshnessRule freshness = ctx.Freshness();
  s.Devices.reserve(static_cast<size_t>(list.Count));
  for (int i = 1; i <= std::min<int>(list.Count, MaxDevices); ++i) {
    const TDeviceNode& node = list.Nodes[i];
    if (node.Address > MaxAddress || seen[node.Address]) continue;
    seen[node.Address] = true;
    TDeviceView& d = s.Devices.emplace_back();
    d.Address = node.Address;
    d.Name = ShownDeviceNameText(node.Name);
    d.Info = ctx.UpsInfo[node.Address];
    // With the port closed nothing the table still holds is current.
    d.Up = portOpen && freshness.IsFresh(node.Address);
    d.LastAnswer = FAnswerTime[node.Address];
    if (const TForcedShutdownMark* mark = ctx.Forced.Mark(node.Address)) d.Forced = *mark;
    d.TestResult = ctx.Tests.ResultText(node.Address);
    d.TestDate = ctx.Tests.DateText(node.Address);
  }
  std::lock_guard lock(FMutex);
  s.Sequence = FCurrent && SameContent(*FCurrent, s) ? FCurrent->Sequence : ++FSequence;
  FCurrent = std::move(next);
}

TSnapshotPtr TWebFeed::Current() const {
  std::lock_guard lock(FMutex);
  if (!FCurrent) return std::make_shared<TBusSnapshot>();
  return FCurrent;
}

}  // namespace tessaro::web
