#pragma once
// A non-blocking TCP server for the UPS network protocol, driven by the
// caller's event loop: the caller polls the descriptors it hands out, wakes
// no later than NextTimeoutMs, and calls Process, which accepts, reads,
// answers, writes, drops clients past their time and retries a listen that
// failed, without blocking. No thread of its own.

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"
#include "net/ListenAddress.h"
#include "net/NutCommands.h"

namespace tessaro::net {

class TNutServer {
 public:
  TNutServer(TNutSource source, const TClock& clock);
  ~TNutServer();
  TNutServer(const TNutServer&) = delete;
  TNutServer& operator=(const TNutServer&) = delete;

  // One attempt to bind and listen; false with the reason in `error`.
  bool Listen(std::string_view address, std::string& error);
  // Listens on `address`, and when it cannot be bound now (the port taken,
  // the address not up yet at boot) tries again every RetryMs from Process.
  // OnMessage hears the first failure and the listen that works, never each
  // retry. False, with the reason, only for an address that can never work.
  bool Start(std::string_view address, std::string& error);
  std::function<void(const std::string&)> OnMessage;

  bool Listening() const { return FListenFd >= 0; }
  // The bound port (the one the system chose for port 0).
  uint16_t Port() const { return FPort; }
  // "host:port" as bound ("[::1]:3493" for IPv6).
  const std::string& Address() const { return FAddress; }

  // The descriptors to wait on, with the events wanted.
  void AppendPollFds(std::vector<pollfd>& fds) const;
  // Serves whatever is ready now; returns at once when nothing is.
  void Process();
  // Milliseconds until Process has work no descriptor will announce (a
  // client's time running out, a listen retry, answers held back so others
  // get their turn): 0 for at once, -1 for none.
  int NextTimeoutMs() const;

  size_t ClientCount() const { return FClients.size(); }
  // Password checks that failed since the start.
  uint64_t FailedChecks() const;

  // A client beyond this many, in all or from one address, takes the place
  // of the one there with the oldest activity (last whole request, or last
  // answer taken in full).
  size_t MaxClients = 256;
  size_t MaxClientsPerAddress = 16;
  // Answers waiting for a client beyond this many bytes: its further
  // requests wait, unread, until it takes them.
  size_t MaxPending = 64 * 1024;
  // A client is closed after this long with no request and nothing to send,
  int64_t IdleTimeoutMs = 60000;
  // with a request line begun but not ended,
  int64_t LineTimeoutMs = 10000;
  // or with answers it has not taken in full for this long.
  int64_t StallTimeoutMs = 30000;
  int64_t RetryMs = 5000;
  // A refused device command's answer is held back this long; that client's
  // further requests wait behind it. A request that needs a password check
  // waits for the checker's verdict (TNutControl::Checker), which sets its
  // own pause.
  int64_t FailDelayMs = 1000;

 private:
  struct TClient {
    int Fd = -1;
    std::string In;           // received, not yet answered
    bool Discarding = false;  // skipping the rest of an over-long line
    std::string Out;
    size_t OutPos = 0;
    bool InputEnded = false;  // read to the end of what the client sent
    bool PeerShut = false;    // hang-up seen while its input was held back
    bool CloseWhenSent = false;
    bool Dead = false;
    int64_t ActiveMs = 0;         // accepted, last whole line, or all answers sent
    uint64_t Order = 0;           // of acceptance, to break ties of ActiveMs
    int64_t LineStartMs = -1;     // a line begun and not ended, since
    int64_t PendingSinceMs = -1;  // answers the socket did not take, since
    TNutSession Session;
    std::string Held;         // an answer held back after a refusal
    int64_t HeldUntilMs = -1;
    uint64_t CheckId = 0;     // a password check this client waits for
    std::string CheckLine;    // the request answered once it is done
  };

  void Accept();
  size_t CountLive(const std::string* peer) const;
  void Evict(const std::string* peer);
  void Serve(TClient& client, short revents);
  void Read(TClient& client);
  void Drain(TClient& client);
  void Write(TClient& client);
  void Answer(TClient& client, std::string_view line);
  void TryListen();
  void Close(int fd);
  static size_t Pending(const TClient& client) { return client.Out.size() - client.OutPos; }
  static bool HasWholeLine(const TClient& client);
  bool WantsInput(const TClient& client) const;
  bool Ready(const TClient& client) const;
  int64_t Deadline(const TClient& client) const;

  TNutSource FSource;
  const TClock& FClock;
  TNutShared FShared;
  void Release(TClient& client, int64_t now);
  void StartCheck(TClient& client, const std::string& line, const std::string& what);
  TCredentialChecker* Checker() const { return FSource.Control ? FSource.Control->Checker : nullptr; }
  int FWakeFd = -1;  // readable when a password check is done
  int FListenFd = -1;
  int FSpareFd = -1;  // given up to accept and shed a client when out of descriptors
  uint16_t FPort = 0;
  std::string FAddress;
  std::string FWanted;        // the address Start keeps trying
  int64_t FRetryAtMs = -1;    // the next try, -1 none
  bool FFailing = false;      // the last try failed and was reported
  std::map<int, std::unique_ptr<TClient>> FClients;
  uint64_t FAccepted = 0;
};

}  // namespace tessaro::net
