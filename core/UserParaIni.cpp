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
  settings.NutUsersFile = ini.ReadString("Network", "UsersFile", d.NutUsersFile);
  settings.NutRemoteCommands = ini.ReadBool("Network", "RemoteCommands", d.NutRemoteCommands);
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
