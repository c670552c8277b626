#pragma once
// The device side of the line: splits the master's bytes into requests,
// lets the addressed device answer in its protocol, and applies the
// scenario's faults to the answer. No I/O: the caller writes the result.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/sim/SimDevice.h"
#include "tools/sim/SimOptions.h"

namespace tessaro::sim {

struct TScheduledWrite {
  double Due;  // seconds since start
  std::string Bytes;
};

class TSimBus {
 public:
  using TLogger = std::function<void(const std::string&)>;

  TSimBus(const TSimOptions& options, uint64_t seed, TLogger log);

  // Bytes from the master, received at `now` (seconds since start).
  void Receive(const std::string& bytes, double now, std::vector<TScheduledWrite>& out);
  // Time at which Idle should run (a partial request is waiting), or -1.
  double IdleDeadline() const;
  // Nothing arrived since the deadline: a request of unknown length is taken
  // whole, a partial one is dropped.
  void Idle(double now, std::vector<TScheduledWrite>& out);

 private:
  // An answer before the fault plan shapes it.
  struct TReply {
    std::string Body;  // Modbus: address + PDU without CRC; ASCII: INFO
    unsigned Rtn = 0;  // ASCII only
  };

  TSimDevice* Find(int address);
  void ExtractModbus(double now, std::vector<TScheduledWrite>& out);
  void ExtractAscii(double now, std::vector<TScheduledWrite>& out);
  void HandleModbus(const std::string& frame, double now, std::vector<TScheduledWrite>& out);
  void HandleAscii(const std::string& frame, double now, std::vector<TScheduledWrite>& out);
  bool ModbusWrite(TSimDevice* device, int firstReg, const std::vector<uint16_t>& values, double now, uint8_t& exception);
  std::string AsciiInfo(TSimDevice& device, const std::string& cid2, double now, bool& known);
  std::string Render(int address, const TReply& reply, bool lowercase) const;
  void Emit(TSimDevice& device, TReply reply, double now, std::vector<TScheduledWrite>& out);

  const TSimOptions& FOptions;
  TLogger FLog;
  std::vector<std::unique_ptr<TSimDevice>> FDevices;
  std::string FRx;
  double FLastRx = 0;
  size_t FRequestLen = 0;  // bytes of the request being answered
};

// Printable form of a chunk for logs: hex bytes for Modbus, text with
// escapes for ASCII.
std::string Printable(const std::string& bytes, bool ascii);

}  // namespace tessaro::sim
