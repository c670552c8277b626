#include "engine/PollEngine.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace tessaro {

TPollEngine::TPollEngine(TContext& context, TSerialPort& port)
    : FCtx(context),
      FPort(port),
      FEnv{context.UpsInfo, context.DeviceList, context.Vars, context.Stats},
      FYdtV31(FEnv),
      FQuorvan(FEnv),
      FModbus(FEnv, context.CommandQueue, context.SelectedModel) {
  FCtx.Vars.SearchMode = 0;
  FPort.OnReceiveData = [this](const uint8_t* bytes, size_t length) { Comm1ReceiveData(bytes, length); };
  FPort.OnPortFailure = [this](const TPortFailure& failure) { PortFailed(failure.Text); };
}

bool TPollEngine::Start(std::string* error) {
  FCtx.EventLogger->LogProgramEvent(0);
  FCtx.TimerStats[1] = 100;
  bool opened = true;
  try {
    OpenCommPort();
  } catch (const ECommsError& e) {
    opened = false;
    if (error) *error = e.what();
  }
  ResetAllLinks(FCtx.UpsInfo);
  return opened;
}

void TPollEngine::Shutdown() {
  FCtx.EventLogger->LogProgramEvent(1);
  FReopenCountdown = 0;
  try {
    CloseCommPort();
  } catch (...) {
    // Errors while going down are of no use to anyone.
  }
}

void TPollEngine::OpenCommPort() {
  if (PortIsOpen()) FPort.ClosePort();
  TPortInfo& info = FCtx.Settings.PortInfo;
  FPort.SetCommName(info.ComName);
  FPort.SetBaudRate(static_cast<uint32_t>(info.BaudRate));
  FPort.SetReadIntervalTimeout(static_cast<uint32_t>(info.ReadIntervalTimeout));
  if (info.StopBits != 2) info.StopBits = 1;
  FPort.SetStopBits(info.StopBits == 2 ? TStopBits::_2 : TStopBits::_1);
  // "COMn" must carry a number 1..256; a path is opened as it is.
  if (!info.ComName.empty() && info.ComName[0] != '/') {
    int n = 0;
    if (info.ComName.size() > 3) {
      const std::string digits = info.ComName.substr(3, 2);
      if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        n = std::stoi(digits);
    }
    if (n == 0 || n > 256) return;
  }
  FFailureSeen = false;
  FPort.OpenPort();
}

void TPollEngine::CloseCommPort() {
  if (PortIsOpen()) FPort.ClosePort();
}

bool TPollEngine::PortIsOpen() const { return FPort.PortHandle() != 0; }

void TPollEngine::SendFrame(const uint8_t* bytes, int length) {
  FPort.SendData(bytes, static_cast<size_t>(std::max(length, 0)));
  FCtx.TxLed = 3;
  if (TraceVisible && EchoTx) EchoTx(bytes, length);
  ++FCtx.Stats.TxCount;
}

uint8_t TPollEngine::ActiveAddress() const {
  switch (FCtx.Settings.PortInfo.Protocol) {
    case 0: return static_cast<uint8_t>(FYdtV31.DevAddr);
    case 1: return static_cast<uint8_t>(FQuorvan.DevAddr);
    case 2:
    case 3: return static_cast<uint8_t>(FModbus.DevAddr);
    default: return 0;
  }
}

void TPollEngine::PortFailed(const std::string& reason) {
  // Reported once per failure; the close shows up as code 18 on the next tick.
  if (FFailureSeen) return;
  FFailureSeen = true;
  try {
    FPort.ClosePort();
  } catch (...) {
  }
  if (OnPortMessage) OnPortMessage("Serial port failed: " + reason);
  ScheduleReopen();
}

void TPollEngine::TryReopen() {
  try {
    OpenCommPort();
  } catch (const ECommsError& e) {
    if (OnPortMessage) OnPortMessage(e.what());
  }
  if (PortIsOpen()) {
    if (OnPortMessage) OnPortMessage("Serial port " + FCtx.Settings.PortInfo.ComName + " opened");
    FReopenCountdown = 0;
  } else {
    FReopenCountdown = ReopenTicks;
  }
}

void TPollEngine::Tick() {
  FCtx.TimerStats[1] = 100;
  ++FCtx.TimerStats[11];
  if (PortIsOpen()) {
    if (PortWasOpen == 0) {
      PortWasOpen = 1;
      FCtx.EventLogger->LogProgramEvent(4);
    }
    PollStep();
  } else {
    if (PortWasOpen == 1) {
      PortWasOpen = 0;
      FCtx.EventLogger->LogProgramEvent(3);
      ResetAllLinks(FCtx.UpsInfo);
    }
    if (FReopenCountdown > 0 && --FReopenCountdown == 0) TryReopen();
  }
  if (TraceVisible && RefreshTrace) RefreshTrace();
  if (RecDelay < 1 && FCtx.Settings.RecInterval > 0) {
    RecDelay = FCtx.Settings.RecInterval;
    TakeSnapshot();
  } else if (RecDelay >= 1) {
    --RecDelay;
  }
}

void TPollEngine::PollStep() {
  TPollVars& v = FCtx.Vars;
  v.DebugStage = 0;
  if (v.Waiting) {
    if (v.WaitTicks > 0) {
      v.DebugStage = 1;
      --v.WaitTicks;
      return;
    }
    v.DebugStage = 2;
    ++v.SendNo;
    if (v.SendNo < v.MaxSends) {
      SendFrame(v.TxBuf.data(), v.FrameLen);
      v.WaitTicks = 10;
      // An address beyond the table (a queued command, a probe) has no slot to charge.
      if (FCtx.DeviceList.CurAddr <= MaxAddress) LinkFailed(FCtx.UpsInfo[FCtx.DeviceList.CurAddr], *FCtx.EventLogger);
    } else {
      v.Waiting = 0;
    }
    return;
  }
  v.DebugStage = 3;
  v.SendNo = 0;
  v.WaitTicks = 0;
  v.FrameLen = 0;
  if (v.Paused) return;
  if (v.SearchMode) {
    v.DebugStage = 11;
    v.SearchAddr = NextSearchAddress ? NextSearchAddress() : 0;
    if (!NextSearchAddress) v.SearchMode = 0;
    if (!v.SearchMode) {
      v.DebugStage = 12;
      return;
    }
  } else {
    v.DebugStage = 4;
  }
  NextRequest();
  if (v.FrameLen > 0) {
    v.DebugStage = 5;
    v.Waiting = 255;
    v.MaxSends = FCtx.Settings.PortInfo.MaxReSend;
  }
}

void TPollEngine::NextRequest() {
  TPollVars& v = FCtx.Vars;
  int frameLen = 0;
  int devAddr = 0;
  switch (FCtx.Settings.PortInfo.Protocol) {
    case 0:
      FYdtV31.NextRequest();
      frameLen = FYdtV31.FrameLen;
      devAddr = FYdtV31.DevAddr;
      break;
    case 1:
      FQuorvan.NextRequest();
      frameLen = FQuorvan.FrameLen;
      devAddr = FQuorvan.DevAddr;
      break;
    case 2:
    case 3:
      FModbus.NextRequest();
      frameLen = FModbus.FrameLen;
      devAddr = FModbus.DevAddr;
      break;
    default:
      return;
  }
  v.FrameLen = std::clamp(frameLen, 0, TxBufSize);
  FCtx.DeviceList.CurAddr = static_cast<uint8_t>(devAddr);
}

bool TPollEngine::ParseAnswer(const uint8_t* bytes, int length) {
  switch (FCtx.Settings.PortInfo.Protocol) {
    case 0: return FYdtV31.ParseAnswer(bytes, length);
    case 1: return FQuorvan.ParseAnswer(bytes, length);
    case 2:
    case 3: return FModbus.ParseAnswer(bytes, length);
    default: return false;
  }
}

void TPollEngine::Comm1ReceiveData(const uint8_t* bytes, size_t length) {
  ++FCtx.Stats.RxCount;
  FCtx.RxLed = 3;
  const int len = static_cast<int>(std::min<size_t>(length, RxBufSize));
  std::memcpy(FCtx.Vars.RxBuf.data(), bytes, static_cast<size_t>(len));
  if (TraceVisible && EchoRx) EchoRx(FCtx.Vars.RxBuf.data(), len);
  const bool accepted = ParseAnswer(FCtx.Vars.RxBuf.data(), len);
  const uint8_t addr = FCtx.DeviceList.CurAddr;
  TUpsInfo* info = addr <= MaxAddress ? &FCtx.UpsInfo[addr] : nullptr;
  if (accepted) {
    if (info) {
      LinkSucceeded(*info, *FCtx.EventLogger);
      StateChangeCheck(*info);
      AlarmChangeCheck(*info);
    }
    if (FCtx.Vars.SearchMode && DeviceFound) DeviceFound(addr);
  } else {
    ++FCtx.Stats.ParseFailures;
  }
  if (info) CountReceive(*info);
}

void TPollEngine::StateChangeCheck(TUpsInfo& info) {
  if (info.Address == 0) return;
  if (info.Status.StateValid != 1 && info.SuccessCount < 6) return;
  info.Status.StateValid = 1;
  if (info.StateCode != info.LastStateCode) {
    info.LastStateCode = info.StateCode;
    FCtx.EventLogger->LogDeviceEvent(DevEventStateChange, info.Address);
  }
}

void TPollEngine::AlarmChangeCheck(TUpsInfo& info) {
  if (info.Address == 0) return;
  const auto cur = std::span(info.AlarmCodes).first(std::min<size_t>(info.AlarmCount, MaxAlarms));
  const auto prev = std::span(info.PrevAlarmCodes).first(std::min<size_t>(info.PrevAlarmCount, MaxAlarms));
  for (int32_t code : cur)
    if (std::find(prev.begin(), prev.end(), code) == prev.end()) FCtx.EventLogger->LogAlarmEvent(info.Address, code, true);
  for (int32_t code : prev)
    if (std::find(cur.begin(), cur.end(), code) == cur.end()) FCtx.EventLogger->LogAlarmEvent(info.Address, code, false);
  info.PrevAlarmCodes = info.AlarmCodes;
  info.PrevAlarmCount = info.AlarmCount;
}

void TPollEngine::TakeSnapshot() {
  const TDateTime now = FCtx.Clock.Now();
  for (int i = 1; i <= FCtx.DeviceList.Count; ++i) {
    const uint8_t addr = FCtx.DeviceList.Nodes[i].Address;
    if (addr > MaxAddress) continue;
    const TUpsInfo& info = FCtx.UpsInfo[addr];
    if (info.CommState != 0) continue;
    FCtx.DataLogger->Append(MakeDataRecord(info, now));
  }
}

}  // namespace tessaro
