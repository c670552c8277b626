#pragma once
// TComm (unit SPComm): one serial port on POSIX termios, with a
// reader thread and a writer thread that hand everything to the owner's thread
// through a notification queue (NotifyFd / DispatchNotifications).
//
// Where termios differs from the Win32 communications interface the design was
// written against:
// - Exclusive open is TIOCEXCL plus flock(LOCK_EX), so a second opener in this
//   or another process is refused ("Error opening serial port").
// - There are no driver queue sizes to set and no read timeouts in the driver:
//   the reader thread times the silence itself (ReadIntervalTimeout, and the
//   two read totals). The write totals are kept but, as in the documented write
//   loop, which continues partial writes, they change nothing.
// - OpenPort fails (MsgBaudRateRefused) when the driver refuses the line
//   settings or keeps another speed than BaudRate; the Win32 design let the
//   port open at its old speed, where no device is ever heard.
// - Line errors and carrier/ring changes are sampled from the driver's
//   counters every 50 ms where the driver offers them (not on a pty).
// - The threads run at normal priority; raising it needs privileges.
// - The destructor closes the port if the owner has not.
//
// Every member is for the owner's thread only; the callbacks run there too,
// from DispatchNotifications.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial/LineSettings.h"
#include "serial/NotifyQueue.h"
#include "serial/SerialPort.h"

namespace tessaro {

struct TCommSession;

// Reader settings that may change while the reader runs.
struct TReadConfig {
  std::atomic<uint32_t> ReadIntervalTimeout{100};
  std::atomic<uint32_t> ReadTotalTimeoutMultiplier{0};
  std::atomic<uint32_t> ReadTotalTimeoutConstant{0};
  std::atomic<bool> IgnoreNullChar{false};
  std::atomic<uint32_t> PurgeSeq{0};  // bumped by PurgeInput
};

class TComm;

// The program's one port: the component's defaults but without XON/XOFF flow
// control in either direction. The line carries binary Modbus frames, and a
// DC3 byte in an answer must never stop our output.
void ConfigureProgramPort(TComm& comm);

class TComm final : public TSerialPort {
 public:
  static constexpr size_t ReadBufferSize = 2048;  // the largest chunk one OnReceiveData carries
  static constexpr size_t MaxQueuedWrites = 10000;

  TComm();  // defaults; does not open
  ~TComm() override;
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // "COMn" (n = 1..256, any case, also as "\\.\COMn") is /dev/ttyS(n-1); a
  // name starting with "/" is a path (a device, or a symlink to a pty) taken as
  // it is. Anything else has no device.
  static std::optional<std::string> DevicePath(const std::string& commName);

  // TSerialPort
  void SetCommName(const std::string& name) override { FCommName = name; }
  const std::string& CommName() const override { return FCommName; }
  void SetBaudRate(uint32_t v) override { SetLine(&TLineSettings::BaudRate, v); }
  uint32_t BaudRate() const override { return FLine.BaudRate; }
  void SetReadIntervalTimeout(uint32_t ms) override { FReadConfig.ReadIntervalTimeout = ms; }
  uint32_t ReadIntervalTimeout() const override { return FReadConfig.ReadIntervalTimeout; }
  void SetStopBits(TStopBits v) override { SetLine(&TLineSettings::StopBits, v); }
  TStopBits StopBits() const override { return FLine.StopBits; }

  void OpenPort() override;
  void ClosePort() override;
  bool IsOpen() const override { return FFd >= 0; }
  intptr_t PortHandle() const override { return FFd >= 0 ? FFd : 0; }
  bool SendData(const uint8_t* data, size_t count) override;
  void PurgeInput() override;
  int NotifyFd() const override { return FNotify.Fd(); }
  void DispatchNotifications() override;

  // True while nothing waits to be written.
  bool SendDataEmpty() const { return FSendDataEmpty; }

  // The other properties. Line settings are re-applied to an open
  // port at once when the value really changes; Parity (and CommName) wait for
  // the next OpenPort.
  bool ParityCheck() const { return FLine.ParityCheck; }
  bool Outx_CtsFlow() const { return FLine.Outx_CtsFlow; }
  bool Outx_DsrFlow() const { return FLine.Outx_DsrFlow; }
  TDtrControl DtrControl() const { return FLine.DtrControl; }
  bool DsrSensitivity() const { return FLine.DsrSensitivity; }
  bool TxContinueOnXoff() const { return FLine.TxContinueOnXoff; }
  bool Outx_XonXoffFlow() const { return FLine.Outx_XonXoffFlow; }
  void SetOutx_XonXoffFlow(bool v) { SetLine(&TLineSettings::Outx_XonXoffFlow, v); }
  bool Inx_XonXoffFlow() const { return FLine.Inx_XonXoffFlow; }
  void SetInx_XonXoffFlow(bool v) { SetLine(&TLineSettings::Inx_XonXoffFlow, v); }
  bool ReplaceWhenParityError() const { return FLine.ReplaceWhenParityError; }
  bool IgnoreNullChar() const { return FLine.IgnoreNullChar; }
  void SetIgnoreNullChar(bool v);
  TRtsControl RtsControl() const { return FLine.RtsControl; }
  uint16_t XonLimit() const { return FLine.XonLimit; }
  uint16_t XoffLimit() const { return FLine.XoffLimit; }
  TByteSize ByteSize() const { return FLine.ByteSize; }
  TParity Parity() const { return FLine.Parity; }
  void SetParity(TParity v) { FLine.Parity = v; }
  char XonChar() const { return FLine.XonChar; }
  char XoffChar() const { return FLine.XoffChar; }
  char ReplacedChar() const { return FLine.ReplacedChar; }
  uint32_t ReadTotalTimeoutMultiplier() const { return FReadConfig.ReadTotalTimeoutMultiplier; }
  uint32_t ReadTotalTimeoutConstant() const { return FReadConfig.ReadTotalTimeoutConstant; }
  void SetReadTotalTimeoutConstant(uint32_t v) { FReadConfig.ReadTotalTimeoutConstant = v; }
  uint32_t WriteTotalTimeoutMultiplier() const { return FWriteTotalTimeoutMultiplier; }
  uint32_t WriteTotalTimeoutConstant() const { return FWriteTotalTimeoutConstant; }

  const TLineSettings& LineSettings() const { return FLine; }

 private:
  template <class T>
  void SetLine(T TLineSettings::*field, T value) {
    if (FLine.*field == value) return;
    FLine.*field = value;
    if (IsOpen()) ApplyLineSettings(FFd, FLine);
  }
  void StopThreadsAndClose();

  std::string FCommName = "COM2";
  TLineSettings FLine;
  TReadConfig FReadConfig;
  uint32_t FWriteTotalTimeoutMultiplier = 0;
  uint32_t FWriteTotalTimeoutConstant = 0;
  int FFd = -1;
  std::atomic<bool> FSendDataEmpty{true};
  std::unique_ptr<TCommSession> FSession;
  TNotifyQueue FNotify;
};

}  // namespace tessaro
