#include "net/NutCommands.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/random.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
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

std::string Err(TNutError error) { return NutErrorLine(error); }

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

class THandler;

using TVerbRun = TNutReply (THandler::*)(const TWords&);
// What a verb needs before its handler runs.
enum TVerbFlags : uint8_t {
  VerbListed = 1,       // named by HELP
  VerbCredentials = 2,  // USERNAME and PASSWORD sent first
};
struct TVerb {
  const char* Name;
  const char* SubWord;  // the second word too ("SET TRACKING"), or null
  size_t MinWords, MaxWords;  // outside them: INVALID-ARGUMENT
  uint8_t Flags;
  TVerbRun Run;
};

// A kind of LIST or GET: its word count, and whether the values must be fresh.
// Words 0: the kind names no UPS and checks its own words.
using TKindRun = std::string (THandler::*)(const TWords&, int) const;
struct TKind {
  const char* Name;
  size_t Words;
  bool NeedsFresh;
  TKindRun Run;
};

class THandler {
 public:
  THandler(TNutSession& session, const TNutSource& source, TNutShared& shared)
      : FSession(session), FSource(source), FShared(shared) {}

  TNutReply Run(const TWords& w);
  static std::string Help();

  TNutReply Ver(const TWords&) { return Reply(VersionText() + "\n"); }
  TNutReply NetVer(const TWords&) { return Reply("1.3\n"); }
  TNutReply HelpVerb(const TWords&) { return Reply(Help()); }
  TNutReply ListVerb(const TWords& w) { return Reply(ByKind(ListKinds(), w)); }
  TNutReply GetVerb(const TWords& w) { return Reply(ByKind(GetKinds(), w)); }
  TNutReply Username(const TWords& w) {
    return Reply(SetOnce(w, FSession.UserSet, FSession.User, TNutError::AlreadySetUsername));
  }
  TNutReply Password(const TWords& w) {
    return Reply(SetOnce(w, FSession.PasswordSet, FSession.Password, TNutError::AlreadySetPassword));
  }
  TNutReply Login(const TWords& w);
  // The login ends with the answer, not when the connection closes: a
  // primary counting logins before it shuts down must not wait for it.
  TNutReply Logout(const TWords&) {
    EndSession(FSession, FShared);
    return {"OK Goodbye\n", true};
  }
  TNutReply StartTls(const TWords&) { return Reply(Err(TNutError::FeatureNotConfigured)); }
  TNutReply InstCmd(const TWords& w);
  TNutReply SetTracking(const TWords& w);
  TNutReply Primary(const TWords& w);
  TNutReply Fsd(const TWords& w);
  // Everything else that would change a device or the server stays refused.
  TNutReply Refused(const TWords&) { return Reply(Err(TNutError::AccessDenied)); }

  std::string ListUps(const TWords&, int) const;
  std::string ListVar(const TWords& w, int a) const;
  std::string ListRw(const TWords& w, int a) const;
  std::string ListCmd(const TWords& w, int a) const;
  std::string ListClient(const TWords& w, int a) const;
  std::string ListEnum(const TWords& w, int a) const;
  std::string ListRange(const TWords& w, int a) const;

  std::string GetTracking(const TWords& w, int) const;
  std::string GetVar(const TWords& w, int a) const;
  std::string GetType(const TWords& w, int a) const;
  std::string GetDesc(const TWords& w, int a) const;
  std::string GetCmdDesc(const TWords& w, int a) const;
  std::string GetUpsDesc(const TWords&, int a) const;
  std::string GetNumLogins(const TWords&, int a) const;

 private:
  static std::span<const TKind> ListKinds();
  static std::span<const TKind> GetKinds();

  static TNutReply Reply(std::string text) { return {std::move(text), false}; }

  // The UPS named in w[i]: its address, or an error reply in `error`.
  int Ups(const TWords& w, size_t i, std::string& error) const {
    if (w.size() <= i) {
      error = Err(TNutError::InvalidArgument);
      return -1;
    }
    const int a = FindUps(w[i], FSource.DeviceList);
    if (a < 0) error = Err(TNutError::UnknownUps);
    return a;
  }

  // Values of a device that is not answering are not served.
  bool Stale(int a) const { return !FSource.Freshness.IsFresh(a); }

  // The kind named in w[1]: its words, its UPS in w[2] and its freshness checked first.
  std::string ByKind(std::span<const TKind> kinds, const TWords& w) const {
    const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const TKind& k) { return Is(w[1], k.Name); });
    if (kind == kinds.end()) return Err(TNutError::InvalidArgument);
    if (kind->Words == 0) return (this->*kind->Run)(w, -1);
    if (w.size() != kind->Words) return Err(TNutError::InvalidArgument);
    int a = -1;
    if (kind->Words > 2) {
      std::string error;
      a = Ups(w, 2, error);
      if (a < 0) return error;
      if (kind->NeedsFresh && Stale(a)) return Err(TNutError::DataStale);
    }
    return (this->*kind->Run)(w, a);
  }

  TVarList Variables(int a) const {
    const bool forced = FSource.Control && FSource.Control->Forced && FSource.Control->Forced->IsSet(a);
    TVarList v =
        DeviceVariables(FSource.UpsInfo[static_cast<size_t>(a)], FSource.Settings.PortInfo.Protocol, forced);
    v.emplace_back("device.description", UpsDescription(a, FSource.DeviceList));
    if (FSource.Tests) AddTestVariables(v, *FSource.Tests, a);
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

  // "BEGIN LIST <kind> <ups>\n" body "END LIST <kind> <ups>\n".
  static std::string Listed(const std::string& query, const std::string& body) {
    return "BEGIN LIST " + query + "\n" + body + "END LIST " + query + "\n";
  }

  // LIST ENUM and LIST RANGE: no variable has either, so an existing one
  // gets an empty list.
  std::string ListOfVariable(const char* kind, const TWords& w, int a) const {
    if (!Variable(Variables(a), w[3])) return Err(TNutError::VarNotSupported);
    return Listed(std::string(kind) + " " + UpsName(a) + " " + w[3], "");
  }

  static std::string SetOnce(const TWords& w, bool& flag, std::string& value, TNutError again) {
    if (flag) return Err(again);
    flag = true;
    value = w[1];
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
  std::optional<TNutError> MissingCredentials() const {
    if (!FSession.UserSet) return TNutError::UsernameRequired;
    if (!FSession.PasswordSet) return TNutError::PasswordRequired;
    return std::nullopt;
  }

  // A refusal of a request that names a device; it pauses as Denied does.
  TNutReply Refuse(const std::string& device, const std::string& command, TNutError code, const std::string& why) {
    Report(device, command, "refused, " + why);
    TNutReply r = Reply(Err(code));
    r.Held = true;
    return r;
  }

  // The checks PRIMARY and FSD share, in INSTCMD's order: the device named in
  // w[1] (its address, or -1 with the refusal in `reply`), the peer, the
  // password, the role.
  int PrimaryUps(const TWords& w, const std::string& command, TNutReply& reply);

  TNutReply Denied() {
    TNutReply r = Reply(Err(TNutError::AccessDenied));
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

  TNutSession& FSession;
  const TNutSource& FSource;
  TNutShared& FShared;
};

constexpr size_t AnyWords = SIZE_MAX;

// clang-format off
// First match wins; HELP names the listed verbs in this order.
constexpr TVerb Verbs[] = {
  {"HELP",     nullptr,    1, AnyWords, VerbListed,                   &THandler::HelpVerb},
  {"VER",      nullptr,    1, AnyWords, VerbListed,                   &THandler::Ver},
  {"NETVER",   nullptr,    1, AnyWords, VerbListed,                   &THandler::NetVer},
  {"PROTVER",  nullptr,    1, AnyWords, VerbListed,                   &THandler::NetVer},
  {"GET",      nullptr,    2, AnyWords, VerbListed,                   &THandler::GetVerb},
  {"LIST",     nullptr,    2, AnyWords, VerbListed,                   &THandler::ListVerb},
  {"LOGIN",    nullptr,    2, 2,        VerbListed | VerbCredentials, &THandler::Login},
  {"LOGOUT",   nullptr,    1, AnyWords, VerbListed,                   &THandler::Logout},
  {"USERNAME", nullptr,    2, 2,        VerbListed,                   &THandler::Username},
  {"PASSWORD", nullptr,    2, 2,        VerbListed,                   &THandler::Password},
  {"STARTTLS", nullptr,    1, AnyWords, VerbListed,                   &THandler::StartTls},
  {"INSTCMD",  nullptr,    3, 4,        VerbListed | VerbCredentials, &THandler::InstCmd},
  // Tracking is part of giving commands: the same rules as INSTCMD.
  {"SET",      "TRACKING", 3, 3,        VerbCredentials,              &THandler::SetTracking},
  {"SET",      nullptr,    1, AnyWords, VerbListed,                   &THandler::Refused},
  {"FSD",      nullptr,    2, 2,        VerbCredentials,              &THandler::Fsd},
  {"PRIMARY",  nullptr,    2, 2,        VerbCredentials,              &THandler::Primary},
  {"MASTER",   nullptr,    2, 2,        VerbCredentials,              &THandler::Primary},
};

constexpr TKind ListKindTable[] = {
  {"UPS",    2, false, &THandler::ListUps},
  {"ENUM",   4, true,  &THandler::ListEnum},
  {"RANGE",  4, true,  &THandler::ListRange},
  {"VAR",    3, true,  &THandler::ListVar},
  {"RW",     3, false, &THandler::ListRw},
  {"CMD",    3, false, &THandler::ListCmd},
  {"CLIENT", 3, false, &THandler::ListClient},
};

// A description does not depend on the values, so a silent device has them too.
constexpr TKind GetKindTable[] = {
  {"TRACKING",  0, false, &THandler::GetTracking},
  {"VAR",       4, true,  &THandler::GetVar},
  {"TYPE",      4, true,  &THandler::GetType},
  {"DESC",      4, false, &THandler::GetDesc},
  {"CMDDESC",   4, false, &THandler::GetCmdDesc},
  {"UPSDESC",   3, false, &THandler::GetUpsDesc},
  {"NUMLOGINS", 3, false, &THandler::GetNumLogins},
};
// clang-format on

std::span<const TKind> THandler::ListKinds() { return ListKindTable; }
std::span<const TKind> THandler::GetKinds() { return GetKindTable; }

TNutReply THandler::Run(const TWords& w) {
  const auto verb = std::find_if(std::begin(Verbs), std::end(Verbs), [&](const TVerb& v) {
    return Is(w[0], v.Name) && (!v.SubWord || (w.size() >= 2 && Is(w[1], v.SubWord)));
  });
  if (verb == std::end(Verbs)) return Reply(Err(TNutError::UnknownCommand));
  if (w.size() < verb->MinWords || w.size() > verb->MaxWords) return Reply(Err(TNutError::InvalidArgument));
  if (verb->Flags & VerbCredentials)
    if (const std::optional<TNutError> missing = MissingCredentials()) return Reply(Err(*missing));
  return (this->*verb->Run)(w);
}

std::string THandler::Help() {
  std::string out = "Commands:";
  for (const TVerb& v : Verbs)
    if (v.Flags & VerbListed) out += std::string(" ") + v.Name;
  return out + "\n";
}

std::string THandler::ListUps(const TWords&, int) const {
  std::string body;
  for (const int a : ConfiguredAddresses(FSource.DeviceList))
    body += "UPS " + UpsName(a) + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
  return Listed("UPS", body);
}

std::string THandler::ListVar(const TWords&, int a) const {
  const std::string name = UpsName(a);
  std::string body;
  for (const auto& [var, value] : Variables(a)) body += "VAR " + name + " " + var + " " + Quote(value) + "\n";
  return Listed("VAR " + name, body);
}

// No variable can be set.
std::string THandler::ListRw(const TWords&, int a) const { return Listed("RW " + UpsName(a), ""); }

std::string THandler::ListCmd(const TWords&, int a) const {
  const std::string name = UpsName(a);
  std::string body;
  if (Offers(a))
    for (const TNutCommandDef& def : CommandDefs) body += "CMD " + name + " " + def.Name + "\n";
  return Listed("CMD " + name, body);
}

std::string THandler::ListClient(const TWords&, int a) const {
  const std::string name = UpsName(a);
  std::string body;
  for (const auto& [address, peer] : FShared.Logins)
    if (address == a) body += "CLIENT " + name + " " + peer + "\n";
  return Listed("CLIENT " + name, body);
}

std::string THandler::ListEnum(const TWords& w, int a) const { return ListOfVariable("ENUM", w, a); }
std::string THandler::ListRange(const TWords& w, int a) const { return ListOfVariable("RANGE", w, a); }

std::string THandler::GetTracking(const TWords& w, int) const {
  if (w.size() == 2) return FSession.Tracking ? "ON\n" : "OFF\n";
  if (w.size() != 3) return Err(TNutError::InvalidArgument);
  const auto it = std::find_if(FShared.Tracked.begin(), FShared.Tracked.end(),
                               [&](const auto& entry) { return entry.first == w[2]; });
  const TNutOutcome outcome = it == FShared.Tracked.end() || !FSource.Control || !FSource.Control->Outcome
                                  ? TNutOutcome::Unknown
                                  : FSource.Control->Outcome(it->second);
  switch (outcome) {
    case TNutOutcome::Pending: return "PENDING\n";
    case TNutOutcome::Success: return "SUCCESS\n";
    case TNutOutcome::InvalidArgument: return Err(TNutError::InvalidArgument);
    case TNutOutcome::Failed: return Err(TNutError::Failed);
    default: return Err(TNutError::Unknown);
  }
}

std::string THandler::GetVar(const TWords& w, int a) const {
  const TVarList vars = Variables(a);
  const std::string* value = Variable(vars, w[3]);
  if (!value) return Err(TNutError::VarNotSupported);
  return "VAR " + UpsName(a) + " " + w[3] + " " + Quote(*value) + "\n";
}

std::string THandler::GetType(const TWords& w, int a) const {
  if (!Variable(Variables(a), w[3])) return Err(TNutError::VarNotSupported);
  const std::optional<TVarDef> def = FindVarDef(w[3], FSource.Settings.PortInfo.Protocol);
  return "TYPE " + UpsName(a) + " " + w[3] + " " + (def ? VarType(*def) : std::string("NUMBER")) + "\n";
}

std::string THandler::GetDesc(const TWords& w, int a) const {
  const std::optional<TVarDef> def = FindVarDef(w[3], FSource.Settings.PortInfo.Protocol);
  if (!def) return Err(TNutError::VarNotSupported);
  return "DESC " + UpsName(a) + " " + w[3] + " " + Quote(def->Description) + "\n";
}

std::string THandler::GetCmdDesc(const TWords& w, int a) const {
  const TNutCommandDef* def = FindCommand(w[3]);
  if (!def || !Offers(a)) return Err(TNutError::CmdNotSupported);
  return "CMDDESC " + UpsName(a) + " " + w[3] + " " + Quote(def->Description) + "\n";
}

std::string THandler::GetUpsDesc(const TWords&, int a) const {
  return "UPSDESC " + UpsName(a) + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
}

std::string THandler::GetNumLogins(const TWords&, int a) const {
  const auto n =
      std::count_if(FShared.Logins.begin(), FShared.Logins.end(), [a](const auto& e) { return e.first == a; });
  return "NUMLOGINS " + UpsName(a) + " " + std::to_string(n) + "\n";
}

TNutReply THandler::Login(const TWords& w) {
  if (FSession.LoginAddress >= 0) return Reply(Err(TNutError::AlreadyLoggedIn));
  std::string error;
  const int a = Ups(w, 1, error);
  if (a < 0) return Reply(error);
  FSession.LoginAddress = a;
  FShared.Logins.emplace_back(a, FSession.Peer.empty() ? "unknown" : FSession.Peer);
  return Reply("OK\n");
}

TNutReply THandler::SetTracking(const TWords& w) {
  if (!Is(w[2], "ON") && !Is(w[2], "OFF")) return Reply(Err(TNutError::InvalidArgument));
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

int THandler::PrimaryUps(const TWords& w, const std::string& command, TNutReply& reply) {
  std::string error;
  const int a = Ups(w, 1, error);
  const std::string device = a < 0 ? Printable(w[1]) : UpsName(a);
  if (a < 0) {
    reply = Refuse(device, command, TNutError::UnknownUps, "no such device");
    return -1;
  }
  if (!CommandsOn()) {
    reply = Refuse(device, command, TNutError::AccessDenied, "no users file");
    return -1;
  }
  if (!FSource.Control->RemoteCommands && !IsLoopbackPeer(FSession.Peer)) {
    reply = Refuse(device, command, TNutError::AccessDenied, "not from loopback and remote commands are off");
    return -1;
  }
  switch (Verdict()) {
    case TVerdict::Wait: reply = CheckFirst("network command " + command + " for " + device); return -1;
    case TVerdict::Bad: reply = WrongPassword(device, command); return -1;
    case TVerdict::Good: break;
  }
  if (!FSource.Control->Users->IsPrimary(FSession.User)) {
    reply = Refuse(device, command, TNutError::AccessDenied, "the user does not hold the primary role");
    return -1;
  }
  return a;
}

// upsmon claims the role once logged in to the device it will shut down with.
TNutReply THandler::Primary(const TWords& w) {
  const bool old = Is(w[0], "MASTER");
  const std::string command = old ? "MASTER" : "PRIMARY";
  TNutReply reply;
  const int a = PrimaryUps(w, command, reply);
  if (a < 0) return reply;
  if (FSession.LoginAddress != a) return Refuse(UpsName(a), command, TNutError::AccessDenied, "not logged in to it");
  Report(UpsName(a), command, "granted");
  return Reply(old ? "OK MASTER-GRANTED\n" : "OK PRIMARY-GRANTED\n");
}

// Set even for a device that does not answer: the hosts must go down all the same.
TNutReply THandler::Fsd(const TWords& w) {
  TNutReply reply;
  const int a = PrimaryUps(w, "FSD", reply);
  if (a < 0) return reply;
  if (!FSource.Control->ForceShutdown)
    return Refuse(UpsName(a), "FSD", TNutError::AccessDenied, "no forced shutdown here");
  const std::string peer = FSession.Peer.empty() ? "unknown" : FSession.Peer;
  const bool first = FSource.Control->ForceShutdown(a, FSession.User, peer);
  Report(UpsName(a), "FSD", first ? "forced shutdown set" : "forced shutdown was set already");
  return Reply("OK FSD-SET\n");
}

TNutReply THandler::InstCmd(const TWords& w) {
  std::string error;
  const int a = Ups(w, 1, error);
  const std::string device = a < 0 ? Printable(w[1]) : UpsName(a);
  const auto refuse = [&](TNutError code, const std::string& why) { return Refuse(device, w[2], code, why); };
  if (a < 0) return refuse(TNutError::UnknownUps, "no such device");
  const TNutCommandDef* def = FindCommand(w[2]);
  if (!def || !Offers(a)) return refuse(TNutError::CmdNotSupported, "not a command this device offers");
  // Checked in this order so that a peer that may not give commands costs
  // no password check.
  if (!FSource.Control->RemoteCommands && !IsLoopbackPeer(FSession.Peer))
    return refuse(TNutError::AccessDenied, "not from loopback and remote commands are off");
  switch (Verdict()) {
    case TVerdict::Wait: return CheckFirst("network command " + Printable(w[2]) + " for " + device);
    case TVerdict::Bad: return WrongPassword(device, w[2]);
    case TVerdict::Good: break;
  }
  if (!FSource.Control->Users->MayRun(FSession.User, def->Name))
    return refuse(TNutError::AccessDenied, "the user may not give this command");
  if (w.size() == 4 && !def->TakesValue) return refuse(TNutError::InvalidArgument, "this command takes no value");
  if (Stale(a)) return refuse(TNutError::DataStale, "the device is not answering");
  const std::string* value = w.size() == 4 ? &w[3] : nullptr;
  const TNutQueued queued =
      FSource.Control->Queue ? FSource.Control->Queue(a, def->Command, value) : TNutQueued{0, false, "no queue"};
  if (queued.Id == 0)
    return refuse(queued.BadValue ? TNutError::InvalidArgument : TNutError::InstcmdFailed,
                  "not queued: " + queued.Reason);
  Report(device, w[2] + (value ? " " + Printable(*value) : ""), "queued as command " + std::to_string(queued.Id));
  if (!FSession.Tracking) return Reply("OK\n");
  std::string id = NewTrackingId();
  FShared.Tracked.emplace_back(id, queued.Id);
  while (FShared.Tracked.size() > TNutShared::MaxTracked) FShared.Tracked.pop_front();
  return Reply("OK TRACKING " + id + "\n");
}

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
  if (!SplitLine(line, words)) return {Err(TNutError::InvalidArgument), false};
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
