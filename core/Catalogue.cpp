#include "core/Catalogue.h"

namespace tessaro {

std::span<const TCatalogueEntry> StateCatalogue() { return {}; }
std::span<const TCatalogueEntry> AlarmCatalogue() { return {}; }
std::span<const TCatalogueEntry> EventCatalogue() { return {}; }
std::string StateText(int, int) { return {}; }
std::string AlarmText(int, int) { return {}; }
std::string EventText(int, int) { return {}; }
int32_t ComputeStateCode(const TStatusBlock&) { return StateStandby; }
void DeriveSwitches(TUpsInfo&) {}
void BuildAlarmList(TUpsInfo& info) { info.AlarmCount = 0; }
int32_t PowerFreqStateCode(const TUpsInfo&) { return StateStandby; }

}  // namespace tessaro
