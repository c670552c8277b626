#include <gtest/gtest.h>

#include "core/Catalogue.h"
#include "core/TrayState.h"

using namespace tessaro;

namespace {

struct TDevice {
  uint8_t CommState;
  int32_t StateCode;
  uint8_t Alarms;
};

}  // namespace

// The tray shows the worst device: not answering over an alarm over the
// battery over all fine; a device not in the list counts for nothing.
TEST(TrayState, TheWorstDeviceOfTheListDecides) {
  struct TCase {
    const char* What;
    std::vector<TDevice> Devices;
    bool PortOpen;
    TTrayState Expected;
  } const cases[] = {
      {"no devices", {}, true, TTrayState::AllFine},
      {"all online", {{0, StateOnline, 0}, {0, StateOnline, 0}}, true, TTrayState::AllFine},
      {"one on battery", {{0, StateOnline, 0}, {0, StateBattery, 0}}, true, TTrayState::OnBattery},
      {"alarm beats battery", {{0, StateBattery, 0}, {0, StateOnline, 2}}, true, TTrayState::Alarm},
      {"link error", {{0, StateBattery, 1}, {1, StateOnline, 0}}, true, TTrayState::NotAnswering},
      {"link lost", {{2, StateOnline, 0}}, true, TTrayState::NotAnswering},
      {"port closed", {{0, StateOnline, 0}}, false, TTrayState::NotAnswering},
  };
  for (const TCase& c : cases) {
    TUpsInfoTable table{};
    InitDeviceTable(table);
    TDeviceList list;
    uint8_t address = 1;
    for (const TDevice& d : c.Devices) {
      list.Nodes[++list.Count].Address = address;
      TUpsInfo& info = table[address++];
      info.CommState = d.CommState;
      info.StateCode = d.StateCode;
      info.AlarmCount = d.Alarms;
    }
    // An unlisted slot in trouble changes nothing.
    table[200].CommState = 2;
    EXPECT_EQ(TrayState(table, list, c.PortOpen), c.Expected) << c.What;
  }
}
