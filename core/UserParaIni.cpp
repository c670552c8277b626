#include "core/UserParaIni.h"

#include "core/AtomicFile.h"
#include "core/IniFile.h"
#include "core/PathTrust.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace tessaro {

namespace {

// The low 8 bits, as the byte settings keep them.
uint8_t Low8(int32_t value) { return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu); }

constexpr size_t MaxShownProblems = 5;

// The numeric keys, whose value a person may have got wrong.
struct TNumberKey {
  const char* Section;
  const char* Key;
  int32_t (*Default)(const TSettings&);
  bool Saved = true;  // SaveSettings writes it (and so loses what it held)
};

const TNumberKey NumberKeys[] = {
    {"CommPort", "BaudRate", [](const TSettings& s) { return s.PortInfo.BaudRate; }},
    {"CommPort", "StopBits", [](const TSettings& s) { return int32_t{s.PortInfo.StopBits}; }},
    {"CommPort", "ReadIntervalTimeout", [](const TSettings& s) { return s.PortInfo.ReadIntervalTimeout; }},
    {"CommPort", "AutoStart", [](const TSettings& s) { return int32_t{s.PortInfo.AutoStart}; }},
    {"CommPort", "Protocol", [](const TSettings& s) { return int32_t{s.PortInfo.Protocol}; }},
    {"CommMast", "WaitTimer", [](const TSettings& s) { return int32_t{s.PortInfo.WaitTimer}; }},
    {"CommMast", "MaxReSend", [](const TSettings& s) { return int32_t{s.PortInfo.MaxReSend}; }},
    {"CommMast", "CommErrCnt", [](const TSettings& s) { return int32_t{s.PortInfo.CommErrCnt}; }},
    {"CommMast", "CommLostCnt", [](const TSettings& s) { return int32_t{s.PortInfo.CommLostCnt}; }},
    {"CommMast", "FastPoll", [](const TSettings& s) { return int32_t{s.PortInfo.FastPoll}; }},
    {"Language", "Language", [](const TSettings& s) { return int32_t{s.Language}; }},
    {"DataLog", "RecInterval", [](const TSettings& s) { return s.RecInterval; }},
    {"Network", "RemoteCommands", [](const TSettings& s) { return int32_t{s.NutRemoteCommands}; }, false},
    {"Web", "Public", [](const TSettings& s) { return int32_t{s.WebPublic}; }, false},
    {"Mqtt", "Keepalive", [](const TSettings& s) { return s.MqttKeepalive; }, false},
    {"Mqtt", "Interval", [](const TSettings& s) { return s.MqttInterval; }, false},
    {"Mqtt", "Commands", [](const TSettings& s) { return int32_t{s.MqttCommands}; }, false},
};

// A line as it may be shown on one line of a terminal: short, with its
// control and non-ASCII bytes written out.
std::string Shown(const std::string& text) {
  constexpr size_t MaxShown = 40;
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < MaxShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (text.size() > MaxShown) out += "...";
  return out + "\"";
}

struct TFileCheck {
  std::vector<int> NoSetting;          // lines that are no setting at all
  std::vector<std::string> Problems;   // every problem, in file order
  bool LostBySave = false;             // a save would drop or overwrite some of it
};

TFileCheck CheckFile(const TIniFile& ini) {
  TFileCheck out;
  out.NoSetting = ini.LinesNotUnderstood();
  std::vector<std::pair<int, std::string>> found;
  for (const int n : out.NoSetting)
    found.emplace_back(n, "line " + std::to_string(n) + " is no setting (not [Section], Key=Value or ;comment): " +
                              Shown(ini.LineText(n)));
  const TSettings d;
  for (const TNumberKey& k : NumberKeys) {
    const std::optional<std::string> value = ini.ReadString(k.Section, k.Key);
    if (!value || ParseIniInteger(*value)) continue;
    const int n = ini.LineOf(k.Section, k.Key);
    out.LostBySave = out.LostBySave || k.Saved;
    found.emplace_back(n, "line " + std::to_string(n) + ": " + k.Key + "=" + Shown(*value) +
                              " is not a whole number, so " + std::to_string(k.Default(d)) + " is used");
  }
  out.LostBySave = out.LostBySave || !out.NoSetting.empty();
  std::sort(found.begin(), found.end());
  for (auto& [line, text] : found) out.Problems.push_back(std::move(text));
  return out;
}

}  // namespace

std::string SettingsPath(const std::string& exeDir) { return exeDir + SettingsFileName; }

std::error_code SetAsideNotUnderstood(TIniFile& ini, const std::string& iniPath, std::string& keptAs) {
  keptAs.clear();
  const TFileCheck check = CheckFile(ini);
  if (!check.LostBySave) return {};
  std::string aside = iniPath + ".bad";
  std::error_code ec;
  for (int n = 1; (ec = CopyFileExclusive(iniPath, aside)) == std::errc::file_exists && n < 1000; ++n)
    aside = iniPath + ".bad" + std::to_string(n);
  if (ec) return ec;
  keptAs = aside;
  ini.DropLines(check.NoSetting);
  return {};
}

std::vector<std::string> SettingsFileProblems(const std::string& iniPath) {
  TIniFile ini;
  if (const std::error_code ec = ini.Load(iniPath)) {
    const std::string why = ec == std::errc::file_too_large
                                ? "larger than " + std::to_string(MaxIniFileSize / (1024 * 1024)) + " MB"
                                : ec.message();
    return {"cannot be read: " + why};
  }
  std::vector<std::string> problems = CheckFile(ini).Problems;
  if (problems.size() > MaxShownProblems) {
    const size_t more = problems.size() - MaxShownProblems;
    problems.resize(MaxShownProblems);
    problems.push_back("and " + std::to_string(more) + " more " + (more == 1 ? "line" : "lines") +
                       " like these");
  }
  return problems;
}

std::string SettingsFileAdvice(const std::string& iniPath) {
  const std::string quoted = ShellQuote(iniPath);
  return "move it aside (mv " + quoted + " " + ShellQuote(iniPath + ".bad") +
         ") and set what you need with tessaro config set KEY=VALUE, or correct those lines";
}

TSettingsSnapshot LoadSettings(TSettings& settings, const std::string& iniPath) {
  TIniFile ini;
  // A file that cannot be read gives an empty document and so every default.
  (void)ini.Load(iniPath);
  TSettingsSnapshot snapshot{ini.Loaded(), ini.Loaded() ? ini.Text() : std::string{}};
  // A line with control bytes in it is noise, not a value to run on.
  ini.DropLines(ini.LinesNotUnderstood());

  const TSettings d;
  const TPortInfo& dp = d.PortInfo;
  TPortInfo& p = settings.PortInfo;
  p.ComName = ini.ReadString("CommPort", "ComName", dp.ComName);
  p.BaudRate = ini.ReadInteger("CommPort", "BaudRate", dp.BaudRate);
  p.StopBits = Low8(ini.ReadInteger("CommPort", "StopBits", dp.StopBits));
  p.ReadIntervalTimeout = ini.ReadInteger("CommPort", "ReadIntervalTimeout", dp.ReadIntervalTimeout);
  p.AutoStart = ini.ReadBool("CommPort", "AutoStart", dp.AutoStart);
  p.Protocol = Low8(ini.ReadInteger("CommPort", "Protocol", dp.Protocol));
  p.WaitTimer = Low8(ini.ReadInteger("CommMast", "WaitTimer", dp.WaitTimer));
  p.MaxReSend = Low8(ini.ReadInteger("CommMast", "MaxReSend", dp.MaxReSend));
  p.CommErrCnt = Low8(ini.ReadInteger("CommMast", "CommErrCnt", dp.CommErrCnt));
  p.CommLostCnt = Low8(ini.ReadInteger("CommMast", "CommLostCnt", dp.CommLostCnt));
  p.FastPoll = ini.ReadBool("CommMast", "FastPoll", dp.FastPoll);
  settings.Language = Low8(ini.ReadInteger("Language", "Language", d.Language));
  settings.RecInterval = ini.ReadInteger("DataLog", "RecInterval", d.RecInterval);
  if (settings.RecInterval != 0 && settings.RecInterval < MinRecInterval)
    settings.RecInterval = MinRecInterval;
  settings.NutListen = ini.ReadString("Network", "NutListen", d.NutListen);
  settings.NutUsersFile = ini.ReadString("Network", "UsersFile", d.NutUsersFile);
  settings.NutRemoteCommands = ini.ReadBool("Network", "RemoteCommands", d.NutRemoteCommands);
  settings.HookOnEvent = ini.ReadString("Hooks", "OnEvent", d.HookOnEvent);
  settings.WebListen = ini.ReadString("Web", "Listen", d.WebListen);
  settings.WebUsersFile = ini.ReadString("Web", "UsersFile", d.WebUsersFile);
  settings.WebPublic = ini.ReadBool("Web", "Public", d.WebPublic);
  settings.ShutdownRules = ini.ReadString("Shutdown", "Rules", d.ShutdownRules);
  settings.ShutdownGroup = ini.ReadString("Shutdown", "Group", d.ShutdownGroup);
  settings.TestSchedule = ini.ReadString("BatteryTest", "Schedule", d.TestSchedule);
  settings.MqttBroker = ini.ReadString("Mqtt", "Broker", d.MqttBroker);
  settings.MqttClientId = ini.ReadString("Mqtt", "ClientId", d.MqttClientId);
  settings.MqttUser = ini.ReadString("Mqtt", "User", d.MqttUser);
  settings.MqttPasswordFile = ini.ReadString("Mqtt", "PasswordFile", d.MqttPasswordFile);
  settings.MqttCaFile = ini.ReadString("Mqtt", "CaFile", d.MqttCaFile);
  settings.MqttPrefix = ini.ReadString("Mqtt", "Prefix", d.MqttPrefix);
  settings.MqttDiscoveryPrefix = ini.ReadString("Mqtt", "DiscoveryPrefix", d.MqttDiscoveryPrefix);
  settings.MqttKeepalive = ini.ReadInteger("Mqtt", "Keepalive", d.MqttKeepalive);
  settings.MqttInterval = ini.ReadInteger("Mqtt", "Interval", d.MqttInterval);
  settings.MqttCommands = ini.ReadBool("Mqtt", "Commands", d.MqttCommands);
  return snapshot;
}

std::error_code SaveSettings(const TSettings& settings, const std::string& iniPath,
                             const TSettingsSnapshot* unchangedSince, std::string* keptAs) {
  if (keptAs) keptAs->clear();
  TIniFile ini;
  if (std::error_code ec = ini.Load(iniPath)) return ec;
  if (unchangedSince && !(*unchangedSince == TSettingsSnapshot{ini.Loaded(), ini.Loaded() ? ini.Text() : ""}))
    return std::make_error_code(std::errc::operation_canceled);
  std::string aside;
  if (std::error_code ec = SetAsideNotUnderstood(ini, iniPath, aside)) return ec;
  if (keptAs) *keptAs = aside;

  const TPortInfo& p = settings.PortInfo;
  // In file order, so that keys missing from the file are added in this order.
  std::error_code ec;
  auto check = [&ec](std::error_code e) {
    if (!ec) ec = e;
  };
  check(ini.WriteString("CommPort", "ComName", p.ComName));
  check(ini.WriteInteger("CommPort", "BaudRate", p.BaudRate));
  check(ini.WriteInteger("CommPort", "StopBits", p.StopBits));
  check(ini.WriteInteger("CommPort", "ReadIntervalTimeout", p.ReadIntervalTimeout));
  check(ini.WriteBool("CommPort", "AutoStart", p.AutoStart));
  check(ini.WriteInteger("CommPort", "Protocol", p.Protocol));
  check(ini.WriteInteger("CommMast", "WaitTimer", p.WaitTimer));
  check(ini.WriteInteger("CommMast", "MaxReSend", p.MaxReSend));
  check(ini.WriteInteger("CommMast", "CommErrCnt", p.CommErrCnt));
  check(ini.WriteInteger("CommMast", "CommLostCnt", p.CommLostCnt));
  if (p.FastPoll || ini.ReadString("CommMast", "FastPoll")) check(ini.WriteBool("CommMast", "FastPoll", p.FastPoll));
  check(ini.WriteInteger("Language", "Language", settings.Language));
  check(ini.WriteInteger("DataLog", "RecInterval", settings.RecInterval));
  if (ec) return ec;
  return ini.Save(iniPath);
}

TSettings MergeSettings(const TSettings& ours, const TSettings& base, const TSettings& theirs) {
  TSettings out = theirs;
  const auto take = [](auto& field, const auto& mine, const auto& before) {
    if (mine != before) field = mine;
  };
  // The keys SaveSettings writes; the read-only ones stay as the file has them.
  take(out.PortInfo.ComName, ours.PortInfo.ComName, base.PortInfo.ComName);
  take(out.PortInfo.BaudRate, ours.PortInfo.BaudRate, base.PortInfo.BaudRate);
  take(out.PortInfo.StopBits, ours.PortInfo.StopBits, base.PortInfo.StopBits);
  take(out.PortInfo.ReadIntervalTimeout, ours.PortInfo.ReadIntervalTimeout, base.PortInfo.ReadIntervalTimeout);
  take(out.PortInfo.AutoStart, ours.PortInfo.AutoStart, base.PortInfo.AutoStart);
  take(out.PortInfo.Protocol, ours.PortInfo.Protocol, base.PortInfo.Protocol);
  take(out.PortInfo.WaitTimer, ours.PortInfo.WaitTimer, base.PortInfo.WaitTimer);
  take(out.PortInfo.MaxReSend, ours.PortInfo.MaxReSend, base.PortInfo.MaxReSend);
  take(out.PortInfo.CommErrCnt, ours.PortInfo.CommErrCnt, base.PortInfo.CommErrCnt);
  take(out.PortInfo.CommLostCnt, ours.PortInfo.CommLostCnt, base.PortInfo.CommLostCnt);
  take(out.PortInfo.FastPoll, ours.PortInfo.FastPoll, base.PortInfo.FastPoll);
  take(out.Language, ours.Language, base.Language);
  take(out.RecInterval, ours.RecInterval, base.RecInterval);
  return out;
}

std::vector<TSettingsProblem> CheckSettings(const TSettings& settings) {
  const TPortInfo& p = settings.PortInfo;
  std::vector<TSettingsProblem> out;
  // The dialog has the speed and the protocol; the other two are changed
  // with the command or in the file.
  if (p.BaudRate <= 0) {
    const std::string v = std::to_string(p.BaudRate);
    out.push_back({"BaudRate",
                   "波特率为 " + v + "：没有通讯速率，串口无法打开；请在“软件参数设定”中选择设备的波特率（如 9600），"
                   "或执行 tessaro config set BaudRate=9600",
                   "BaudRate is " + v + ": no line speed, so the serial port cannot be opened; choose the devices' "
                   "speed (as 9600) under Software Parameter Setting, or run tessaro config set BaudRate=9600"});
  }
  if (p.ReadIntervalTimeout == 0) {
    out.push_back({"ReadIntervalTimeout",
                   "接收间隔超时为 0：一次接收要等到 2048 个字节才结束，因此收不到任何应答，也找不到任何设备；"
                   "请执行 tessaro config set ReadIntervalTimeout=200（毫秒），或在 UserParaIni.ini 的 [CommPort] 中修改",
                   "ReadIntervalTimeout is 0: a receive then ends only when 2048 bytes have arrived, so no answer is "
                   "ever seen and no device is found; run tessaro config set ReadIntervalTimeout=200 (milliseconds), "
                   "or change it under [CommPort] in UserParaIni.ini"});
  } else if (p.ReadIntervalTimeout < 0) {
    const std::string v = std::to_string(p.ReadIntervalTimeout);
    out.push_back({"ReadIntervalTimeout",
                   "接收间隔超时为 " + v + "：不是毫秒数，应答收不完整，找不到任何设备；"
                   "请执行 tessaro config set ReadIntervalTimeout=200，或在 UserParaIni.ini 的 [CommPort] 中修改",
                   "ReadIntervalTimeout is " + v + ": not a number of milliseconds, so answers are not received "
                   "whole and no device is found; run tessaro config set ReadIntervalTimeout=200, or change it "
                   "under [CommPort] in UserParaIni.ini"});
  }
  if (p.MaxReSend <= 1) {
    const std::string v = std::to_string(p.MaxReSend);
    out.push_back({"MaxReSend",
                   "重发次数为 " + v + "：每个请求发送“重发次数 - 1”次，因此什么也不发送，不轮询任何设备；"
                   "请执行 tessaro config set MaxReSend=2，或在 UserParaIni.ini 的 [CommMast] 中修改",
                   "MaxReSend is " + v + ": each request is sent MaxReSend - 1 times, so nothing is ever sent and "
                   "no device is polled; run tessaro config set MaxReSend=2, or change it under [CommMast] in "
                   "UserParaIni.ini"});
  }
  if (p.Protocol > ProtocolRxa) {
    const std::string v = std::to_string(p.Protocol);
    out.push_back({"Protocol",
                   "通讯协议为 " + v + "：只认识 0 到 3，因此不生成任何请求，不轮询任何设备；请在“软件参数设定”中选择"
                   "设备的通讯协议，或执行 tessaro config set Protocol=2（0 多模块UPS，1 三相工频UPS，2 Modbus，3 RXA）",
                   "Protocol is " + v + ": only 0 to 3 are known, so no request is ever built and no device is "
                   "polled; choose the devices' protocol under Software Parameter Setting, or run tessaro config "
                   "set Protocol=2 (0 modular-UPS ASCII, 1 power-frequency ASCII, 2 Modbus, 3 RXA)"});
  }
  return out;
}

}  // namespace tessaro
