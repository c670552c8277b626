#include "core/ProtocolTraits.h"

#include <limits>

namespace tessaro {

namespace {

constexpr int32_t Lowest = std::numeric_limits<int32_t>::min();
constexpr int32_t Highest = std::numeric_limits<int32_t>::max();

// The power-frequency protocol has an alarm range of its own, from 100 up.
// clang-format off
//                                   known  system battery sketch flow   commands binary alarms
constexpr TProtocolTraits YdtV31  = {true,  true,  true,   true,  true,  false,   false, Lowest, 99};
constexpr TProtocolTraits Quorvan = {true,  false, false,  false, false, false,   false, 100, Highest};
constexpr TProtocolTraits Modbus  = {true,  true,  true,   true,  true,  true,    true,  Lowest, 99};
constexpr TProtocolTraits Rxa     = {true,  false, true,   true,  true,  true,    true,  Lowest, 99};
// A number no handler speaks polls nothing; what it shows stays as it was.
constexpr TProtocolTraits Unknown = {false, false, true,   false, false, false,   false, Lowest, 99};
// clang-format on

}  // namespace

const TProtocolTraits& ProtocolTraits(uint8_t protocol) {
  switch (protocol) {
    case ProtocolYdtV31: return YdtV31;
    case ProtocolQuorvan: return Quorvan;
    case ProtocolModbus: return Modbus;
    case ProtocolRxa: return Rxa;
    default: return Unknown;
  }
}

}  // namespace tessaro
