#pragma once
// The request sequences of the clients people use with the network UPS
// protocol, and the forms of reply the protocol reference allows for each
// request: replayed against the server in the library tests and over TCP
// end to end.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "net/NutLine.h"

namespace tessaro::testing {

using net::SplitLine;

// ---------------------------------------------------------------- the replies the reference allows

inline const char* const ErrorCodes =
    "(ACCESS-DENIED|UNKNOWN-UPS|VAR-NOT-SUPPORTED|CMD-NOT-SUPPORTED|INVALID-ARGUMENT|INSTCMD-FAILED|SET-FAILED|"
    "READONLY|TOO-LONG|FEATURE-NOT-SUPPORTED|FEATURE-NOT-CONFIGURED|ALREADY-SSL-MODE|DRIVER-NOT-CONNECTED|"
    "DATA-STALE|ALREADY-LOGGED-IN|INVALID-PASSWORD|ALREADY-SET-PASSWORD|INVALID-USERNAME|ALREADY-SET-USERNAME|"
    "USERNAME-REQUIRED|PASSWORD-REQUIRED|UNKNOWN-COMMAND|INVALID-VALUE)";
inline const std::string Value = R"("([^"\\]|\\.)*")";

// The request's kind ("GET VAR", "LOGOUT") and the forms of its answer
// other than an error.
inline const std::map<std::string, std::string>& SuccessForms() {
  static const std::map<std::string, std::string> forms = {
      {"VER", R"([^\n]*upsd .+ - [^\n]*\n)"},
      {"NETVER", R"(\d+\.\d+\n)"},
      {"PROTVER", R"(\d+\.\d+\n)"},
      {"USERNAME", "OK\n"},
      {"PASSWORD", "OK\n"},
      {"LOGIN", "OK\n"},
      {"LOGOUT", "OK Goodbye\n"},
      {"STARTTLS", "OK STARTTLS\n"},
      {"SET TRACKING", "OK\n"},
      {"INSTCMD", R"(OK( TRACKING [0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})?\n)"},
      {"GET TRACKING", "(ON|OFF|PENDING|SUCCESS)\n"},
      {"GET VAR", R"(VAR (\S+) (\S+) )" + Value + "\n"},
      {"GET TYPE", R"(TYPE (\S+) (\S+)( RW)?( (ENUM|RANGE|NUMBER|STRING:\d+))+\n)"},
      {"GET DESC", R"(DESC (\S+) (\S+) )" + Value + "\n"},
      {"GET CMDDESC", R"(CMDDESC (\S+) (\S+) )" + Value + "\n"},
      {"GET UPSDESC", R"(UPSDESC (\S+) )" + Value + "\n"},
      {"GET NUMLOGINS", R"(NUMLOGINS (\S+) \d+\n)"},
      {"LIST UPS", "BEGIN LIST UPS\n(UPS \\S+ " + Value + "\n)*END LIST UPS\n"},
      {"LIST VAR", R"(BEGIN LIST VAR (\S+)\n(VAR \1 \S+ )" + Value + R"(\n)*END LIST VAR \1\n)"},
      {"LIST RW", R"(BEGIN LIST RW (\S+)\n(RW \1 \S+ )" + Value + R"(\n)*END LIST RW \1\n)"},
      {"LIST CMD", R"(BEGIN LIST CMD (\S+)\n(CMD \1 \S+\n)*END LIST CMD \1\n)"},
      {"LIST CLIENT", R"(BEGIN LIST CLIENT (\S+)\n(CLIENT \1 \S+\n)*END LIST CLIENT \1\n)"},
      {"LIST ENUM", R"(BEGIN LIST ENUM (\S+) (\S+)\n(ENUM \1 \2 )" + Value + R"(\n)*END LIST ENUM \1 \2\n)"},
      {"LIST RANGE",
       R"(BEGIN LIST RANGE (\S+) (\S+)\n(RANGE \1 \2 )" + Value + " " + Value + R"(\n)*END LIST RANGE \1 \2\n)"},
  };
  return forms;
}

// Whether `reply` is an answer the reference allows to `request`.
inline bool Allowed(const std::string& request, const std::string& reply) {
  std::vector<std::string> w;
  if (!SplitLine(request, w) || w.empty()) return false;
  if (std::regex_match(reply, std::regex(std::string("ERR ") + ErrorCodes + "\n"))) return true;
  if (w[0] == "GET" && w.size() > 1 && w[1] == "TRACKING" &&
      std::regex_match(reply, std::regex("ERR (UNKNOWN|INVALID-ARGUMENT|FAILED)\n")))
    return true;
  const std::string kind = (w[0] == "GET" || w[0] == "LIST" || w[0] == "SET") && w.size() > 1 ? w[0] + " " + w[1] : w[0];
  const auto it = SuccessForms().find(kind);
  return it != SuccessForms().end() && std::regex_match(reply, std::regex(it->second));
}

// ---------------------------------------------------------------- the clients' sequences

// A client's requests: `Once` at the start, `PerUps` for every UPS the
// server lists, `End` last. In PerUps, "{ups}" is the UPS, and a request
// with "{var}", "{cmd}" or "{rw}" is sent for each variable, command or
// writable variable the UPS's last LIST VAR, LIST CMD or LIST RW gave;
// requests joined by " | " go together for each.
struct TClientScript {
  const char* Client;
  std::vector<std::string> Once, PerUps, End;
};

inline const TClientScript Scripts[] = {
    // PeaNUT (web dashboard), src/server/nut.ts: credentials when configured, then per device.
    {"PeaNUT",
     {"USERNAME monuser", "PASSWORD secret", "LIST UPS"},
     {"GET UPSDESC {ups}", "LIST VAR {ups}", "GET TYPE {ups} {var}", "LIST CMD {ups}", "GET CMDDESC {ups} {cmd}",
      "LIST CLIENT {ups}", "LIST RW {ups}"},
     {"LOGOUT"}},
    // go.nut (behind nut_exporter and Telegraf's upsd input): NewUPS for every UPS of LIST UPS.
    {"go.nut",
     {"USERNAME monuser", "PASSWORD secret", "VER", "NETVER", "LIST UPS"},
     {"LIST CLIENT {ups}", "LIST CMD {ups}", "GET CMDDESC {ups} {cmd}", "GET UPSDESC {ups}", "GET NUMLOGINS {ups}",
      "LIST VAR {ups}", "GET DESC {ups} {var} | GET TYPE {ups} {var}"},
     {"LOGOUT"}},
    // prometheus-nut-exporter: VER must hold "upsd <version> -".
    {"prometheus-nut-exporter", {"VER", "LIST UPS"}, {"LIST VAR {ups}"}, {}},
    // Debian's nut-client 2.8.0, as traced: upsc, upsc -l, upsrw, upscmd -l.
    {"upsc", {"STARTTLS", "LIST UPS"}, {"LIST VAR {ups}", "GET VAR {ups} ups.status"}, {"LOGOUT"}},
    {"upsrw",
     {"STARTTLS"},
     {"LIST RW {ups}", "GET TYPE {ups} {rw} | GET DESC {ups} {rw} | LIST ENUM {ups} {rw} | LIST RANGE {ups} {rw}"},
     {"LOGOUT"}},
    {"upscmd -l", {"STARTTLS"}, {"LIST CMD {ups}", "GET CMDDESC {ups} {cmd}"}, {"LOGOUT"}},
    // libupsclient of later releases asks the protocol version first.
    {"libupsclient", {"PROTVER", "NETVER", "LIST UPS"}, {"LIST VAR {ups}"}, {"LOGOUT"}},
    // Home Assistant's client (aionut).
    {"aionut", {"USERNAME monuser", "PASSWORD secret", "LIST UPS"},
     {"LIST VAR {ups}", "LIST CMD {ups}", "GET UPSDESC {ups}"}, {}},
};

// The words in column `column` of a list reply's item lines.
inline std::vector<std::string> Items(const std::string& reply, size_t column) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < reply.size()) {
    const size_t end = reply.find('\n', start);
    std::vector<std::string> w;
    if (SplitLine(reply.substr(start, end - start), w) && w.size() > column && w[0] != "BEGIN" && w[0] != "END")
      out.push_back(w[column]);
    start = end + 1;
  }
  return out;
}

inline std::string Replace(std::string text, const std::string& mark, const std::string& value) {
  for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
  return text;
}

struct TReplay {
  std::vector<std::pair<std::string, std::string>> Exchanges;  // request, reply
};

// Plays `script` through `exchange` (a request line without its line end ->
// the whole reply); `named` are the UPSes a script without LIST UPS asks
// after, as a user names them (upsc ups1@host).
inline TReplay Replay(const TClientScript& script, const std::function<std::string(const std::string&)>& exchange,
                      const std::vector<std::string>& named) {
  TReplay r;
  auto send = [&](const std::string& line) {
    const std::string reply = exchange(line);
    r.Exchanges.emplace_back(line, reply);
    return reply;
  };
  std::vector<std::string> upses;
  for (const std::string& line : script.Once) {
    const std::string reply = send(line);
    if (line == "LIST UPS") upses = Items(reply, 1);
  }
  if (upses.empty()) upses = named;
  for (const std::string& ups : upses) {
    std::map<std::string, std::vector<std::string>> items;  // "{var}" -> names
    for (const std::string& step : script.PerUps) {
      const std::string line = Replace(step, "{ups}", ups);
      const char* each = line.find("{var}") != std::string::npos   ? "{var}"
                         : line.find("{cmd}") != std::string::npos ? "{cmd}"
                         : line.find("{rw}") != std::string::npos  ? "{rw}"
                                                                   : nullptr;
      if (!each) {
        const std::string reply = send(line);
        if (line.rfind("LIST VAR ", 0) == 0) items["{var}"] = Items(reply, 2);
        if (line.rfind("LIST CMD ", 0) == 0) items["{cmd}"] = Items(reply, 2);
        if (line.rfind("LIST RW ", 0) == 0) items["{rw}"] = Items(reply, 2);
        continue;
      }
      for (const std::string& name : items[each]) {
        const std::string requests = Replace(line, each, name);
        for (size_t start = 0; start < requests.size();) {
          size_t end = requests.find(" | ", start);
          if (end == std::string::npos) end = requests.size();
          send(requests.substr(start, end - start));
          start = end + 3;
        }
      }
    }
  }
  for (const std::string& line : script.End) send(line);
  return r;
}

// Checks a replay: every reply is one the reference allows, none is an error
// but for the silent UPSes and TLS (not offered), and each LIST VAR of a
// silent UPS answers ERR DATA-STALE.
inline void CheckReplay(const TClientScript& script, const TReplay& r, const std::vector<std::string>& silent) {
  size_t stale = 0;
  for (const auto& [request, reply] : r.Exchanges) {
    EXPECT_TRUE(Allowed(request, reply)) << script.Client << ": " << request << " -> " << reply;
    std::vector<std::string> w;
    SplitLine(request, w);
    const bool toSilent = std::any_of(w.begin(), w.end(), [&](const std::string& word) {
      return std::find(silent.begin(), silent.end(), word) != silent.end();
    });
    if (!toSilent && request != "STARTTLS") {
      EXPECT_EQ(reply.rfind("ERR", 0), std::string::npos) << script.Client << ": " << request << " -> " << reply;
    }
    if (toSilent && request.rfind("LIST VAR ", 0) == 0) {
      EXPECT_EQ(reply, "ERR DATA-STALE\n") << script.Client << ": " << request;
      ++stale;
    }
  }
  const bool listsVars = std::any_of(script.PerUps.begin(), script.PerUps.end(),
                                     [](const std::string& step) { return step.rfind("LIST VAR", 0) == 0; });
  EXPECT_EQ(stale, listsVars ? silent.size() : 0u) << script.Client;
}

}  // namespace tessaro::testing
