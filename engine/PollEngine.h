#pragma once
// The poll engine: on every 100 ms tick it watches the port, builds, sends,
// repeats and releases requests through the active protocol handler, and for
// every received chunk runs the link bookkeeping, the state-change check and
// the alarm-change check. It also drives the data log countdown.
//
// It owns the schedule, the cycle cursor and the request in flight; an answer
// is decoded only when the handler finds it matches that request and the
// request has gone out.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/Context.h"
#include "protocols/MModbus.h"
#include "protocols/QuorvanProtocol.h"
#include "protocols/YdtV31Protocol.h"
#include "serial/SerialPort.h"

namespace tessaro {

class TPollEngine {
 public:
  TPollEngine(TContext& context, TSerialPort& port);
  TPollEngine(const TPollEngine&) = delete;
  TPollEngine& operator=(const TPollEngine&) = delete;

  // Logs "Monitor software is open" and opens the port; when the port cannot
  // be opened the reason is returned in *error and false. Links are reset
  // either way.
  bool Start(std::string* error = nullptr);
  // Logs "Monitor software is closed" and closes the port.
  void Shutdown();

  void Tick();  // the 100 ms poll timer
  // A tick whose time has passed, run late in a burst (ticks slept through, or
  // owed after the loop was held up) before the host has handed over what came
  // in meanwhile. It counts down like any tick, but ends no wait, builds and
  // sends nothing: the wait for an answer is counted in ticks, and a burst
  // would otherwise put request after request on the bus before any answer
  // had been heard. The next tick on time carries on.
  void LateTick();

  // How many of the coming ticks would only count down (a request's wait,
  // the reopen delay, the data log delay), at most MaxIdleTicks: a host may
  // sleep through them and run them late (LateTick), in one go, before it
  // hands the engine anything else. 0 when the next tick has work.
  static constexpr int MaxIdleTicks = 10;
  int IdleTicks() const;

  // With [CommMast] FastPoll set, an accepted answer releases its request: the
  // host runs FastStep once FastStepDueInMs() (-1: nothing due) has passed,
  // which builds and sends the next request after the line's turnaround gap.
  // Requests that get no answer keep the tick schedule.
  int FastStepDueInMs() const;
  void FastStep();
  void Comm1ReceiveData(const uint8_t* bytes, size_t length);

  void OpenCommPort();  // throws ECommsError
  void CloseCommPort();
  bool PortIsOpen() const;
  // False when the port did not take the frame; it then counts as not sent.
  bool SendFrame(const uint8_t* bytes, int length);

  // After a port failure (adapter unplugged, far end gone) the engine closes
  // the port and tries to reopen it every ReopenTicks ticks until it opens.
  // Call ScheduleReopen to start such retries after a failed open too.
  void ScheduleReopen() {
    FReopenCountdown = ReopenTicks;
    FAnnounceOpen = true;
  }
  int ReopenTicks = 30;

  // Why the port is not open (English, as the port layer gave it): the last
  // failed open or failure since it was last open; empty once it opens.
  const std::string& PortProblem() const { return FPortProblem; }

  // Clears the live values of every listed device that cannot be heard now
  // (port closed, link lost), so nothing stale shows as current. The
  // desktop runs it before each refresh of its display.
  void ClearUnheardDevices();

  // The address the active handler is talking to (0 with no handler).
  uint8_t ActiveAddress() const;

  // The handler Protocol selects, or null (4..255).
  TProtocolHandler* ActiveHandler();
  // The last request the active handler built (an empty one with no handler).
  const TRequest& Request() const;
  TContext& Context() { return FCtx; }
  const TSerialPort& Port() const { return FPort; }  // the trace window's line figures

  // Search window hooks.
  std::function<uint8_t()> NextSearchAddress;
  std::function<void(uint8_t)> DeviceFound;
  // Trace window hooks, called only while TraceVisible is set.
  std::function<void(const uint8_t*, int)> EchoTx;
  std::function<void(const uint8_t*, int)> EchoRx;
  std::function<void()> RefreshTrace;
  // Told the address of every device whose answer was accepted.
  std::function<void(uint8_t)> OnAnswerAccepted;
  // Told when an automatic reopen fails or succeeds (headless prints it).
  std::function<void(const std::string&)> OnPortMessage;

  uint8_t PortWasOpen = 0;
  uint8_t TraceVisible = 0;
  int32_t RecDelay = 0;

 private:
  void RunTick(bool late);
  void PollStep(bool late);
  void SendOrRelease();
  void BuildStep();
  bool FastPollOn() const;
  int TurnaroundMs() const;
  int ActiveIndex() const;
  void TrackActiveHandler();
  void NextRequest();
  TRequest NextCycleRequest(TProtocolHandler& handler, const TRequest& last);
  enum class TAnswerCheck { Accepted, Refused, NoMatch };  // Refused: matched but not decoded
  TAnswerCheck ParseAnswer(std::span<const uint8_t> answer, TPollStats& stats);
  bool JoinsChunks() const;
  TAnswerCheck ParseJoined(std::span<const uint8_t> chunk, bool& incomplete);
  void StateChangeCheck(TUpsInfo& info);
  void AlarmChangeCheck(TUpsInfo& info);
  void TakeSnapshot();
  void PortFailed(const std::string& reason);
  void TryReopen();
  // Outcomes of tracked writes (TContext::Commands).
  void FinishCommand(TCommandState state, uint8_t exceptionCode = 0);
  void DropCommands();
  // True when the chunk is the echo of the write last reported not answered:
  // the device did take it, late (a held line, a busy device).
  bool LateEcho(std::span<const uint8_t> chunk);

  TContext& FCtx;
  TSerialPort& FPort;
  TYdtV31Protocol FYdtV31;
  TQuorvanProtocol FQuorvan;
  TMModbus FModbus;
  std::array<TProtocolHandler*, 3> FHandlers;
  // Each handler's last built request: switching the protocol resumes where
  // that handler stood.
  std::array<TRequest, 3> FLast;
  int FTrackedIndex = -1;  // the handler whose cycle steps the records count
  bool FOnWire = false;  // the request in flight has been sent at least once
  bool FRefused = false;  // the device answered the request in flight with an exception
  uint32_t FCommandId = 0;  // tracking id of the write in flight, until it has its outcome
  // The last write reported not answered, while its echo may still come.
  struct TUnconfirmed {
    uint32_t Id = 0;
    int Handler = -1;
    TRequest Request;
    int64_t UntilMs = 0;
  };
  TUnconfirmed FUnconfirmed;
  static constexpr int64_t LateEchoMs = 120000;
  std::optional<int64_t> FFastDue;  // monotonic ms of the next fast step
  std::vector<uint8_t> FHeld;       // bytes since the send, while chunks are joined
  std::vector<DataRecord> FSnapshot;
  int FReopenCountdown = 0;
  bool FFailureSeen = false;
  bool FAnnounceOpen = false;  // say so when the port opens after retries
  std::string FPortProblem;
};

}  // namespace tessaro
