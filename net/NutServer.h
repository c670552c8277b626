#pragma once
// A non-blocking TCP server for the UPS network protocol, driven by the
// caller's event loop: the caller polls the descriptors it hands out and
// calls Process, which accepts, reads, answers and writes without blocking.
// No thread of its own.

#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/NutCommands.h"

namespace tessaro::net {

// "ADDR:PORT" with ADDR an IPv4 address, "[IPv6]" or "localhost"; a missing
// ADDR (":3493" or "3493") means the loopback address. Port 0 asks the system
// for a free port.
struct TListenAddress {
  std::string Host;
  uint16_t Port = 0;
};
bool ParseListenAddress(std::string_view text, TListenAddress& address, std::string& error);

class TNutServer {
 public:
  explicit TNutServer(TNutSource source);
  ~TNutServer();
  TNutServer(const TNutServer&) = delete;
  TNutServer& operator=(const TNutServer&) = delete;

  // Binds and listens; false with the reason in `error`.
  bool Listen(std::string_view address, std::string& error);
  bool Listening() const { return FListenFd >= 0; }
  // The bound port (the one the system chose for port 0).
  uint16_t Port() const { return FPort; }
  // "host:port" as bound ("[::1]:3493" for IPv6).
  const std::string& Address() const { return FAddress; }

  // The descriptors to wait on, with the events wanted.
  void AppendPollFds(std::vector<pollfd>& fds) const;
  // Serves whatever is ready now; returns at once when nothing is.
  void Process();

  size_t ClientCount() const { return FClients.size(); }

  // A client beyond this many is accepted and closed at once.
  size_t MaxClients = 256;
  // Answers waiting for a client beyond this many bytes: the client is not
  // read until it takes them.
  size_t MaxPending = 64 * 1024;

 private:
  struct TClient {
    int Fd = -1;
    std::string In;           // received, not yet answered
    bool Discarding = false;  // skipping the rest of an over-long line
    std::string Out;
    size_t OutPos = 0;
    bool InputEnded = false;  // the client shut its side
    bool CloseWhenSent = false;
    bool Dead = false;
    TNutSession Session;
  };

  void Accept();
  void Read(TClient& client);
  void Drain(TClient& client);
  bool WantsInput(const TClient& client) const;
  void Write(TClient& client);
  void Answer(TClient& client, std::string_view line);
  void Close(int fd);

  TNutSource FSource;
  TLoginTable FLogins;
  int FListenFd = -1;
  int FSpareFd = -1;  // given up to accept and shed a client when out of descriptors
  uint16_t FPort = 0;
  std::string FAddress;
  std::map<int, std::unique_ptr<TClient>> FClients;
};

}  // namespace tessaro::net
