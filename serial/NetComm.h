#pragma once
// The bus through a serial device server: tcp://HOST:PORT (raw bytes both
// ways) or rfc2217://HOST:PORT (Telnet with the COM port option, which also
// carries the line settings), behind the same interface as TComm.
//
// OpenPort returns at once: one worker thread resolves the host, connects
// (ConnectTimeoutMs), sets TCP_NODELAY and keepalive, negotiates the COM port
// option (NegotiateTimeoutMs) and then moves the bytes both ways. Until then
// the port is open (IsOpen, ClosePort needed) but has no PortHandle, so the
// engine neither polls nor logs "recovered"; a connection that cannot be made
// or is lost later is reported once through OnPortFailure, as a hang-up.
//
// A TCP stream has no line silence: every read is handed up as it comes
// (SplitsFrames), and the receiver joins the pieces.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/LineSettings.h"
#include "serial/NotifyQueue.h"
#include "serial/SerialPort.h"

namespace tessaro {

struct TNetSession;

class TNetComm final : public TSerialPort {
 public:
  static constexpr size_t ReadBufferSize = 2048;  // the largest chunk one OnReceiveData carries
  static constexpr size_t MaxQueuedWrites = 10000;
  // Requests are taken from the queue while less than MaxPendingOut waits for
  // the socket; answers to an RFC 2217 server's negotiation may add up to
  // MaxOut, beyond which the server is taken as broken and the port fails.
  static constexpr size_t MaxPendingOut = 64 * 1024;
  static constexpr size_t MaxOut = 2 * MaxPendingOut;
  // A peer that stops acknowledging what we send is given up after this long,
  // and an idle connection is probed after KeepIdleS seconds.
  static constexpr int UserTimeoutMs = 15000;
  static constexpr int KeepIdleS = 10, KeepIntervalS = 5, KeepCount = 3;

  TNetComm();
  ~TNetComm() override;
  TNetComm(const TNetComm&) = delete;
  TNetComm& operator=(const TNetComm&) = delete;

  // Limits of one connection attempt, taken at OpenPort: the name lookup and
  // the TCP connect; the COM port option and the speed's acknowledgement.
  int ConnectTimeoutMs = 5000;
  int NegotiateTimeoutMs = 5000;

  // What an RFC 2217 server is told at every connect; BaudRate and StopBits
  // are those of the setters below.
  void SetLineSettings(const TLineSettings& line) { FLine = line; }

  // TSerialPort
  void SetCommName(const std::string& name) override { FCommName = name; }
  const std::string& CommName() const override { return FCommName; }
  void SetBaudRate(uint32_t value) override { FLine.BaudRate = value; }
  uint32_t BaudRate() const override { return FLine.BaudRate; }
  // Kept for the interface; a stream has no line silence to time.
  void SetReadIntervalTimeout(uint32_t ms) override { FReadIntervalTimeout = ms; }
  uint32_t ReadIntervalTimeout() const override { return FReadIntervalTimeout; }
  void SetStopBits(TStopBits value) override { FLine.StopBits = value; }
  TStopBits StopBits() const override { return FLine.StopBits; }

  // Throws ECommsError when CommName is no network name (its message says why),
  // when the port is open already, or when no event or thread can be had.
  void OpenPort() override;
  void ClosePort() override;
  bool IsOpen() const override;
  // The connected socket, 0 before the connection is made.
  intptr_t PortHandle() const override;
  bool SendData(const uint8_t* data, size_t count) override;
  void PurgeInput() override;
  int NotifyFd() const override { return FNotify.Fd(); }
  void DispatchNotifications() override;
  bool SplitsFrames() const override { return true; }

 private:
  std::string FCommName;
  TLineSettings FLine;
  uint32_t FReadIntervalTimeout = 100;
  std::atomic<bool> FSendDataEmpty{true};
  std::unique_ptr<TNetSession> FSession;
  TNotifyQueue FNotify;
};

}  // namespace tessaro
