#include "core/UserParaIni.h"

#include "core/IniFile.h"

namespace tessaro {

namespace {

// The low 8 bits, as the byte settings keep them.
uint8_t Low8(int32_t value) { return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu); }

}  // namespace

std::string SettingsPath(const std::string& exeDir) { return exeDir + SettingsFileName; }

void LoadSettings(TSettings& settings, const std::string& iniPath) {
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
  settings.Language = Low8(ini.ReadInteger("Language", "Language", d.Language));
  settings.RecInterval = ini.ReadInteger("DataLog", "RecInterval", d.RecInterval);
  if (settings.RecInterval != 0 && settings.RecInterval < MinRecInterval)
    settings.RecInterval = MinRecInterval;
  settings.NutListen = ini.ReadString("Network", "NutListen", d.NutListen);
  settings.HookOnEvent = ini.ReadString("Hooks", "OnEvent", d.HookOnEvent);
}

std::error_code SaveSettings(const TSettings& settings, const std::string& iniPath) {
  TIniFile ini;
  if (std::error_code ec = ini.Load(iniPath)) return ec;

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
  check(ini.WriteInteger("Language", "Language", settings.Language));
  check(ini.WriteInteger("DataLog", "RecInterval", settings.RecInterval));
  if (ec) return ec;
  return ini.Save(iniPath);
}

}  // namespace tessaro
