#include "control/BatteryTests.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "control/Control.h"
#include "control/Shutdown.h"
#include "engine/Context.h"

namespace tessaro {

namespace {

constexpr int64_t CheckMs = 1000;
// How long after its time a confirmed test may still show as running before
// the after values are taken all the same.
constexpr int64_t TestEndGraceMs = 120000;

std::string Confirmation(TCommandState state) {
  switch (state) {
    case TCommandState::Confirmed:
    case TCommandState::ConfirmedLate: return "confirmed";
    case TCommandState::Refused: return "refused";
    case TCommandState::NotAnswered: return "not-answered";
    case TCommandState::Superseded: return "superseded";
    case TCommandState::NotSent: return "not-sent";
    case TCommandState::Pending: break;
  }
  return "not-sent";
}

}  // namespace

void LoadTestOutcomes(TContext& ctx, std::string& error) {
  const std::string path = ctx.RecordDir + TestLogName;
  std::ifstream in(path, std::ios::binary);
  if (!in) return;  // no test yet
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) error = "cannot read " + path;
  ctx.Tests.Last = LastTestOutcomes(text);
}

TTestWatch::TTestWatch(TContext& ctx, std::function<bool()> portOpen) : FCtx(ctx), FPortOpen(std::move(portOpen)) {}

TTestWatch::~TTestWatch() {
  if (FToken != 0) FCtx.Commands.Unsubscribe(FToken);
}

void TTestWatch::Start() {
  // Every battery test is followed and kept, the windows' and the network's
  // too, not only the scheduled ones.
  FToken = FCtx.Commands.Subscribe([this](const TTrackedCommand& command) {
    if (command.Request.Kind == TCommandKind::BatteryTest && command.State == TCommandState::Pending)
      Track(command.Id, command.Request);
  });
  std::string error;
  LoadTestOutcomes(FCtx, error);
  if (!error.empty()) Say(error);
  const auto slots = ParseTestSchedule(FCtx.Settings.TestSchedule, error);
  if (!slots) {
    Say("battery test schedule off: [BatteryTest] Schedule: " + error);
    return;
  }
  if (slots->empty()) return;
  if (!ProtocolTakesCommands(FCtx.Settings.PortInfo.Protocol)) {
    Say("battery test schedule off: " + CheckText(TCommandCheck::NoCommands, 0));
    return;
  }
  std::map<int, TDateTime> last;
  for (const auto& [address, outcome] : FCtx.Tests.Last) last[address] = outcome.Start;
  FSchedule = std::make_unique<TTestSchedule>(*slots, FCtx.Clock.Now(), last);
}

TTestBlock TTestWatch::Block(int address) const {
  const TFreshnessRule fresh = FCtx.Freshness();
  if (!FPortOpen() || !fresh.IsFresh(address)) return TTestBlock::LinkDown;
  for (int i = 1; i <= FCtx.DeviceList.Count && i <= MaxDevices; ++i) {
    const int a = FCtx.DeviceList.Nodes[static_cast<size_t>(i)].Address;
    if (a == 0) continue;
    const TPowerReading r = PowerReading(FCtx, a);
    if (r.Fresh && r.OnBattery) return TTestBlock::OnBattery;
  }
  // A test runs on the bus already (by hand or ours): its battery supply is
  // what the rule guards against.
  if (!FRuns.empty()) return TTestBlock::OnBattery;
  return TTestBlock::None;
}

TTestBattery TTestWatch::Battery(int address) const {
  const TMeasureBlock& m = FCtx.UpsInfo[static_cast<size_t>(address)].Measure;
  return {m.DcInputVolt, m.BattCapacity, int{m.BattBackupTime} * 60};
}

void TTestWatch::Poll() {
  const int64_t now = FCtx.Clock.MonotonicMs();
  if (now < FNextCheckMs) return;
  FNextCheckMs = now + CheckMs;
  for (auto it = FRuns.begin(); it != FRuns.end();) it = Follow(*it, now) ? FRuns.erase(it) : it + 1;
  if (!FSchedule) return;
  const TTestSchedule::TStep step = FSchedule->Step(FCtx.Clock.Now(), [this](int a) { return Block(a); });
  for (const auto& [address, why] : step.Skipped)
    Say("scheduled battery test of ups" + std::to_string(address) + " skipped: " +
        (why == TTestBlock::OnBattery ? "a device on the bus was on battery" : "the device did not answer") +
        " all day");
  for (const int address : step.Start) Begin(address);
}

void TTestWatch::Begin(int address) {
  const TCommandRequest request{static_cast<uint8_t>(address), TCommandKind::BatteryTest, 0, DefaultTestSeconds};
  const TCommandTicket ticket = QueueControlCommand(FCtx, request, FPortOpen());
  if (ticket.Check == TCommandCheck::Ok) {
    Track(ticket.Id, request);
    Say("scheduled battery test of ups" + std::to_string(address) + " started");
    return;
  }
  Say("scheduled battery test of ups" + std::to_string(address) + " not started: " + CheckText(ticket.Check, 0));
  TRun run;
  run.Outcome.Address = address;
  run.Outcome.Start = FCtx.Clock.Now();
  run.Outcome.Before = Battery(address);
  run.Outcome.Confirmation = "not-queued";
  Finish(run);
}

void TTestWatch::Track(uint32_t id, const TCommandRequest& request) {
  for (const TRun& run : FRuns)
    if (run.Id == id) return;
  TRun run;
  run.Id = id;
  run.Seconds = request.Value;
  run.Outcome.Address = request.Addr;
  run.Outcome.Start = FCtx.Clock.Now();
  run.Outcome.Before = Battery(request.Addr);
  FCtx.Tests.Running[request.Addr] = run.Outcome.Start;
  FRuns.push_back(std::move(run));
}

bool TTestWatch::Follow(TRun& run, int64_t nowMs) {
  if (run.Outcome.Confirmation.empty()) {
    const TTrackedCommand* command = FCtx.Commands.Find(run.Id);
    if (command && command->State == TCommandState::Pending) return false;
    run.Outcome.Confirmation = command ? Confirmation(command->State) : "not-sent";
    if (run.Outcome.Confirmation != "confirmed") {
      Finish(run);
      return true;
    }
    run.ConfirmedMs = nowMs;
  }
  // The after values once the test is over: its time gone by and the device
  // out of it, or long enough after.
  const int64_t over = run.ConfirmedMs + int64_t{run.Seconds} * 1000;
  if (nowMs < over) return false;
  if (PowerReading(FCtx, run.Outcome.Address).Testing && nowMs < over + TestEndGraceMs) return false;
  Finish(run);
  return true;
}

void TTestWatch::Finish(TRun& run) {
  run.Outcome.End = FCtx.Clock.Now();
  run.Outcome.After = Battery(run.Outcome.Address);
  std::string error;
  AppendRecordLine(FCtx, TestLogName, TestOutcomeLine(run.Outcome), error);
  if (!error.empty()) Say(error);
  FCtx.Tests.Running.erase(run.Outcome.Address);
  FCtx.Tests.Last[run.Outcome.Address] = run.Outcome;
  Say("battery test of ups" + std::to_string(run.Outcome.Address) + ": " + TestOutcomeLine(run.Outcome));
}

}  // namespace tessaro
