#pragma once
// The line settings (the device control block) and their mapping
// to termios. What termios has no place for is noted at each field.

#include <termios.h>

#include <cstdint>

#include "serial/SerialPort.h"

namespace tessaro {

struct TLineSettings {
  uint32_t BaudRate = 9600;
  bool ParityCheck = false;       // INPCK; a byte with a bad parity is read as NUL
  bool Outx_CtsFlow = false;      // CRTSCTS (Linux couples it with RTS input flow control)
  bool Outx_DsrFlow = false;      // no termios equivalent: ignored
  TDtrControl DtrControl = TDtrControl::DtrEnable;  // DtrHandshake holds DTR on
  bool DsrSensitivity = false;    // no termios equivalent: ignored
  bool TxContinueOnXoff = true;   // no termios equivalent: ignored
  bool Outx_XonXoffFlow = true;   // IXON
  bool Inx_XonXoffFlow = true;    // IXOFF
  bool ReplaceWhenParityError = false;  // the driver always substitutes NUL
  bool IgnoreNullChar = false;    // done by the reader thread
  TRtsControl RtsControl = TRtsControl::RtsEnable;  // handshake: CRTSCTS; transmission: RS-485 mode
  uint16_t XonLimit = 500;        // not settable on termios: kept only
  uint16_t XoffLimit = 500;       // not settable on termios: kept only
  TByteSize ByteSize = TByteSize::_8;
  TParity Parity = TParity::None;
  TStopBits StopBits = TStopBits::_1;
  char XonChar = 17;   // VSTART
  char XoffChar = 19;  // VSTOP
  char ReplacedChar = 0;  // not settable on termios: kept only

  bool operator==(const TLineSettings&) const = default;
};

// The termios speed constant for a standard rate, or B0 when there is none.
speed_t StandardSpeed(uint32_t baudRate);

// The termios block for these settings, built from `current` with every flag
// rebuilt from zero: raw mode, receiver on, modem status lines ignored (CLOCAL),
// VMIN 1 / VTIME 0. A rate without a standard constant leaves the speed of
// `current`; ApplyLineSettings then sets it through termios2.
termios BuildTermios(const termios& current, const TLineSettings& s);

// Writes the settings to an open terminal: termios, an arbitrary rate, DTR and
// RTS, RS-485 mode. Ioctls the driver does not offer (a pseudo-terminal has no
// modem lines) are skipped. Returns false when the termios block itself was
// refused; OpenPort then fails, a setter on an open port does not report it.
bool ApplyLineSettings(int fd, const TLineSettings& s);

// termios2 with BOTHER, for rates without a constant (LineSettingsCustom.cpp).
bool SetCustomBaudRate(int fd, uint32_t baudRate);

// True when the terminal's output speed is `baudRate`, within the 3 percent a
// driver may round it by. Never for 0, which would hang the line up.
bool LineSpeedIs(int fd, uint32_t baudRate);

}  // namespace tessaro
