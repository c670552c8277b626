#include "net/NutCommands.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/Gbk.h"
#include "core/Version.h"
#include "net/NutLine.h"
#include "net/NutVars.h"

namespace tessaro::net {

namespace {

using TWords = std::vector<std::string>;

// clang-format off
constexpr TNutCommandDef CommandDefs[] = {
  {"load.off",           "Switch the UPS output off",                         TNutCommand::LoadOff,          false},
  {"load.on",            "Switch the UPS output on",                          TNutCommand::LoadOn,           false},
  {"test.battery.start", "Start a battery test (value: its length in seconds)", TNutCommand::BatteryTestStart, true},
  {"test.battery.stop",  "Stop the battery test",                             TNutCommand::BatteryTestStop,  false},
};
// clang-format on

bool Is(const std::string& word, const char* keyword) { return ::strcasecmp(word.c_str(), keyword) == 0; }

std::string Err(const char* code) { return std::string("ERR ") + code + "\n"; }

std::string UpsName(int address) { return "ups" + std::to_string(address); }

// The configured addresses in list order, each once.
std::vector<int> ConfiguredAddresses(const TDeviceList& devices) {
  std::vector<int> out;
  for (int i = 1; i <= std::min<int>(devices.Count, MaxDevices); ++i) {
    const int a = devices.Nodes[static_cast<size_t>(i)].Address;
    if (a <= MaxAddress && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  return out;
}

const TNutCommandDef* FindCommand(std::string_view name) {
  for (const TNutCommandDef& def : CommandDefs)
    if (name == def.Name) return &def;
  return nullptr;
}

// What a client sent, fit for one line of a log: no control bytes, bounded.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 64));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

// A random version 4 UUID: ids nobody can guess, in the form clients expect.
std::string NewTrackingId() {
  unsigned char b[16] = {};
  size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

class THandler {
 public:
  THandler(TNutSession& session, const TNutSource& source, TNutShared& shared)
      : FSession(session), FSource(source), FShared(shared) {}

  TNutReply Run(const TWords& w) {
    const std::string& cmd = w[0];
    if (Is(cmd, "VER")) return Reply(VersionText() + "\n");
    if (Is(cmd, "NETVER") || Is(cmd, "PROTVER")) return Reply("1.3\n");
    if (Is(cmd, "HELP"))
      return Reply(
          "Commands: HELP VER NETVER PROTVER GET LIST LOGIN LOGOUT USERNAME PASSWORD STARTTLS INSTCMD SET\n");
    if (Is(cmd, "LIST")) return Reply(List(w));
    if (Is(cmd, "GET")) return Reply(Get(w));
    if (Is(cmd, "USERNAME")) return Reply(SetOnce(w, FSession.UserSet, FSession.User, "ALREADY-SET-USERNAME"));
    if (Is(cmd, "PASSWORD")) return Reply(SetOnce(w, FSession.PasswordSet, FSession.Password, "ALREADY-SET-PASSWORD"));
    if (Is(cmd, "LOGIN")) return Reply(Login(w));
    if (Is(cmd, "LOGOUT")) return {"OK Goodbye\n", true};
    if (Is(cmd, "STARTTLS")) return Reply(Err("FEATURE-NOT-CONFIGURED"));
    if (Is(cmd, "INSTCMD")) return InstCmd(w);
    if (Is(cmd, "SET") && w.size() >= 2 && Is(w[1], "TRACKING")) return SetTracking(w);
    // Everything else that would change a device or the server stays refused.
    for (const char* refused : {"SET", "FSD", "PRIMARY", "MASTER"})
      if (Is(cmd, refused)) return Reply(Err("ACCESS-DENIED"));
    return Reply(Err("UNKNOWN-COMMAND"));
  }

 private:
  static TNutReply Reply(std::string text) { return {std::move(text), false}; }

  // The UPS named in w[i]: its address, or an error reply in `error`.
  int Ups(const TWords& w, size_t i, std::string& error) const {
    if (w.size() <= i) {
      error = Err("INVALID-ARGUMENT");
      return -1;
    }
    const int a = FindUps(w[i], FSource.DeviceList);
    if (a < 0) error = Err("UNKNOWN-UPS");
    return a;
  }

  TVarList Variables(int a) const {
    TVarList v = DeviceVariables(FSource.UpsInfo[static_cast<size_t>(a)], FSource.Settings.PortInfo.Protocol);
    v.emplace_back("device.description", UpsDescription(a, FSource.DeviceList));
    std::sort(v.begin(), v.end());
    return v;
  }

  // The device's variable `name` now, or null: it has none of that name.
  const std::string* Variable(const TVarList& vars, const std::string& name) const {
    for (const auto& [var, value] : vars)
      if (var == name) return &value;
    return nullptr;
  }

  bool CommandsOn() const { return FSource.Control && FSource.Control->Users; }
  bool Offers(int a) const { return CommandsOn() && FSource.Control->Offers && FSource.Control->Offers(a); }

  std::string List(const TWords& w) const {
    if (w.size() < 2) return Err("INVALID-ARGUMENT");
    if (Is(w[1], "UPS")) {
      if (w.size() != 2) return Err("INVALID-ARGUMENT");
      std::string out = "BEGIN LIST UPS\n";
      for (const int a : ConfiguredAddresses(FSource.DeviceList))
        out += "UPS " + UpsName(a) + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
      return out + "END LIST UPS\n";
    }
    if (Is(w[1], "ENUM") || Is(w[1], "RANGE")) return ListOfVariable(w);
    const bool isVar = Is(w[1], "VAR"), isRw = Is(w[1], "RW"), isCmd = Is(w[1], "CMD");
    const bool isClient = Is(w[1], "CLIENT");
    if (!isVar && !isRw && !isCmd && !isClient) return Err("INVALID-ARGUMENT");
    if (w.size() != 3) return Err("INVALID-ARGUMENT");
    std::string error;
    const int a = Ups(w, 2, error);
    if (a < 0) return error;
    const std::string name = UpsName(a);
    const std::string kind = isVar ? "VAR" : isRw ? "RW" : isCmd ? "CMD" : "CLIENT";
    std::string out = "BEGIN LIST " + kind + " " + name + "\n";
    if (isClient) {
      for (const auto& [address, peer] : FShared.Logins)
        if (address == a) out += "CLIENT " + name + " " + peer + "\n";
    } else if (isVar) {
      if (!FSource.Freshness.IsFresh(a)) return Err("DATA-STALE");
      for (const auto& [var, value] : Variables(a)) out += "VAR " + name + " " + var + " " + Quote(value) + "\n";
    } else if (isCmd && Offers(a)) {
      for (const TNutCommandDef& def : CommandDefs) out += "CMD " + name + " " + def.Name + "\n";
    }
    return out + "END LIST " + kind + " " + name + "\n";
  }

  // LIST ENUM and LIST RANGE: no variable has either, so an existing one
  // gets an empty list.
  std::string ListOfVariable(const TWords& w) const {
    if (w.size() != 4) return Err("INVALID-ARGUMENT");
    std::string error;
    const int a = Ups(w, 2, error);
    if (a < 0) return error;
    if (!FSource.Freshness.IsFresh(a)) return Err("DATA-STALE");
    if (!Variable(Variables(a), w[3])) return Err("VAR-NOT-SUPPORTED");
    const std::string query = std::string(Is(w[1], "ENUM") ? "ENUM " : "RANGE ") + UpsName(a) + " " + w[3];
    return "BEGIN LIST " + query + "\nEND LIST " + query + "\n";
  }

  std::string Get(const TWords& w) const {
    if (w.size() < 2) return Err("INVALID-ARGUMENT");
    if (Is(w[1], "TRACKING")) return GetTracking(w);
    const bool isVar = Is(w[1], "VAR"), isType = Is(w[1], "TYPE"), isDesc = Is(w[1], "DESC");
    const bool isCmdDesc = Is(w[1], "CMDDESC"), isUpsDesc = Is(w[1], "UPSDESC"), isLogins = Is(w[1], "NUMLOGINS");
    const bool fourWords = isVar || isType || isDesc || isCmdDesc;
    if (!fourWords && !isUpsDesc && !isLogins) return Err("INVALID-ARGUMENT");
    if (w.size() != (fourWords ? 4u : 3u)) return Err("INVALID-ARGUMENT");
    std::string error;
    const int a = Ups(w, 2, error);
    if (a < 0) return error;
    const std::string name = UpsName(a);
    if (isUpsDesc) return "UPSDESC " + name + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
    if (isLogins) {
      const auto n = std::count_if(FShared.Logins.begin(), FShared.Logins.end(),
                                   [a](const auto& e) { return e.first == a; });
      return "NUMLOGINS " + name + " " + std::to_string(n) + "\n";
    }
    if (isCmdDesc) {
      const TNutCommandDef* def = FindCommand(w[3]);
      if (!def || !Offers(a)) return Err("CMD-NOT-SUPPORTED");
      return "CMDDESC " + name + " " + w[3] + " " + Quote(def->Description) + "\n";
    }
    if (isDesc) {
      // A description does not depend on the values, so a silent device has them too.
      const TVarDef* def = FindVarDef(w[3]);
      const bool battery = w[3] == "battery.charge" || w[3] == "battery.current";
      if (!def || (battery && FSource.Settings.PortInfo.Protocol == ProtocolQuorvan)) return Err("VAR-NOT-SUPPORTED");
      return "DESC " + name + " " + w[3] + " " + Quote(def->Description) + "\n";
    }
    if (!FSource.Freshness.IsFresh(a)) return Err("DATA-STALE");
    const TVarList vars = Variables(a);
    const std::string* value = Variable(vars, w[3]);
    if (!value) return Err("VAR-NOT-SUPPORTED");
    if (isVar) return "VAR " + name + " " + w[3] + " " + Quote(*value) + "\n";
    const TVarDef* def = FindVarDef(w[3]);
    return "TYPE " + name + " " + w[3] + " " + (def ? VarType(*def) : std::string("NUMBER")) + "\n";
  }

  std::string GetTracking(const TWords& w) const {
    if (w.size() == 2) return FSession.Tracking ? "ON\n" : "OFF\n";
    if (w.size() != 3) return Err("INVALID-ARGUMENT");
    const auto it = std::find_if(FShared.Tracked.begin(), FShared.Tracked.end(),
                                 [&](const auto& entry) { return entry.first == w[2]; });
    const TNutOutcome outcome = it == FShared.Tracked.end() || !FSource.Control || !FSource.Control->Outcome
                                    ? TNutOutcome::Unknown
                                    : FSource.Control->Outcome(it->second);
    switch (outcome) {
      case TNutOutcome::Pending: return "PENDING\n";
      case TNutOutcome::Success: return "SUCCESS\n";
      case TNutOutcome::InvalidArgument: return Err("INVALID-ARGUMENT");
      case TNutOutcome::Failed: return Err("FAILED");
      default: return Err("UNKNOWN");
    }
  }

  static std::string SetOnce(const TWords& w, bool& flag, std::string& value, const char* again) {
    if (w.size() != 2) return Err("INVALID-ARGUMENT");
    if (flag) return Err(again);
    flag = true;
    value = w[1];
    return "OK\n";
  }

  std::string Login(const TWords& w) {
    if (w.size() != 2) return Err("INVALID-ARGUMENT");
    if (FSession.LoginAddress >= 0) return Err("ALREADY-LOGGED-IN");
    std::string error;
    const int a = Ups(w, 1, error);
    if (a < 0) return error;
    FSession.LoginAddress = a;
    FShared.Logins.emplace_back(a, FSession.Peer.empty() ? "unknown" : FSession.Peer);
    return "OK\n";
  }

  enum class TVerdict : uint8_t { Good, Bad, Wait };
  // The session's user and password against the users file, once per
  // session (each may be set only once). The hash is the server's to have
  // made; until its verdict the request waits.
  TVerdict Verdict() {
    if (FSession.Auth == TNutSession::TAuth::Unchecked && !(CommandsOn() && FSource.Control->Checker)) {
      FSession.Auth = TNutSession::TAuth::Bad;  // nobody can pass: no check, nothing counted
      std::fill(FSession.Password.begin(), FSession.Password.end(), '\0');
      FSession.Password.clear();
    }
    if (FSession.Auth == TNutSession::TAuth::Unchecked) return TVerdict::Wait;
    return FSession.Auth == TNutSession::TAuth::Good ? TVerdict::Good : TVerdict::Bad;
  }

  static TNutReply CheckFirst(std::string what) {
    TNutReply r;
    r.Check = true;
    r.CheckFor = std::move(what);
    return r;
  }

  // A wrong password: the check reported it when it failed; a later request
  // of the same connection is reported here.
  TNutReply WrongPassword(const std::string& device, const std::string& command) {
    if (!FSession.FreshVerdict) Report(device, command, "refused, this connection's password was wrong");
    return Denied();
  }

  // USERNAME and PASSWORD both sent, as every command that needs a user asks.
  const char* MissingCredentials() const {
    if (!FSession.UserSet) return "USERNAME-REQUIRED";
    if (!FSession.PasswordSet) return "PASSWORD-REQUIRED";
    return nullptr;
  }

  // Tracking is part of giving commands: the same rules as INSTCMD.
  TNutReply SetTracking(const TWords& w) {
    if (w.size() != 3) return Reply(Err("INVALID-ARGUMENT"));
    if (const char* missing = MissingCredentials()) return Reply(Err(missing));
    if (!Is(w[2], "ON") && !Is(w[2], "OFF")) return Reply(Err("INVALID-ARGUMENT"));
    const std::string command = Is(w[2], "ON") ? "SET TRACKING ON" : "SET TRACKING OFF";
    const auto refuse = [&](const std::string& why) {
      Report("", command, "refused, " + why);
      return Denied();
    };
    if (!CommandsOn()) return refuse("no users file");
    if (!FSource.Control->RemoteCommands && !IsLoopbackPeer(FSession.Peer))
      return refuse("not from loopback and remote commands are off");
    switch (Verdict()) {
      case TVerdict::Wait: return CheckFirst("network command " + command);
      case TVerdict::Bad: return WrongPassword("", command);
      case TVerdict::Good: break;
    }
    FSession.Tracking = Is(w[2], "ON");
    return Reply("OK\n");
  }

  TNutReply Denied() {
    TNutReply r = Reply(Err("ACCESS-DENIED"));
    r.Held = true;
    r.AuthFailed = FSession.FreshVerdict && FSession.Auth == TNutSession::TAuth::Bad;
    return r;
  }

  void Report(const std::string& device, const std::string& command, const std::string& result) const {
    if (!FSource.Control || !FSource.Control->OnReport) return;
    const std::string user = FSession.UserSet ? "user \"" + Printable(FSession.User) + "\"" : "no user";
    FSource.Control->OnReport("network command " + Printable(command) + (device.empty() ? "" : " for " + device) +
                              " by " + user + " from " + (FSession.Peer.empty() ? "unknown" : FSession.Peer) + ": " +
                              result);
  }

  TNutReply InstCmd(const TWords& w) {
    if (w.size() != 3 && w.size() != 4) return Reply(Err("INVALID-ARGUMENT"));
    if (const char* missing = MissingCredentials()) return Reply(Err(missing));
    std::string error;
    const int a = Ups(w, 1, error);
    const std::string device = a < 0 ? Printable(w[1]) : UpsName(a);
    const auto refuse = [&](const char* code, const std::string& why) {
      Report(device, w[2], "refused, " + why);
      TNutReply r = Reply(Err(code));
      r.Held = true;
      return r;
    };
    if (a < 0) return refuse("UNKNOWN-UPS", "no such device");
    const TNutCommandDef* def = FindCommand(w[2]);
    if (!def || !Offers(a)) return refuse("CMD-NOT-SUPPORTED", "not a command this device offers");
    // Checked in this order so that a peer that may not give commands costs
    // no password check.
    if (!FSource.Control->RemoteCommands && !IsLoopbackPeer(FSession.Peer))
      return refuse("ACCESS-DENIED", "not from loopback and remote commands are off");
    switch (Verdict()) {
      case TVerdict::Wait: return CheckFirst("network command " + Printable(w[2]) + " for " + device);
      case TVerdict::Bad: return WrongPassword(device, w[2]);
      case TVerdict::Good: break;
    }
    if (!FSource.Control->Users->MayRun(FSession.User, def->Name))
      return refuse("ACCESS-DENIED", "the user may not give this command");
    if (w.size() == 4 && !def->TakesValue) return refuse("INVALID-ARGUMENT", "this command takes no value");
    if (!FSource.Freshness.IsFresh(a)) return refuse("DATA-STALE", "the device is not answering");
    const std::string* value = w.size() == 4 ? &w[3] : nullptr;
    const TNutQueued queued =
        FSource.Control->Queue ? FSource.Control->Queue(a, def->Command, value) : TNutQueued{0, false, "no queue"};
    if (queued.Id == 0)
      return refuse(queued.BadValue ? "INVALID-ARGUMENT" : "INSTCMD-FAILED", "not queued: " + queued.Reason);
    Report(device, w[2] + (value ? " " + Printable(*value) : ""), "queued as command " + std::to_string(queued.Id));
    if (!FSession.Tracking) return Reply("OK\n");
    std::string id = NewTrackingId();
    FShared.Tracked.emplace_back(id, queued.Id);
    while (FShared.Tracked.size() > TNutShared::MaxTracked) FShared.Tracked.pop_front();
    return Reply("OK TRACKING " + id + "\n");
  }

  TNutSession& FSession;
  const TNutSource& FSource;
  TNutShared& FShared;
};

}  // namespace

std::span<const TNutCommandDef> NutCommandDefs() { return CommandDefs; }

std::string VersionText() {
  return std::string("Tessaro ") + TESSARO_VERSION + ", compatible with upsd 2.8 - network protocol 1.3";
}

bool IsLoopbackPeer(std::string_view peer) {
  const std::string text(peer);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

int FindUps(std::string_view name, const TDeviceList& devices) {
  if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "ups") return -1;
  const std::string_view digits = name.substr(3);
  if (digits.size() > 1 && digits[0] == '0') return -1;
  int a = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    a = a * 10 + (c - '0');
  }
  const std::vector<int> configured = ConfiguredAddresses(devices);
  return std::find(configured.begin(), configured.end(), a) != configured.end() ? a : -1;
}

std::string UpsDescription(int address, const TDeviceList& devices) {
  for (int i = 1; i <= std::min<int>(devices.Count, MaxDevices); ++i) {
    const TDeviceNode& n = devices.Nodes[static_cast<size_t>(i)];
    if (n.Address != address) continue;
    // A control byte in a name would end the reply line early.
    std::string text = GbkToUtf8(TrimDeviceName(n.Name));
    std::replace_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, ' ');
    return text.empty() ? "Unavailable" : text;
  }
  return "Unavailable";
}

void EndSession(TNutSession& session, TNutShared& shared) {
  if (session.LoginAddress < 0) return;
  const std::pair<int, std::string> entry(session.LoginAddress, session.Peer.empty() ? "unknown" : session.Peer);
  if (const auto it = std::find(shared.Logins.begin(), shared.Logins.end(), entry); it != shared.Logins.end())
    shared.Logins.erase(it);
  session.LoginAddress = -1;
}

TNutReply HandleLine(std::string_view line, TNutSession& session, const TNutSource& source, TNutShared& shared) {
  std::vector<std::string> words;
  if (!SplitLine(line, words)) return {Err("INVALID-ARGUMENT"), false};
  if (words.empty()) return {};
  TNutReply reply = THandler(session, source, shared).Run(words);
  // The check's own pause, the same for every verdict, was this request's.
  if (session.FreshVerdict) reply.Held = false;
  session.FreshVerdict = false;
  return reply;
}

void SetVerdict(TNutSession& session, TNutShared& shared, bool good) {
  session.Auth = good ? TNutSession::TAuth::Good : TNutSession::TAuth::Bad;
  session.FreshVerdict = true;
  std::fill(session.Password.begin(), session.Password.end(), '\0');
  session.Password.clear();
  if (!good) ++shared.FailedChecks;
}

}  // namespace tessaro::net
