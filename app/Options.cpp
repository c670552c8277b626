#include "app/Options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <utility>

#include "mqtt/MqttConfig.h"
#include "net/ListenAddress.h"

namespace tessaro {

namespace {
// A whole decimal number within [low, high], or false.
bool ParseIn(const std::string& text, long low, long high, uint16_t& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) return false;
  out = static_cast<uint16_t>(v);
  return true;
}
bool ParseAddress(const std::string& text, int& out) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoi(text);
  return out >= 1 && out <= 252;
}
}  // namespace

bool ParseSearchRange(const std::string& text, int& from, int& to) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  int a = 0, b = 0;
  if (!ParseAddress(text.substr(0, dash), a) || !ParseAddress(text.substr(dash + 1), b) || a > b) return false;
  from = a;
  to = b;
  return true;
}

namespace {

// The words of the command line, one at a time. A value that is missing or
// refused sets the error, which ends the parse.
class TOptionArgs {
 public:
  TOptionArgs(const std::vector<std::string>& args, std::string& error) : FArgs(args), FError(error) {}
  bool More() const { return FError.empty() && FAt < FArgs.size(); }
  const std::string& Next() { return FArgs[FAt++]; }
  // The word after `option`; null when the line ends first.
  const std::string* Value(const std::string& option) {
    if (FAt < FArgs.size()) return &FArgs[FAt++];
    FError = option + " needs a value";
    return nullptr;
  }
  void Refuse(const std::string& why) { FError = why; }

 private:
  const std::vector<std::string>& FArgs;
  size_t FAt = 0;
  std::string& FError;
};

using TOptionRule = void (*)(const std::string& option, TOptionArgs& args, TAppOptions& opt);

void TakeDuration(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(v->c_str(), &end);
  if (v->empty() || *end != '\0' || errno != 0 || !std::isfinite(d) || d <= 0)
    return args.Refuse("--duration takes a number of seconds above 0, not \"" + *v + "\"");
  opt.Duration = d;
}

void TakeNutListen(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  // The form only: an address not up yet at boot is waited for.
  net::TListenAddress address;
  std::string why;
  if (!v->empty() && !net::ParseNumericListenAddress(*v, address, why)) return args.Refuse("--nut-listen: " + why);
  opt.NutListen = *v;
}

// --export-events FILE, --export-data YYYY-MM FILE, --export-tests FILE
void TakeExport(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const bool data = option == "--export-data";
  if (data) {
    const std::string* month = args.Value(option);
    if (!month) return;
    const size_t dash = month->find('-');
    if (dash == std::string::npos || !ParseIn(month->substr(0, dash), 2000, 2100, opt.ExportYear) ||
        !ParseIn(month->substr(dash + 1), 1, 12, opt.ExportMonth))
      return args.Refuse("--export-data takes a month YYYY-MM (2000-01 to 2100-12), not \"" + *month + "\"");
  }
  const std::string* file = args.Value(option);
  if (!file) return;
  opt.Export = data ? TExportKind::Data : option == "--export-tests" ? TExportKind::Tests : TExportKind::Events;
  opt.ExportPath = *file;
}

void TakeDayOrAddress(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  const bool day = option == "--day";
  if (!ParseIn(*v, 1, day ? 31 : 254, day ? opt.ExportDay : opt.ExportAddress))
    args.Refuse(option + (day ? " takes a day 1..31" : " takes a device address 1..254") + ", not \"" + *v + "\"");
}

void TakeYearOrMonth(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  const bool year = option == "--year";
  if (!ParseIn(*v, year ? 2000 : 1, year ? 2100 : 12, year ? opt.ExportYear : opt.ExportMonth))
    return args.Refuse(option + (year ? " takes a year 2000..2100" : " takes a month 1..12") + ", not \"" + *v + "\"");
  opt.EventYearMonth = true;
}

void TakeEncoding(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  if (*v == "gbk")
    opt.ExportEncoding = TCsvEncoding::Gbk;
  else if (*v == "utf-8")
    opt.ExportEncoding = TCsvEncoding::Utf8Bom;
  else
    args.Refuse("--encoding takes gbk or utf-8, not \"" + *v + "\"");
}

void TakeSearch(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (v && !ParseSearchRange(*v, opt.SearchFrom, opt.SearchTo))
    args.Refuse("--search takes FROM-TO, two bus addresses 1..252 with FROM <= TO (as 1-16), not \"" + *v + "\"");
}

void TakeMqtt(const std::string& option, TOptionArgs& args, TAppOptions& opt) {
  const std::string* v = args.Value(option);
  if (!v) return;
  mqtt::TBrokerUrl url;
  if (std::string why; !v->empty() && !mqtt::ParseBrokerUrl(*v, url, why)) return args.Refuse("--mqtt: " + why);
  opt.Mqtt = *v;
}

// Every option of the command line and what it takes.
const std::pair<const char*, TOptionRule> OptionRules[] = {
    {"--headless", [](const std::string&, TOptionArgs&, TAppOptions& opt) { opt.Headless = true; }},
    {"--help", [](const std::string&, TOptionArgs&, TAppOptions& opt) { opt.Help = true; }},
    {"-h", [](const std::string&, TOptionArgs&, TAppOptions& opt) { opt.Help = true; }},
    {"--version", [](const std::string&, TOptionArgs&, TAppOptions& opt) { opt.Version = true; }},
    {"--data-dir",
     [](const std::string& option, TOptionArgs& args, TAppOptions& opt) {
       if (const std::string* v = args.Value(option)) opt.DataDir = *v;
     }},
    {"--duration", TakeDuration},
    {"--nut-listen", TakeNutListen},
    {"--web-listen",
     [](const std::string& option, TOptionArgs& args, TAppOptions& opt) {
       if (const std::string* v = args.Value(option)) opt.WebListen = *v;
     }},
    {"--mqtt", TakeMqtt},
    {"--export-events", TakeExport},
    {"--export-data", TakeExport},
    {"--export-tests", TakeExport},
    {"--day", TakeDayOrAddress},
    {"--address", TakeDayOrAddress},
    {"--year", TakeYearOrMonth},
    {"--month", TakeYearOrMonth},
    {"--encoding", TakeEncoding},
    {"--search", TakeSearch},
};

// Qt's own options (-platform NAME, -style NAME, -platform=...) pass through to the desktop.
bool SkipQtOption(const std::string& option, TOptionArgs& args) {
  if (option.rfind("-platform", 0) != 0 && option.rfind("-style", 0) != 0) return false;
  if ((option == "-platform" || option == "-style") && args.More()) args.Next();
  return true;
}

// The options that only make sense together.
std::string CombinationError(const TAppOptions& opt) {
  if (opt.EventYearMonth && opt.Export != TExportKind::Events)
    return "--year and --month go with --export-events (--export-data takes its month as YYYY-MM)";
  // The event log viewer's filters: a day needs its month, a month its year.
  if (opt.Export == TExportKind::Events && opt.ExportDay != 0 && opt.ExportMonth == 0)
    return "--day goes with --month and --year";
  if (opt.Export == TExportKind::Events && opt.ExportMonth != 0 && opt.ExportYear == 0)
    return "--month goes with --year";
  if (opt.ExportDay != 0 && (opt.Export == TExportKind::None || opt.Export == TExportKind::Tests))
    return "--day goes with --export-data or --export-events";
  return {};
}

}  // namespace

TAppOptions ParseOptions(const std::vector<std::string>& args, const std::string& exeDir) {
  TAppOptions opt;
  opt.DataDir = exeDir;
  opt.Args = args;
  TOptionArgs words(args, opt.Error);
  while (words.More()) {
    const std::string& option = words.Next();
    const auto rule = std::find_if(std::begin(OptionRules), std::end(OptionRules),
                                   [&option](const auto& r) { return option == r.first; });
    if (rule != std::end(OptionRules))
      rule->second(option, words, opt);
    else if (!SkipQtOption(option, words))
      words.Refuse("unknown option \"" + option + "\"");
  }
  if (opt.Error.empty()) opt.Error = CombinationError(opt);
  if (opt.DataDir.empty()) opt.DataDir = "./";
  if (opt.DataDir.back() != '/') opt.DataDir += '/';
  return opt;
}

std::string UsageText() {
  return R"(Usage: tessaro [--headless] [--data-dir DIR] [--duration SECONDS]
               [--nut-listen ADDRESS:PORT] [--web-listen ADDRESS:PORT]
               [--mqtt mqtt://HOST[:PORT]]
       tessaro [--data-dir DIR] --export-events FILE [--year Y [--month M [--day D]]]
               [--address N] [--encoding gbk|utf-8]
       tessaro [--data-dir DIR] --export-data YYYY-MM FILE [--day D] [--address N]
               [--encoding gbk|utf-8]
       tessaro [--data-dir DIR] --export-tests FILE [--address N] [--encoding gbk|utf-8]
       tessaro --search FROM-TO [--data-dir DIR]

Monitors UPS devices and inverters on the serial port named in the settings.

  --headless          run without windows: poll the devices, keep the event
                      log and the data log, and print every event log record
                      on standard output as "yyyy-mm-dd hh:mm:ss  address  text"
  --data-dir DIR      directory holding UserParaIni.ini, Record/ and Backup/
                      (default: the directory of the executable when nobody
                      but you or root can change it and it holds
                      UserParaIni.ini or may be written, otherwise
                      $XDG_DATA_HOME/tessaro, ~/.local/share/tessaro; it is
                      created on first start). It must belong to you or root
                      and be writable by nobody else, and one monitor at a
                      time runs on it
  --duration SECONDS  stop after this many seconds (default: run until
                      SIGINT or SIGTERM)
  --nut-listen ADDRESS:PORT
                      serve every configured device over the network UPS
                      protocol (port 3493 is its usual port), for upsc,
                      upsmon and the tools that speak it, read-only but for
                      the battery test and on/off commands of the users of
                      [Network] UsersFile; overrides
                      [Network] NutListen; "" turns the server off. Devices
                      are named ups<address> (ups1, ups12). ADDRESS is
                      numeric: 127.0.0.1 serves this machine only, 0.0.0.0
                      the network, [::1] IPv6 loopback. An address that
                      cannot be bound yet is tried again every 5 s
  --web-listen ADDRESS:PORT
                      serve the web dashboard, the JSON API (/api/v1/...)
                      and Prometheus metrics (/metrics) over HTTP, read-only;
                      overrides [Web] Listen; "" turns it off. ADDRESS is
                      numeric: 127.0.0.1 for this machine only; another
                      address needs [Web] UsersFile (passwords) or
                      [Web] Public=1
  --mqtt URL          publish every configured device to an MQTT broker,
                      mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (TLS,
                      8883), with Home Assistant discovery; overrides
                      [Mqtt] Broker; "" turns it off. The login, topics and
                      rate are in [Mqtt] of the settings (the password only
                      from a file, PasswordFile). A broker that cannot be
                      reached is retried with back-off while polling goes on
  --export-events FILE
                      write the event log to FILE as CSV, as the event log
                      viewer exports it (newest first; all dates, or the
                      year, month or day given)
  --year Y, --month M only that year, or that month of year Y (--export-events)
  --export-data YYYY-MM FILE
                      write that month of the data log to FILE as CSV, as the
                      data log viewer exports it (file order)
  --export-tests FILE write the battery tests kept in Record/BatteryTest.log
                      to FILE as CSV (the order they ended)
  --day D             only day D of the month (--export-data; --export-events
                      with --year and --month)
  --address N         only the device at bus address N (1..254)
  --encoding E        gbk (default, as the viewer) or utf-8 (with a byte-order
                      mark, for spreadsheets on Linux)
  --search FROM-TO    find the devices on the bus without windows: probe the
                      addresses FROM to TO (1..252) over the configured port
                      and protocol, print "found N" for each device that
                      answers, then a summary line, and exit (status 1 when
                      the port cannot be opened or the search is stopped by a
                      signal). Changes no file; add the devices in the
                      desktop's search window, or to Record/TreeNode.dat
  --version           print the version and exit
  --help              print this text and exit

The serial port is the setting ComName in section [CommPort] of
UserParaIni.ini: "COMn" (n = 1..256) opens /dev/ttyS(n-1); a name starting
with "/" (a device path, or a symlink to one) is opened as it is;
tcp://HOST:PORT reaches a serial device server over raw TCP, and
rfc2217://HOST:PORT one that speaks RFC 2217, which is sent the line settings
at every connect (HOST: an IPv4 address, [IPv6] or a host name). Other
settings: BaudRate, StopBits, ReadIntervalTimeout, Protocol (0 modular-UPS
ASCII, 1 power-frequency ASCII, 2 Modbus, 3 RXA), [CommMast] MaxReSend,
[Language] Language (1 Chinese, otherwise English), [DataLog] RecInterval
(tenths of a second, 0 = off), [Network] NutListen (ADDRESS:PORT of the
network UPS server, empty = off), UsersFile (who may give it device
commands) and RemoteCommands (1: also from other machines), [Web] Listen, UsersFile and Public (the
web listener), [Mqtt] Broker, ClientId, User, PasswordFile, CaFile,
Prefix, DiscoveryPrefix, Keepalive and Interval (the MQTT publisher), [Hooks] OnEvent (a program run without a
shell for every event log record, with the record in TESSARO_TIME,
TESSARO_ADDRESS, TESSARO_DEVICE, TESSARO_KIND, TESSARO_CODE, TESSARO_ACTIVE
and TESSARO_TEXT). The devices polled are those of Record/TreeNode.dat.

A port that cannot be opened, or that fails while open (an adapter
unplugged, a server that refuses or drops the connection), is reported on standard error and retried every few seconds.
Settings that keep every device from being polled (ReadIntervalTimeout 0,
MaxReSend 0 or 1, an unknown Protocol, a BaudRate of 0 or below) are
warned about on standard error at start. A log record that cannot be written
(a full disk, a read-only or missing directory) is reported on standard
error when it first happens and again when writing works again, with the
path and the reason.

On SIGINT, SIGTERM or the end of the duration the program saves the
settings (unless UserParaIni.ini was changed on disk while it ran: then the
file is left as it is), closes the port, logs its closing event and exits
with status 0, or 1 when log records could not be written.

An export uses the language of UserParaIni.ini and the decimal separator of
the environment's locale. It exits with status 0 when the file is written
(a month without records gives the titles and empty lines the viewer would
export), and with status 1 when it is not, leaving no file and saying why
on standard error.
)";
}

std::string ExecutableDir() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  buf[n] = '\0';
  std::string dir = std::filesystem::path(buf).parent_path().string();
  return dir + "/";
}

void PrintErrorLines(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::fprintf(stderr, "tessaro: %s\n", text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

}  // namespace tessaro
