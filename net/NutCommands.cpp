#include "net/NutCommands.h"

#include <algorithm>
#include <strings.h>
#include <vector>

#include "core/Gbk.h"
#include "core/Version.h"
#include "net/NutLine.h"
#include "net/NutVars.h"

namespace tessaro::net {

namespace {

using TWords = std::vector<std::string>;

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

class THandler {
 public:
  THandler(TNutSession& session, const TNutSource& source, TLoginTable& logins)
      : FSession(session), FSource(source), FLogins(logins) {}

  TNutReply Run(const TWords& w) {
    const std::string& cmd = w[0];
    if (Is(cmd, "VER")) return Reply(std::string("Tessaro ") + TESSARO_VERSION + " network UPS server (read-only)\n");
    if (Is(cmd, "NETVER")) return Reply("1.3\n");
    if (Is(cmd, "HELP"))
      return Reply("Commands: HELP VER NETVER GET LIST LOGIN LOGOUT USERNAME PASSWORD STARTTLS\n");
    if (Is(cmd, "LIST")) return Reply(List(w));
    if (Is(cmd, "GET")) return Reply(Get(w));
    if (Is(cmd, "USERNAME")) return Reply(SetOnce(w, FSession.UserSet, "ALREADY-SET-USERNAME"));
    if (Is(cmd, "PASSWORD")) return Reply(SetOnce(w, FSession.PasswordSet, "ALREADY-SET-PASSWORD"));
    if (Is(cmd, "LOGIN")) return Reply(Login(w));
    if (Is(cmd, "LOGOUT")) return {"OK Goodbye\n", true};
    if (Is(cmd, "STARTTLS")) return Reply(Err("FEATURE-NOT-CONFIGURED"));
    // Everything that would change a device or the server: this one is read-only.
    for (const char* refused : {"SET", "INSTCMD", "FSD", "PRIMARY", "MASTER"})
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

  std::string List(const TWords& w) const {
    if (w.size() < 2) return Err("INVALID-ARGUMENT");
    if (Is(w[1], "UPS")) {
      if (w.size() != 2) return Err("INVALID-ARGUMENT");
      std::string out = "BEGIN LIST UPS\n";
      for (const int a : ConfiguredAddresses(FSource.DeviceList))
        out += "UPS " + UpsName(a) + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
      return out + "END LIST UPS\n";
    }
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
      for (const auto& [address, peer] : FLogins)
        if (address == a) out += "CLIENT " + name + " " + peer + "\n";
    } else if (isVar) {
      if (!FSource.Freshness.IsFresh(a)) return Err("DATA-STALE");
      const TUpsInfo& info = FSource.UpsInfo[static_cast<size_t>(a)];
      for (const auto& [var, value] : DeviceVariables(info, FSource.Settings.PortInfo.Protocol))
        out += "VAR " + name + " " + var + " " + Quote(value) + "\n";
    }
    return out + "END LIST " + kind + " " + name + "\n";
  }

  std::string Get(const TWords& w) const {
    if (w.size() < 2) return Err("INVALID-ARGUMENT");
    const bool isVar = Is(w[1], "VAR"), isDesc = Is(w[1], "UPSDESC"), isLogins = Is(w[1], "NUMLOGINS");
    if (!isVar && !isDesc && !isLogins) return Err("INVALID-ARGUMENT");
    if (w.size() != (isVar ? 4u : 3u)) return Err("INVALID-ARGUMENT");
    std::string error;
    const int a = Ups(w, 2, error);
    if (a < 0) return error;
    const std::string name = UpsName(a);
    if (isDesc) return "UPSDESC " + name + " " + Quote(UpsDescription(a, FSource.DeviceList)) + "\n";
    if (isLogins) {
      const auto n = std::count_if(FLogins.begin(), FLogins.end(), [a](const auto& e) { return e.first == a; });
      return "NUMLOGINS " + name + " " + std::to_string(n) + "\n";
    }
    if (!FSource.Freshness.IsFresh(a)) return Err("DATA-STALE");
    const TUpsInfo& info = FSource.UpsInfo[static_cast<size_t>(a)];
    for (const auto& [var, value] : DeviceVariables(info, FSource.Settings.PortInfo.Protocol))
      if (var == w[3]) return "VAR " + name + " " + var + " " + Quote(value) + "\n";
    return Err("VAR-NOT-SUPPORTED");
  }

  static std::string SetOnce(const TWords& w, bool& flag, const char* again) {
    if (w.size() != 2) return Err("INVALID-ARGUMENT");
    if (flag) return Err(again);
    flag = true;
    return "OK\n";
  }

  std::string Login(const TWords& w) {
    if (w.size() != 2) return Err("INVALID-ARGUMENT");
    if (FSession.LoginAddress >= 0) return Err("ALREADY-LOGGED-IN");
    std::string error;
    const int a = Ups(w, 1, error);
    if (a < 0) return error;
    FSession.LoginAddress = a;
    FLogins.emplace_back(a, FSession.Peer.empty() ? "unknown" : FSession.Peer);
    return "OK\n";
  }

  TNutSession& FSession;
  const TNutSource& FSource;
  TLoginTable& FLogins;
};

}  // namespace

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

void EndSession(TNutSession& session, TLoginTable& logins) {
  if (session.LoginAddress < 0) return;
  const std::pair<int, std::string> entry(session.LoginAddress, session.Peer.empty() ? "unknown" : session.Peer);
  if (const auto it = std::find(logins.begin(), logins.end(), entry); it != logins.end()) logins.erase(it);
  session.LoginAddress = -1;
}

TNutReply HandleLine(std::string_view line, TNutSession& session, const TNutSource& source, TLoginTable& logins) {
  std::vector<std::string> words;
  if (!SplitLine(line, words)) return {Err("INVALID-ARGUMENT"), false};
  if (words.empty()) return {};
  return THandler(session, source, logins).Run(words);
}

}  // namespace tessaro::net
