#include "net/CredentialChecker.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>

#include "net/NutCommands.h"

namespace tessaro::net {

namespace {

// A worker waiting for a release time looks at the clock at least this often,
// so a clock that is moved by hand (in tests) is followed too.
constexpr int64_t LookEveryMs = 50;

// A user name as a client sent it, fit for one line of a report.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 64));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"') c = '?';
  return out;
}

}  // namespace

TCredentialChecker::TCredentialChecker(const TClock& clock) : FClock(clock), FThread([this] { Run(); }) {}

TCredentialChecker::~TCredentialChecker() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
  }
  FWake.notify_all();
  FThread.join();
  for (TJob& job : FJobs) std::fill(job.Password.begin(), job.Password.end(), '\0');
}

std::string TCredentialChecker::BackOffKey(const std::string& peer, std::string_view user) {
  if (IsLoopbackPeer(peer)) return "loopback user " + std::string(user.substr(0, 64));
  in6_addr v6{};
  if (::inet_pton(AF_INET6, peer.c_str(), &v6) != 1) return peer;
  char text[48];
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    return text;
  }
  // Whoever has one IPv6 address usually has its whole /64.
  {
    std::snprintf(text, sizeof text, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", v6.s6_addr[0], v6.s6_addr[1],
                  v6.s6_addr[2], v6.s6_addr[3], v6.s6_addr[4], v6.s6_addr[5], v6.s6_addr[6], v6.s6_addr[7]);
    return text;
  }
}

TCredentialChecker::TKey& TCredentialChecker::KeyFor(const std::string& key, int64_t now) {
  const auto idle = [&](const TKey& k) { return k.InFlight == 0 && now - k.LastMs > WindowMs && now >= k.ReleaseAtMs; };
  for (auto it = FKeys.begin(); it != FKeys.end();) it = idle(it->second) ? FKeys.erase(it) : std::next(it);
  // Full: the key with the fewest failures goes, the longest quiet of them,
  // so a flood of new names or addresses cannot wipe out a guesser's record.
  if (FKeys.size() >= MaxKeys && !FKeys.contains(key)) {
    auto victim = FKeys.end();
    const auto before = [](const TKey& x, const TKey& y) {
      return x.Failures != y.Failures ? x.Failures < y.Failures : x.LastMs < y.LastMs;
    };
    for (auto it = FKeys.begin(); it != FKeys.end(); ++it)
      if (it->second.InFlight == 0 && (victim == FKeys.end() || before(it->second, victim->second))) victim = it;
    if (victim != FKeys.end()) FKeys.erase(victim);
  }
  return FKeys[key];
}

TCredentialChecker::TTicket TCredentialChecker::Submit(const TUsersFile& users, std::string_view user,
                                                       std::string_view password, const std::string& peer,
                                                       const std::string& what, std::function<void()> onReady) {
  std::unique_lock lock(FMutex);
  const int64_t now = FClock.MonotonicMs();
  const std::string key = BackOffKey(peer, user);
  TKey& k = KeyFor(key, now);
  // Fixed before the hash: a right and a wrong password wait alike. Checks
  // already in flight count as failures, so parallel connections gain nothing.
  int64_t delay = DelayMs;
  for (int i = 0; i < k.Failures + k.InFlight && delay < MaxDelayMs; ++i) delay *= 2;
  // One key's checks come one after another; one that would have to wait
  // beyond the longest pause is not hashed at all, so neither parallel
  // connections nor a flood that locks the user out for longer gain a guess.
  TTicket ticket{FNextId++, std::max(now, k.ReleaseAtMs) + std::min(delay, MaxDelayMs)};
  const char* refusal = FJobs.size() >= MaxWaiting ? "refused, too many password checks waiting" : nullptr;
  if (ticket.ReleaseAtMs > now + MaxDelayMs) {
    ticket.ReleaseAtMs = now + MaxDelayMs;
    refusal = "refused, checks from there come faster than they are answered";
  } else {
    k.ReleaseAtMs = ticket.ReleaseAtMs;
  }
  k.LastMs = now;
  ++k.InFlight;
  TCheck& check = FChecks[ticket.Id];
  check.Key = key;
  check.User = Printable(user);
  check.Peer = peer.empty() ? "unknown" : peer;
  check.What = what;
  check.ReleaseAtMs = ticket.ReleaseAtMs;
  check.OnReady = std::move(onReady);
  if (refusal) {
    Record(ticket.Id, false, refusal);
  } else {
    FJobs.push_back({ticket.Id, &users, std::string(user), std::string(password)});
  }
  lock.unlock();
  FWake.notify_all();
  return ticket;
}

void TCredentialChecker::Record(uint64_t id, bool good, const char* why) {
  const auto it = FChecks.find(id);
  if (it == FChecks.end()) return;
  TCheck& c = it->second;
  c.Hashed = true;
  c.Good = good;
  TKey& k = FKeys[c.Key];
  if (k.InFlight > 0) --k.InFlight;
  if (!good) {
    const int64_t now = FClock.MonotonicMs();
    k.Failures = std::min(k.Failures + 1, 30);
    k.LastMs = now;
    ++FFailed;
    const std::string from = c.Key.rfind("loopback user ", 0) == 0 ? "for this user on loopback" : "from there";
    Report(c.What + " by user \"" + c.User + "\" from " + c.Peer + ": " + why + " (" + std::to_string(k.Failures) +
               " failed " + from + " within " + std::to_string(WindowMs / 60000) + " min, " +
               std::to_string(FFailed) + " since the start)",
           now);
  }
  if (c.Forgotten) FChecks.erase(it);
}

void TCredentialChecker::Report(std::string line, int64_t now) {
  if (FReportTokens < 0) FReportTokens = ReportBurst;
  FReportTokens = std::min<double>(ReportBurst, FReportTokens + static_cast<double>(now - FReportAtMs) /
                                                                    static_cast<double>(std::max<int64_t>(ReportEveryMs, 1)));
  FReportAtMs = now;
  if (line.empty() && FUnreported == 0) return;
  if (FReportTokens < 1) {
    if (!line.empty()) ++FUnreported;
    return;
  }
  FReportTokens -= 1;
  if (FUnreported > 0) {
    const std::string more = std::to_string(FUnreported) + " more failed password checks not reported one by one";
    line = line.empty() ? more : line + "; " + more;
    FUnreported = 0;
  }
  FReports.push_back(std::move(line));
}

std::vector<std::string> TCredentialChecker::TakeReports() {
  std::lock_guard lock(FMutex);
  // The failures held back are said once the rate allows, even if none follows.
  if (FUnreported > 0) Report("", FClock.MonotonicMs());
  return std::exchange(FReports, {});
}

std::optional<bool> TCredentialChecker::Take(uint64_t id) {
  std::lock_guard lock(FMutex);
  const auto it = FChecks.find(id);
  if (it == FChecks.end() || !it->second.Hashed || it->second.Forgotten) return std::nullopt;
  if (FClock.MonotonicMs() < it->second.ReleaseAtMs) return std::nullopt;
  const bool good = it->second.Good;
  FChecks.erase(it);
  return good;
}

void TCredentialChecker::Forget(uint64_t id) {
  std::unique_lock lock(FMutex);
  if (const auto it = FChecks.find(id); it != FChecks.end()) {
    if (it->second.Hashed) {
      FChecks.erase(it);
    } else {
      it->second.Forgotten = true;
      it->second.OnReady = nullptr;
    }
  }
  FFiredCv.wait(lock, [&] { return FFiring != id; });
}

uint64_t TCredentialChecker::Failed() const {
  std::lock_guard lock(FMutex);
  return FFailed;
}

size_t TCredentialChecker::Waiting() const {
  std::lock_guard lock(FMutex);
  return FJobs.size() + (FHashing ? 1 : 0);
}

size_t TCredentialChecker::Outstanding() const {
  std::lock_guard lock(FMutex);
  return static_cast<size_t>(std::count_if(FChecks.begin(), FChecks.end(), [](const auto& c) { return !c.second.Forgotten; }));
}

void TCredentialChecker::Run() {
  std::unique_lock lock(FMutex);
  for (;;) {
    // Verdicts whose time has come are announced first.
    const int64_t now = FClock.MonotonicMs();
    int64_t next = INT64_MAX;
    bool fired = false;
    for (auto& [id, c] : FChecks) {
      if (!c.Hashed || c.Fired || c.Forgotten || !c.OnReady) continue;
      if (now < c.ReleaseAtMs) {
        next = std::min(next, c.ReleaseAtMs);
        continue;
      }
      c.Fired = true;
      std::function<void()> ready = std::move(c.OnReady);
      c.OnReady = nullptr;
      FFiring = id;
      lock.unlock();
      ready();
      lock.lock();
      FFiring = 0;
      FFiredCv.notify_all();
      fired = true;
      break;  // the map may have changed meanwhile
    }
    if (fired) continue;
    if (FStopping) return;
    if (!FJobs.empty()) {
      TJob job = std::move(FJobs.front());
      FJobs.pop_front();
      FHashing = true;
      lock.unlock();
      const bool good = job.Users->Check(job.User, job.Password);
      std::fill(job.Password.begin(), job.Password.end(), '\0');
      lock.lock();
      FHashing = false;
      Record(job.Id, good, "refused, wrong user name or password");
      continue;
    }
    if (next == INT64_MAX)
      FWake.wait(lock);
    else
      FWake.wait_for(lock, std::chrono::milliseconds(std::clamp<int64_t>(next - now, 1, LookEveryMs)));
  }
}

}  // namespace tessaro::net
