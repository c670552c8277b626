#pragma once
// How every face shows a device state: one row per state code with its
// network UPS status words, its machine name, its sketch picture and tree
// icon, and where its text is. The desktop, the web pages and the network
// UPS server read the same row, so a state can never show one way here and
// another there.

#include <optional>
#include <span>
#include <string>

#include "core/Catalogue.h"
#include "core/LangTable.h"
#include "core/UpsInfo.h"

namespace tessaro {

// The device tree's icons; the numbers are the desktop's icon indices.
enum class TTreeIcon : int { Lost = 0, Ok = 1, Alarm = 2, Page = 3 };
// "lost", "ok", "alarm", "page": the web pages' class of the icon.
const char* TreeIconName(TTreeIcon icon);

// The animated diagrams of the sketch, in the desktop's order.
enum class TSketchPicture : int { None = -1, Standby, Online, Bypass, Battery, Economy, Test, Fault };
constexpr int SketchPictureCount = 7;

// Which way the load is fed, as the network UPS status words tell it.
enum class TLoadPath {
  Off,       // the load is not fed: the input supply's word, then OFF
  Line,      // OL
  Battery,   // OB
  Bypass,    // OL BYPASS
  BySupply,  // the state says nothing of the path; the supply flags do
};

struct TStateRow {
  int32_t Code;            // TUpsInfo::StateCode, or a display-only code
  const char* Name;        // machine name (metric label); null: not a device state
  TLoadPath Path;
  TSketchPicture Picture;
  TTreeIcon Icon;          // while the link is up and no alarm is active
  int32_t TextCode;        // StateText code of its caption; -1: no caption
};

// Not yet polled (StateCode -1), 0..11, then the display-only "communication
// lost" (StateCommLost).
std::span<const TStateRow> StateRows();
// The row of a code; a code outside the table gets a row that shows standby
// and has no name or text.
const TStateRow& StateRow(int32_t code);
// The caption of a state in the language ("" for none).
std::string StateCaption(int32_t code, int language);

// How the device tree (desktop and web) shows a device: icon and the text in
// brackets after its name (empty: the bare name).
struct TTreeLook {
  TTreeIcon Icon = TTreeIcon::Lost;
  std::string Caption;
  // A decoded state or a link trouble: the desktop tree puts brackets after
  // the name even round a state without text; only "not yet polled" has none.
  bool Bracketed = true;
};
TTreeLook TreeLook(const TUpsInfo& info, bool portOpen, int language);

// The state the sketch shows: "communication lost" while the link is not up.
int32_t ShownSketchState(const TUpsInfo& info);

// ups.status: OL or OB, BYPASS, OFF, CAL, LB and ALARM, as the device's state
// code, supply path, alarms and runtime tell. `lowRuntimeMinutes` applies
// when the device has no pre-alarm time of its own.
std::string NutStatusWords(const TUpsInfo& info, int lowRuntimeMinutes);

// The texts of the two supply fields; none for a code the device never sends.
std::optional<TTextId> InputSupplyText(const TUpsInfo& info);
std::optional<TTextId> UpsSupplyText(const TUpsInfo& info);

// The status and alarm words as both faces show them ("0102-0000").
struct TStatusWordTexts {
  std::string CmmState, InvState, CmmAlarm, InvAlarm, SysState, SysAlarm;
};
TStatusWordTexts StatusWordTexts(const TStatusBlock& status);

}  // namespace tessaro
