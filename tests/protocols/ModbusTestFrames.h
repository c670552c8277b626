#pragma once
// Test-side Modbus frame making, with a CRC computed here (table driven)
// rather than by the handler's bitwise one.

#include <array>
#include <cstdint>
#include <vector>

namespace tessaro::testing_modbus {

using Bytes = std::vector<uint8_t>;

// Independent table-driven Modbus CRC (not the handler's bitwise one).
inline uint16_t RefCrc(const Bytes& bytes) {
  static const auto table = [] {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      t[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ b) & 0xFF]);
  return crc;
}

// The bytes followed by their CRC, low byte first.
inline Bytes WithCrc(Bytes bytes) {
  const uint16_t crc = RefCrc(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

// A read answer (function 3 or 4) carrying the given register values.
inline Bytes ReadAnswer(uint8_t addr, uint8_t func, const std::vector<uint16_t>& regs) {
  Bytes b{addr, func, static_cast<uint8_t>(2 * regs.size())};
  for (uint16_t r : regs) {
    b.push_back(static_cast<uint8_t>(r >> 8));
    b.push_back(static_cast<uint8_t>(r & 0xFF));
  }
  return WithCrc(b);
}

}  // namespace tessaro::testing_modbus
