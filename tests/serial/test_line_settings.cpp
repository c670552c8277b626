// The mapping's line settings to termios, and of the driver's
// counters to line-error and modem events; no port needed.

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "serial/LineEvents.h"
#include "serial/LineSettings.h"

using namespace tessaro;

namespace {
termios Cooked() {
  termios t{};
  t.c_iflag = ICRNL | IXON | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  t.c_cflag = CS7 | PARENB | CREAD;
  t.c_cc[VEOF] = 4;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

TLineSettings ProgramSettings() {  // Comm1 of the trace window
  TLineSettings s;
  s.Outx_XonXoffFlow = false;
  s.Inx_XonXoffFlow = false;
  return s;
}
}  // namespace

TEST(LineSettings, ProgramValuesGiveRaw8N1WithoutFlowControl) {
  const termios t = BuildTermios(Cooked(), ProgramSettings());
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(t.c_iflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cc[VEOF], 4) << "characters not named keep the port's values";
}

TEST(LineSettings, ByteSizeOrdinalPlusFiveIsTheDataBitCount) {
  const std::pair<TByteSize, tcflag_t> cases[] = {
      {TByteSize::_5, CS5}, {TByteSize::_6, CS6}, {TByteSize::_7, CS7}, {TByteSize::_8, CS8}};
  for (auto [size, flag] : cases) {
    TLineSettings s = ProgramSettings();
    s.ByteSize = size;
    EXPECT_EQ(BuildTermios(Cooked(), s).c_cflag & CSIZE, flag);
  }
}

TEST(LineSettings, ParityMapsToParenbParoddAndCmspar) {
  const tcflag_t mask = PARENB | PARODD | CMSPAR;
  const std::pair<TParity, tcflag_t> cases[] = {{TParity::None, 0},
                                                {TParity::Odd, PARENB | PARODD},
                                                {TParity::Even, PARENB},
                                                {TParity::Mark, PARENB | PARODD | CMSPAR},
                                                {TParity::Space, PARENB | CMSPAR}};
  for (auto [parity, flags] : cases) {
    TLineSettings s = ProgramSettings();
    s.Parity = parity;
    EXPECT_EQ(BuildTermios(Cooked(), s).c_cflag & mask, flags) << static_cast<int>(parity);
  }
}

TEST(LineSettings, OneAndAHalfAndTwoStopBitsSetCstopb) {
  TLineSettings s = ProgramSettings();
  s.StopBits = TStopBits::_2;
  EXPECT_TRUE(BuildTermios(Cooked(), s).c_cflag & CSTOPB);
  s.StopBits = TStopBits::_1_5;
  EXPECT_TRUE(BuildTermios(Cooked(), s).c_cflag & CSTOPB);
}

TEST(LineSettings, FlowControlAndCharacters) {
  TLineSettings s = ProgramSettings();
  s.Outx_XonXoffFlow = true;
  s.XonChar = 0x11;
  s.XoffChar = 0x13;
  termios t = BuildTermios(Cooked(), s);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  s = ProgramSettings();
  s.Inx_XonXoffFlow = true;
  EXPECT_EQ(BuildTermios(Cooked(), s).c_iflag & (IXON | IXOFF), tcflag_t{IXOFF});

  s = ProgramSettings();
  s.Outx_CtsFlow = true;
  EXPECT_TRUE(BuildTermios(Cooked(), s).c_cflag & CRTSCTS);
  s = ProgramSettings();
  s.RtsControl = TRtsControl::RtsHandshake;
  EXPECT_TRUE(BuildTermios(Cooked(), s).c_cflag & CRTSCTS);

  s = ProgramSettings();
  s.ParityCheck = true;
  EXPECT_TRUE(BuildTermios(Cooked(), s).c_iflag & INPCK);
}

TEST(LineSettings, StandardRatesHaveConstantsAndOthersKeepThePortsSpeed) {
  EXPECT_EQ(StandardSpeed(2400), speed_t{B2400});
  EXPECT_EQ(StandardSpeed(115200), speed_t{B115200});
  EXPECT_EQ(StandardSpeed(250000), speed_t{B0});
  TLineSettings s = ProgramSettings();
  s.BaudRate = 250000;
  const termios t = BuildTermios(Cooked(), s);
  EXPECT_EQ(cfgetospeed(&t), B38400) << "set afterwards through termios2";
}

TEST(LineEvents, CounterChangesBecomeErrorFlagsAndModemBits) {
  TLineCounters a;
  TLineCounters b = a;
  EXPECT_EQ(CompareCounters(a, b).ErrorFlags, 0u);
  EXPECT_EQ(CompareCounters(a, b).ModemEvent, 0u);
  b.Frame = 1;
  b.Parity = 3;
  EXPECT_EQ(CompareCounters(a, b).ErrorFlags, CE_FRAME | CE_RXPARITY);
  b = a;
  b.Overrun = 1;
  b.BufOverrun = 2;
  b.Brk = 1;
  EXPECT_EQ(CompareCounters(a, b).ErrorFlags, CE_OVERRUN | CE_RXOVER | CE_BREAK);
  b = a;
  b.Dcd = 1;
  EXPECT_EQ(CompareCounters(a, b).ModemEvent, 8u);
  b.Rng = 1;
  EXPECT_EQ(CompareCounters(a, b).ModemEvent, 12u);
  EXPECT_EQ(CompareCounters(a, b).ErrorFlags, 0u);
}

TEST(LineEvents, CountersThatWrapStillCount) {
  TLineCounters a;
  a.Frame = 0xFFFFFFFFu;
  TLineCounters b;
  b.Frame = 0;
  EXPECT_EQ(CompareCounters(a, b).ErrorFlags, CE_FRAME);
}

TEST(LineEvents, ModemLinesGiveCarrierChangeAndRingTrailingEdge) {
  EXPECT_EQ(CompareModemLines(0, TIOCM_CD).ModemEvent, 8u);
  EXPECT_EQ(CompareModemLines(TIOCM_CD, 0).ModemEvent, 8u);
  EXPECT_EQ(CompareModemLines(0, TIOCM_RI).ModemEvent, 0u);
  EXPECT_EQ(CompareModemLines(TIOCM_RI, 0).ModemEvent, 4u);
  EXPECT_EQ(CompareModemLines(TIOCM_RI | TIOCM_CD, 0).ModemEvent, 12u);
  EXPECT_EQ(CompareModemLines(TIOCM_CTS, 0).ModemEvent, 0u);
}
