#pragma once
// Password checks for a listener. A hash costs tens of milliseconds, so it is
// computed on a thread of the checker's own, never on the thread that polls
// the bus, and only a few may wait for it: the rest are refused as failed
// checks. Every verdict, right or wrong, is released at a time fixed when the
// check is asked for, so its timing tells nothing; that time grows with the
// failures of the client, counted per address (per user name on loopback,
// where every local user shares the address), so reconnecting pays it too,
// and one client's checks are answered one after another, the next no sooner
// than the pause after the last. Every failure is reported, the reports
// themselves rate-limited.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "net/UsersFile.h"

namespace tessaro::net {

class TCredentialChecker {
 public:
  explicit TCredentialChecker(const TClock& clock);
  ~TCredentialChecker();
  TCredentialChecker(const TCredentialChecker&) = delete;
  TCredentialChecker& operator=(const TCredentialChecker&) = delete;

  struct TTicket {
    uint64_t Id = 0;
    int64_t ReleaseAtMs = 0;  // the verdict is not given before, right or wrong
  };
  // Queues a check of `user` and `password` against `users` (which must
  // outlive it) for a client at `peer`. `what` names what the client asked
  // for, in the report of a failure. `onReady` runs on the checker's thread
  // once Take can give the verdict (it must be quick, and must not call the
  // checker); Forget stops it.
  TTicket Submit(const TUsersFile& users, std::string_view user, std::string_view password, const std::string& peer,
                 const std::string& what, std::function<void()> onReady = {});
  // True for the right password, false for a wrong one or a refused check;
  // nothing before the hash is done and the release time has come, or for an
  // id taken or forgotten. Given once.
  std::optional<bool> Take(uint64_t id);
  // The client left: its verdict is dropped (its failure still counts), and
  // once this returns its onReady is not running and will not run.
  void Forget(uint64_t id);

  // Report lines since the last call, for the owner to say on its own thread.
  std::vector<std::string> TakeReports();

  // Checks that failed since the start.
  uint64_t Failed() const;
  // Checks queued or being hashed.
  size_t Waiting() const;
  // Checks whose verdict is not taken or forgotten yet.
  size_t Outstanding() const;

  // The peer's back-off key: the address, an IPv6 address's /64, or for
  // loopback the user name.
  static std::string BackOffKey(const std::string& peer, std::string_view user);

  // Settings; change before the first Submit.
  size_t MaxWaiting = 64;        // checks waiting for the hash; beyond, refused
  int64_t DelayMs = 1000;        // every verdict waits this long,
  int64_t MaxDelayMs = 16000;    // doubled for each failure (and check in flight) of its key, up to this;
  int64_t WindowMs = 15 * 60 * 1000;  // a key without a check for this long is forgotten
  size_t MaxKeys = 4096;
  int ReportBurst = 20;          // report lines at once,
  int64_t ReportEveryMs = 1000;  // then one each this long; the rest counted in the next line

 private:
  struct TJob {
    uint64_t Id;
    const TUsersFile* Users;
    std::string User;
    std::string Password;
  };
  struct TCheck {
    std::string Key;
    std::string User;
    std::string Peer;
    std::string What;
    int64_t ReleaseAtMs = 0;
    bool Hashed = false;
    bool Good = false;
    bool Fired = false;
    bool Forgotten = false;
    std::function<void()> OnReady;
  };
  struct TKey {
    int Failures = 0;  // within the window
    int InFlight = 0;  // queued, not hashed yet
    int64_t LastMs = 0;
    int64_t ReleaseAtMs = 0;  // of its latest check: the next one comes after it
  };

  void Run();
  void Record(uint64_t id, bool good, const char* why);
  void Report(std::string line, int64_t now);
  TKey& KeyFor(const std::string& key, int64_t now);

  const TClock& FClock;
  mutable std::mutex FMutex;
  std::condition_variable FWake;
  std::condition_variable FFiredCv;
  bool FStopping = false;
  uint64_t FNextId = 1;
  uint64_t FFiring = 0;  // the id whose onReady runs now
  uint64_t FFailed = 0;
  bool FHashing = false;
  std::deque<TJob> FJobs;
  std::map<uint64_t, TCheck> FChecks;
  std::map<std::string, TKey> FKeys;
  std::vector<std::string> FReports;
  double FReportTokens = -1;  // -1: not started, a full burst
  int64_t FReportAtMs = 0;
  uint64_t FUnreported = 0;
  std::thread FThread;
};

}  // namespace tessaro::net
