#include "protocols/FuncUnit.h"

#include <cstring>

namespace tessaro {

namespace {
constexpr char UpperDigits[] = "0123456789ABCDEF";

// Low byte of value as two upper-case digits appended to out.
void AppendHexByte(std::string& out, uint32_t value) {
  out += UpperDigits[(value >> 4) & 0xF];
  out += UpperDigits[value & 0xF];
}
}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 16;
}

int32_t HexToInt(std::string_view text, int count) {
  if (count <= 0) return 0;
  const std::size_t n = static_cast<std::size_t>(count);
  // Left padding with '0' only adds leading zeros, which do not change the
  // value: read the last min(n, size) characters of the first n of the padded
  // text, i.e. text[0 .. n - pad).
  const std::size_t pad = text.size() < n ? n - text.size() : 0;
  const std::size_t read = n - pad;
  uint32_t result = 0;
  for (std::size_t i = 0; i < read; ++i) {
    const int v = HexDigitValue(text[i]);
    if (v > 15) break;
    result = result * 16u + static_cast<uint32_t>(v);
  }
  return static_cast<int32_t>(result);
}

uint16_t Hex4ToWord(std::string_view frame, std::size_t pos) {
  uint32_t result = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (pos >= frame.size() || i >= frame.size() - pos) break;
    const int v = HexDigitValue(frame[pos + i]);
    if (v > 15) continue;
    result = (result * 16u + static_cast<uint32_t>(v)) & 0xFFFFu;
  }
  return static_cast<uint16_t>(result);
}

std::string WordToHex4(uint32_t value) {
  std::string out;
  out.reserve(4);
  AppendHexByte(out, value >> 8);
  AppendHexByte(out, value);
  return out;
}

bool BitIsSet(uint32_t value, int n) {
  if (n < 0 || n > 31) return false;
  return ((value >> n) & 1u) != 0;
}

std::string LengthField(int lenId) {
  const uint32_t id = static_cast<uint32_t>(lenId) & 0x0FFFu;
  const uint32_t sum = (id & 0xF) + ((id >> 4) & 0xF) + ((id >> 8) & 0xF);
  const uint32_t check = (16u - sum % 16u) % 16u;
  std::string text = WordToHex4(id);
  text[0] = UpperDigits[check];
  return text;
}

std::string FrameChecksum(std::string_view frame, int count) {
  uint32_t sum = 0;
  if (count > 0 && frame.size() > 1) {
    const std::size_t avail = frame.size() - 1;
    const std::size_t n = static_cast<std::size_t>(count) < avail ? static_cast<std::size_t>(count) : avail;
    for (std::size_t i = 1; i <= n; ++i) sum += static_cast<unsigned char>(frame[i]);
  }
  return WordToHex4((65536u - sum % 65536u) % 65536u);
}

std::string HexOnly(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) out += c;
  }
  return out;
}

std::vector<uint8_t> HexTextToBytes(std::string_view text) {
  const std::string t = HexOnly(text);
  std::vector<uint8_t> bytes(t.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(HexDigitValue(t[2 * i]) * 16 + HexDigitValue(t[2 * i + 1]));
  }
  return bytes;
}

std::string BytesToHexText(const uint8_t* bytes, std::size_t count, std::string_view separator) {
  std::string out;
  if (bytes == nullptr) return out;
  out.reserve(count * (2 + separator.size()));
  for (std::size_t i = 0; i < count; ++i) {
    AppendHexByte(out, bytes[i]);
    out += separator;
  }
  return out;
}

std::string BytesToHexText(const std::vector<uint8_t>& bytes, std::string_view separator) {
  return BytesToHexText(bytes.data(), bytes.size(), separator);
}

std::string SignedWordToStr(uint32_t value) {
  return std::to_string(static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFFu)));
}

double HexToSingle(std::string_view text, std::size_t pos) {
  uint32_t bits = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t at = pos + 2 * k;
    std::string_view pair;
    if (pos < text.size() && 2 * k < text.size() - pos) pair = text.substr(at, 2);
    const uint32_t byte = static_cast<uint32_t>(HexToInt(pair, 2)) & 0xFFu;
    bits |= byte << (8 * k);
  }
  float value;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return static_cast<double>(value);
}

std::string IntToFixedDigits(int64_t value, int width) {
  if (width <= 0) return {};
  std::string text = std::to_string(value);
  const std::size_t w = static_cast<std::size_t>(width);
  if (text.size() < w) text.insert(0, w - text.size(), '0');
  return text.substr(text.size() - w);
}

}  // namespace tessaro
