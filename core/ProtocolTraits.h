#pragma once
// What each protocol of the settings gives and takes, so that the windows,
// the web pages and the network server ask a property instead of testing
// protocol numbers.

#include <cstdint>

#include "core/UserParaIni.h"

namespace tessaro {

struct TProtocolTraits {
  bool Known;            // a handler speaks it
  bool SystemWords;      // the system state and alarm words
  bool BatteryGroup;     // battery charge and current are reported
  bool Sketch;           // the sketch of the power path is worth showing
  bool ChargeFlow;       // the sketch can show the battery current's flow
  bool TakesCommands;    // user settings, battery test and remote on/off
  bool BinaryFrames;     // its frames are bytes, not text: traces show them in hexadecimal
  int32_t AlarmFirst;    // the alarm codes it can raise: AlarmFirst..AlarmLast
  int32_t AlarmLast;
};

const TProtocolTraits& ProtocolTraits(uint8_t protocol);

inline bool RaisesAlarm(const TProtocolTraits& traits, int32_t code) {
  return code >= traits.AlarmFirst && code <= traits.AlarmLast;
}

}  // namespace tessaro
