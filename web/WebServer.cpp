#include "web/WebServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <array>
#include <fstream>
#include <iterator>
#include <sstream>
#include <zlib.h>
#include <ctime>
#include <functional>

#include "core/UnixTime.h"
#include "net/ListenSocket.h"
#include "net/NutServer.h"
#include "web/Json.h"
#include "web/WebAssets.h"
#include "web/WebLogs.h"
#include "web/WebModel.h"
#include "web/WebTexts.h"

namespace tessaro::web {

struct TWebServer::TStream {
  TWebServer* Server = nullptr;
  MHD_Connection* Connection = nullptr;
  uint64_t SentSequence = 0;
  TDevicesDiff Sent;
  // The first read sends the devices at once.
  int64_t LastEventMs = INT64_MIN / 2;
  int64_t LastWriteMs = INT64_MIN / 2;
  std::string Pending;
  size_t PendingPos = 0;
  std::string Peer;
  uint64_t Order = 0;
  bool Ending = false;  // made room for a newer one; ends at its next read
  // One gzip stream for the whole connection: each event is flushed, and the
  // names repeated from event to event cost next to nothing.
  bool Gzip = false;
  z_stream Z{};

  ~TStream() {
    if (Gzip) deflateEnd(&Z);
  }
};

namespace {

// Marks the first call of the access handler for a request.
int FirstCallMark;

// A request suspended while its password is checked.
struct TAuthWait {
  uint64_t CheckId = 0;
};

const char* const JsonType = "application/json; charset=utf-8";

MHD_Response* Buffer(const std::string& body) {
  return MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
}

void CommonHeaders(MHD_Response* r, const char* type, bool cache) {
  MHD_add_response_header(r, "Content-Type", type);
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(r, "X-Frame-Options", "DENY");
  MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
  // Everything a page needs comes from this listener; nothing else is loaded.
  MHD_add_response_header(r, "Content-Security-Policy",
                          "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
                          "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
  MHD_add_response_header(r, "Cache-Control", cache ? "max-age=3600" : "no-store");
}

// The body gzipped, or "" when that fails or does not make it smaller.
std::string Gzip(const std::string& body) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&z, body.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int done = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return done == Z_STREAM_END && out.size() < body.size() ? out : std::string();
}

// The client takes gzip: "gzip" or "*" in Accept-Encoding, not with q=0.
bool AcceptsGzip(MHD_Connection* c) {
  const char* header = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
  if (!header) return false;
  std::istringstream items(header);
  for (std::string item; std::getline(items, item, ',');) {
    std::string coding = item.substr(0, item.find(';'));
    coding.erase(std::remove_if(coding.begin(), coding.end(), [](char ch) { return ch == ' ' || ch == '\t'; }),
                 coding.end());
    std::transform(coding.begin(), coding.end(), coding.begin(), [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); });
    if (coding != "gzip" && coding != "*") continue;
    const size_t q = item.find("q=");
    return q == std::string::npos || std::strtod(item.c_str() + q + 2, nullptr) > 0;
  }
  return false;
}

// `text` through the stream's compressor, flushed so that it can be read at once.
std::string Flushed(z_stream& z, const std::string& text) {
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  std::array<char, 16 * 1024> buf;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf.data());
    z.avail_out = static_cast<uInt>(buf.size());
    deflate(&z, Z_SYNC_FLUSH);
    out.append(buf.data(), buf.size() - z.avail_out);
  } while (z.avail_out == 0);
  return out;
}

// Bodies smaller than this go as they are: gzip would save next to nothing.
constexpr size_t GzipFrom = 1024;

int Queue(MHD_Connection* c, unsigned status, const std::string& body, const std::string* gzipped,
          const char* type, bool cache, const std::function<void(MHD_Response*)>& more = {}) {
  const bool gz = gzipped && !gzipped->empty() && AcceptsGzip(c);
  MHD_Response* r = Buffer(gz ? *gzipped : body);
  if (!r) return MHD_NO;
  CommonHeaders(r, type, cache);
  if (gzipped) MHD_add_response_header(r, "Vary", "Accept-Encoding");
  if (gz) MHD_add_response_header(r, "Content-Encoding", "gzip");
  if (more) more(r);
  const int ret = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ret;
}

int Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type, bool cache = false) {
  if (body.size() < GzipFrom) return Queue(c, status, body, nullptr, type, cache);
  const std::string gzipped = AcceptsGzip(c) ? Gzip(body) : std::string();
  return Queue(c, status, body, &gzipped, type, cache);
}

int SendText(MHD_Connection* c, unsigned status, const std::string& text) {
  return Send(c, status, text + "\n", "text/plain; charset=utf-8");
}

// An API error: {"code":"not_found","message":"..."} with its status.
int SendError(MHD_Connection* c, unsigned status, const char* code, const std::string& message) {
  std::string body = R"({"code":)";
  AppendJsonString(code, body);
  body += R"(,"message":)";
  AppendJsonString(message, body);
  body += "}\n";
  return Send(c, status, body, JsonType);
}

int SendBadRequest(MHD_Connection* c, const std::string& message) {
  return SendError(c, MHD_HTTP_BAD_REQUEST, "bad_request", message);
}

// A parameter the route does not take is refused: a misspelt filter would
// otherwise answer with everything.
bool OnlyKnown(const TQuery& q, std::initializer_list<std::string_view> known, std::string& error) {
  for (const auto& [key, value] : q)
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      std::string list;
      for (const std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
      error = "unknown parameter \"" + key + "\"" + (list.empty() ? "; this takes none" : "; this takes " + list);
      return false;
    }
  return true;
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto& q = *static_cast<TQuery*>(cls);
  // A request with more arguments than any page sends gets no more of them.
  if (q.size() >= 16) return MHD_NO;
  q[key ? key : ""] = value ? value : "";
  return MHD_YES;
}

TQuery Arguments(MHD_Connection* c) {
  TQuery q;
  MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, CollectArgument, &q);
  return q;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::string HttpDate(int64_t unix) {
  const std::time_t t = static_cast<std::time_t>(unix);
  std::tm utc{};
  gmtime_r(&t, &utc);
  // Not strftime: the desktop sets a locale, and HTTP dates are English.
  static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", Days[utc.tm_wday % 7], utc.tm_mday,
                Months[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return buf;
}

}  // namespace

bool ParseWebListen(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
  // Names are not looked up: an address that resolves later, or differently,
  // would open the listener somewhere the operator did not mean.
  net::TListenAddress address;
  if (!net::ParseNumericListenAddress(text, address, error)) return false;
  host = address.Host;
  port = address.Port;
  return true;
}

bool IsLoopbackHost(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

// The listener's callbacks, run on its threads.
struct TCallbacks {
  static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                           const char*, size_t* uploadSize, void** reqCls) {
    auto* self = static_cast<TWebServer*>(cls);
    if (*reqCls == nullptr) {
      *reqCls = &FirstCallMark;
      self->Answering(c, true);
      // Nothing here takes a body; refuse one before reading it.
      const std::string m = method ? method : "";
      if (m != MHD_HTTP_METHOD_GET && m != MHD_HTTP_METHOD_HEAD)
        return Result(Refuse(c, std::string_view(url ? url : "").starts_with("/api/")));
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      *uploadSize = 0;  // a GET with a body: the body is dropped
      return MHD_YES;
    }
    if (*reqCls == &FirstCallMark) {
      std::lock_guard lock(self->FMutex);
      ++self->FRequests;
    }
    const TWebServer::TAccess access = self->Authorize(c, reqCls);
    if (access == TWebServer::TAccess::Waiting) return MHD_YES;
    if (access == TWebServer::TAccess::Denied) {
      MHD_Response* r = Buffer("Tessaro needs a user name and password.\n");
      CommonHeaders(r, "text/plain; charset=utf-8", false);
      const MHD_Result ret = MHD_queue_basic_auth_fail_response(c, "Tessaro", r);
      MHD_destroy_response(r);
      return ret;
    }
    return Result(self->Route(c, url ? url : "/"));
  }

  static int Refuse(MHD_Connection* c, bool api) {
    const char* message = "Only GET and HEAD: this listener changes nothing.";
    std::string body = R"({"code":"method_not_allowed","message":)";
    AppendJsonString(message, body);
    MHD_Response* r = Buffer(api ? body + "}\n" : std::string(message) + "\n");
    CommonHeaders(r, api ? JsonType : "text/plain; charset=utf-8", false);
    MHD_add_response_header(r, "Allow", "GET, HEAD");
    const int ret = MHD_queue_response(c, MHD_HTTP_METHOD_NOT_ALLOWED, r);
    MHD_destroy_response(r);
    return ret;
  }

  static MHD_Result Result(int ret) { return ret == MHD_YES ? MHD_YES : MHD_NO; }

  static ssize_t Read(void* cls, uint64_t, char* buf, size_t max) {
    auto* stream = static_cast<TWebServer::TStream*>(cls);
    return stream->Server->ReadStream(*stream, buf, max);
  }

  static void Freed(void* cls) {
    auto* stream = static_cast<TWebServer::TStream*>(cls);
    stream->Server->CloseStream(stream);
  }

  static void Connection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode toe) {
    auto* self = static_cast<TWebServer*>(cls);
    if (toe == MHD_CONNECTION_NOTIFY_STARTED)
      self->Opened(c);
    else
      self->Closed(c);
  }

  static void Completed(void* cls, MHD_Connection* c, void** reqCls, MHD_RequestTerminationCode) {
    if (*reqCls && *reqCls != &FirstCallMark) delete static_cast<TAuthWait*>(*reqCls);
    *reqCls = nullptr;
    static_cast<TWebServer*>(cls)->Answering(c, false);
  }
};

TWebServer::TWebServer(TWebFeed& feed, std::string version) : FFeed(feed), FVersion(std::move(version)) {}

TWebServer::~TWebServer() {
  Stop();
  FChecker.reset();
}

bool TWebServer::Configure(const TWebConfig& config, std::string& error) {
  uint16_t port = 0;
  if (!ParseWebListen(config.Listen, FHost, port, error)) return false;
  FChecker.reset();
  FUsers.reset();
  if (!config.UsersFile.empty()) {
    std::string why;
    FUsers = net::TUsersFile::Load(config.UsersFile, why);
    if (!FUsers) {
      error = "users file " + config.UsersFile + ": " + why;
      return false;
    }
    FChecker = std::make_unique<net::TCredentialChecker>(FFeed.Clock());
  } else if (!IsLoopbackHost(FHost) && !config.Public) {
    error = config.Listen +
            " can be reached from other machines: set [Web] UsersFile to ask for a password, or [Web] Public=1 to "
            "serve anyone who can reach it (the pages and metrics are read-only)";
    return false;
  }
  FConfig = config;
  std::ifstream js(ChartJsPath, std::ios::binary);
  std::string chartJs(std::istreambuf_iterator<char>(js), {});
  // Static files are the same until the program changes: made, gzipped and
  // stamped once.
  FStatic.clear();
  const std::string since = HttpDate(UnixSeconds(FFeed.Clock().Now()));
  auto add = [&](const char* path, std::string body, const char* type) {
    if (body.empty()) return;
    TStaticFile& f = FStatic[path];
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (const char ch : body) hash = (hash ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
    char tag[24];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    f.ETag = tag;
    f.LastModified = since;
    f.Type = type;
    f.Gzipped = Gzip(body);
    f.Body = std::move(body);
  };
  add("/static/app.css", AppCss(), "text/css; charset=utf-8");
  add("/static/app.js", AppJs(), "text/javascript; charset=utf-8");
  add("/static/chart.min.js", std::move(chartJs), "text/javascript; charset=utf-8");
  return true;
}

// A static file, or 304 when the client's copy is it.
int TWebServer::SendStatic(MHD_Connection* c, const TStaticFile& f) {
  const char* match = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_NONE_MATCH);
  const char* since = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_MODIFIED_SINCE);
  const bool fresh = match ? std::string_view(match).find(f.ETag) != std::string_view::npos || std::string_view(match) == "*"
                           : since && f.LastModified == since;
  static const std::string empty;
  return Queue(c, fresh ? MHD_HTTP_NOT_MODIFIED : MHD_HTTP_OK, fresh ? empty : f.Body, fresh ? nullptr : &f.Gzipped,
               f.Type, true, [&f](MHD_Response* r) {
                 MHD_add_response_header(r, "ETag", f.ETag.c_str());
                 MHD_add_response_header(r, "Last-Modified", f.LastModified.c_str());
               });
}

bool TWebServer::Start(std::string& error) {
  if (FDaemon) return true;
  std::string host;
  uint16_t port = 0;
  if (!ParseWebListen(FConfig.Listen, host, port, error)) return false;
  net::TBoundSocket bound;
  if (!net::OpenListenSocket(host, port, FConfig.Listen, bound, error)) return false;
  const int fd = bound.Fd;
  FPort = bound.Port;
  FAddress = bound.Address;
  {
    std::lock_guard lock(FMutex);
    FStopping = false;
  }
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (bound.V6) flags |= MHD_USE_IPv6;
  // The limits are kept by Opened, which makes room instead of refusing; the
  // library's own (split among its threads, and counting connections shut
  // down but not yet closed) only stands behind them.
  const unsigned backstop = (2 * MaxConnections + 2) * std::max(Threads, 1u);
  FDaemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &TCallbacks::Access, this, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_THREAD_POOL_SIZE, Threads, MHD_OPTION_CONNECTION_LIMIT, backstop, MHD_OPTION_CONNECTION_TIMEOUT,
      TimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, MemoryLimit, MHD_OPTION_NOTIFY_CONNECTION,
      &TCallbacks::Connection, this, MHD_OPTION_NOTIFY_COMPLETED, &TCallbacks::Completed, this, MHD_OPTION_END);
  if (!FDaemon) {
    ::close(fd);
    error = "cannot start the HTTP listener on " + FAddress;
    return false;
  }
  return true;
}

void TWebServer::Stop() {
  if (!FDaemon) return;
  std::vector<uint64_t> checks;
  {
    // Streams end instead of waiting again, and so do password checks; a
    // suspended connection must be resumed before the daemon stops.
    std::lock_guard lock(FMutex);
    FStopping = true;
    for (TStream* s : FWaiting) MHD_resume_connection(s->Connection);
    FWaiting.clear();
    for (const auto& [connection, id] : FChecking) {
      MHD_resume_connection(connection);
      checks.push_back(id);
    }
    FChecking.clear();
  }
  // Outside the lock: a verdict being announced takes it.
  for (const uint64_t id : checks) FChecker->Forget(id);
  MHD_stop_daemon(FDaemon);
  FDaemon = nullptr;
  std::lock_guard lock(FMutex);
  FConnections.clear();
}

uint64_t TWebServer::Requests() const {
  std::lock_guard lock(FMutex);
  return FRequests;
}

std::vector<std::string> TWebServer::TakeReports() { return FChecker ? FChecker->TakeReports() : std::vector<std::string>{}; }

void TWebServer::Notify() {
  const int64_t now = FFeed.Clock().MonotonicMs();
  std::lock_guard lock(FMutex);
  ExpireHeads(now);
  if (FWaiting.empty()) return;
  const TSnapshotPtr snapshot = FFeed.Current();
  for (auto it = FWaiting.begin(); it != FWaiting.end();) {
    TStream* s = *it;
    const bool update = snapshot->Sequence != s->SentSequence && now - s->LastEventMs >= MinEventGapMs;
    if (update || now - s->LastWriteMs >= HeartbeatMs) {
      MHD_resume_connection(s->Connection);
      it = FWaiting.erase(it);
    } else {
      ++it;
    }
  }
}

// A header seen with a right password passes at once; any other is checked
// with the connection suspended, so no listener thread waits for the hash or
// the pause, and the request is handled again once the verdict is out.
TWebServer::TAccess TWebServer::Authorize(MHD_Connection* c, void** request) {
  if (!FUsers) return TAccess::Allowed;
  const char* header = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  if (*request != &FirstCallMark) {
    const std::optional<bool> good = FChecker->Take(static_cast<TAuthWait*>(*request)->CheckId);
    if (!good || !*good) return TAccess::Denied;
    std::lock_guard lock(FMutex);
    if (FGoodAuth.size() >= 64) FGoodAuth.clear();
    if (header) FGoodAuth.insert(header);
    return TAccess::Allowed;
  }
  // Without a header the browser has not asked its user yet: no check.
  if (!header || std::strlen(header) > 1024) return TAccess::Denied;
  {
    std::lock_guard lock(FMutex);
    if (FGoodAuth.count(header)) return TAccess::Allowed;
  }
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(c, &password);
  std::string peer = "unknown";
  if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      info && info->client_addr) {
    peer = net::PeerAddressText(*info->client_addr);
  }
  TAccess access = TAccess::Denied;
  {
    std::lock_guard lock(FMutex);
    if (!FStopping) {
      auto* wait = new TAuthWait;
      *request = wait;
      MHD_suspend_connection(c);
      // A header that is not user:password is checked as an empty user.
      wait->CheckId = FChecker
                          ->Submit(*FUsers, user ? user : "", password ? password : "", peer, "web request",
                                   [this, c] { CheckDone(c); })
                          .Id;
      FChecking.emplace(c, wait->CheckId);
      access = TAccess::Waiting;
    }
  }
  if (user) MHD_free(user);
  if (password) {
    std::memset(password, 0, std::strlen(password));
    MHD_free(password);
  }
  return access;
}

void TWebServer::CheckDone(MHD_Connection* c) {
  std::lock_guard lock(FMutex);
  if (FChecking.erase(c) > 0) MHD_resume_connection(c);
}

int TWebServer::Route(MHD_Connection* c, const std::string& url) {
  const TSnapshotPtr snapshot = FFeed.Current();
  const TBusSnapshot& s = *snapshot;
  const int lang = s.Language;
  const char* html = "text/html; charset=utf-8";
  if (url == "/") return Send(c, MHD_HTTP_OK, PageHtml(TPage::Overview, lang, s.Protocol), html);
  if (url == "/events") return Send(c, MHD_HTTP_OK, PageHtml(TPage::Events, lang, s.Protocol), html);
  if (const int a = TrailingAddress(url, "/device/"); a > 0) {
    if (!s.Find(a)) return SendText(c, MHD_HTTP_NOT_FOUND, "no device has address " + std::to_string(a));
    return Send(c, MHD_HTTP_OK, PageHtml(TPage::Device, lang, s.Protocol), html);
  }
  if (const auto file = FStatic.find(url); file != FStatic.end()) return SendStatic(c, file->second);
  if (url == "/static/chart.min.js")
    return SendText(c, MHD_HTTP_NOT_FOUND, "the chart library is not installed (libjs-chart.js)");
  if (url.rfind("/api/", 0) == 0) return RouteApi(c, url, s);
  if (url == "/metrics")
    return Send(c, MHD_HTTP_OK, MetricsText(s, FVersion), "text/plain; version=0.0.4; charset=utf-8");
  if (url == "/healthz") {
    const THealth h = Health(s, FFeed.Clock().MonotonicMs());
    return SendText(c, h.Ok ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE, h.Reason);
  }
  return SendText(c, MHD_HTTP_NOT_FOUND, "not found");
}

int TWebServer::RouteApi(MHD_Connection* c, const std::string& url, const TBusSnapshot& s) {
  const int lang = s.Language;
  const TQuery q = Arguments(c);
  std::string error;
  const bool takesNone = url == "/api/v1/texts" || url == "/api/v1/devices" || url == "/api/v1/stream" ||
                         url.rfind("/api/v1/devices/", 0) == 0;
  if (takesNone && !OnlyKnown(q, {}, error)) return SendBadRequest(c, error);
  if (url == "/api/v1/texts") return Send(c, MHD_HTTP_OK, PageTextsJson(lang), JsonType);
  if (url == "/api/v1/devices") return Send(c, MHD_HTTP_OK, DevicesJson(s), JsonType);
  if (url == "/api/v1/stream") return OpenStream(c);
  if (const int a = TrailingAddress(url, "/api/v1/devices/"); a > 0) {
    const TDeviceView* d = s.Find(a);
    if (!d) return SendError(c, MHD_HTTP_NOT_FOUND, "not_found", "no device has address " + std::to_string(a));
    return Send(c, MHD_HTTP_OK, DeviceJson(s, *d), JsonType);
  }
  if (url.rfind("/api/v1/trend/", 0) == 0) {
    const int a = TrailingAddress(url, "/api/v1/trend/");
    if (a < 0 || !s.Find(a))
      return SendError(c, MHD_HTTP_NOT_FOUND, "not_found", "no device has address " + url.substr(14));
    if (!OnlyKnown(q, {"range"}, error)) return SendBadRequest(c, error);
    // A range and its buckets: at most 720 points, and none shorter than the data log's usual interval.
    struct TRange {
      const char* Name;
      double Days;
      size_t Points;
    };
    static constexpr TRange Ranges[] = {{"1h", 1.0 / 24, 120}, {"6h", 0.25, 360}, {"24h", 1, 720}, {"7d", 7, 672}};
    const auto range = q.find("range");
    const std::string name = range == q.end() ? "24h" : range->second;
    const TRange* r = nullptr;
    for (const TRange& each : Ranges)
      if (name == each.Name) r = &each;
    if (!r) return SendBadRequest(c, "range takes 1h, 6h, 24h or 7d");
    const TDateTime to = FFeed.Clock().Now();
    return Send(c, MHD_HTTP_OK, TrendJson(s.RecordDir, static_cast<uint8_t>(a), to - r->Days, to, r->Points, s.Protocol),
                JsonType);
  }
  if (url == "/api/v1/events" || url == "/api/v1/events.csv") {
    const bool csv = url == "/api/v1/events.csv";
    if (csv ? !OnlyKnown(q, {"year", "month", "day", "address", "encoding"}, error)
            : !OnlyKnown(q, {"year", "month", "day", "address", "offset", "limit"}, error))
      return SendBadRequest(c, error);
    const std::optional<TEventFilter> filter = ParseEventFilter(q, error);
    size_t offset = 0, limit = 0;
    TCsvEncoding encoding = TCsvEncoding::Gbk;
    if (!filter || !ParsePage(q, 100, 1000, offset, limit, error) || (csv && !ParseEncoding(q, encoding, error)))
      return SendBadRequest(c, error);
    if (!csv) {
      std::map<int, std::string> names;
      for (const TDeviceView& d : s.Devices) names.try_emplace(d.Address, d.Name);
      return Send(c, MHD_HTTP_OK, EventsJson(s.RecordDir, *filter, lang, offset, limit, names), JsonType);
    }
    MHD_Response* r = Buffer(EventsCsv(s.RecordDir, *filter, lang, encoding));
    CommonHeaders(r, encoding == TCsvEncoding::Gbk ? "text/csv; charset=GBK" : "text/csv; charset=utf-8", false);
    MHD_add_response_header(r, "Content-Disposition", "attachment; filename=\"events.csv\"");
    const int ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
  }
  if (url.rfind("/api/v1/datalog/", 0) == 0) {
    const std::string month = url.substr(16);
    if (!OnlyKnown(q, {"day", "address", "offset", "limit"}, error)) return SendBadRequest(c, error);
    TQuery fields = q;
    const bool monthOk = SetMonthFields(month, fields);
    const std::optional<TEventFilter> filter = monthOk ? ParseEventFilter(fields, error) : std::nullopt;
    size_t offset = 0, limit = 0;
    if (!monthOk) error = "the month is YYYY-MM (2000-01 to 2100-12), not \"" + month + "\"";
    if (!filter || !ParsePage(q, 1000, 10000, offset, limit, error)) return SendBadRequest(c, error);
    return Send(c, MHD_HTTP_OK,
                DataLogJson(s.RecordDir, filter->Year, filter->Month, filter->Day, filter->Address, s.Protocol,
                            offset, limit),
                JsonType);
  }
  return SendError(c, MHD_HTTP_NOT_FOUND, "not_found", "no such API path: " + url);
}

void TWebServer::Opened(MHD_Connection* c) {
  const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  const MHD_ConnectionInfo* address = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  TConnection added;
  added.Fd = fd ? fd->connect_fd : -1;
  if (address && address->client_addr) added.Peer = net::PeerAddressText(*address->client_addr);
  const int64_t now = FFeed.Clock().MonotonicMs();
  std::lock_guard lock(FMutex);
  ExpireHeads(now);
  size_t live = 0, fromThere = 0;
  for (const auto& [key, other] : FConnections) {
    if (other.Evicted) continue;
    ++live;
    if (other.Peer == added.Peer) ++fromThere;
  }
  added.SinceMs = now;
  added.Order = ++FOrder;
  TConnection& self = FConnections[c] = std::move(added);
  if (FConnections.size() > 2 * size_t{MaxConnections})
    Evict(self);  // the ones shut down have not closed yet: no more for now
  else if (fromThere >= MaxPerAddress)
    EvictOne(&self.Peer, c);
  else if (live >= MaxConnections)
    EvictOne(nullptr, c);
}

void TWebServer::Closed(MHD_Connection* c) {
  std::lock_guard lock(FMutex);
  FConnections.erase(c);
}

void TWebServer::Answering(MHD_Connection* c, bool busy) {
  const int64_t now = FFeed.Clock().MonotonicMs();
  std::lock_guard lock(FMutex);
  const auto it = FConnections.find(c);
  if (it == FConnections.end()) return;
  it->second.Busy = busy;
  it->second.SinceMs = now;
  it->second.Order = ++FOrder;
}

// A head that has not come whole within its time is slow on purpose: MHD's
// own timeout starts again with every byte.
void TWebServer::ExpireHeads(int64_t now) {
  for (auto& [key, c] : FConnections)
    if (!c.Evicted && !c.Busy && !c.Stream && now - c.SinceMs >= HeadTimeoutMs) Evict(c);
}

// The connection of `peer` (any, when null) that has waited longest for a
// request, else the one longest at its answer; streams are left to
// OpenStream. None: the newcomer `except` goes.
void TWebServer::EvictOne(const std::string* peer, MHD_Connection* except) {
  TConnection* victim = nullptr;
  for (auto& [key, c] : FConnections) {
    if (key == except || c.Evicted || c.Stream || (peer && c.Peer != *peer)) continue;
    if (!victim || std::pair(c.Busy, c.Order) < std::pair(victim->Busy, victim->Order)) victim = &c;
  }
  const auto it = FConnections.find(except);
  if (!victim && it != FConnections.end()) victim = &it->second;
  if (victim) Evict(*victim);
}

// Its thread sees the shutdown as the client gone and closes it; the
// descriptor stays ours to shut until Closed, which waits for FMutex.
void TWebServer::Evict(TConnection& c) {
  if (c.Evicted) return;
  c.Evicted = true;
  if (c.Fd >= 0) ::shutdown(c.Fd, SHUT_RDWR);
  if (c.Stream) EndStream(*c.Stream);
}

void TWebServer::EndStream(TStream& s) {
  s.Ending = true;
  if (FWaiting.erase(&s)) MHD_resume_connection(s.Connection);
}

int TWebServer::OpenStream(MHD_Connection* c) {
  auto* stream = new TStream;
  stream->Server = this;
  stream->Connection = c;
  stream->Gzip = AcceptsGzip(c) && deflateInit2(&stream->Z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  {
    std::lock_guard lock(FMutex);
    const auto conn = FConnections.find(c);
    stream->Peer = conn != FConnections.end() ? conn->second.Peer : "";
    std::map<std::string, unsigned> held;
    unsigned live = 0;
    for (const TStream* s : FStreams)
      if (!s->Ending) ++held[s->Peer], ++live;
    const unsigned own = held[stream->Peer];
    // The oldest stream of the address holding the most, if it holds more
    // than this one's address: one address, or a thousand clients from as
    // many, cannot keep everyone else's pages on polling.
    TStream* victim = nullptr;
    unsigned most = 0;
    if (own < MaxStreamsPerAddress && live >= MaxStreams)
      for (TStream* s : FStreams) {
        if (s->Ending) continue;
        const unsigned n = held[s->Peer];
        if (n > most || (n == most && s->Order < victim->Order)) most = n, victim = s;
      }
    if (own >= MaxStreamsPerAddress || (live >= MaxStreams && (!victim || most <= own))) {
      delete stream;
      return SendError(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too_many_streams",
                       "too many event streams; the page polls instead");
    }
    if (victim) {
      const auto old = FConnections.find(victim->Connection);
      if (old != FConnections.end())
        Evict(old->second);
      else
        EndStream(*victim);
    }
    stream->Order = ++FOrder;
    FStreams.insert(stream);
    if (conn != FConnections.end()) conn->second.Stream = stream;
  }
  MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &TCallbacks::Read, stream,
                                                      &TCallbacks::Freed);
  if (!r) {
    CloseStream(stream);
    return MHD_NO;
  }
  CommonHeaders(r, "text/event-stream; charset=utf-8", false);
  MHD_add_response_header(r, "Vary", "Accept-Encoding");
  if (stream->Gzip) MHD_add_response_header(r, "Content-Encoding", "gzip");
  const int ret = MHD_queue_response(c, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return ret;
}

long TWebServer::ReadStream(TStream& s, char* buf, size_t max) {
  if (s.PendingPos >= s.Pending.size()) {
    s.Pending.clear();
    s.PendingPos = 0;
    const TSnapshotPtr snapshot = FFeed.Current();
    const int64_t now = FFeed.Clock().MonotonicMs();
    const bool update = snapshot->Sequence != s.SentSequence && now - s.LastEventMs >= MinEventGapMs;
    // Made outside the lock that Notify, on the engine's thread, takes. The
    // whole bus first, then only what changed.
    bool send = false;
    if (update) {
      TDevicesDiff::TEvent event = s.Sent.Next(*snapshot);
      send = !event.Data.empty();
      if (send) s.Pending = (event.Full ? "event: devices\ndata: " : "event: patch\ndata: ") + event.Data + "\n\n";
    }
    std::lock_guard lock(FMutex);
    if (FStopping || s.Ending) return MHD_CONTENT_READER_END_OF_STREAM;
    if (update) {
      s.SentSequence = snapshot->Sequence;
      if (send) s.LastEventMs = now;
    }
    if (!send) {
      if (now - s.LastWriteMs < HeartbeatMs) {
        // Nothing to say: wait for Notify instead of being asked again at once.
        MHD_suspend_connection(s.Connection);
        FWaiting.insert(&s);
        return 0;
      }
      s.Pending = ": keep-alive\n\n";
    }
    if (s.Gzip) s.Pending = Flushed(s.Z, s.Pending);
    s.LastWriteMs = now;
  }
  const size_t n = std::min(max, s.Pending.size() - s.PendingPos);
  std::memcpy(buf, s.Pending.data() + s.PendingPos, n);
  s.PendingPos += n;
  return static_cast<long>(n);
}

void TWebServer::CloseStream(TStream* stream) {
  {
    std::lock_guard lock(FMutex);
    FStreams.erase(stream);
    FWaiting.erase(stream);
    const auto conn = FConnections.find(stream->Connection);
    if (conn != FConnections.end() && conn->second.Stream == stream) conn->second.Stream = nullptr;
  }
  delete stream;
}

}  // namespace tessaro::web
