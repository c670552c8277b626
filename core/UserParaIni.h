#pragma once
// The program's persistent settings and the file that holds them,
// UserParaIni.ini beside the executable:
//
//   [CommPort]                 [CommMast]        [Language]     [DataLog]
//   ComName=COM1               WaitTimer=15      Language=0     RecInterval=600
//   BaudRate=9600              MaxReSend=2
//   StopBits=1                 CommErrCnt=5
//   ReadIntervalTimeout=200    CommLostCnt=10
//   AutoStart=0
//   Protocol=0
//
// The values are read once into TSettings; everything else reads them there.

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace tessaro {

inline constexpr char SettingsFileName[] = "UserParaIni.ini";

// Protocol numbers.
constexpr uint8_t ProtocolYdtV31 = 0;    // modular-UPS ASCII protocol
constexpr uint8_t ProtocolQuorvan = 1;   // power-frequency UPS ASCII protocol
constexpr uint8_t ProtocolModbus = 2;
constexpr uint8_t ProtocolRxa = 3;       // served by the Modbus handler

// A data log interval other than 0 (off) is never below this many tenths of a second.
constexpr int32_t MinRecInterval = 50;

struct TPortInfo {
  std::string ComName = "COM1";
  int32_t BaudRate = 9600;            // bit/s
  uint8_t StopBits = 1;               // 1 or 2
  bool AutoStart = false;             // registered to start at log-on
  uint8_t Protocol = ProtocolYdtV31;
  int32_t ReadIntervalTimeout = 200;  // ms of line silence that end one receive
  uint8_t WaitTimer = 15;             // stored and displayed only
  uint8_t MaxReSend = 2;              // each request is sent MaxReSend - 1 times
  uint8_t CommErrCnt = 5;             // stored and displayed only
  uint8_t CommLostCnt = 10;           // stored and displayed only
  // [CommMast] FastPoll: an answered request releases the line at once
  // instead of after its full wait. Written back only when set or present.
  bool FastPoll = false;
};

struct TSettings {
  TPortInfo PortInfo;
  uint8_t Language = 0;       // 1 Chinese, anything else English
  int32_t RecInterval = 600;  // data log interval in tenths of a second; 0 off
  // [Network] NutListen: ADDRESS:PORT of the network UPS server; empty = off.
  // Read only: the program never writes it.
  std::string NutListen;
  // [Network] UsersFile: who may give device commands over it (net/UsersFile.h);
  // empty = no one. RemoteCommands: commands accepted from other machines
  // too, not only over loopback. Read only, like NutListen.
  std::string NutUsersFile;
  bool NutRemoteCommands = false;
  // [Hooks] OnEvent: a program run for every event log record; empty = none.
  // Read only, like NutListen.
  std::string HookOnEvent;
  // [Web] Listen: ADDRESS:PORT of the web listener; empty = off. UsersFile:
  // users allowed in; Public: serve a non-loopback address without
  // passwords. Read only, like NutListen.
  std::string WebListen;
  std::string WebUsersFile;
  bool WebPublic = false;
  // [Shutdown] Rules and Group: when the monitor forces the shutdown of a
  // device's hosts (core/ShutdownPolicy.h); empty = never. Read only, like
  // NutListen.
  std::string ShutdownRules;
  std::string ShutdownGroup;
  // [BatteryTest] Schedule: battery tests the monitor starts on its own
  // (core/TestSchedule.h); empty = none. Read only, like NutListen.
  std::string TestSchedule;
  // [Mqtt]: the MQTT publisher, off while Broker is empty. Broker:
  // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; the password is read from
  // PasswordFile (its owner's only); Prefix empty means tessaro/<hostname>;
  // an empty DiscoveryPrefix announces nothing. Read only, like NutListen.
  std::string MqttBroker;
  std::string MqttClientId;
  std::string MqttUser;
  std::string MqttPasswordFile;
  std::string MqttCaFile;
  std::string MqttPrefix;
  std::string MqttDiscoveryPrefix = "homeassistant";
  int32_t MqttKeepalive = 30;  // seconds
  int32_t MqttInterval = 60;   // seconds between publishes of an unchanged device
  // Device commands from PREFIX/upsN/command: whoever may publish there gives them.
  bool MqttCommands = false;
};

// exeDir + "UserParaIni.ini"; exeDir ends with "/".
std::string SettingsPath(const std::string& exeDir);

// What the settings file held when it was read: its bytes, or no file.
struct TSettingsSnapshot {
  bool Exists = false;
  std::string Content;
  bool operator==(const TSettingsSnapshot&) const = default;
};

// Every setting from the file; a missing file, a missing key, a value that
// is not a 32-bit decimal integer or a line that is not understood (control
// bytes, SettingsFileProblems) gives that setting its default, so this never
// fails. Byte settings take the low 8 bits of the number (258 -> 2).
// RecInterval other than 0 is raised to at least MinRecInterval. Returns what
// the file held (a file that cannot be read counts as none).
TSettingsSnapshot LoadSettings(TSettings& settings, const std::string& iniPath);

// Writes the twelve keys, each replaced in place or added to its section;
// every other line of the file stays as it was. On failure the old file is
// left untouched and the reason is returned: a file that exists but cannot be
// read is not overwritten (that would lose whatever else it holds), and a
// ComName with a line break is refused (std::errc::invalid_argument). With
// `unchangedSince`, a file that no longer holds what that snapshot recorded
// (someone edited it meanwhile) is left alone: std::errc::operation_canceled.
// A file with something in it that was not understood (SettingsFileProblems)
// and that the rewrite would lose is first copied to iniPath + ".bad" (".bad1", ... when taken), and is not
// written when that fails; the lines that were no setting at all are then
// left out. `keptAs` tells where the copy went, empty when none was made.
[[nodiscard]] std::error_code SaveSettings(const TSettings& settings, const std::string& iniPath,
                                           const TSettingsSnapshot* unchangedSince = nullptr,
                                           std::string* keptAs = nullptr);

// The settings to write back when the file was edited by someone else since
// `base` was read from it: each saved key `ours` changed since `base` keeps our
// value, every other key takes what the file holds now (`theirs`). A key both
// changed is ours: the last word was the person at the desktop.
TSettings MergeSettings(const TSettings& ours, const TSettings& base, const TSettings& theirs);

class TIniFile;

// Before `ini`, loaded from iniPath, is written back: when it holds something
// not understood that the rewrite would drop or overwrite, the file is copied to iniPath + ".bad" (".bad1", ... when
// taken) and the lines that are no setting at all are dropped from `ini`.
// `keptAs` is the copy, empty when none was needed. On failure nothing is
// dropped and the file must not be rewritten.
[[nodiscard]] std::error_code SetAsideNotUnderstood(TIniFile& ini, const std::string& iniPath, std::string& keptAs);

// What in the settings file was not understood, one English sentence each in
// file order: a line that is no setting at all, a number that is none (its
// default is used), or why the file cannot be read. At most a few lines and
// then how many more. Empty for a good file and for none.
std::vector<std::string> SettingsFileProblems(const std::string& iniPath);

// How to get out of that, for the messages that refuse to go on with it.
std::string SettingsFileAdvice(const std::string& iniPath);

// One setting with which the program runs but never polls a device: what
// happens and where to change it, as one sentence in each language.
struct TSettingsProblem {
  std::string Key;      // as in the settings file
  std::string Chinese;  // UTF-8
  std::string English;
  // Language 1 = Chinese, any other value English.
  const std::string& Text(int language) const { return language == 1 ? Chinese : English; }
};

// Every such setting; empty when none.
std::vector<TSettingsProblem> CheckSettings(const TSettings& settings);

}  // namespace tessaro
