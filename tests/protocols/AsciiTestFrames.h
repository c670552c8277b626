#pragma once
// Test-side frame making for the two ASCII protocols. LENGTH
// and CHKSUM are computed here from the definitions, independently of
// protocols/FuncUnit, so the handlers are checked against a second reading.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/AsciiFrame.h"
#include "protocols/Handler.h"

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

// The frame of a built request, as text.
inline std::string FrameText(const TRequest& request) {
  return std::string(reinterpret_cast<const char*>(request.Frame.data()), static_cast<std::size_t>(request.FrameLen));
}

// The bytes of a record, for "nothing stored" checks.
inline std::vector<uint8_t> RecordBytes(const TUpsInfo& record) {
  std::vector<uint8_t> bytes(sizeof(TUpsInfo));
  std::memcpy(bytes.data(), &record, sizeof(TUpsInfo));
  return bytes;
}

// One handler, the record of the device it talks to and the line statistics,
// fresh for each test; the answer path is the engine's: Matches, then Decode.
template <class THandler>
struct TAsciiRig {
  TAsciiRig() {
    Record.Address = 1;
    Record.CommState = 0;
  }
  // The request of command step `step` to `addr` is the one in flight.
  void RequestStep(int step, uint16_t addr = 1) { Request = Handler.CycleRequest(addr, step); }
  // Holds the chunk, in an allocation of exactly its length, against the
  // request in flight and decodes it when it matches.
  bool Feed(const std::string& chunk) {
    const std::vector<uint8_t> bytes(chunk.begin(), chunk.end());
    const std::span<const uint8_t> answer(bytes.data(), bytes.size());
    if (!Handler.Matches(Request, answer, Stats)) return false;
    return Handler.Decode(Request, answer, Record);
  }
  THandler Handler;
  TRequest Request;
  TUpsInfo Record;
  TPollStats Stats;
};

inline std::vector<int32_t> Counters(const TPollStats& s) {
  return {s.ErrA, s.ErrB, s.ErrC, s.ErrD, s.ErrE, s.ErrF};
}

inline std::vector<int32_t> Alarms(const TUpsInfo& info) {
  return {info.AlarmCodes.begin(), info.AlarmCodes.begin() + info.AlarmCount};
}

// The six counters A..F with one count in `counter` (0 = A .. 5 = F).
inline std::vector<int32_t> OnlyCounter(int counter) {
  std::vector<int32_t> expected(6, 0);
  expected[static_cast<std::size_t>(counter)] = 1;
  return expected;
}

// Holds `chunk` against the request of command step `step` to device `addr`,
// on a record that would change if the chunk were decoded (the status gate of
// the power-frequency protocol is passed): it must be refused, counted once in
// `counter` and leave the record untouched byte for byte.
template <class THandler>
void ExpectRefused(int step, uint16_t addr, const std::string& chunk, int counter) {
  TAsciiRig<THandler> rig;
  rig.Record.SuccessCount = 10;
  rig.RequestStep(step, addr);
  const std::vector<uint8_t> before = RecordBytes(rig.Record);
  EXPECT_FALSE(rig.Feed(chunk));
  EXPECT_EQ(Counters(rig.Stats), OnlyCounter(counter));
  EXPECT_TRUE(RecordBytes(rig.Record) == before) << "a refused answer stored something";
}

// Every intact answer to one command, held against the request of each
// command: only the command sent takes it (and decodes it); any other is
// refused in counter E with the record untouched. INFO is all '4': every
// decoder finds something to store in it.
template <class THandler>
void ExpectEachAnswerFitsOnlyItsCommand() {
  const auto& commands = THandler::Commands;
  const std::string ver(THandler::VerText);
  for (int answered = 1; answered <= AsciiCycleSteps; ++answered) {
    const std::string chunk = Answer(ver, 1, std::string(static_cast<std::size_t>(commands[answered].InfoLen), '4'));
    for (int sent = 1; sent <= AsciiCycleSteps; ++sent) {
      SCOPED_TRACE(std::string("answer to ") + std::string(commands[answered].Cid2) + " against " +
                   std::string(commands[sent].Cid2));
      if (sent != answered) {
        ExpectRefused<THandler>(sent, 1, chunk, 4);
        continue;
      }
      TAsciiRig<THandler> rig;
      rig.Record.SuccessCount = 10;
      rig.RequestStep(sent);
      const std::vector<uint8_t> before = RecordBytes(rig.Record);
      EXPECT_TRUE(rig.Feed(chunk));
      EXPECT_EQ(Counters(rig.Stats), std::vector<int32_t>(6, 0));
      EXPECT_FALSE(RecordBytes(rig.Record) == before) << "the fill decodes to nothing: the refusals prove little";
    }
  }
}

// An answer to the command sent whose INFO is one character short or long,
// or empty: refused in counter E, nothing stored.
template <class THandler>
void ExpectWrongInfoLengthsRefused() {
  const std::string ver(THandler::VerText);
  for (int step = 1; step <= AsciiCycleSteps; ++step) {
    const int infoLen = THandler::Commands[step].InfoLen;
    for (int length : {infoLen - 1, infoLen + 1, 0}) {
      SCOPED_TRACE(testing::Message() << "step " << step << ", INFO " << length);
      ExpectRefused<THandler>(step, 1, Answer(ver, 1, std::string(static_cast<std::size_t>(length), '1')), 4);
    }
  }
}

}  // namespace tessaro::testing_ascii
