#include "tools/sim/SimOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace tessaro::sim {

const char* const kHelpText =
    "Usage: tessaro-sim --link PATH [options]\n"
    "\n"
    "Simulates a bus of UPS devices on a pseudo-terminal, answering as the devices\n"
    "do. The pty slave is reachable through the symlink PATH, which is removed at\n"
    "exit (SIGINT, SIGTERM, SIGHUP). When the link can be opened, one line\n"
    "\"ready PATH\" is printed on stdout; diagnostics go to stderr.\n"
    "\n"
    "Line:\n"
    "  --link PATH           symlink to the pty slave (required); missing parent\n"
    "                        directories are created; an old symlink is replaced\n"
    "  --protocol P          modbus   Modbus RTU (protocol choices 2 and 3), default\n"
    "                        ydt      modular-UPS ASCII, VER 31 (protocol choice 0)\n"
    "                        quorvan  power-frequency ASCII, VER 11 (protocol choice 1)\n"
    "  --devices LIST        addresses that answer, 1..252: \"1,2,5\" or \"1-4,9\"\n"
    "                        (default 1); every other address is silent\n"
    "  --baud N              accepted and ignored (a pty has no baud rate)\n"
    "  --seed N              seed of the value variation; with the same seed and the\n"
    "                        same requests the answers are the same (default: time)\n"
    "  --verbose             log each request and answer on stderr, and every\n"
    "                        change of the line speed set on the slave side\n"
    "  --scenario FILE       read options from FILE, one per line, written without\n"
    "                        the leading \"--\" (\"alarm-device 2\" or \"alarm-at=3\");\n"
    "                        '#' starts a comment; later command-line options win\n"
    "  --help                this text\n"
    "\n"
    "Scenario (N is an address or a LIST; S seconds since start, fractions allowed):\n"
    "  --alarm-device N      a device whose alarm and state change over time:\n"
    "    --alarm-at S        (5)  alarm raised: mains voltage abnormal (Modbus/ydt:\n"
    "                             CmmAlarm2 bit 6, code 25; quorvan: b1, code 202)\n"
    "    --battery-at S      (10) mains lost: battery supply (state 5), input 0 V,\n"
    "                             battery discharging, capacity falling\n"
    "    --clear-at S        (20) mains back: alarm cleared, online (state 4)\n"
    "    --alarm-cycle S     (0)  repeat this timeline every S seconds; 0 = once\n"
    "  --drop-device N       a device that falls silent ...\n"
    "    --drop-after S      (5)  ... from S on\n"
    "    --return-after S    (never) ... and answers again from S on (S > drop-after)\n"
    "  --late-device N       a device whose every answer comes late ...\n"
    "    --late-ms M         (1500) ... by M ms (the poll engine waits about 1.1 s)\n"
    "  --garble-device N     a device whose every k-th answer has a wrong CRC/CHKSUM\n"
    "    --garble-every K    (3)\n"
    "  --fault-device N      a device whose every k-th answer is faulty, taking the\n"
    "    --faults LIST       faults of LIST in turn, from:\n"
    "                          checksum   wrong CRC / CHKSUM\n"
    "                          lowercase  lower-case hex digits, values right\n"
    "                                     (ASCII protocols only)\n"
    "                          rtn        ASCII: RTN 04 with empty INFO;\n"
    "                                     Modbus: exception answer, code 04\n"
    "                          joined     two copies of the answer in one chunk\n"
    "                          truncated  only the first half of the answer\n"
    "                          silence    no answer\n"
    "                          split      the answer in two halves, split-gap-ms apart\n"
    "                          wrongaddr  the answer carries address + 1\n"
    "                          late       the answer late-ms after the request\n"
    "    --fault-every K     (3)  K = 1 makes every answer faulty\n"
    "  --split-gap-ms M      (50) gap between the halves of a split answer\n"
    "  --wire-baud N         each answer comes when it would on a line of N baud,\n"
    "                        8N1: after the request's and the answer's wire time\n"
    "  A device in both --garble-device and --fault-device takes the fault plan.\n"
    "\n"
    "Devices (all protocols): 220 V input and output with small variation, 50 Hz,\n"
    "loads 30-60 %, battery float-charging at 100 %, online on inverter (state 4).\n"
    "Modbus: function 4 reads input registers 30001-30100, function 3 holding\n"
    "registers 40001-40050 (device parameters in 40002-40029); functions 6 and 16\n"
    "write 40001-40050 (read back by later reads), 20001 = 1 (remote on),\n"
    "20002 = 1 (remote off: no output, state 2), 20003 = seconds (battery test,\n"
    "state 6; 0 cancels) and 50000 (model unlock). Other functions: exception 01;\n"
    "registers outside these: exception 02; bad counts: exception 03.\n"
    "ASCII: answers the five commands of its protocol (ydt 42 43 44 80 82, quorvan\n"
    "41 43 44 E2 E3); a request whose CHKSUM differs from the upper-case text of the\n"
    "right value gets RTN 02, a bad VER RTN 01,\n"
    "a bad LENGTH RTN 03, an unknown CID1 or CID2 RTN 04. Broadcasts (address 0)\n"
    "and requests to other addresses get no answer.\n";

const char* FaultName(TFaultKind kind) {
  switch (kind) {
    case TFaultKind::Checksum: return "checksum";
    case TFaultKind::Lowercase: return "lowercase";
    case TFaultKind::Rtn: return "rtn";
    case TFaultKind::Joined: return "joined";
    case TFaultKind::Truncated: return "truncated";
    case TFaultKind::Silence: return "silence";
    case TFaultKind::Split: return "split";
    case TFaultKind::WrongAddr: return "wrongaddr";
    case TFaultKind::Late: return "late";
  }
  return "?";
}

namespace {

bool ParseInt(const std::string& text, long lo, long hi, long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ParseSeconds(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0) || v > 1e7) return false;
  out = v;
  return true;
}

// "1,2,5" or "1-4,9" -> addresses 1..252, in the given order, without repeats.
bool ParseAddressList(const std::string& text, std::vector<int>& out) {
  out.clear();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    long lo = 0, hi = 0;
    const size_t dash = item.find('-');
    if (dash == std::string::npos) {
      if (!ParseInt(item, 1, 252, lo)) return false;
      hi = lo;
    } else if (!ParseInt(item.substr(0, dash), 1, 252, lo) || !ParseInt(item.substr(dash + 1), 1, 252, hi) || hi < lo) {
      return false;
    }
    for (long a = lo; a <= hi; ++a) {
      bool seen = false;
      for (int x : out) seen = seen || x == a;
      if (!seen) out.push_back(static_cast<int>(a));
    }
  }
  return !out.empty();
}

bool ParseFaults(const std::string& text, std::vector<TFaultKind>& out) {
  static const TFaultKind all[] = {TFaultKind::Checksum, TFaultKind::Lowercase, TFaultKind::Rtn,
                                   TFaultKind::Joined,   TFaultKind::Truncated, TFaultKind::Silence,
                                   TFaultKind::Split,    TFaultKind::WrongAddr, TFaultKind::Late};
  out.clear();
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    bool found = false;
    for (TFaultKind k : all) {
      if (item == FaultName(k)) {
        out.push_back(k);
        found = true;
      }
    }
    if (!found) return false;
  }
  return !out.empty();
}

struct TParser {
  TSimOptions& Opt;
  bool& WantHelp;
  std::string& Error;
  int Depth = 0;

  using THandler = std::function<bool(const std::string&)>;
  struct TEntry {
    bool TakesValue;
    THandler Handle;
  };
  std::map<std::string, TEntry> Table;

  bool Set(const std::string& name, const std::string& value) {
    Error.clear();
    if (Table.at(name).Handle(value)) return true;
    if (Error.empty()) Error = "--" + name + ": invalid value \"" + value + "\"";
    return false;
  }

  TParser(TSimOptions& opt, bool& wantHelp, std::string& error) : Opt(opt), WantHelp(wantHelp), Error(error) {
    auto seconds = [](double& field) { return [&field](const std::string& v) { return ParseSeconds(v, field); }; };
    auto integer = [](int& field, long lo, long hi) {
      return [&field, lo, hi](const std::string& v) {
        long x = 0;
        if (!ParseInt(v, lo, hi, x)) return false;
        field = static_cast<int>(x);
        return true;
      };
    };
    auto addressSet = [](std::set<int>& field) {
      return [&field](const std::string& v) {
        std::vector<int> list;
        if (!ParseAddressList(v, list)) return false;
        field.insert(list.begin(), list.end());
        return true;
      };
    };
    Table["link"] = {true, [this](const std::string& v) {
                       Opt.LinkPath = v;
                       return !v.empty();
                     }};
    Table["protocol"] = {true, [this](const std::string& v) {
                           if (v == "modbus") Opt.Protocol = TSimProtocol::Modbus;
                           else if (v == "ydt") Opt.Protocol = TSimProtocol::Ydt;
                           else if (v == "quorvan") Opt.Protocol = TSimProtocol::Quorvan;
                           else return false;
                           return true;
                         }};
    Table["devices"] = {true, [this](const std::string& v) { return ParseAddressList(v, Opt.Devices); }};
    Table["baud"] = {true, [](const std::string& v) {
                       long x = 0;
                       return ParseInt(v, 1, 10000000, x);
                     }};
    Table["seed"] = {true, [this](const std::string& v) {
                       char* end = nullptr;
                       errno = 0;
                       const unsigned long long x = std::strtoull(v.c_str(), &end, 10);
                       if (v.empty() || *end != '\0' || errno != 0 || v[0] == '-') return false;
                       Opt.Seed = x;
                       Opt.SeedGiven = true;
                       return true;
                     }};
    Table["verbose"] = {false, [this](const std::string&) { return Opt.Verbose = true; }};
    Table["help"] = {false, [this](const std::string&) { return WantHelp = true; }};
    Table["scenario"] = {true, [this](const std::string& v) { return ReadScenario(v); }};
    Table["alarm-device"] = {true, addressSet(Opt.AlarmDevices)};
    Table["alarm-at"] = {true, seconds(Opt.AlarmAt)};
    Table["battery-at"] = {true, seconds(Opt.BatteryAt)};
    Table["clear-at"] = {true, seconds(Opt.ClearAt)};
    Table["alarm-cycle"] = {true, seconds(Opt.AlarmCycle)};
    Table["drop-device"] = {true, addressSet(Opt.DropDevices)};
    Table["drop-after"] = {true, seconds(Opt.DropAfter)};
    Table["return-after"] = {true, seconds(Opt.ReturnAfter)};
    Table["late-device"] = {true, addressSet(Opt.LateDevices)};
    Table["late-ms"] = {true, integer(Opt.LateMs, 0, 600000)};
    Table["wire-baud"] = {true, integer(Opt.WireBaud, 300, 1000000)};
    Table["garble-device"] = {true, addressSet(Opt.GarbleDevices)};
    Table["garble-every"] = {true, integer(Opt.GarbleEvery, 1, 1000000)};
    Table["fault-device"] = {true, addressSet(Opt.FaultDevices)};
    Table["faults"] = {true, [this](const std::string& v) { return ParseFaults(v, Opt.Faults); }};
    Table["fault-every"] = {true, integer(Opt.FaultEvery, 1, 1000000)};
    Table["split-gap-ms"] = {true, integer(Opt.SplitGapMs, 0, 600000)};
  }

  // args: "--name", "--name=value" or "--name value".
  bool Run(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a.rfind("--", 0) != 0 || a.size() == 2) {
        Error = "unexpected argument \"" + a + "\" (see --help)";
        return false;
      }
      std::string name = a.substr(2), value;
      bool hasValue = false;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        hasValue = true;
      }
      const auto it = Table.find(name);
      if (it == Table.end()) {
        Error = "unknown option --" + name + " (see --help)";
        return false;
      }
      if (it->second.TakesValue && !hasValue) {
        if (i + 1 >= args.size()) {
          Error = "--" + name + " needs a value";
          return false;
        }
        value = args[++i];
      } else if (!it->second.TakesValue && hasValue) {
        Error = "--" + name + " takes no value";
        return false;
      }
      if (!Set(name, value)) return false;
    }
    return true;
  }

  bool ReadScenario(const std::string& path) {
    if (Depth >= 8) {
      Error = path + ": scenario files nested too deep";
      return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
      Error = path + ": cannot be read";
      return false;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) text.append(buf, n);
    std::fclose(file);
    std::istringstream in(text);
    std::vector<std::string> args;
    std::string line;
    while (std::getline(in, line)) {
      const size_t hash = line.find('#');
      if (hash != std::string::npos) line.resize(hash);
      std::stringstream ss(line);
      std::string word;
      bool first = true;
      while (ss >> word) {
        if (first && word.rfind("--", 0) != 0) word = "--" + word;
        args.push_back(word);
        first = false;
      }
    }
    ++Depth;
    const bool ok = Run(args);
    --Depth;
    if (!ok) Error = path + ": " + Error;
    return ok;
  }
};

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, TSimOptions& options, bool& wantHelp, std::string& error) {
  wantHelp = false;
  TParser parser(options, wantHelp, error);
  if (!parser.Run(args)) return false;
  if (wantHelp) return true;
  if (options.LinkPath.empty()) {
    error = "--link PATH is required (see --help)";
    return false;
  }
  if (options.ReturnAfter >= 0 && options.ReturnAfter <= options.DropAfter) {
    error = "--return-after must be later than --drop-after";
    return false;
  }
  if (!options.FaultDevices.empty() && options.Faults.empty()) {
    error = "--fault-device needs --faults LIST";
    return false;
  }
  if (options.Protocol == TSimProtocol::Modbus) {
    for (TFaultKind k : options.Faults) {
      if (k == TFaultKind::Lowercase) {
        error = "fault lowercase applies to the ASCII protocols only";
        return false;
      }
    }
  }
  if (!(options.AlarmAt <= options.BatteryAt && options.BatteryAt <= options.ClearAt)) {
    error = "the alarm timeline needs alarm-at <= battery-at <= clear-at";
    return false;
  }
  if (options.AlarmCycle > 0 && options.AlarmCycle <= options.ClearAt) {
    error = "--alarm-cycle must be longer than --clear-at";
    return false;
  }
  return true;
}

}  // namespace tessaro::sim
