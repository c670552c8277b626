// libFuzzer target: what a web client puts in a request target, and the log
// files the answer is made from. The first line of the input is the target
// ("/api/v1/events?year=2024&limit=5"), its query cut and unescaped as
// libmicrohttpd does; the rest is written as the event log and as the data
// log month the request names. The target goes through the listener's own
// parsers in the order its routes use them. Checked: every accepted value is
// in its range, a refusal always says why, and every answer is one valid
// JSON document (or CSV rows of whole lines).

#include <microhttpd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "logs/DataLog.h"
#include "tests/fuzz/FileFuzz.h"
#include "web/WebLogs.h"

using namespace tessaro;
using namespace tessaro::web;

namespace {

// A strict JSON reader: true when `text` is exactly one value.
class TJsonCheck {
 public:
  explicit TJsonCheck(std::string_view text) : FText(text) {}
  bool Whole() {
    Blank();
    if (!Value(0)) return false;
    Blank();
    return FAt == FText.size();
  }

 private:
  bool Value(int depth) {
    if (depth > 64 || FAt >= FText.size()) return false;
    const char c = FText[FAt];
    if (c == '{') return Members(depth);
    if (c == '[') return Items(depth);
    if (c == '"') return String();
    for (const std::string_view word : {"true", "false", "null"})
      if (FText.substr(FAt, word.size()) == word) {
        FAt += word.size();
        return true;
      }
    return Number();
  }
  bool Members(int depth) {
    ++FAt;
    Blank();
    if (Eat('}')) return true;
    do {
      Blank();
      if (!String()) return false;
      Blank();
      if (!Eat(':')) return false;
      Blank();
      if (!Value(depth + 1)) return false;
      Blank();
    } while (Eat(','));
    return Eat('}');
  }
  bool Items(int depth) {
    ++FAt;
    Blank();
    if (Eat(']')) return true;
    do {
      Blank();
      if (!Value(depth + 1)) return false;
      Blank();
    } while (Eat(','));
    return Eat(']');
  }
  bool String() {
    if (!Eat('"')) return false;
    while (FAt < FText.size()) {
      const auto c = static_cast<unsigned char>(FText[FAt++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (FAt >= FText.size()) return false;
        const char e = FText[FAt++];
        if (e == 'u') {
          if (FAt + 4 > FText.size()) return false;
          for (int i = 0; i < 4; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(FText[FAt++]))) return false;
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    const size_t start = FAt;
    Eat('-');
    if (!Digits()) return false;
    if (FText[start + (FText[start] == '-')] == '0' && FAt - start > 1u + (FText[start] == '-')) return false;
    if (Eat('.') && !Digits()) return false;
    if (FAt < FText.size() && (FText[FAt] == 'e' || FText[FAt] == 'E')) {
      ++FAt;
      if (!Eat('+')) Eat('-');
      if (!Digits()) return false;
    }
    return true;
  }
  bool Digits() {
    const size_t start = FAt;
    while (FAt < FText.size() && std::isdigit(static_cast<unsigned char>(FText[FAt]))) ++FAt;
    return FAt > start;
  }
  bool Eat(char c) {
    if (FAt < FText.size() && FText[FAt] == c) {
      ++FAt;
      return true;
    }
    return false;
  }
  void Blank() {
    while (FAt < FText.size() && std::string_view(" \t\r\n").find(FText[FAt]) != std::string_view::npos) ++FAt;
  }
  std::string_view FText;
  size_t FAt = 0;
};

std::string Unescaped(std::string_view text) {
  std::string s(text);
  s.resize(MHD_http_unescape(s.data()));
  return s;
}

// "a=1&b=%20" as libmicrohttpd hands it over: unescaped, at most 16 arguments.
TQuery QueryOf(std::string_view text) {
  TQuery q;
  while (!text.empty() && q.size() < 16) {
    const size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    const size_t eq = pair.find('=');
    q[Unescaped(pair.substr(0, eq))] = eq == std::string_view::npos ? "" : Unescaped(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return q;
}

void CheckFilter(const TEventFilter& f) {
  fuzz::Check(f.Year == 0 || (f.Year >= 2000 && f.Year <= 2100));
  fuzz::Check(f.Month <= 12 && f.Day <= 31 && f.Address <= 254);
  fuzz::Check((f.Day == 0 || f.Month != 0) && (f.Month == 0 || f.Year != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nl = input.find('\n');
  const std::string_view target = input.substr(0, std::min<size_t>(nl, 2048));
  const std::string_view file = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
  const size_t question = target.find('?');
  const std::string url = Unescaped(target.substr(0, question));
  const TQuery q = question == std::string_view::npos ? TQuery() : QueryOf(target.substr(question + 1));

  const std::string recordDir = fuzz::ScratchDir() + "Record/";
  static const bool made = std::filesystem::create_directories(recordDir) || true;
  (void)made;
  const auto put = [&](const std::string& path) {
    fuzz::WriteWholeFile(path, reinterpret_cast<const uint8_t*>(file.data()), std::min<size_t>(file.size(), 64 * 1024));
  };

  for (const char* prefix : {"/device/", "/api/v1/devices/", "/api/v1/trend/"}) {
    const int a = TrailingAddress(url, prefix);
    fuzz::Check(a == -1 || (a >= 1 && a <= MaxAddress));
    if (a > 0) fuzz::Check(std::stoi(url.substr(std::string_view(prefix).size())) == a);
  }
  if (const int a = TrailingAddress(url, "/api/v1/trend/"); a > 0) {
    put(DataLogFileName(recordDir, 2024, 3));
    const TDateTime to = EncodeDateTime({.Year = 2024, .Month = 3, .Day = 20});
    fuzz::Check(TJsonCheck(TrendJson(recordDir, static_cast<uint8_t>(a), to - 7, to, 672, 2)).Whole());
  }

  std::string error;
  size_t offset = 0, limit = 0;
  if (url == "/api/v1/events" || url == "/api/v1/events.csv") {
    const std::optional<TEventFilter> filter = ParseEventFilter(q, error);
    TCsvEncoding encoding = TCsvEncoding::Gbk;
    const bool ok = filter && ParsePage(q, 100, 1000, offset, limit, error) && ParseEncoding(q, encoding, error);
    fuzz::Check(ok == error.empty());
    if (!ok) return 0;
    CheckFilter(*filter);
    fuzz::Check(limit >= 1 && limit <= 1000 && offset <= 999999999);
    put(recordDir + "EventLog.dat");
    if (url == "/api/v1/events") {
      fuzz::Check(TJsonCheck(EventsJson(recordDir, *filter, data[0] & 1, offset, limit)).Whole());
    } else {
      const std::string csv = EventsCsv(recordDir, *filter, data[0] & 1, encoding);
      fuzz::Check(csv.empty() || csv.ends_with("\r\n"));
    }
  } else if (url.rfind("/api/v1/datalog/", 0) == 0) {
    TQuery fields = q;
    if (!SetMonthFields(url.substr(16), fields)) return 0;
    const std::optional<TEventFilter> filter = ParseEventFilter(fields, error);
    const bool ok = filter && ParsePage(q, 1000, 10000, offset, limit, error);
    fuzz::Check(ok == error.empty());
    if (!ok) return 0;
    CheckFilter(*filter);
    fuzz::Check(filter->Year != 0 && filter->Month != 0);
    fuzz::Check(limit >= 1 && limit <= 10000);
    put(DataLogFileName(recordDir, filter->Year, filter->Month));
    fuzz::Check(TJsonCheck(DataLogJson(recordDir, filter->Year, filter->Month, filter->Day, filter->Address,
                                       static_cast<uint8_t>(data[0] & 3), offset, limit))
                    .Whole());
  }
  return 0;
}
