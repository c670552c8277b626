#pragma once
// The parameters an operator can set on a UPS, one holding register each: how
// each is entered, which values the selected model accepts, what the device's
// current value shows, and how an entry is checked and turned into the value
// written. No user-interface code: the dialog only shows what these return.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "control/Control.h"
#include "core/UpsInfo.h"
#include "engine/CommandQueue.h"

namespace tessaro {

class TContext;

enum class TParamKind : uint8_t { Choice, Number, Decimal, Switches };

struct TParamDef {
  const char* Zh;
  const char* En;
  int Reg;
  TParamKind Kind;
  const char* Message;  // shown, in English, when the entry is not valid
};

inline constexpr int ParamEntryCount = 20;  // the last one only for "RXA410LT"
extern const std::array<TParamDef, ParamEntryCount> ParamDefs;
inline constexpr int EntryOperationMode = 19;
inline constexpr int UnlockRegister = 50000;  // written before every parameter of "GDS7100"

// A whole decimal number of at most 16 bits; none for anything else (empty,
// a point, too large), so no entry is ever written as a value nobody typed.
std::optional<uint16_t> WholeNumber(const std::string& text);

// 20 with the model "RXA410LT", 19 otherwise.
int ParamListCount(const std::string& model);

struct TChoice {
  std::string Text;
  int Value;  // written as its low 16 bits (negative values as two's complement)
};

// The choices of a Choice entry for the model and the device's values.
std::vector<TChoice> ParamChoices(int entry, const std::string& model, const TDeviceParams& dev, uint8_t language);
// The choice the device's current value selects, -1 for none.
int ShownChoice(int entry, const std::string& model, const TDeviceParams& dev);
// The text a Number or Decimal entry starts with.
std::string ShownNumber(int entry, const TDeviceParams& dev);

struct TParamInput {
  std::optional<int> ChoiceValue;  // Choice: the value of the selected choice, none when nothing is selected
  std::string Text;                // Number and Decimal
  bool BuzzerDisable = false;      // Switches
  bool BoostDisable = false;
};

struct TParamCheck {
  bool Ok = false;
  uint16_t Value = 0;
  std::string Message;                    // when not Ok
  std::optional<std::string> Correction;  // the entry's new text, valid or not
};

// Checks an entry against the limits of the parameter; dev gives the device's
// current values the limits depend on.
TParamCheck CheckParam(int entry, const TParamInput& input, const TDeviceParams& dev);

// The device's last reported value of a parameter's holding register, as
// the register holds it (0 for a register that is no parameter).
uint16_t DeviceParamValue(const TDeviceParams& dev, int reg);

// Stores a value in the ParamImage field of a holding register (8-bit fields
// take the low byte, the signed ones the bits as they are).
void StoreParam(TParamImage& image, int reg, uint16_t value);

// Copies the device's values of every listed parameter into ParamImage, except
// those whose write is still waiting in the queue: their image holds the value
// the operator chose, which the write has yet to carry.
void LoadParamImage(TCommandQueue& queue, const TDeviceParams& dev);

enum class TSetOutcome : uint8_t {
  PortOff,  // "Serial Port Off"
  Invalid,  // Check says why
  Declined,  // the operator answered No to the question
  Refused,  // the write cannot be queued now; Refusal says why
  Stored,   // ParamImage changed; protocol without commands, nothing queued
  Queued,   // Id follows it to its outcome
};

struct TSetResult {
  TSetOutcome Outcome = TSetOutcome::Invalid;
  TParamCheck Check;
  TCommandCheck Refusal = TCommandCheck::Ok;
  uint32_t Id = 0;
};

// The Set press of the parameter dialog for device addr. A valid write that
// can go out is first put to `confirm` (the question, ConfirmQuestion), when
// given: false leaves everything as it was.
TSetResult PressParamSet(TContext& ctx, uint8_t addr, bool portOpen, int entry, const TParamInput& input,
                         const std::function<bool(const TCommandRequest&)>& confirm = {});

}  // namespace tessaro
