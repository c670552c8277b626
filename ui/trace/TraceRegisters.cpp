#include "ui/trace/TraceRegisters.h"

#include "engine/Context.h"
#include "serial/SerialPort.h"

namespace tessaro {

namespace {
int32_t Percent(int64_t part, int32_t whole) { return whole > 0 ? static_cast<int32_t>(part * 100 / whole) : 0; }
}  // namespace

double TraceRate(const TPollStats& s) {
  return s.TxCount > 0 ? s.AckOkCount * 100.0 / s.TxCount : 0.0;
}

int32_t TraceRegister(const TContext& ctx, const TSerialPort& port, uint16_t n) {
  const TPollStats& s = ctx.Stats;
  const TPollVars& v = ctx.Vars;
  const TPortInfo& p = ctx.Settings.PortInfo;
  switch (n) {
    case 21: return static_cast<int32_t>(port.PortHandle());
    case 22: return static_cast<int32_t>(port.BaudRate());
    case 23: return static_cast<int32_t>(port.ReadIntervalTimeout());
    case 24: case 100: return s.TxCount;
    case 25: case 102: return s.RxCount;
    case 26: case 105: return Percent(s.RxCount, s.TxCount);
    case 27: return p.WaitTimer;
    case 28: return p.MaxReSend;
    case 29: return p.CommErrCnt;
    case 30: return p.CommLostCnt;
    case 50: return v.Waiting ? 1 : 0;
    case 53: return v.WaitTicks;
    case 54: return v.SendNo;
    case 55: return v.MaxSends;
    case 56: return v.FrameLen;
    case 57: return v.DebugStage;
    case 58: return p.Protocol;
    case 103: return s.AckOkCount;
    case 104: return static_cast<int32_t>(TraceRate(s));
    case 110: return s.ErrA;
    case 111: return s.ErrB;
    case 112: return s.ErrC;
    case 113: return s.ErrD;
    case 114: return s.ErrE;
    case 115: return s.ErrF;
    case 1000: return s.ParseFailures;
    default: break;
  }
  if (n >= 200 && n <= 229) {
    const TUpsInfo& info = ctx.UpsInfo[(n - 200) % 10];
    return n < 210 ? info.TotalCount : n < 220 ? info.SuccessCount : info.ReceiveCount;
  }
  if (n >= 300 && n <= 319) return ctx.Display.TimerStats[n - 300];
  return 0;  // 31, 32, 51, 52, 101, 116..119 and the debug words 1001..1100 are never set
}

}  // namespace tessaro
