#include "core/TrayState.h"

#include <algorithm>
#include <string>

#include "core/DeviceState.h"

namespace tessaro {

namespace {
bool HasWord(const std::string& words, const char* word) {
  return (" " + words + " ").find(std::string(" ") + word + " ") != std::string::npos;
}
}  // namespace

TTrayState DeviceTrayState(const TUpsInfo& info, bool portOpen) {
  if (!portOpen || info.CommState != 0) return TTrayState::NotAnswering;
  if (info.AlarmCount > 0) return TTrayState::Alarm;
  if (HasWord(NutStatusWords(info, 0), "OB")) return TTrayState::OnBattery;
  return TTrayState::AllFine;
}

TTrayState TrayState(const TUpsInfoTable& table, const TDeviceList& list, bool portOpen) {
  TTrayState worst = TTrayState::AllFine;
  for (int i = 1; i <= list.Count; ++i) {
    const uint8_t address = list.Nodes[static_cast<size_t>(i)].Address;
    if (address > MaxAddress) continue;
    worst = std::max(worst, DeviceTrayState(table[address], portOpen));
  }
  return worst;
}

TDeviceLook LookOf(const TUpsInfo& info, bool portOpen, const TDeviceLook& before) {
  TDeviceLook look;
  look.Known = true;
  look.Linked = portOpen && info.CommState == 0 ? true : !portOpen || info.CommState == 2 ? false : before.Linked;
  if (portOpen && info.CommState == 0) {
    const std::string words = NutStatusWords(info, NewsLowRuntimeMinutes);
    look.OnBattery = HasWord(words, "OB");
    look.BatteryLow = HasWord(words, "LB");
  } else {
    look.OnBattery = before.OnBattery;
    look.BatteryLow = before.BatteryLow;
  }
  return look;
}

std::vector<TDeviceNews> NewsBetween(const TDeviceLook& before, const TDeviceLook& now) {
  std::vector<TDeviceNews> news;
  if (!before.Known || !now.Known) return news;
  if (before.Linked && !now.Linked) news.push_back(TDeviceNews::LinkLost);
  if (!before.Linked && now.Linked) news.push_back(TDeviceNews::LinkBack);
  if (!before.Linked || !now.Linked) return news;
  if (!before.OnBattery && now.OnBattery) news.push_back(TDeviceNews::MainsFailed);
  if (before.OnBattery && !now.OnBattery) news.push_back(TDeviceNews::MainsBack);
  if (!before.BatteryLow && now.BatteryLow) news.push_back(TDeviceNews::BatteryLow);
  return news;
}

}  // namespace tessaro
