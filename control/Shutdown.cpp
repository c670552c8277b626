#include "control/Shutdown.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "engine/Context.h"
#include "net/NutVars.h"

namespace tessaro {

namespace {

constexpr int64_t RequestCheckMs = 1000;

bool AppendLog(const TContext& ctx, const std::string& line, std::string& error) {
  return AppendRecordLine(ctx, ForcedShutdownLogName, line, error);
}

}  // namespace

bool AppendRecordLine(const TContext& ctx, const char* name, const std::string& line, std::string& error) {
  const std::string path = ctx.RecordDir + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = line + "\n";
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int writeErrno = errno;
  ::fdatasync(fd);
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    error = "cannot write " + path + ": " + (n < 0 ? std::strerror(writeErrno) : "short write");
    return false;
  }
  return true;
}

bool ForceShutdown(TContext& ctx, int address, TForcedShutdownMark mark, std::string& error) {
  mark.At = ctx.Clock.Now();
  const std::string line = ForcedShutdownLine(address, mark);
  if (!ctx.Forced.Set(address, std::move(mark))) return false;
  AppendLog(ctx, line, error);
  return true;
}

std::vector<int> ClearForcedShutdown(TContext& ctx, const std::string& by, std::string& error) {
  const std::vector<int> cleared = ctx.Forced.Clear();
  for (const int address : cleared)
    AppendLog(ctx, FormatDateTime(ctx.Clock.Now()) + "  ups" + std::to_string(address) + "  cleared by " + by, error);
  return cleared;
}

TPowerReading PowerReading(const TContext& ctx, int address) {
  TPowerReading r;
  if (address < 0 || address > MaxAddress) return r;
  const TUpsInfo& info = ctx.UpsInfo[static_cast<size_t>(address)];
  r.Fresh = ctx.Freshness().IsFresh(address);
  std::istringstream words(net::UpsStatus(info));
  for (std::string w; words >> w;) {
    r.OnBattery |= w == "OB";
    r.LowBattery |= w == "LB";
    r.Testing |= w == "CAL";
  }
  r.RuntimeSeconds = int{info.Measure.BattBackupTime} * 60;  // reported in minutes
  return r;
}

TShutdownWatch::TShutdownWatch(TContext& ctx) : FCtx(ctx) {}

void TShutdownWatch::Start() {
  std::string error;
  const auto rules = ParseShutdownRules(FCtx.Settings.ShutdownRules, error);
  if (!rules) {
    Say("shutdown policy off: [Shutdown] Rules: " + error);
    return;
  }
  const auto group = ParseShutdownGroup(FCtx.Settings.ShutdownGroup, error);
  if (!group) {
    Say("shutdown policy off: [Shutdown] Group: " + error);
    return;
  }
  FPolicy = TShutdownPolicy(*rules, *group);
}

void TShutdownWatch::Poll() {
  const int64_t now = FCtx.Clock.MonotonicMs();
  if (now < FNextCheckMs) return;
  FNextCheckMs = now + RequestCheckMs;
  TakeClearRequest();
  if (FPolicy.Empty()) return;
  const auto read = [this](int a) {
    TPowerReading r = PowerReading(FCtx, a);
    // A test this monitor follows counts from its start, before the device
    // shows it (scheduled, from the windows or the network alike).
    r.Testing |= FCtx.Tests.Running.count(a) != 0;
    return r;
  };
  for (const TPolicyTrip& trip : FPolicy.Step(read, now)) {
    std::string error;
    const bool first = ForceShutdown(FCtx, trip.Address, {"the shutdown policy (" + trip.Why + ")", ""}, error);
    if (first) Say("forced shutdown of ups" + std::to_string(trip.Address) + " by the shutdown policy: " + trip.Why);
    if (!error.empty()) Say(error);
  }
}

void TShutdownWatch::TakeClearRequest() {
  const std::string path = FCtx.DataDir + ClearFsdRequestName;
  if (::access(path.c_str(), F_OK) != 0) return;
  std::string error;
  const std::vector<int> cleared = ClearForcedShutdown(FCtx, "the operator", error);
  // Removed last: the command waits for it to go as the sign it was done.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    Say("cannot remove " + path + ": " + std::strerror(errno));
  std::string names;
  for (const int a : cleared) names += (names.empty() ? "ups" : ", ups") + std::to_string(a);
  Say(cleared.empty() ? std::string("forced shutdown: nothing to clear")
                      : "forced shutdown cleared by the operator: " + names);
  if (!error.empty()) Say(error);
}

}  // namespace tessaro
