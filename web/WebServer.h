#pragma once
// The HTTP listener: the dashboard pages, the JSON API, the metrics and the
// health check, read-only, over what the engine last published. It runs on
// threads of its own (libmicrohttpd's polling threads), so no client, however
// slow or abusive, and no log query, however long, holds up polling; the
// engine's thread only publishes snapshots and calls Notify.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/CredentialChecker.h"
#include "net/UsersFile.h"
#include "web/WebFeed.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace tessaro::web {

struct TWebConfig {
  std::string Listen;     // ADDRESS:PORT, a numeric address
  std::string UsersFile;  // users allowed in (HTTP basic authentication); empty: no passwords
  bool Public = false;    // serve a non-loopback address without passwords
};

// "ADDRESS:PORT" with a numeric IPv4 address or "[IPv6]"; the bindable form
// of the listen setting. False with the reason.
bool ParseWebListen(const std::string& text, std::string& host, uint16_t& port, std::string& error);
// 127.0.0.0/8 or ::1.
bool IsLoopbackHost(const std::string& host);

class TWebServer {
 public:
  TWebServer(TWebFeed& feed, std::string version);
  ~TWebServer();
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Checks the settings: the address, the users file, and that a listener
  // reachable from other machines has passwords or is declared public. False
  // with the reason; trying again will not help.
  bool Configure(const TWebConfig& config, std::string& error);
  // Binds and serves. False with the reason (the port is taken, the address
  // is not up yet): the caller may try again later.
  bool Start(std::string& error);
  void Stop();
  bool Running() const { return FDaemon != nullptr; }
  // "host:port" as bound ("[::1]:8080").
  const std::string& Address() const { return FAddress; }
  uint16_t Port() const { return FPort; }

  // A new snapshot is out: wakes the event streams that wait for one or owe
  // their client a heartbeat. Cheap; the engine calls it every tick.
  void Notify();

  // Limits; set before Start. A connection beyond MaxConnections, or beyond
  // MaxPerAddress from its address, takes the place of the one there that
  // has waited longest for a request (idle, or slow to send its head), or
  // failing that the one longest at its answer; event streams are not taken.
  unsigned MaxConnections = 128;
  unsigned MaxPerAddress = 32;
  unsigned TimeoutSeconds = 10;        // a connection idle this long is closed
  int64_t HeadTimeoutMs = 10000;       // from accept or the last answer to a whole request head
  size_t MemoryLimit = 32 * 1024;      // per connection: request line and headers fit in this
  // Event streams at once (the overview and device pages), and from one
  // address. A new stream beyond MaxStreams ends the oldest of the address
  // holding the most, when that is more than its own address holds; else
  // it is told to poll.
  unsigned MaxStreams = 16;
  unsigned MaxStreamsPerAddress = 4;
  unsigned Threads = 2;
  int64_t HeartbeatMs = 15000;         // a comment line on an idle stream, which also finds closed ones
  int64_t MinEventGapMs = 1000;        // at most one update a second per stream
  std::string ChartJsPath = "/usr/share/javascript/chart.js/chart.min.js";

  // Served request counts by outcome, for tests and the benchmarks.
  uint64_t Requests() const;
  // The failed password checks to report since the last call; the host says
  // them on its own thread.
  std::vector<std::string> TakeReports();
  // Null without a users file.
  net::TCredentialChecker* Checker() { return FChecker.get(); }

  struct TStream;
  struct TConnection {
    int Fd = -1;
    std::string Peer;
    bool Busy = false;     // a request head is in and its answer not done
    bool Evicted = false;  // shut down; its close not yet seen
    TStream* Stream = nullptr;
    int64_t SinceMs = 0;   // accepted, or its last answer done
    uint64_t Order = 0;    // of the same moments
  };

 private:
  friend struct TCallbacks;
  void Opened(MHD_Connection* connection);
  void Closed(MHD_Connection* connection);
  void Answering(MHD_Connection* connection, bool busy);
  void ExpireHeads(int64_t now);
  void EvictOne(const std::string* peer, MHD_Connection* except);
  void Evict(TConnection& connection);
  void EndStream(TStream& stream);
  enum class TAccess : uint8_t { Allowed, Denied, Waiting };
  TAccess Authorize(MHD_Connection* connection, void** request);
  void CheckDone(MHD_Connection* connection);
  int Route(MHD_Connection* connection, const std::string& url);
  int RouteApi(MHD_Connection* connection, const std::string& url, const TBusSnapshot& snapshot);
  int OpenStream(MHD_Connection* connection);
  long ReadStream(TStream& stream, char* buf, size_t max);
  void CloseStream(TStream* stream);

  TWebFeed& FFeed;
  const std::string FVersion;
  TWebConfig FConfig;
  std::string FHost;
  std::optional<net::TUsersFile> FUsers;
  struct TStaticFile {
    std::string Body, Gzipped;  // Gzipped empty: not worth it
    std::string ETag, LastModified;
    const char* Type = "";
  };
  int SendStatic(MHD_Connection* connection, const TStaticFile& file);
  std::map<std::string, TStaticFile> FStatic;  // by path, made by Configure
  MHD_Daemon* FDaemon = nullptr;
  std::string FAddress;
  uint16_t FPort = 0;

  mutable std::mutex FMutex;  // guards what follows
  bool FStopping = false;
  std::set<TStream*> FStreams;  // open event streams
  std::set<TStream*> FWaiting;  // suspended, waiting for Notify
  std::map<MHD_Connection*, TConnection> FConnections;  // from accept to close
  uint64_t FOrder = 0;  // stamps connections and streams, oldest lowest
  uint64_t FRequests = 0;
  // Authorization headers already checked: a password check pauses, and a
  // browser sends the header with every request.
  std::set<std::string> FGoodAuth;
  // Connections suspended until their password check's verdict, and its id.
  std::map<MHD_Connection*, uint64_t> FChecking;

  // Last, so its thread stops before what its callbacks touch goes.
  std::unique_ptr<net::TCredentialChecker> FChecker;
};

}  // namespace tessaro::web
