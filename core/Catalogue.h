#pragma once
// The dictionary of device conditions: the decoding of status and alarm words
// into a state code, switch and supply flags and an alarm list, and the texts
// of every state, alarm and event code in both user-interface languages.

#include <cstdint>
#include <span>
#include <string>

#include "core/UpsInfo.h"

namespace tessaro {

// State codes (TUpsInfo::StateCode; -1 = no state decoded).
enum TStateCode : int32_t {
  StateNone = 0,
  StateStandby = 1,
  StateNoOutput = 2,
  StateBypass = 3,
  StateOnline = 4,
  StateBattery = 5,
  StateBattSelfTest = 6,
  StateInvStarting = 7,
  StateEco = 8,
  StateEpo = 9,
  StateMaintBypass = 10,
  StateFault = 11,
  // Shown by the displays for a lost link or a closed port; never stored in a
  // device record.
  StateCommLost = 18,
};

// Event codes 18..23 are named in logs/EventLog.h (TEventCode), next to the
// records that carry them; EventText gives their texts.

// One row of a text table. Chinese is UTF-8; either text may be empty.
struct TCatalogueEntry {
  int32_t Code;
  const char* Chinese;
  const char* English;
};

// The tables, in ascending code order.
std::span<const TCatalogueEntry> StateCatalogue();
std::span<const TCatalogueEntry> AlarmCatalogue();
std::span<const TCatalogueEntry> EventCatalogue();

// Texts in UTF-8; language 1 = Chinese, any other value English. A code
// without an entry gives an empty text.
std::string StateText(int code, int language);
std::string AlarmText(int code, int language);
std::string EventText(int code, int language);

// The state code 1..11 of a status block (first match wins: EPO, fault,
// maintenance bypass, then the inverter/bypass path bits). The caller stores it
// in StateCode and sets Status.StateValid = 1.
int32_t ComputeStateCode(const TStatusBlock& status);

// Sets InputSwitch, OutputSwitch, BypassSwitch, MaintSwitch, InputSupply and
// UpsSupply from info.Status; nothing else is touched.
void DeriveSwitches(TUpsInfo& info);

// Replaces AlarmCodes and AlarmCount from the alarm words of info.Status
// (ascending codes 0..71, at most 59 of them). PrevAlarmCodes is not touched.
void BuildAlarmList(TUpsInfo& info);

// The power-frequency protocol's state rule, from MaintSwitch, UpsSupply,
// InputSupply and BattTestFlag.
int32_t PowerFreqStateCode(const TUpsInfo& info);

}  // namespace tessaro
