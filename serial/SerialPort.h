#pragma once
// The serial port as the poll engine sees it: open, close, send, and callbacks
// that run on the owner's thread. TComm implements it on POSIX termios;
// TFakeSerialPort (FakeSerialPort.h) in memory for engine tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace tessaro {

// Line-setting enumerations; the ordinals are the documented ones.
enum class TDtrControl : uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize : uint8_t { _5, _6, _7, _8 };  // data bits = ordinal + 5
enum class TParity : uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : uint8_t { _1, _1_5, _2 };

// Raised by OpenPort; what() is one of the English texts below, exactly.
class ECommsError : public std::runtime_error {
 public:
  explicit ECommsError(const std::string& message, int errorCode = 0)
      : std::runtime_error(message), FErrorCode(errorCode) {}
  // errno of the call that failed, 0 when there was none.
  int ErrorCode() const noexcept { return FErrorCode; }

 private:
  int FErrorCode;
};

inline constexpr const char* MsgAlreadyOpened = "This serial port already opened";
inline constexpr const char* MsgErrorOpening = "Error opening serial port";
inline constexpr const char* MsgNotCommHandle = "File handle is not a comm handle ";  // trailing blank is part of it
inline constexpr const char* MsgUnableCreateEvent = "Unable to create event";
inline constexpr const char* MsgUnableCreateReadThread = "Unable to create read thread";
inline constexpr const char* MsgUnableCreateWriteThread = "Unable to create write thread";
// The line settings were refused, or the driver did not take the baud rate.
inline constexpr const char* MsgBaudRateRefused = "The serial port does not accept the baud rate";

// Line-error flags passed to OnReceiveError (the platform's clear-error flags).
inline constexpr uint32_t CE_RXOVER = 0x0001;    // input buffer overflow
inline constexpr uint32_t CE_OVERRUN = 0x0002;   // hardware overrun
inline constexpr uint32_t CE_RXPARITY = 0x0004;  // parity error
inline constexpr uint32_t CE_FRAME = 0x0008;     // framing error
inline constexpr uint32_t CE_BREAK = 0x0010;     // break condition
// Modem-event bits passed to OnModemStateChange.
inline constexpr uint32_t ModemEventRlsd = 8;  // carrier detect changed
inline constexpr uint32_t ModemEventRing = 4;  // ring indicator

// Why a worker thread gave up (the documented hang-up request, notification 1027).
enum class TPortFailureKind : uint8_t {
  HangUp,          // far end closed, device removed (POLLHUP, EOF, EIO, ENXIO, ENODEV)
  ReadError,       // any other read failure
  WriteError,      // any other write failure
  WaitError,       // poll() failed
  OutOfResources,  // allocation or posting failed
};

struct TPortFailure {
  TPortFailureKind Kind = TPortFailureKind::HangUp;
  int ErrorCode = 0;  // errno, 0 when none
  std::string Text;   // English, for the trace window or a log
};

class TSerialPort {
 public:
  virtual ~TSerialPort() = default;

  // The settings the poll engine gives before each open (OpenCommPort).
  virtual void SetCommName(const std::string& name) = 0;
  virtual const std::string& CommName() const = 0;
  virtual void SetBaudRate(uint32_t value) = 0;
  virtual uint32_t BaudRate() const = 0;
  virtual void SetReadIntervalTimeout(uint32_t ms) = 0;
  virtual uint32_t ReadIntervalTimeout() const = 0;
  virtual void SetStopBits(TStopBits value) = 0;
  virtual TStopBits StopBits() const = 0;

  // Throws ECommsError; a failed open leaves the port closed.
  virtual void OpenPort() = 0;
  // Does nothing when closed. No callback runs for anything that happened
  // before the close once ClosePort has returned.
  virtual void ClosePort() = 0;
  virtual bool IsOpen() const = 0;
  // Non-zero while open (the documented PortHandle, shown in the trace statistics).
  virtual intptr_t PortHandle() const = 0;
  // Copies and queues the bytes; never waits for the line. False when closed,
  // when count is 0 or when the writer can take no more.
  virtual bool SendData(const uint8_t* data, size_t count) = 0;
  // Drops every received byte not yet handed to OnReceiveData: what the driver
  // holds, the chunk being collected and the chunks already queued.
  virtual void PurgeInput() = 0;

  // Readable while notifications wait for DispatchNotifications; -1 when the
  // implementation delivers synchronously.
  virtual int NotifyFd() const = 0;
  // Runs the callbacks of the pending notifications on the calling thread, in
  // the order the worker threads produced them.
  virtual void DispatchNotifications() = 0;
  // True when one answer may reach OnReceiveData in pieces, or joined to
  // other bytes, whatever the timing on the line (a network stream): the
  // receiver must join the chunks. A serial port ends a chunk at line silence.
  virtual bool SplitsFrames() const { return false; }

  // Callbacks; each runs only when assigned, always on the thread that calls
  // DispatchNotifications. The buffer holds bufferLength bytes followed by a
  // zero byte and is valid only during the call.
  std::function<void(const uint8_t* buffer, size_t bufferLength)> OnReceiveData;
  std::function<void(uint32_t eventMask)> OnReceiveError;       // CE_* flags
  std::function<void(uint32_t modemEvent)> OnModemStateChange;  // ModemEvent* bits
  // The original OnRequestHangup: reported at most once per open. The port stays
  // open (IsOpen() true); the owner decides to close and reopen.
  std::function<void(const TPortFailure& failure)> OnPortFailure;
  std::function<void()> OnSendDataEmpty;
};

}  // namespace tessaro
