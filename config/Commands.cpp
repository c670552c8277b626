#include "config/Commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "config/DataDir.h"
#include "core/DataDirLock.h"
#include "core/DeviceList.h"
#include "core/DeviceName.h"
#include "core/ForcedShutdown.h"
#include "core/TestSchedule.h"
#include "core/IniFile.h"
#include "core/PathTrust.h"
#include "core/ShutdownPolicy.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"
#include "hooks/EventHooks.h"
#include "mqtt/MqttConfig.h"
#include "net/ListenAddress.h"
#include "net/NutServer.h"
#include "net/UsersFile.h"
#include "serial/PortName.h"
#include "web/WebServer.h"

namespace tessaro::config {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string Quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

// ---- settings ---------------------------------------------------------------

// Checks one value; on success `written` is the text to store.
using TCheck = bool (*)(const std::string& value, std::string& written, std::string& error);

// The same for a value whose message reads in the settings' language (1 Chinese).
using TLangCheck = bool (*)(const std::string& value, uint8_t language, std::string& written, std::string& error);

struct TKey {
  const char* Section;
  const char* Name;
  TCheck Check;  // null when LangCheck is given
  std::string (*Show)(const TSettings&);
  TLangCheck LangCheck = nullptr;
};

// The messages CheckSettings gives for settings that stop polling; one
// setting is changed from the defaults at a time.
bool PassesSettingsCheck(void (*apply)(TSettings&, int32_t), int32_t value, std::string& error) {
  TSettings s;
  apply(s, value);
  const std::vector<TSettingsProblem> problems = CheckSettings(s);
  if (problems.empty()) return true;
  error = problems.front().English;
  return false;
}

bool IntegerIn(const std::string& value, const char* name, int32_t low, int32_t high, int32_t& out,
               std::string& error) {
  const std::optional<int32_t> v = ParseIniInteger(value);
  if (!v || *v < low || *v > high) {
    const std::string range =
        low == INT32_MIN ? "" : " from " + std::to_string(low) + " to " + std::to_string(high);
    error = std::string(name) + " takes a whole number" + range + ", not " + Quoted(value);
    return false;
  }
  out = *v;
  return true;
}

bool CheckComName(const std::string& value, uint8_t language, std::string& written, std::string& error) {
  if (!ParsePortName(value, &error, language)) return false;
  written = value;
  return true;
}

// A number in [low, high] that, when `apply` is given, also passes the
// settings check with it.
bool CheckedNumber(const std::string& value, const char* name, int32_t low, int32_t high,
                   void (*apply)(TSettings&, int32_t), std::string& written, std::string& error) {
  int32_t v = 0;
  if (!IntegerIn(value, name, low, high, v, error)) return false;
  if (apply && !PassesSettingsCheck(apply, v, error)) return false;
  written = std::to_string(v);
  return true;
}

bool CheckBaudRate(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(
      value, "BaudRate", INT32_MIN, INT32_MAX, [](TSettings& s, int32_t x) { s.PortInfo.BaudRate = x; }, written,
      error);
}

bool CheckStopBits(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(value, "StopBits", 1, 2, nullptr, written, error);
}

bool CheckReadIntervalTimeout(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(
      value, "ReadIntervalTimeout", INT32_MIN, INT32_MAX,
      [](TSettings& s, int32_t x) { s.PortInfo.ReadIntervalTimeout = x; }, written, error);
}

// The file keeps the low 8 bits of these, so 258 would quietly become 2.
bool CheckProtocol(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(
      value, "Protocol", 0, 255, [](TSettings& s, int32_t x) { s.PortInfo.Protocol = static_cast<uint8_t>(x); },
      written, error);
}

bool CheckMaxReSend(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(
      value, "MaxReSend", 0, 255, [](TSettings& s, int32_t x) { s.PortInfo.MaxReSend = static_cast<uint8_t>(x); },
      written, error);
}

bool CheckFastPoll(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(value, "FastPoll", 0, 1, nullptr, written, error);
}

bool CheckLanguage(const std::string& value, std::string& written, std::string& error) {
  if (EqualNoCase(value, "en") || EqualNoCase(value, "zh")) {
    written = EqualNoCase(value, "zh") ? "1" : "0";
    return true;
  }
  if (CheckedNumber(value, "Language", 0, 1, nullptr, written, error)) return true;
  error += " (0 or en English, 1 or zh Chinese)";
  return false;
}

bool CheckRecInterval(const std::string& value, std::string& written, std::string& error) {
  // The program would raise 1..49 to 50 when it reads them; say so now.
  const std::optional<int32_t> v = ParseIniInteger(value);
  if (!v || (*v != 0 && *v < MinRecInterval)) {
    error = "RecInterval is the data log interval in tenths of a second: 0 (off) or at least " +
            std::to_string(MinRecInterval) + " (5 seconds), not " + Quoted(value);
    return false;
  }
  written = std::to_string(*v);
  return true;
}

// A listener's address. Names are refused: a listener binds at boot, before
// a name may resolve, and a name can stand for an address of another
// machine. An address this machine does not have would never bind; a port in
// use is accepted, as the running service may be what holds it.
bool CheckListen(const char* key, const char* listener, const std::string& value, std::string& written,
                 std::string& error) {
  if (!value.empty()) {
    net::TListenAddress address;
    std::string why;
    if (!net::ParseNumericListenAddress(value, address, why) || !net::AddressIsLocal(address, why)) {
      error = std::string(key) + ": " + why + "; empty turns the " + listener + " off";
      return false;
    }
  }
  written = value;
  return true;
}

bool CheckNutListen(const std::string& value, std::string& written, std::string& error) {
  return CheckListen("NutListen", "server", value, written, error);
}

bool CheckOnEvent(const std::string& value, std::string& written, std::string& error) {
  // Run without a shell and without a search path, from whatever directory
  // the program was started in.
  if (!value.empty() && (value[0] != '/' || ::access(value.c_str(), X_OK) != 0)) {
    error = "OnEvent is the absolute path of an executable program (run without a shell, with no arguments), "
            "not " +
            Quoted(value) + "; empty runs none";
    return false;
  }
  // The monitor would refuse it (this runs as the data directory's owner).
  if (const std::string refusal = value.empty() ? std::string() : hooks::HookRefusal(value); !refusal.empty()) {
    error = "OnEvent " + Quoted(value) + " would not be run: " + refusal;
    return false;
  }
  written = value;
  return true;
}

bool CheckWebListen(const std::string& value, std::string& written, std::string& error) {
  return CheckListen("Web.Listen", "web listener", value, written, error);
}

// The file must load now, with the refusal the listener would give.
bool CheckUsersFile(const char* key, const char* empty, const std::string& value, std::string& written,
                    std::string& error) {
  if (!value.empty()) {
    std::string why;
    if (value[0] != '/' || !net::TUsersFile::Load(value, why)) {
      error = std::string(key) + " is the absolute path of a users file (NAME:HASH lines, readable by its owner only), "
              "not " + Quoted(value) + (why.empty() ? "" : ": " + why) + "; empty " + empty;
      return false;
    }
  }
  written = value;
  return true;
}

bool CheckWebUsersFile(const std::string& value, std::string& written, std::string& error) {
  return CheckUsersFile("Web.UsersFile", "asks for no password", value, written, error);
}

bool CheckNutUsersFile(const std::string& value, std::string& written, std::string& error) {
  return CheckUsersFile("Network.UsersFile", "lets no one give device commands", value, written, error);
}

bool CheckNutRemoteCommands(const std::string& value, std::string& written, std::string& error) {
  if (CheckedNumber(value, "Network.RemoteCommands", 0, 1, nullptr, written, error)) return true;
  error += " (1 accepts device commands from other machines, in clear text; 0 only over loopback)";
  return false;
}

bool CheckWebPublic(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(value, "Web.Public", 0, 1, nullptr, written, error);
}

bool CheckShutdownRules(const std::string& value, std::string& written, std::string& error) {
  if (!ParseShutdownRules(value, error)) {
    error = "Shutdown.Rules: " + error +
            " (ADDRESS:onbattery=SECONDS,runtime=SECONDS,lowbattery;... as 1:onbattery=300,lowbattery; empty: none)";
    return false;
  }
  written = value;
  return true;
}

bool CheckShutdownGroup(const std::string& value, std::string& written, std::string& error) {
  if (!ParseShutdownGroup(value, error)) {
    error = "Shutdown.Group: " + error + " (ADDRESSES:COUNT, as 1,2,3:2; empty: none)";
    return false;
  }
  written = value;
  return true;
}

bool CheckTestSchedule(const std::string& value, std::string& written, std::string& error) {
  if (!ParseTestSchedule(value, error)) {
    error = "BatteryTest.Schedule: " + error + " (ADDRESS:every=DAYS,at=HH:MM;... as 1:every=30,at=03:00; empty: none)";
    return false;
  }
  written = value;
  return true;
}

bool CheckMqttBroker(const std::string& value, std::string& written, std::string& error) {
  if (mqtt::TBrokerUrl url; !value.empty() && !mqtt::ParseBrokerUrl(value, url, error)) {
    error = "Broker: " + error + "; empty turns the MQTT publisher off";
    return false;
  }
  written = value;
  return true;
}

// An empty value is the default; otherwise `check` decides.
bool CheckMqttText(const char* key, bool (*check)(const std::string&, std::string&), const char* empty,
                   const std::string& value, std::string& written, std::string& error) {
  if (std::string why; !value.empty() && !check(value, why)) {
    error = std::string(key) + ": " + why + "; empty " + empty;
    return false;
  }
  written = value;
  return true;
}

bool CheckMqttClientId(const std::string& value, std::string& written, std::string& error) {
  return CheckMqttText("ClientId", mqtt::CheckClientWord, "makes one from the prefix", value, written, error);
}

bool CheckMqttUser(const std::string& value, std::string& written, std::string& error) {
  return CheckMqttText("User", mqtt::CheckClientWord, "logs in without a name", value, written, error);
}

bool CheckMqttPrefix(const std::string& value, std::string& written, std::string& error) {
  return CheckMqttText("Prefix", mqtt::CheckTopicPrefix, "is tessaro/<host name>", value, written, error);
}

bool CheckMqttDiscoveryPrefix(const std::string& value, std::string& written, std::string& error) {
  return CheckMqttText("DiscoveryPrefix", mqtt::CheckTopicPrefix, "announces nothing to Home Assistant", value,
                       written, error);
}

// The monitor would refuse it at start with the same words.
bool CheckMqttPasswordFile(const std::string& value, std::string& written, std::string& error) {
  if (std::string why; !value.empty() && !mqtt::ReadPasswordFile(value, why)) {
    error = "PasswordFile: " + why + "; empty logs in without a password";
    return false;
  }
  written = value;
  return true;
}

bool CheckMqttCaFile(const std::string& value, std::string& written, std::string& error) {
  if (!value.empty() && (value[0] != '/' || ::access(value.c_str(), R_OK) != 0)) {
    error = "CaFile is the absolute path of a readable file of CA certificates (PEM), not " + Quoted(value) +
            "; empty uses the system's";
    return false;
  }
  written = value;
  return true;
}

bool CheckMqttKeepalive(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(value, "Keepalive", mqtt::MinKeepalive, mqtt::MaxKeepalive, nullptr, written, error);
}

bool CheckMqttInterval(const std::string& value, std::string& written, std::string& error) {
  return CheckedNumber(value, "Interval", 1, mqtt::MaxInterval, nullptr, written, error);
}

bool CheckMqttCommands(const std::string& value, std::string& written, std::string& error) {
  if (CheckedNumber(value, "Mqtt.Commands", 0, 1, nullptr, written, error)) return true;
  error += " (1 takes device commands from whoever may publish on PREFIX/upsN/command; 0 ignores them)";
  return false;
}

std::string Number(int32_t v) { return std::to_string(v); }

const TKey Keys[] = {
    {"CommPort", "ComName", nullptr, [](const TSettings& s) { return s.PortInfo.ComName; }, CheckComName},
    {"CommPort", "BaudRate", CheckBaudRate, [](const TSettings& s) { return Number(s.PortInfo.BaudRate); }},
    {"CommPort", "StopBits", CheckStopBits, [](const TSettings& s) { return Number(s.PortInfo.StopBits); }},
    {"CommPort", "ReadIntervalTimeout", CheckReadIntervalTimeout,
     [](const TSettings& s) { return Number(s.PortInfo.ReadIntervalTimeout); }},
    {"CommPort", "Protocol", CheckProtocol, [](const TSettings& s) { return Number(s.PortInfo.Protocol); }},
    {"CommMast", "MaxReSend", CheckMaxReSend, [](const TSettings& s) { return Number(s.PortInfo.MaxReSend); }},
    {"CommMast", "FastPoll", CheckFastPoll, [](const TSettings& s) { return Number(s.PortInfo.FastPoll ? 1 : 0); }},
    {"Language", "Language", CheckLanguage, [](const TSettings& s) { return Number(s.Language); }},
    {"DataLog", "RecInterval", CheckRecInterval, [](const TSettings& s) { return Number(s.RecInterval); }},
    {"Network", "NutListen", CheckNutListen, [](const TSettings& s) { return s.NutListen; }},
    {"Network", "UsersFile", CheckNutUsersFile, [](const TSettings& s) { return s.NutUsersFile; }},
    {"Network", "RemoteCommands", CheckNutRemoteCommands,
     [](const TSettings& s) { return Number(s.NutRemoteCommands ? 1 : 0); }},
    {"Hooks", "OnEvent", CheckOnEvent, [](const TSettings& s) { return s.HookOnEvent; }},
    {"Web", "Listen", CheckWebListen, [](const TSettings& s) { return s.WebListen; }},
    {"Web", "UsersFile", CheckWebUsersFile, [](const TSettings& s) { return s.WebUsersFile; }},
    {"Web", "Public", CheckWebPublic, [](const TSettings& s) { return Number(s.WebPublic ? 1 : 0); }},
    {"Shutdown", "Rules", CheckShutdownRules, [](const TSettings& s) { return s.ShutdownRules; }},
    {"Shutdown", "Group", CheckShutdownGroup, [](const TSettings& s) { return s.ShutdownGroup; }},
    {"BatteryTest", "Schedule", CheckTestSchedule, [](const TSettings& s) { return s.TestSchedule; }},
    {"Mqtt", "Broker", CheckMqttBroker, [](const TSettings& s) { return s.MqttBroker; }},
    {"Mqtt", "ClientId", CheckMqttClientId, [](const TSettings& s) { return s.MqttClientId; }},
    {"Mqtt", "User", CheckMqttUser, [](const TSettings& s) { return s.MqttUser; }},
    {"Mqtt", "PasswordFile", CheckMqttPasswordFile, [](const TSettings& s) { return s.MqttPasswordFile; }},
    {"Mqtt", "CaFile", CheckMqttCaFile, [](const TSettings& s) { return s.MqttCaFile; }},
    {"Mqtt", "Prefix", CheckMqttPrefix, [](const TSettings& s) { return s.MqttPrefix; }},
    {"Mqtt", "DiscoveryPrefix", CheckMqttDiscoveryPrefix, [](const TSettings& s) { return s.MqttDiscoveryPrefix; }},
    {"Mqtt", "Keepalive", CheckMqttKeepalive, [](const TSettings& s) { return Number(s.MqttKeepalive); }},
    {"Mqtt", "Interval", CheckMqttInterval, [](const TSettings& s) { return Number(s.MqttInterval); }},
    {"Mqtt", "Commands", CheckMqttCommands, [](const TSettings& s) { return Number(s.MqttCommands ? 1 : 0); }},
};

// A key name that more than one section has.
bool SharedName(const TKey& key) {
  return std::count_if(std::begin(Keys), std::end(Keys), [&](const TKey& k) { return EqualNoCase(k.Name, key.Name); }) > 1;
}

// How the key is named to the user: "Section.Key" where "Key" alone would not tell.
std::string ShownName(const TKey& k) { return SharedName(k) ? std::string(k.Section) + "." + k.Name : k.Name; }

// "Key" or "Section.Key", any case; a name more than one section has only
// with its section.
const TKey* FindKey(std::string_view name) {
  for (const TKey& k : Keys) {
    if (EqualNoCase(name, k.Name) && !SharedName(k)) return &k;
    const std::string full = std::string(k.Section) + "." + k.Name;
    if (EqualNoCase(name, full)) return &k;
  }
  return nullptr;
}

// "Network.UsersFile or Web.UsersFile" for a key name more than one section has; else "".
std::string SectionsOf(std::string_view name) {
  std::string out;
  for (const TKey& k : Keys)
    if (EqualNoCase(name, k.Name) && SharedName(k)) out += (out.empty() ? "" : " or ") + ShownName(k);
  return out;
}

std::string KeyList() {
  std::string s;
  for (const TKey& k : Keys) s += std::string(s.empty() ? "" : ", ") + ShownName(k);
  return s;
}

void AppendFileWarnings(const std::string& iniPath, std::string& err) {
  for (const std::string& p : SettingsFileProblems(iniPath)) err += "warning: " + iniPath + ": " + p + "\n";
}

void AppendWarnings(const std::string& iniPath, std::string& err) {
  TSettings s;
  (void)LoadSettings(s, iniPath);
  for (const TSettingsProblem& w : CheckSettings(s)) err += "warning: " + w.English + "\n";
}

int ConfigShow(const std::string& dataDir, std::string& out, std::string& err) {
  const std::string path = SettingsPath(dataDir);
  TIniFile probe;
  if (std::error_code ec = probe.Load(path)) {
    err += "cannot read " + path + ": " + ec.message() + "\n";
    return 1;
  }
  TSettings s;
  (void)LoadSettings(s, path);
  out += "# " + path + (probe.Loaded() ? "" : " (no such file yet: the defaults)") + "\n";
  for (const TKey& k : Keys) out += ShownName(k) + "=" + k.Show(s) + "\n";
  AppendFileWarnings(path, err);
  AppendWarnings(path, err);
  return 0;
}

// Before a change: the process acts as the data directory's owner, the
// directory exists and its write lock is held until `lock` goes.
bool PrepareToWrite(const std::string& dataDir, TWriteLock& lock, std::string& err) {
  if (const std::error_code ec = MakeDirectories(dataDir)) {
    err += "cannot create " + dataDir + ": " + ec.message() + "; nothing changed\n";
    return false;
  }
  if (const std::error_code ec = lock.Acquire(dataDir)) {
    err += DescribeWriteLockError(ec, dataDir) + "; nothing changed\n";
    return false;
  }
  return true;
}

int ConfigSet(const std::vector<std::string>& words, const std::string& dataDir, std::string& err) {
  const std::vector<std::string> assignments(words.begin() + 2, words.end());
  if (assignments.empty()) {
    err += "config set needs KEY=VALUE (keys: " + KeyList() + ")\n";
    return 2;
  }
  std::string why;
  if (!ActAsDataDirOwner(dataDir, words, why)) {
    err += why + "\n";
    return 1;
  }
  // Every value is checked before anything is touched; none depends on the file.
  struct TChange {
    const TKey* Key;
    std::string Written;
  };
  std::vector<TChange> changes;
  TIniFile scratch;
  bool ok = true;
  TSettings current;
  (void)LoadSettings(current, SettingsPath(dataDir));
  for (const std::string& a : assignments) {
    const size_t eq = a.find('=');
    const TKey* key = eq == std::string::npos ? nullptr : FindKey(a.substr(0, eq));
    if (eq == std::string::npos) {
      err += Quoted(a) + " is not KEY=VALUE\n";
    } else if (!key && !SectionsOf(a.substr(0, eq)).empty()) {
      err += Quoted(a.substr(0, eq)) + " is a key of more than one section: write " + SectionsOf(a.substr(0, eq)) +
             "\n";
    } else if (!key) {
      err += "unknown setting " + Quoted(a.substr(0, eq)) + " (keys: " + KeyList() + ")\n";
    } else {
      std::string written, error;
      const std::string value = a.substr(eq + 1);
      if (key->LangCheck ? !key->LangCheck(value, current.Language, written, error) : !key->Check(value, written, error)) {
        err += error + "\n";
      } else if (scratch.WriteString(key->Section, key->Name, written)) {
        err += std::string(key->Name) + " cannot hold " + Quoted(written) + "\n";
      } else {
        changes.push_back({key, written});
        continue;
      }
    }
    ok = false;
  }
  if (!ok) {
    err += "nothing changed\n";
    return 1;
  }
  TWriteLock lock;
  if (!PrepareToWrite(dataDir, lock, err)) return 1;
  const std::string path = SettingsPath(dataDir);
  TIniFile ini;
  if (std::error_code ec = ini.Load(path)) {
    // Rewriting a file that could not be read would lose what it holds.
    err += "cannot read " + path + ": " + ec.message() + "; nothing changed\n";
    return 1;
  }
  // The problems of the file as it was, before they are set aside.
  AppendFileWarnings(path, err);
  std::string keptAs;
  if (const std::error_code ec = SetAsideNotUnderstood(ini, path, keptAs)) {
    err += "cannot keep " + path + " as it was before rewriting it: " + ec.message() + "; nothing changed\n";
    return 1;
  }
  for (const TChange& c : changes) (void)ini.WriteString(c.Key->Section, c.Key->Name, c.Written);
  if (const std::error_code ec = ini.Save(path)) {
    err += "cannot write " + path + ": " + ec.message() + "; nothing changed\n";
    return 1;
  }
  if (!keptAs.empty())
    err += "the file as it was is kept as " + keptAs + "; the lines that were no setting are left out of " + path +
           "\n";
  // Keys not named here may still keep the devices from being polled.
  AppendWarnings(path, err);
  return 0;
}

// ---- devices ----------------------------------------------------------------

std::optional<uint8_t> ParseAddress(const std::string& text, std::string& err) {
  const std::optional<int32_t> v = ParseIniInteger(text);
  if (!v || *v < 1 || *v > MaxAddress) {
    err += "a device address is a number from 1 to " + std::to_string(MaxAddress) + ", not " + Quoted(text) + "\n";
    return std::nullopt;
  }
  return static_cast<uint8_t>(*v);
}

// The dialogs' messages for a name that cannot be stored.
bool CheckName(const std::string& name, bool renaming, std::string& err) {
  switch (CheckDeviceNameText(name)) {
    case TNameCheck::Ok:
      return true;
    case TNameCheck::Empty:
      err += renaming ? "Equipment name is empty !\n" : "Equipment Name is empty !\n";
      return false;
    case TNameCheck::TooLong:
      err += "Equipment name is too long ! (at most 40 bytes in GBK: 40 letters or 20 Chinese characters)\n";
      return false;
    case TNameCheck::NotStorable:
      err += "Equipment name has a character that cannot be stored !\n";
      return false;
  }
  return false;
}

int PositionOf(const TDeviceList& list, uint8_t address) {
  for (int i = 1; i <= list.Count; ++i)
    if (list.Nodes[i].Address == address) return i;
  return 0;
}

int SaveList(TDeviceList& list, const std::string& dataDir, std::string& err) {
  try {
    if (const std::error_code ec = MakeDirectories(dataDir + "Record/")) throw std::system_error(ec);
    list.SaveDeviceList();
  } catch (const std::exception& e) {
    err += "The device list could not be saved: " + list.FileName() + ": " + e.what() + "\n";
    return 1;
  }
  if (!list.KeptAs().empty())
    err += "the list as it was is kept as " + list.KeptAs() + "\n";
  return 0;
}

int Devices(const std::vector<std::string>& words, const std::string& dataDir, std::string& out, std::string& err) {
  const std::string sub = words.size() > 1 ? words[1] : "";
  const size_t wanted = sub == "list" ? 2 : sub == "add" || sub == "rename" ? 4 : sub == "remove" ? 3 : 0;
  if (wanted == 0 || words.size() != wanted) {
    err += sub.empty() || wanted == 0 ? "devices takes list, add, rename or remove\n"
                                      : "devices " + sub + " takes " +
                                            (sub == "remove" ? std::string("ADDRESS") : std::string("ADDRESS NAME")) +
                                            " (quote a name with spaces)\n";
    return 2;
  }
  // What can be checked without the list is checked before anything is touched.
  std::optional<uint8_t> address;
  TWriteLock lock;
  if (sub != "list") {
    std::string why;
    if (!ActAsDataDirOwner(dataDir, words, why)) {
      err += why + "\n";
      return 1;
    }
    if (!(address = ParseAddress(words[2], err))) return 1;
    if (sub != "remove" && !CheckName(words[3], sub == "rename", err)) return 1;
    // The list is read, changed and written under the lock, so that changes
    // made at the same time all land.
    if (!PrepareToWrite(dataDir, lock, err)) return 1;
  }
  TDeviceList list(dataDir + "Record/");
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(list.FileName(), ec))) {
    // Loading an unreadable list would leave an empty one to be saved.
    if (!std::filesystem::is_regular_file(list.FileName(), ec) || ::access(list.FileName().c_str(), R_OK) != 0) {
      err += "cannot read " + list.FileName() + "; nothing changed\n";
      return 1;
    }
    list.LoadDeviceList();
    for (const std::string& p : list.Problems()) err += "warning: " + list.FileName() + ": " + p + "\n";
  }
  if (sub == "list") {
    for (int i = 1; i <= list.Count; ++i)
      out += std::to_string(list.Nodes[i].Address) + "\t" + ShownDeviceNameText(list.Nodes[i].Name) + "\n";
    return 0;
  }
  const int position = PositionOf(list, *address);
  if (sub == "add") {
    if (position) {
      err += "address " + words[2] + " is taken by " + Quoted(ShownDeviceNameText(list.Nodes[position].Name)) + "\n";
      return 1;
    }
    if (list.Count >= MaxDevices) {
      err += "the list already holds " + std::to_string(MaxDevices) + " devices\n";
      return 1;
    }
    TDeviceNode node;
    node.Address = *address;
    node.Name = *StoredDeviceNameText(words[3]);
    list.Nodes[++list.Count] = node;
    return SaveList(list, dataDir, err);
  }
  if (!position) {
    err += "no device has address " + words[2] + "\n";
    return 1;
  }
  if (sub == "rename") {
    // By position, as the property dialog does: NodeIndex need not be unique.
    list.Nodes[position].Name = *StoredDeviceNameText(words[3]);
  } else {
    list.DeleteDevice(*address);
  }
  return SaveList(list, dataDir, err);
}

// A forced shutdown lives only in the running monitor: the request is a file
// it looks for once a second, and removes once it has cleared every flag.
int ConfigClearFsd(const std::vector<std::string>& words, const std::string& dataDir, std::string& out,
                   std::string& err) {
  std::string why;
  if (!ActAsDataDirOwner(dataDir, words, why)) {
    err += why + "\n";
    return 1;
  }
  TInstanceLock probe;
  if (probe.Acquire(dataDir, why) || probe.Holder() == 0) {
    err += probe.Held() ? "no monitor is running on " + dataDir +
                              ": a forced shutdown ends with the monitor that held it; nothing to clear\n"
                        : why + "\n";
    return 1;
  }
  const std::string path = dataDir + ClearFsdRequestName;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    err += "cannot write " + path + ": " + std::strerror(errno) + "; nothing changed\n";
    return 1;
  }
  ::close(fd);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (::access(path.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string monitor = "the monitor (pid " + std::to_string(probe.Holder()) + ")";
  if (::access(path.c_str(), F_OK) == 0) {
    ::unlink(path.c_str());
    err += monitor + " did not take the request within 5 s (a desktop takes it only while it serves the network "
           "UPS protocol); nothing changed\n";
    return 1;
  }
  out += monitor + " cleared every forced shutdown; clients see ups.status without FSD from now on\n";
  return 0;
}

}  // namespace

bool IsCommand(const std::vector<std::string>& args) {
  size_t i = 0;
  while (i < args.size() && args[i] == "--data-dir") i += 2;
  return i < args.size() && (args[i] == "devices" || args[i] == "config");
}

int RunCommand(const std::vector<std::string>& args, const std::string& defaultDataDir, std::string& out,
               std::string& err) {
  std::string dataDir = defaultDataDir;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--data-dir") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        err += "--data-dir needs a directory\n";
        return 2;
      }
      dataDir = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h") {
      out += CommandUsage();
      return 0;
    } else {
      words.push_back(args[i]);
    }
  }
  if (dataDir.empty()) dataDir = "./";
  if (dataDir.back() != '/') dataDir += '/';
  if (!words.empty() && words[0] == "devices") return Devices(words, dataDir, out, err);
  if (words.size() >= 2 && words[0] == "config" && words[1] == "show" && words.size() == 2)
    return ConfigShow(dataDir, out, err);
  if (words.size() >= 2 && words[0] == "config" && words[1] == "set")
    return ConfigSet(words, dataDir, err);
  if (words.size() == 2 && words[0] == "config" && words[1] == "clear-fsd")
    return ConfigClearFsd(words, dataDir, out, err);
  err += "config takes show, set KEY=VALUE..., or clear-fsd\n";
  return 2;
}

std::string CommandUsage() {
  return R"(Usage: tessaro devices list | add ADDRESS NAME | rename ADDRESS NAME | remove ADDRESS
       tessaro config show | set KEY=VALUE... | clear-fsd
       (both take --data-dir DIR)

devices changes Record/TreeNode.dat, the devices polled: ADDRESS is the bus
address 1..252, NAME at most 40 bytes in GBK (40 letters, 20 Chinese
characters). config changes UserParaIni.ini; the keys are ComName (COM1..
COM256 or a device path), BaudRate, StopBits (1, 2), ReadIntervalTimeout
(ms), Protocol (0 modular-UPS ASCII, 1 power-frequency ASCII, 2 Modbus,
3 RXA), MaxReSend (2..255), FastPoll (0, 1), Language (0 English, 1 Chinese),
RecInterval (tenths of a second, 0 off, else 50 or more), NutListen
(a numeric address of this machine and a port, as 127.0.0.1:3493,
0.0.0.0:3493 or [::1]:3493; empty off), Network.UsersFile (absolute
path of the users who may give device commands over it, empty: no one),
RemoteCommands (0, 1: also from other machines, not only loopback),
OnEvent (absolute path of a program, empty none), and for the web
listener Listen (numeric ADDRESS:PORT, empty off), Web.UsersFile
(absolute path, empty: no passwords) and Public (0, 1: serve a
non-loopback address without passwords), the shutdown policy's Rules
(ADDRESS:onbattery=SECONDS,runtime=SECONDS,lowbattery;... empty: none) and
Group (ADDRESSES:COUNT, empty: none), the battery test Schedule
(ADDRESS:every=DAYS,at=HH:MM;... empty: none); for the MQTT publisher Broker
(mqtt://HOST[:PORT] or mqtts://HOST[:PORT], empty off), ClientId, User,
PasswordFile (absolute path of a file of its owner only holding the
password), CaFile (CA certificates for mqtts://, empty: the system's),
Prefix (topics, empty: tessaro/<host name>), DiscoveryPrefix (Home
Assistant's, homeassistant; empty announces nothing), Keepalive (5..3600 s)
and Interval (1..3600 s: an unchanged device is published again after
it); "Section.Key" works as well
(Web.Listen), and is needed for UsersFile. A value that is refused changes nothing;
files are replaced whole, never half written. A running tessaro reads the
changes when it next starts. clear-fsd asks the running monitor to clear
the forced shutdown (FSD) a primary set; it is kept until then or a restart.
)";
}

}  // namespace tessaro::config
