#pragma once
// The commands of the UPS network protocol over a view of the device table
// and the device list. Every configured device is a UPS named "ups<address>".
// Reading is open to every client; device commands (INSTCMD, and SET TRACKING
// for them) only to users of the users file, from loopback unless remote
// commands are allowed, and only when the host hands the server a TNutControl.
// PRIMARY and FSD take the same path, for users with the primary role.

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/DeviceList.h"
#include "core/ForcedShutdown.h"
#include "core/Freshness.h"
#include "core/TestSchedule.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"
#include "net/CredentialChecker.h"
#include "net/UsersFile.h"

namespace tessaro::net {

// The device commands the protocol offers, as the windows give them.
enum class TNutCommand : uint8_t { BatteryTestStart, BatteryTestStop, LoadOff, LoadOn };

struct TNutCommandDef {
  const char* Name;         // "test.battery.start"
  const char* Description;  // GET CMDDESC
  TNutCommand Command;
  bool TakesValue;          // INSTCMD may give a value
};
std::span<const TNutCommandDef> NutCommandDefs();

// What became of a queued command, as GET TRACKING tells it.
enum class TNutOutcome : uint8_t { Pending, Success, InvalidArgument, Failed, Unknown };

struct TNutQueued {
  uint32_t Id = 0;        // 0: not queued
  bool BadValue = false;  // not queued because the value is not one the command takes
  std::string Reason;     // why not, for the report
};

// The host's part in device commands.
struct TNutControl {
  const TUsersFile* Users = nullptr;  // null: commands for nobody
  TCredentialChecker* Checker = nullptr;  // checks the passwords of Users; null: none pass
  bool RemoteCommands = false;        // accepted from addresses other than loopback
  // The device takes commands (its protocol writes to devices).
  std::function<bool(int address)> Offers;
  // Checks and queues, as the windows do; `value` is null when none was given.
  std::function<TNutQueued(int address, TNutCommand command, const std::string* value)> Queue;
  std::function<TNutOutcome(uint32_t id)> Outcome;
  // Every accepted or refused command, one line: user, peer, device, command, result.
  std::function<void(const std::string&)> OnReport;
  // The forced-shutdown flags ups.status shows; null: none.
  const TForcedShutdown* Forced = nullptr;
  // Sets the device's flag for a primary's FSD; false when it was set already.
  std::function<bool(int address, const std::string& user, const std::string& peer)> ForceShutdown;
};

// What the server reads; it lives as long as the program.
struct TNutSource {
  const TUpsInfoTable& UpsInfo;
  const TDeviceList& DeviceList;
  const TSettings& Settings;
  // A device that is not fresh answers ERR DATA-STALE.
  TFreshnessRule Freshness;
  const TNutControl* Control = nullptr;  // null: no commands
  const TTestResults* Tests = nullptr;   // null: no battery test results
};

// One client connection's state.
struct TNutSession {
  std::string Peer;  // the client's address, as LIST CLIENT shows it
  bool UserSet = false;
  bool PasswordSet = false;
  std::string User;
  std::string Password;  // cleared once checked
  enum class TAuth : uint8_t { Unchecked, Good, Bad } Auth = TAuth::Unchecked;
  bool FreshVerdict = false;  // the verdict just came: the request that waited for it is answered now
  bool Tracking = false;  // SET TRACKING ON: INSTCMD answers with an id
  int LoginAddress = -1;  // the UPS this client did LOGIN to, -1 none
};

// What all sessions of a server share.
struct TNutShared {
  // The LOGINs: (address, peer), one per session.
  std::vector<std::pair<int, std::string>> Logins;
  // Tracking ids handed out, oldest first: (id text, command id).
  std::deque<std::pair<std::string, uint32_t>> Tracked;
  static constexpr size_t MaxTracked = 256;
  uint64_t FailedChecks = 0;  // password checks that failed
};

struct TNutReply {
  std::string Text;         // whole lines, each ending in "\n"; empty for a blank request
  bool Close = false;       // close the connection once the text is sent
  // A refused device command: the server holds the reply back, so refusals
  // (and the reports of them) come slowly; longer after a failed password check.
  bool Held = false;
  bool AuthFailed = false;  // a password check failed
  // The request needs the password checked first: the server has it checked
  // (SetVerdict) and asks again. CheckFor names the request in reports.
  bool Check = false;
  std::string CheckFor;
};

// Answers one request line (without its line end).
TNutReply HandleLine(std::string_view line, TNutSession& session, const TNutSource& source, TNutShared& shared);

// The address of a configured device named "ups<address>", or -1.
int FindUps(std::string_view name, const TDeviceList& devices);

// The UTF-8 description of a configured address (its device name).
std::string UpsDescription(int address, const TDeviceList& devices);

// The verdict of the session's password check; the password is not kept.
void SetVerdict(TNutSession& session, TNutShared& shared, bool good);

// Forgets the session's LOGIN, as when its connection closes.
void EndSession(TNutSession& session, TNutShared& shared);

// A peer address (as TNutSession::Peer holds it) of this machine's loopback.
bool IsLoopbackPeer(std::string_view peer);

// The VER line's text: the version of Tessaro, in a form clients that look
// for "upsd <version> -" accept, without claiming to be that server.
std::string VersionText();

}  // namespace tessaro::net
