#pragma once
// What the two ASCII handlers share: the request frame, the answer checks and
// the request cycle of five commands.
//
// Request (18 bytes, INFO empty), e.g. command 42 to device 1:
//
//   0         1
//   01234567890123456 7
//   ~31012A420000FDA2 \r
//   |VVAAC1C2LLLLKKKK
//
// Answer: the same layout with CID2 = RTN (must be 0), INFO from character 13,
// CHKSUM at length-5..length-2, EOI (not examined) at length-1.

#include <array>
#include <cstdint>
#include <string_view>

#include "protocols/Handler.h"

namespace tessaro {

constexpr int AsciiRequestLen = 18;
constexpr int AsciiCid1 = 0x2A;
constexpr int AsciiCycleSteps = 5;
// The command step a device search probes with (command 43 in both protocols).
constexpr uint8_t AsciiSearchStep = 2;

// The outcome of the answer checks; each failure names the counter A..F it
// counts into, in the order the checks run.
enum class TAsciiCheck : uint8_t {
  Accepted,
  BadSoi,       // A: first byte not "~"
  BadVer,       // B: VER (characters 1-2) not the protocol's version
  BadAdr,       // C: ADR (characters 3-4) not the addressed device
  BadCidRtn,    // D: CID1 (5-6) not 0x2A, or RTN (7-8) not 0
  BadLength,    // E: LENGTH (9-12) not LengthField(length - 18), as text;
                //    or an INFO length other than the answer to the command sent has
  BadChecksum,  // F: CHKSUM (length-5..length-2) not FrameChecksum(frame, length - 6), as text
};

// Runs the checks on one received chunk against a request: the frame checks,
// then the INFO length of the command that was sent (infoLen; below 0 skips
// it). Reads nothing outside `frame`: characters asked for beyond its end are
// absent (a VER of "3" reads as 03).
TAsciiCheck CheckAsciiAnswer(std::string_view frame, int ver, int devAddr, int infoLen = -1);

// Adds one to the counter of a failed check (saturating); nothing for Accepted.
void CountAsciiCheck(TPollStats& stats, TAsciiCheck check);

// Builds "~" VER ADR "2A" CID2 "0000" CHKSUM CR into tx (at least 19 bytes),
// puts a 0 byte after it, and returns the frame length, 18.
int BuildAsciiRequest(uint8_t* tx, std::string_view verText, uint8_t adr, std::string_view cid2);

// frame[pos .. pos+count), cut at the end of the frame ("" when pos lies beyond).
std::string_view AsciiChars(std::string_view frame, int pos, int count);

// True when all `width` characters from pos lie inside the frame. The decoders
// leave a field that does not unchanged.
bool AsciiFieldWithin(std::string_view frame, int pos, int width);

// A chunk as text.
std::string_view AsciiView(std::span<const uint8_t> bytes);

// The request side and the answer checks of an ASCII protocol: five commands
// per device, each answered with an INFO of a fixed length (the extent of the
// fields its decoder reads). Request.Func carries the command step 1..5.
class TAsciiHandler : public TProtocolHandler {
 public:
  struct TCommand {
    std::string_view Cid2;
    int InfoLen;  // characters of INFO in the answer
  };
  using TCommands = std::array<TCommand, AsciiCycleSteps + 1>;  // index 0 unused

  TAsciiHandler(std::string_view verText, int ver, const TCommands& commands)
      : FVerText(verText), FVer(ver), FCommands(commands) {}

  uint16_t FirstAddress() const override { return 1; }
  int CycleSteps() const override { return AsciiCycleSteps; }
  TRequest CycleRequest(uint16_t addr, int step) const override;
  // Every command of the cycle carries live values.
  uint32_t RequiredSteps() const override { return StepBit(AsciiCycleSteps + 1) - 1; }
  // Analog values, loads and currents, backup time and capacity; 2 and 3 carry state and alarms.
  uint32_t MeasureSteps() const override { return StepBit(1) | StepBit(4) | StepBit(5); }
  TRequest SearchRequest(uint16_t addr) const override;
  bool Matches(const TRequest& request, std::span<const uint8_t> answer, TPollStats& stats) const override;
  // Decodes by the command step of the request; a second answer to the same
  // request is accepted and decodes nothing, unless the first left its step
  // undecoded (a status below the power-frequency protocol's gate).
  bool Decode(const TRequest& request, std::span<const uint8_t> answer, TUpsInfo& record) final;

 protected:
  // False when the answer was accepted but its values were not taken.
  virtual bool DecodeStep(int step, std::string_view frame, TUpsInfo& record) = 0;

 private:
  std::string_view FVerText;
  int FVer;
  TCommands FCommands;
};

}  // namespace tessaro
