#include "core/UserParaIni.h"

#include "core/IniFile.h"

namespace tessaro {

namespace {

// The low 8 bits, as the byte settings keep them.
uint8_t Low8(int32_t value) { return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu); }

}  // namespace

std::string SettingsPath(const std::string& exeDir) { return exeDir + SettingsFileName; }

TSettingsSnapshot LoadSettings(TSettings& settings, const std::string& iniPath) {
  TIniFile ini;
  // A file that cannot be read gives an empty document and so every default.
  (void)ini.Load(iniPath);

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
  settings.HookOnEvent = ini.ReadString("Hooks", "OnEvent", d.HookOnEvent);
  settings.WebListen = ini.ReadString("Web", "Listen", d.WebListen);
  settings.WebUsersFile = ini.ReadString("Web", "UsersFile", d.WebUsersFile);
  settings.WebPublic = ini.ReadBool("Web", "Public", d.WebPublic);
  return {ini.Loaded(), ini.Loaded() ? ini.Text() : std::string{}};
}

std::error_code SaveSettings(const TSettings& settings, const std::string& iniPath,
                             const TSettingsSnapshot* unchangedSince) {
  TIniFile ini;
  if (std::error_code ec = ini.Load(iniPath)) return ec;
  if (unchangedSince && !(*unchangedSince == TSettingsSnapshot{ini.Loaded(), ini.Loaded() ? ini.Text() : ""}))
    return std::make_error_code(std::errc::operation_canceled);

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

std::vector<std::string> CheckSettings(const TSettings& settings) {
  const TPortInfo& p = settings.PortInfo;
  std::vector<std::string> out;
  if (p.BaudRate <= 0)
    out.push_back("BaudRate is " + std::to_string(p.BaudRate) +
                  ": no line speed, so the serial port cannot be opened; set it to the devices' speed, as 9600");
  if (p.ReadIntervalTimeout == 0)
    out.push_back("ReadIntervalTimeout is 0: a receive then ends only when 2048 bytes have arrived, so no answer is "
                  "ever seen and no device is found; set it to 200 (milliseconds)");
  else if (p.ReadIntervalTimeout < 0)
    out.push_back("ReadIntervalTimeout is " + std::to_string(p.ReadIntervalTimeout) +
                  ": not a number of milliseconds, so answers are not received whole and no device is found; set it "
                  "to 200");
  if (p.MaxReSend <= 1)
    out.push_back("MaxReSend is " + std::to_string(p.MaxReSend) +
                  ": each request is sent MaxReSend - 1 times, so nothing is ever sent and no device is polled; set "
                  "it to 2");
  if (p.Protocol > ProtocolRxa)
    out.push_back("Protocol is " + std::to_string(p.Protocol) +
                  ": only 0 to 3 are known, so no request is ever built and no device is polled; set it to the "
                  "devices' protocol (0 modular-UPS ASCII, 1 power-frequency ASCII, 2 Modbus, 3 RXA)");
  return out;
}

}  // namespace tessaro
