#pragma once
// The commands of the UPS network protocol over a read-only view of the
// device table and the device list. Every configured device is a UPS named
// "ups<address>"; nothing a client sends can change a device.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/DeviceList.h"
#include "core/Freshness.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"

namespace tessaro::net {

// What the server reads; it lives as long as the program.
struct TNutSource {
  const TUpsInfoTable& UpsInfo;
  const TDeviceList& DeviceList;
  const TSettings& Settings;
  // A device that is not fresh answers ERR DATA-STALE.
  TFreshnessRule Freshness;
};

// One client connection's state.
struct TNutSession {
  std::string Peer;  // the client's address, as LIST CLIENT shows it
  bool UserSet = false;
  bool PasswordSet = false;
  int LoginAddress = -1;  // the UPS this client did LOGIN to, -1 none
};

// The LOGINs of all sessions of a server: (address, peer), one per session.
using TLoginTable = std::vector<std::pair<int, std::string>>;

struct TNutReply {
  std::string Text;    // whole lines, each ending in "\n"; empty for a blank request
  bool Close = false;  // close the connection once the text is sent
};

// Answers one request line (without its line end).
TNutReply HandleLine(std::string_view line, TNutSession& session, const TNutSource& source, TLoginTable& logins);

// The address of a configured device named "ups<address>", or -1.
int FindUps(std::string_view name, const TDeviceList& devices);

// The UTF-8 description of a configured address (its device name).
std::string UpsDescription(int address, const TDeviceList& devices);

// Forgets the session's LOGIN, as when its connection closes.
void EndSession(TNutSession& session, TLoginTable& logins);

}  // namespace tessaro::net
