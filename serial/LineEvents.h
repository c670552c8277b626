#pragma once
// Line errors and modem-line changes, from the driver's interrupt counters
// (TIOCGICOUNT) or, failing that, from the modem status lines (TIOCMGET).
// termios offers no wait for these, so the reader thread samples them.

#include <cstdint>

namespace tessaro {

struct TLineCounters {
  uint32_t Dcd = 0;         // carrier-detect transitions
  uint32_t Rng = 0;         // ring-indicator trailing edges
  uint32_t Frame = 0;
  uint32_t Overrun = 0;     // hardware overrun
  uint32_t Parity = 0;
  uint32_t Brk = 0;
  uint32_t BufOverrun = 0;  // driver input buffer overflow
};

struct TLineEvents {
  uint32_t ErrorFlags = 0;  // CE_* flags (SerialPort.h)
  uint32_t ModemEvent = 0;  // ModemEventRlsd | ModemEventRing
};

// What happened between two samples of the counters (counters wrap modulo 2^32).
TLineEvents CompareCounters(const TLineCounters& before, const TLineCounters& after);

// Modem status bits (TIOCM_CD, TIOCM_RI) to events: a carrier-detect change,
// and the ring indicator going off (the counters' trailing edge).
TLineEvents CompareModemLines(int before, int after);

class TLineWatch {
 public:
  // Takes the first sample; Supported() is false when the driver offers neither ioctl.
  explicit TLineWatch(int fd);
  bool Supported() const { return FMode != Mode::None; }
  // Samples again and returns what changed since the previous sample.
  TLineEvents Sample();

 private:
  enum class Mode { None, Counters, ModemLines };
  int FFd;
  Mode FMode = Mode::None;
  TLineCounters FCounters;
  int FModemLines = 0;
};

}  // namespace tessaro
