#pragma once
// Test-side frame making for the two ASCII protocols (Parts 3.3, 3.4). LENGTH
// and CHKSUM are computed here from the definitions, independently of
// protocols/FuncUnit, so the handlers are checked against a second reading.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"

namespace tessaro::testing_ascii {

inline std::string Hex2(unsigned v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
  return buf;
}

inline std::string Hex4(unsigned v) {
  char buf[5];
  std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
  return buf;
}

// LENGTH: LCHKSUM nibble then the 12-bit LENID.
inline std::string LengthText(unsigned lenId) {
  lenId &= 0xFFF;
  const unsigned sum = (lenId & 0xF) + ((lenId >> 4) & 0xF) + (lenId >> 8);
  const unsigned check = (16 - sum % 16) % 16;
  return Hex4((check << 12) | lenId);
}

// CHKSUM over every character after the SOI of `head` (which starts with "~").
inline std::string ChecksumText(const std::string& head) {
  unsigned sum = 0;
  for (std::size_t i = 1; i < head.size(); ++i) sum += static_cast<unsigned char>(head[i]);
  return Hex4((65536 - sum % 65536) % 65536);
}

// A well-formed answer: ~ VER ADR 2A RTN LENGTH INFO CHKSUM CR.
inline std::string Answer(const std::string& ver, unsigned adr, const std::string& info,
                          const std::string& cid1 = "2A", const std::string& rtn = "00") {
  std::string head = "~" + ver + Hex2(adr) + cid1 + rtn + LengthText(static_cast<unsigned>(info.size())) + info;
  return head + ChecksumText(head) + "\r";
}

// An INFO of `length` characters of '0' with texts placed at absolute frame
// positions (INFO starts at character 13).
inline std::string Info(int length, std::initializer_list<std::pair<int, std::string>> fields) {
  std::string info(static_cast<std::size_t>(length), '0');
  for (const auto& [pos, text] : fields) {
    if (pos < 13 || pos - 13 + static_cast<int>(text.size()) > length) throw std::logic_error("field outside INFO");
    info.replace(static_cast<std::size_t>(pos - 13), text.size(), text);
  }
  return info;
}

// Four characters as a word, non-hex characters skipped (Hex4ToWord's rule).
inline unsigned WordOf(const std::string& text) {
  unsigned v = 0;
  for (char c : text) {
    const int d = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                           : -1;
    if (d >= 0) v = (v * 16 + static_cast<unsigned>(d)) & 0xFFFF;
  }
  return v;
}

// A float as four hex byte pairs, least significant byte first.
inline std::string FloatHex(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return Hex2(bits) + Hex2(bits >> 8) + Hex2(bits >> 16) + Hex2(bits >> 24);
}

inline std::string TxText(const TPollVars& vars, int length) {
  return std::string(reinterpret_cast<const char*>(vars.TxBuf.data()), static_cast<std::size_t>(length));
}

// The program-wide state a handler reaches, fresh for each test.
struct TAsciiRig {
  TAsciiRig() {
    InitDeviceTable(UpsInfo);
    for (auto& slot : UpsInfo) slot.CommState = 0;
  }
  // Sets the device list directly (AddDevice would save TreeNode.dat).
  void SetDevices(std::initializer_list<uint8_t> addresses) {
    DeviceList.Count = 0;
    for (uint8_t a : addresses) {
      ++DeviceList.Count;
      DeviceList.Nodes[DeviceList.Count].Address = a;
    }
  }
  TUpsInfoTable UpsInfo;
  TDeviceList DeviceList;
  TPollVars Vars;
  TPollStats Stats;
  TProtocolEnv Env{UpsInfo, DeviceList, Vars, Stats};
};

inline std::vector<int32_t> Counters(const TPollStats& s) {
  return {s.ErrA, s.ErrB, s.ErrC, s.ErrD, s.ErrE, s.ErrF};
}

inline std::vector<int32_t> Alarms(const TUpsInfo& info) {
  return {info.AlarmCodes.begin(), info.AlarmCodes.begin() + info.AlarmCount};
}

}  // namespace tessaro::testing_ascii
