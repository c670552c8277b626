#include "engine/PollEngine.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "serial/PortName.h"

namespace tessaro {

TPollEngine::TPollEngine(TContext& context, TSerialPort& port)
    : FCtx(context),
      FPort(port),
      FModbus(context.SelectedModel),
      FHandlers{&FYdtV31, &FQuorvan, &FModbus} {
  for (size_t i = 0; i < FHandlers.size(); ++i) FLast[i].Addr = FHandlers[i]->FirstAddress();
  FCtx.Vars.SearchMode = 0;
  TrackActiveHandler();
  FPort.OnReceiveData = [this](const uint8_t* bytes, size_t length) { Comm1ReceiveData(bytes, length); };
  FPort.OnPortFailure = [this](const TPortFailure& failure) { PortFailed(failure.Text); };
}

bool TPollEngine::Start(std::string* error) {
  FCtx.EventLogger->LogProgramEvent(0);
  FCtx.Display.TimerStats[1] = 100;
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
  // A network port still connecting is open too.
  if (FPort.IsOpen()) FPort.ClosePort();
  TPortInfo& info = FCtx.Settings.PortInfo;
  FPort.SetCommName(info.ComName);
  FPort.SetBaudRate(static_cast<uint32_t>(info.BaudRate));
  // Fast polling ends a receive on the silence that ends a frame on the line.
  const int32_t silence = info.FastPoll ? std::min(info.ReadIntervalTimeout, TurnaroundMs()) : info.ReadIntervalTimeout;
  FPort.SetReadIntervalTimeout(static_cast<uint32_t>(silence));
  if (info.StopBits != 2) info.StopBits = 1;
  FPort.SetStopBits(info.StopBits == 2 ? TStopBits::_2 : TStopBits::_1);
  // "COMn" must carry a number 1..256; a path is opened as it is, and so is
  // a well-formed network name.
  std::string why;
  if (HasNetworkScheme(info.ComName)) {
    if (!ParsePortName(info.ComName, &why)) {
      FPortProblem = why;
      return;
    }
  } else if (!info.ComName.empty() && info.ComName[0] != '/') {
    int n = 0;
    if (info.ComName.size() > 3) {
      const std::string digits = info.ComName.substr(3, 2);
      if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        n = std::stoi(digits);
    }
    if (n == 0 || n > 256) {
      (void)ParsePortName(info.ComName, &why);
      FPortProblem = why.empty() ? "ComName \"" + info.ComName + "\" names no port" : why;
      return;
    }
  }
  FFailureSeen = false;
  try {
    FPort.OpenPort();
  } catch (const ECommsError& e) {
    FPortProblem = e.what();
    if (e.ErrorCode() != 0) FPortProblem += std::string(": ") + std::strerror(e.ErrorCode());
    throw;
  }
}

void TPollEngine::CloseCommPort() {
  if (FPort.IsOpen()) FPort.ClosePort();
}

bool TPollEngine::PortIsOpen() const { return FPort.PortHandle() != 0; }

bool TPollEngine::SendFrame(const uint8_t* bytes, int length) {
  if (!FPort.SendData(bytes, static_cast<size_t>(std::max(length, 0)))) return false;
  FCtx.Display.TxLed = 3;
  if (TraceVisible && EchoTx) EchoTx(bytes, length);
  ++FCtx.Stats.TxCount;
  return true;
}

int TPollEngine::ActiveIndex() const {
  switch (FCtx.Settings.PortInfo.Protocol) {
    case 0: return 0;
    case 1: return 1;
    case 2:
    case 3: return 2;
    default: return -1;
  }
}

TProtocolHandler* TPollEngine::ActiveHandler() {
  const int index = ActiveIndex();
  return index < 0 ? nullptr : FHandlers[static_cast<size_t>(index)];
}

const TRequest& TPollEngine::Request() const {
  static const TRequest none;
  const int index = ActiveIndex();
  return index < 0 ? none : FLast[static_cast<size_t>(index)];
}

void TPollEngine::TrackActiveHandler() {
  const int index = ActiveIndex();
  TProtocolHandler* handler = ActiveHandler();
  FCtx.Vars.CycleSteps = static_cast<uint8_t>(handler ? handler->CycleSteps() : 0);
  FCtx.Vars.RequiredSteps = handler ? handler->RequiredSteps() : 0;
  FCtx.Vars.MeasureSteps = handler ? handler->MeasureSteps() : 0;
  if (index == FTrackedIndex) return;
  // Another protocol numbers its steps otherwise: what was decoded counts for nothing.
  if (FTrackedIndex >= 0)
    for (TUpsInfo& info : FCtx.UpsInfo) info.DecodedSteps = 0;
  FTrackedIndex = index;
}

uint8_t TPollEngine::ActiveAddress() const { return static_cast<uint8_t>(Request().Addr); }

void TPollEngine::PortFailed(const std::string& reason) {
  // Reported once per failure; the close shows up as code 18 on the next tick.
  if (FFailureSeen) return;
  FFailureSeen = true;
  try {
    FPort.ClosePort();
  } catch (...) {
  }
  FPortProblem = reason;
  if (OnPortMessage) OnPortMessage("Serial port " + FCtx.Settings.PortInfo.ComName + " failed: " + reason);
  ScheduleReopen();
}

void TPollEngine::TryReopen() {
  try {
    OpenCommPort();
  } catch (const ECommsError& e) {
    if (OnPortMessage) OnPortMessage(e.what());
  }
  // Opened, or still connecting: the port then either opens or reports a
  // failure, which schedules the next try.
  FReopenCountdown = FPort.IsOpen() ? 0 : ReopenTicks;
}

void TPollEngine::Tick() { RunTick(false); }

void TPollEngine::LateTick() { RunTick(true); }

void TPollEngine::RunTick(bool late) {
  // What the log writer finished since the last tick reaches the stores' listeners here.
  if (FCtx.LogWriter) FCtx.LogWriter->Collect();
  FCtx.Display.TimerStats[1] = 100;
  ++FCtx.Display.TimerStats[11];
  TrackActiveHandler();
  if (PortIsOpen()) {
    if (PortWasOpen == 0) {
      PortWasOpen = 1;
      FPortProblem.clear();
      FCtx.EventLogger->LogProgramEvent(4);
      if (FAnnounceOpen && OnPortMessage) OnPortMessage("Serial port " + FCtx.Settings.PortInfo.ComName + " opened");
      FAnnounceOpen = false;
    }
    PollStep(late);
  } else {
    if (PortWasOpen == 1) {
      PortWasOpen = 0;
      FCtx.EventLogger->LogProgramEvent(3);
      ResetAllLinks(FCtx.UpsInfo);
    }
    DropCommands();
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

int TPollEngine::IdleTicks() const {
  // Finished log writes reach their listeners on a tick.
  if (FCtx.LogWriter && !FCtx.LogWriter->Settled()) return 0;
  if (TraceVisible) return 0;
  // An open or a close still to be noticed and logged.
  const bool open = PortIsOpen();
  if (open != (PortWasOpen != 0)) return 0;
  int idle = MaxIdleTicks;
  if (open) {
    const TPollVars& v = FCtx.Vars;
    // Not waiting: the next tick builds a request. Waiting: the tick after
    // the countdown sends it again or releases it.
    if (!v.Waiting) return 0;
    idle = std::min<int>(idle, v.WaitTicks);
  } else {
    if (FCommandId || FCtx.CommandQueue.HasPending()) return 0;
    if (FReopenCountdown > 0) idle = std::min(idle, FReopenCountdown - 1);
  }
  if (FCtx.Settings.RecInterval > 0) idle = std::min(idle, std::max<int>(RecDelay, 0));
  return std::max(idle, 0);
}

void TPollEngine::PollStep(bool late) {
  TPollVars& v = FCtx.Vars;
  v.DebugStage = 0;
  if (v.Waiting) {
    if (v.WaitTicks > 0) {
      v.DebugStage = 1;
      --v.WaitTicks;
      return;
    }
    // The answer may be among what the host has yet to hand over.
    if (late) {
      v.DebugStage = 1;
      return;
    }
    SendOrRelease();
    return;
  }
  if (!late) BuildStep();
}

void TPollEngine::SendOrRelease() {
  TPollVars& v = FCtx.Vars;
  v.DebugStage = 2;
  ++v.SendNo;
  // A write the device has echoed is done: sent again, a battery test would
  // restart or a switching command be carried out twice.
  const TRequest& request = Request();
  // A write it has refused is done as well: the refusal is what gets reported.
  const bool writeDone = (request.Func == 6 || request.Func == 16) && (request.Answers > 0 || FRefused) &&
                         ActiveHandler() && ActiveHandler()->TakesCommands();
  if (v.SendNo < v.MaxSends && !writeDone) {
    // Whatever is still on its way in answers an earlier request.
    FPort.PurgeInput();
    FHeld.clear();
    if (SendFrame(Request().Frame.data(), v.FrameLen)) FOnWire = true;
    v.WaitTicks = 10;
    // An address beyond the table (a queued command, a probe) has no slot to charge.
    if (FCtx.DeviceList.CurAddr <= MaxAddress) LinkFailed(FCtx.UpsInfo[FCtx.DeviceList.CurAddr], *FCtx.EventLogger);
  } else {
    v.Waiting = 0;
    if (FCommandId) FinishCommand(FOnWire ? TCommandState::NotAnswered : TCommandState::NotSent);
  }
}

void TPollEngine::BuildStep() {
  TPollVars& v = FCtx.Vars;
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

bool TPollEngine::FastPollOn() const { return FCtx.Settings.PortInfo.FastPoll; }

int TPollEngine::TurnaroundMs() const {
  const TPortInfo& p = FCtx.Settings.PortInfo;
  const int bitsPerChar = p.StopBits == 2 ? 11 : 10;  // start, 8 data, stop
  const int baud = std::max<int32_t>(p.BaudRate, 1);
  // 3.5 character times, rounded up, and never below 5 ms.
  return std::max(5, (35 * bitsPerChar * 1000 + 10 * baud - 1) / (10 * baud));
}

int TPollEngine::FastStepDueInMs() const {
  if (!FFastDue) return -1;
  return static_cast<int>(std::clamp<int64_t>(*FFastDue - FCtx.Clock.MonotonicMs(), 0, 1000));
}

void TPollEngine::FastStep() {
  if (!FFastDue || FastStepDueInMs() > 0) return;
  FFastDue.reset();
  TPollVars& v = FCtx.Vars;
  if (!PortIsOpen() || !v.Waiting) return;
  // The answer is in: release the request and put the next one on the line now.
  v.Waiting = 0;
  BuildStep();
  if (v.Waiting) SendOrRelease();
}

void TPollEngine::NextRequest() {
  const int index = ActiveIndex();
  if (index < 0) return;
  TProtocolHandler& handler = *FHandlers[static_cast<size_t>(index)];
  TRequest& last = FLast[static_cast<size_t>(index)];
  TPollVars& v = FCtx.Vars;

  TRequest next;
  uint32_t commandId = 0;
  if (v.SearchMode) {
    next = handler.SearchRequest(v.SearchAddr);
  } else if (v.Paused) {
    return;
  } else if (auto command = handler.TakesCommands() ? FCtx.CommandQueue.TakeFirst() : std::nullopt) {
    // The cycle position stays; the cycle goes on with the command's device.
    next = handler.CommandRequest(*command);
    commandId = command->Id;
  } else {
    next = NextCycleRequest(handler, last);
  }
  // The request before this one was released, so its write has its outcome.
  if (FCommandId) FinishCommand(FOnWire ? TCommandState::NotAnswered : TCommandState::NotSent);
  FCommandId = commandId;
  if (FCommandId && next.FrameLen <= 0) FinishCommand(TCommandState::NotSent);  // no frame for it
  last = next;
  FOnWire = false;
  FRefused = false;
  v.FrameLen = std::clamp(next.FrameLen, 0, TxBufSize);
  FCtx.DeviceList.CurAddr = static_cast<uint8_t>(next.Addr);
}

TRequest TPollEngine::NextCycleRequest(TProtocolHandler& handler, const TRequest& last) {
  TPollVars& v = FCtx.Vars;
  // A lost device gets one step per visit. An address without a slot in the
  // device table (a probe or a command beyond 252) counts as lost.
  const bool lost = last.Addr > MaxAddress || FCtx.UpsInfo[last.Addr].CommState == 2;
  v.StepCount = static_cast<uint8_t>(lost ? 1 : handler.CycleSteps());
  int step = v.PollStep + 1;  // int: a PollStep of 255 does not wrap to 0
  uint16_t addr = last.Addr;
  if (step > v.StepCount) {
    step = 1;
    FCtx.DeviceList.NextPollAddress();
    addr = FCtx.DeviceList.CurAddr;
  }
  v.PollStep = static_cast<uint8_t>(step);
  return handler.CycleRequest(addr, step);
}

TPollEngine::TAnswerCheck TPollEngine::ParseAnswer(std::span<const uint8_t> answer, TPollStats& stats) {
  const int index = ActiveIndex();
  // Nothing can answer a request that has not gone out.
  if (index < 0 || !FOnWire) return TAnswerCheck::NoMatch;
  TProtocolHandler& handler = *FHandlers[static_cast<size_t>(index)];
  TRequest& request = FLast[static_cast<size_t>(index)];
  if (!handler.Matches(request, answer, stats)) return TAnswerCheck::NoMatch;
  if (request.Addr > MaxAddress) return TAnswerCheck::Refused;  // no slot to decode into or to count on
  if (!handler.Decode(request, answer, FCtx.UpsInfo[request.Addr])) {
    if (const std::optional<uint8_t> code = handler.RefusalCode(answer)) {
      FRefused = true;
      if (FCommandId) FinishCommand(TCommandState::Refused, *code);
    }
    return TAnswerCheck::Refused;
  }
  ++request.Answers;
  if (FCommandId) FinishCommand(TCommandState::Confirmed);
  return TAnswerCheck::Accepted;
}

bool TPollEngine::JoinsChunks() const { return FastPollOn() || FPort.SplitsFrames(); }

TPollEngine::TAnswerCheck TPollEngine::ParseJoined(std::span<const uint8_t> chunk, bool& incomplete) {
  FHeld.insert(FHeld.end(), chunk.begin(), chunk.end());
  if (FHeld.size() > RxBufSize) FHeld.erase(FHeld.begin(), FHeld.end() - RxBufSize);
  const std::span<const uint8_t> held(FHeld);
  const size_t expected = static_cast<size_t>(std::max(Request().AnswerLen, 0));
  // The chunk alone, everything since the send, or an answer of the expected
  // length at either end of it, beside bytes that answer nothing (a late
  // answer, another master's traffic). Only the verdict on the whole counts.
  TPollStats scratch;
  std::vector<std::span<const uint8_t>> candidates = {chunk};
  if (held.size() > chunk.size()) candidates.push_back(held);
  if (expected > 0 && held.size() > expected) {
    if (expected != chunk.size()) candidates.push_back(held.last(expected));
    candidates.push_back(held.first(expected));
  }
  for (const std::span<const uint8_t> candidate : candidates) {
    const TAnswerCheck check = ParseAnswer(candidate, scratch);
    if (check != TAnswerCheck::NoMatch) {
      FHeld.clear();
      return check;
    }
  }
  incomplete = held.size() < expected;
  if (!incomplete) ParseAnswer(held, FCtx.Stats);  // counts why it was refused
  return TAnswerCheck::NoMatch;
}

void TPollEngine::FinishCommand(TCommandState state, uint8_t exceptionCode) {
  const uint32_t id = FCommandId;
  FCommandId = 0;
  const int64_t now = FCtx.Clock.MonotonicMs();
  // Still the write's request: the next one is built after this.
  if (state == TCommandState::NotAnswered) FUnconfirmed = {id, ActiveIndex(), Request(), now + LateEchoMs};
  FCtx.Commands.Resolve(id, state, now, exceptionCode);
}

bool TPollEngine::LateEcho(std::span<const uint8_t> chunk) {
  TUnconfirmed& u = FUnconfirmed;
  if (u.Id == 0) return false;
  if (FCtx.Clock.MonotonicMs() > u.UntilMs || u.Handler != ActiveIndex()) {
    u = {};
    return false;
  }
  const TProtocolHandler& handler = *FHandlers[static_cast<size_t>(u.Handler)];
  // Alone, or at either end of a chunk it arrived joined to.
  const size_t length = static_cast<size_t>(std::max(u.Request.AnswerLen, 0));
  std::vector<std::span<const uint8_t>> candidates = {chunk};
  if (length > 0 && chunk.size() > length) {
    candidates.push_back(chunk.first(length));
    candidates.push_back(chunk.last(length));
  }
  TPollStats scratch;
  for (const std::span<const uint8_t> candidate : candidates) {
    if (!handler.Matches(u.Request, candidate, scratch) || handler.RefusalCode(candidate)) continue;
    FCtx.Commands.ConfirmLate(u.Id, FCtx.Clock.MonotonicMs());
    u = {};
    return true;
  }
  return false;
}

void TPollEngine::DropCommands() {
  // With the port closed a write is not kept for later: an "off" sent when the
  // port comes back, perhaps minutes after it was asked for, would surprise
  // everyone.
  for (uint32_t id : FCtx.CommandQueue.DropPending())
    FCtx.Commands.Resolve(id, TCommandState::NotSent, FCtx.Clock.MonotonicMs());
  if (FCommandId) {
    FinishCommand(FOnWire ? TCommandState::NotAnswered : TCommandState::NotSent);
    FCtx.Vars.Waiting = 0;  // and it is not sent again either
  }
}

void TPollEngine::Comm1ReceiveData(const uint8_t* bytes, size_t length) {
  ++FCtx.Stats.RxCount;
  FCtx.Display.RxLed = 3;
  const int len = static_cast<int>(std::min<size_t>(length, RxBufSize));
  std::memcpy(FCtx.Vars.RxBuf.data(), bytes, static_cast<size_t>(len));
  if (TraceVisible && EchoRx) EchoRx(FCtx.Vars.RxBuf.data(), len);
  const std::span<const uint8_t> chunk(FCtx.Vars.RxBuf.data(), static_cast<size_t>(len));
  // Fast polling's short receive silence, and a network stream at any time,
  // can cut an answer into pieces or join it to other bytes.
  bool incomplete = false;
  const TAnswerCheck check =
      JoinsChunks() && FOnWire ? ParseJoined(chunk, incomplete) : ParseAnswer(chunk, FCtx.Stats);
  const bool accepted = check == TAnswerCheck::Accepted;
  if (accepted && FastPollOn() && FCtx.Vars.Waiting) FFastDue = FCtx.Clock.MonotonicMs() + TurnaroundMs();
  const uint8_t addr = FCtx.DeviceList.CurAddr;
  TUpsInfo* info = addr <= MaxAddress ? &FCtx.UpsInfo[addr] : nullptr;
  if (accepted) {
    ++FCtx.Stats.AckOkCount;
    if (info) {
      info->LastAnswerMs = FCtx.Clock.MonotonicMs();
      LinkSucceeded(*info, *FCtx.EventLogger);
      StateChangeCheck(*info);
      AlarmChangeCheck(*info);
      if (OnAnswerAccepted) OnAnswerAccepted(addr);
    }
    if (FCtx.Vars.SearchMode && DeviceFound) DeviceFound(addr);
  } else if (!incomplete && !LateEcho(chunk)) {
    // A piece of an answer still on its way is no failure yet.
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
  const TFreshnessRule freshness = FCtx.Freshness();
  FSnapshot.clear();
  for (int i = 1; i <= FCtx.DeviceList.Count; ++i) {
    const uint8_t addr = FCtx.DeviceList.Nodes[i].Address;
    // Only what the device itself said: communicating, every measured value
    // decoded since its link came up, and answering within its round.
    if (!freshness.IsRecordFresh(addr)) continue;
    FSnapshot.push_back(MakeDataRecord(FCtx.UpsInfo[addr], now));
  }
  // One write for the whole bus keeps the tick short.
  FCtx.DataLogger->AppendAll(FSnapshot);
}

void TPollEngine::ClearUnheardDevices() {
  const bool open = PortIsOpen();
  for (int k = 1; k <= FCtx.DeviceList.Count; ++k) {
    const uint8_t address = FCtx.DeviceList.Nodes[k].Address;
    if (address == 0) continue;
    TUpsInfo& info = FCtx.UpsInfo[address];
    if (!open || info.CommState == 2) ClearLiveValues(info);
  }
}

}  // namespace tessaro
