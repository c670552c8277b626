#pragma once
// TYdtV31Protocol: the modular-UPS ASCII protocol (`Protocol` 0).
// Also the request cycle, request frame and answer checks that the
// power-frequency handler shares with it.
//
// Request (18 bytes, INFO empty), e.g. command 42 to device 1:
//
//   0         1
//   01234567890123456 7
//   ~31012A420000FDA2 \r      then a 0 byte in the buffer, not sent
//   |VVAAC1C2LLLLKKKK
//
// Answer: the same layout with CID2 = RTN (must be 0), INFO from character 13,
// CHKSUM at length-5..length-2, EOI (not examined) at length-1.

#include <cstdint>
#include <string_view>

#include "core/PollState.h"
#include "core/UpsInfo.h"

namespace tessaro {

// ---- Shared by both ASCII handlers ----------------------------------------

constexpr int AsciiRequestLen = 18;
constexpr int AsciiCid1 = 0x2A;
constexpr int AsciiCycleSteps = 5;
// The command step a device search probes with (command 43 in both protocols).
constexpr uint8_t AsciiSearchStep = 2;

// The outcome of the answer checks; each failure names the counter A..F it
// counts into (ParseAnswer steps 1 to 6, in this order).
enum class TAsciiCheck : uint8_t {
  Accepted,
  BadSoi,       // A: first byte not "~"
  BadVer,       // B: VER (characters 1-2) not the protocol's version
  BadAdr,       // C: ADR (characters 3-4) not DevAddr
  BadCidRtn,    // D: CID1 (5-6) not 0x2A, or RTN (7-8) not 0
  BadLength,    // E: LENGTH (9-12) not LengthField(length - 18), as text
  BadChecksum,  // F: CHKSUM (length-5..length-2) not FrameChecksum(frame, length - 6), as text
};

// Runs the six checks on one received chunk. Reads nothing outside `frame`:
// characters asked for beyond its end are absent (a VER of "3" reads as 03).
TAsciiCheck CheckAsciiAnswer(std::string_view frame, int ver, int devAddr);

// Adds one to the counter of a failed check (saturating); nothing for Accepted.
void CountAsciiCheck(TPollStats& stats, TAsciiCheck check);

// Builds "~" VER ADR "2A" CID2 "0000" CHKSUM CR into tx (at least 19 bytes),
// puts a 0 byte after it, and returns the frame length, 18.
int BuildAsciiRequest(uint8_t* tx, std::string_view verText, uint8_t adr, std::string_view cid2);

// The request cycle (NextRequest steps 1 to 5). Returns the command
// step to build, 1..5, with devAddr set to its device; 0 while Paused (nothing
// to build, devAddr unchanged). In SearchMode returns AsciiSearchStep for
// SearchAddr without touching PollStep or StepCount.
uint8_t NextAsciiStep(TProtocolEnv& env, uint16_t& devAddr);

// frame[pos .. pos+count), cut at the end of the frame ("" when pos lies beyond).
std::string_view AsciiChars(std::string_view frame, int pos, int count);

// True when all `width` characters from pos lie inside the frame. The decoders
// leave a field that does not unchanged.
bool AsciiFieldWithin(std::string_view frame, int pos, int width);

// The slot of an address, or nullptr for an address beyond the table (253..):
// such a device has no record, so it counts as lost and decodes nothing.
TUpsInfo* AsciiRecordOf(TUpsInfoTable& table, uint16_t address);

// The part of ParseAnswer both ASCII handlers share: views the chunk as
// `frame`, runs the six checks and counts a failure. True when the answer is
// accepted; `record` is then the slot to decode into (nullptr without one).
bool AcceptAsciiAnswer(TProtocolEnv& env, const uint8_t* bytes, int length, int ver, uint16_t devAddr,
                       std::string_view& frame, TUpsInfo*& record);

// ---- The handler ------------------------------------------------------------

class TYdtV31Protocol {
 public:
  static constexpr std::string_view VerText = "31";
  static constexpr int Ver = 0x31;

  explicit TYdtV31Protocol(const TProtocolEnv& env);

  // Chooses the next command and builds its frame into the engine's transmit
  // buffer; FrameLen is 18, or 0 when Paused (nothing built).
  void NextRequest();
  // True when the chunk is an accepted answer of DevAddr; the decoded values are
  // then in UpsInfo[DevAddr]. A rejected chunk counts into one of ErrA..ErrF.
  bool ParseAnswer(const uint8_t* bytes, int length);

  int32_t FrameLen = 0;
  uint16_t DevAddr = 1;
  // Command step (1..5) of the last built request; 0 at construction and once
  // its answer has been decoded, so a second answer decodes nothing.
  uint8_t CmdStep = 0;

  // CID2 of each command step 1..5 (index 0 unused).
  static constexpr std::string_view Cid2[AsciiCycleSteps + 1] = {"", "42", "43", "44", "80", "82"};

 private:
  void BuildFrame();
  void DecodeStep1();  // 42: analog values
  void DecodeStep2();  // 43: status words
  void DecodeStep3();  // 44: alarm words
  void DecodeStep4();  // 80: loads and battery currents
  void DecodeStep5();  // 82: backup time and capacity

  TProtocolEnv FEnv;
  TUpsInfo* FRecord = nullptr;  // record of DevAddr, set once the address checks pass
  std::string_view FFrame;      // the chunk being parsed
};

}  // namespace tessaro
