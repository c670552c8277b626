#pragma once
// Command line and scenario file of tessaro-sim.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tessaro::sim {

enum class TSimProtocol { Modbus, Ydt, Quorvan };

// What a faulty answer looks like on the line.
enum class TFaultKind {
  Checksum,   // wrong CRC / CHKSUM
  Lowercase,  // ASCII only: lower-case hex digits, LENGTH and CHKSUM values right
  Rtn,        // ASCII: RTN 04 and no INFO; Modbus: exception answer, code 04
  Joined,     // the answer twice in one chunk
  Truncated,  // only the first half of the answer
  Silence,    // no answer
  Split,      // the answer in two halves, SplitGapMs apart
  WrongAddr,  // the answer carries the address + 1
  Late,       // the answer LateMs after the request
};

const char* FaultName(TFaultKind kind);

struct TSimOptions {
  std::string LinkPath;
  TSimProtocol Protocol = TSimProtocol::Modbus;
  std::vector<int> Devices{1};
  bool SeedGiven = false;
  uint64_t Seed = 0;
  bool Verbose = false;

  // Alarm timeline (seconds since start).
  std::set<int> AlarmDevices;
  double AlarmAt = 5, BatteryAt = 10, ClearAt = 20, AlarmCycle = 0;

  std::set<int> DropDevices;
  double DropAfter = 5, ReturnAfter = -1;  // -1: never returns

  std::set<int> LateDevices;
  int LateMs = 1500;

  std::set<int> GarbleDevices;
  int GarbleEvery = 3;

  std::set<int> FaultDevices;
  std::vector<TFaultKind> Faults;
  int FaultEvery = 3;

  int SplitGapMs = 50;

  int WireBaud = 0;  // > 0: answers take the wire time of this baud rate, 8N1
};

// Parses argv (without argv[0]). Returns false with a message in `error`;
// `wantHelp` is set by --help.
bool ParseOptions(const std::vector<std::string>& args, TSimOptions& options, bool& wantHelp, std::string& error);

extern const char* const kHelpText;

}  // namespace tessaro::sim
