#pragma once
// A small bus for the network server tests: ups1 communicating and on
// mains, every value decoded and just answered; ups2 whose link is lost;
// ups12 communicating with no value decoded yet. Names are stored as GBK, as
// the device list file holds them.

#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/Freshness.h"
#include "core/Gbk.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"
#include "net/NutCommands.h"

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

}  // namespace tessaro::testing
