#include "serial/LineEvents.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/SerialPort.h"

namespace tessaro {

namespace {
bool ReadCounters(int fd, TLineCounters& out) {
  serial_icounter_struct ic{};
  if (ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
  out.Dcd = static_cast<uint32_t>(ic.dcd);
  out.Rng = static_cast<uint32_t>(ic.rng);
  out.Frame = static_cast<uint32_t>(ic.frame);
  out.Overrun = static_cast<uint32_t>(ic.overrun);
  out.Parity = static_cast<uint32_t>(ic.parity);
  out.Brk = static_cast<uint32_t>(ic.brk);
  out.BufOverrun = static_cast<uint32_t>(ic.buf_overrun);
  return true;
}
}  // namespace

TLineEvents CompareCounters(const TLineCounters& before, const TLineCounters& after) {
  TLineEvents e;
  if (after.BufOverrun != before.BufOverrun) e.ErrorFlags |= CE_RXOVER;
  if (after.Overrun != before.Overrun) e.ErrorFlags |= CE_OVERRUN;
  if (after.Parity != before.Parity) e.ErrorFlags |= CE_RXPARITY;
  if (after.Frame != before.Frame) e.ErrorFlags |= CE_FRAME;
  if (after.Brk != before.Brk) e.ErrorFlags |= CE_BREAK;
  if (after.Dcd != before.Dcd) e.ModemEvent |= ModemEventRlsd;
  if (after.Rng != before.Rng) e.ModemEvent |= ModemEventRing;
  return e;
}

TLineEvents CompareModemLines(int before, int after) {
  TLineEvents e;
  if ((before ^ after) & TIOCM_CD) e.ModemEvent |= ModemEventRlsd;
  if ((before & TIOCM_RI) && !(after & TIOCM_RI)) e.ModemEvent |= ModemEventRing;
  return e;
}

TLineWatch::TLineWatch(int fd) : FFd(fd) {
  if (ReadCounters(fd, FCounters))
    FMode = Mode::Counters;
  else if (ioctl(fd, TIOCMGET, &FModemLines) == 0)
    FMode = Mode::ModemLines;
}

TLineEvents TLineWatch::Sample() {
  switch (FMode) {
    case Mode::Counters: {
      TLineCounters now;
      if (!ReadCounters(FFd, now)) return {};
      const TLineEvents e = CompareCounters(FCounters, now);
      FCounters = now;
      return e;
    }
    case Mode::ModemLines: {
      int now = 0;
      if (ioctl(FFd, TIOCMGET, &now) != 0) return {};
      const TLineEvents e = CompareModemLines(FModemLines, now);
      FModemLines = now;
      return e;
    }
    case Mode::None: break;
  }
  return {};
}

}  // namespace tessaro
