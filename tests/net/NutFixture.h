#pragma once
// A small bus for the network server tests: ups1 communicating and on
// mains, every value decoded and just answered; ups2 whose link is lost;
// ups12 communicating with no value decoded yet. Names are stored as GBK, as
// the device list file holds them.

#include <crypt.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/ForcedShutdown.h"
#include "core/Freshness.h"
#include "core/Gbk.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"
#include "net/CredentialChecker.h"
#include "net/NutCommands.h"
#include "net/UsersFile.h"

namespace tessaro::testing {

struct TNutBus {
  TNutBus() {
    InitDeviceTable(*Table);
    Add(1, "Server room \"A\"");
    Add(2, "机房 UPS");
    Add(12, "Lab");
    Settings.PortInfo.Protocol = ProtocolModbus;
    Vars.CycleSteps = 4;
    Vars.RequiredSteps = StepBit(1) | StepBit(2) | StepBit(3);

    TUpsInfo& u = Ups(1);
    u.CommState = 0;
    u.StateCode = 4;
    u.Status.StateValid = 1;
    u.InputSupply = 1;
    u.UpsSupply = 1;
    u.Measure.InputVoltA = 220.1;
    u.Measure.InputVoltB = 221;
    u.Measure.InputVoltC = 219.39;
    u.Measure.OutputVoltA = 230;
    u.Measure.OutputVoltB = 230;
    u.Measure.OutputVoltC = 230;
    u.Measure.LoadA = 31;
    u.Measure.LoadB = 47;
    u.Measure.LoadC = 12;
    u.Measure.OutputFreq = 50;
    u.Measure.DcInputVolt = 432.5;
    u.Measure.BattCapacity = 97;
    u.Measure.BattBackupTime = 42;
    u.Measure.BattChargeCurr = 1.5;
    u.DecodedSteps = Vars.RequiredSteps;
    u.LastAnswerMs = Clock.MonotonicMs();

    Ups(12).CommState = 0;  // answering, but no status answer decoded yet
  }

  void Add(uint8_t address, const std::string& utf8) {
    TDeviceNode n;
    n.Address = address;
    n.Name = PadDeviceName(*Utf8ToGbk(utf8));
    List.Nodes[++List.Count] = n;  // no file behind this list
  }
  TUpsInfo& Ups(int address) { return (*Table)[static_cast<size_t>(address)]; }
  net::TNutSource Source() const { return {*Table, List, Settings, TFreshnessRule(*Table, List, Settings, Vars, Clock)}; }

  std::unique_ptr<TUpsInfoTable> Table = std::make_unique<TUpsInfoTable>();
  TDeviceList List;
  TSettings Settings;
  TPollVars Vars;
  TManualClock Clock;
};

// A crypt(3) hash of `password` of the kind `prefix` names ("$y$" yescrypt, "$6$" SHA-512).
inline std::string Hash(const char* prefix, const std::string& password) {
  const char* salt = ::crypt_gensalt(prefix, 0, nullptr, 0);
  const char* hash = salt ? ::crypt(password.c_str(), salt) : nullptr;
  return hash && hash[0] == '$' ? hash : "";
}

// A host's side of commands over a users file of two users, recording what
// it is asked to queue and what it is told to report; its password checker
// runs on `clock`.
struct TCommandRig {
  explicit TCommandRig(const TClock& clock) : Checker(std::make_unique<net::TCredentialChecker>(clock)) {
    std::string error;
    Users = net::TUsersFile::Parse("operator:" + Hash("$y$", "right") + ":test.battery.start,load.on\n" +
                                  "viewer:" + Hash("$6$", "look") + "\n" + "mon:" + Hash("$6$", "mon") + ":primary\n",
                              error);
    Control.Users = Users ? &*Users : nullptr;
    Control.Checker = Checker.get();
    Control.Offers = [this](int) { return Offered; };
    Control.Queue = [this](int address, net::TNutCommand command, const std::string* value) {
      Queued.push_back({address, command, value ? *value : "-"});
      return net::TNutQueued{NextId++, false, ""};
    };
    Control.Outcome = [this](uint32_t id) {
      const auto it = Outcomes.find(id);
      return it == Outcomes.end() ? net::TNutOutcome::Pending : it->second;
    };
    Control.OnReport = [this](const std::string& text) { Reports.push_back(text); };
    Control.Forced = &Forced;
    Control.ForceShutdown = [this](int address, const std::string& user, const std::string& peer) {
      return Forced.Set(address, {user, peer});
    };
  }
  struct TQueued {
    int Address;
    net::TNutCommand Command;
    std::string Value;
  };
  std::optional<net::TUsersFile> Users;
  std::unique_ptr<net::TCredentialChecker> Checker;
  net::TNutControl Control;
  bool Offered = true;
  uint32_t NextId = 7;
  std::vector<TQueued> Queued;
  std::map<uint32_t, net::TNutOutcome> Outcomes;
  std::vector<std::string> Reports;
  TForcedShutdown Forced;
};

}  // namespace tessaro::testing
