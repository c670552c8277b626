#include "tools/sim/SimFrames.h"

#include <cstring>

namespace tessaro::sim {

namespace {
const char kDigits[] = "0123456789ABCDEF";

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

uint16_t Crc16(const uint8_t* data, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

uint16_t Crc16(const std::string& bytes) {
  return Crc16(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void AppendCrc(std::string& frame) {
  const uint16_t crc = Crc16(frame);
  frame.push_back(static_cast<char>(crc & 0xFF));
  frame.push_back(static_cast<char>(crc >> 8));
}

bool CrcValid(const std::string& frame) {
  return frame.size() >= 4 && Crc16(frame) == 0;
}

std::string Hex2(unsigned value) {
  return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

std::string Hex4(unsigned value) {
  return Hex2((value >> 8) & 0xFF) + Hex2(value & 0xFF);
}

int ParseHex(const std::string& text, size_t pos, size_t count) {
  if (pos + count > text.size()) return -1;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const int d = DigitValue(text[pos + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

std::string LengthField(unsigned infoChars) {
  const unsigned lenid = infoChars & 0x0FFF;
  const unsigned nibbleSum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
  const unsigned lchksum = (~nibbleSum + 1) & 0xF;
  return Hex4((lchksum << 12) | lenid);
}

std::string AsciiChecksum(const std::string& frameWithoutChecksum) {
  unsigned sum = 0;
  for (size_t i = 1; i < frameWithoutChecksum.size(); ++i) sum += static_cast<unsigned char>(frameWithoutChecksum[i]);
  return Hex4((~sum + 1) & 0xFFFF);
}

std::string FloatHexLsbFirst(float value) {
  uint32_t bits = 0;
  static_assert(sizeof(bits) == sizeof(value));
  std::memcpy(&bits, &value, sizeof(bits));
  std::string out;
  for (int i = 0; i < 4; ++i) out += Hex2((bits >> (8 * i)) & 0xFF);
  return out;
}

std::string BuildAsciiFrame(const std::string& ver, unsigned adr, unsigned rtn, const std::string& info) {
  std::string frame = "~" + ver + Hex2(adr) + "2A" + Hex2(rtn) + LengthField(static_cast<unsigned>(info.size())) + info;
  frame += AsciiChecksum(frame);
  frame += '\r';
  return frame;
}

}  // namespace tessaro::sim
