#include "serial/LineSettings.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace tessaro {

speed_t StandardSpeed(uint32_t baudRate) {
  struct TRate {
    uint32_t Rate;
    speed_t Speed;
  };
  static constexpr TRate rates[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const TRate& r : rates)
    if (r.Rate == baudRate) return r.Speed;
  return B0;
}

termios BuildTermios(const termios& current, const TLineSettings& s) {
  termios t = current;

  t.c_iflag = 0;
  if (s.ParityCheck) t.c_iflag |= INPCK;
  if (s.Outx_XonXoffFlow) t.c_iflag |= IXON;
  if (s.Inx_XonXoffFlow) t.c_iflag |= IXOFF;
  t.c_oflag = 0;
  t.c_lflag = 0;

  t.c_cflag = CREAD | CLOCAL | HUPCL | (current.c_cflag & (CBAUD | CIBAUD));
  static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= sizes[static_cast<int>(s.ByteSize) & 3];
  switch (s.Parity) {
    case TParity::None: break;
    case TParity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TParity::Even: t.c_cflag |= PARENB; break;
    case TParity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TParity::Space: t.c_cflag |= PARENB | CMSPAR; break;
  }
  // With 5 data bits a UART sends 1.5 stop bits when CSTOPB is set.
  if (s.StopBits != TStopBits::_1) t.c_cflag |= CSTOPB;
  if (s.Outx_CtsFlow || s.RtsControl == TRtsControl::RtsHandshake) t.c_cflag |= CRTSCTS;

  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
  t.c_cc[VMIN] = 1;  // a non-blocking read then returns EAGAIN, not 0, when empty
  t.c_cc[VTIME] = 0;

  const speed_t speed = StandardSpeed(s.BaudRate);
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  return t;
}

bool ApplyLineSettings(int fd, const TLineSettings& s) {
  termios current{};
  if (tcgetattr(fd, &current) != 0) return false;
  const termios t = BuildTermios(current, s);
  bool ok = tcsetattr(fd, TCSANOW, &t) == 0;
  if (ok && StandardSpeed(s.BaudRate) == B0) ok = SetCustomBaudRate(fd, s.BaudRate);

  // Modem lines: a driver without them (a pseudo-terminal) refuses these ioctls.
  int dtr = TIOCM_DTR;
  (void)ioctl(fd, s.DtrControl == TDtrControl::DtrDisable ? TIOCMBIC : TIOCMBIS, &dtr);
  if (!(t.c_cflag & CRTSCTS)) {
    int rts = TIOCM_RTS;
    (void)ioctl(fd, s.RtsControl == TRtsControl::RtsDisable ? TIOCMBIC : TIOCMBIS, &rts);
  }
  if (s.RtsControl == TRtsControl::RtsTransmissionAvailable) {
    serial_rs485 rs485{};
    if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
      rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
      rs485.flags &= ~static_cast<uint32_t>(SER_RS485_RTS_AFTER_SEND);
      (void)ioctl(fd, TIOCSRS485, &rs485);
    }
  }
  return ok;
}

}  // namespace tessaro
