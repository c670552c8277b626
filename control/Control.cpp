#include "control/Control.h"

#include <cstdio>

#include "control/CommandSlots.h"
#include "control/ParamTable.h"
#include "engine/Context.h"

namespace tessaro {

std::optional<uint16_t> TestTimeValue(const std::string& text) { return WholeNumber(text); }

TCommandOutcome SendControlCommand(TContext& ctx, uint8_t addr, int reg, uint16_t value) {
  const uint8_t protocol = ctx.Settings.PortInfo.Protocol;
  if (protocol != ProtocolModbus && protocol != ProtocolRxa) return TCommandOutcome::Ignored;
  if (addr == 0) return TCommandOutcome::NoDevice;
  return QueueCommand(ctx.CommandQueue, addr, reg, value) ? TCommandOutcome::Queued : TCommandOutcome::QueueFull;
}

namespace {

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Enabled(uint16_t flags, int bit, uint8_t language) {
  const bool off = (flags >> bit) & 1;
  if (language == 1) return off ? "禁止" : "允许";
  return off ? "disable" : "enable";
}

}  // namespace

TUserSetTexts UserSetTexts(const TDeviceParams& p, uint8_t language) {
  TUserSetTexts t;
  static const char* const modesZh[] = {"正常模式", "ECO", "主机", "从机", "并机模式"};
  static const char* const modesEn[] = {"Normal", "ECO", "Master", "Slave", "Parallel"};
  t.WorkMode = p.WorkMode >= 0 && p.WorkMode <= 4 ? (language == 1 ? modesZh : modesEn)[p.WorkMode] : "";
  t.VoltLevel = std::to_string(p.VoltLevel);
  t.FreqLevel = std::to_string(p.FreqLevel);
  t.ParallelNum = std::to_string(p.ParallelNum);
  t.RedundancyNum = std::to_string(p.RedundancyNum);
  t.BypassFreqRange = std::to_string(p.BypassFreqRange) + "%";
  t.BypassVoltMax = std::to_string(p.BypassVoltMax) + "%";
  t.BypassVoltMin = std::to_string(static_cast<int16_t>(p.BypassVoltMin)) + "%";
  t.OutputVoltFine = Fixed(p.OutputVoltFine / 10.0, 1) + "%";
  t.SysId = std::to_string(p.SysId);
  t.Buzzer = Enabled(p.ConfigFlags, 12, language);
  static const char* const opZh[] = {"普通模式", "休眠模式", "变频模式"};
  static const char* const opEn[] = {"Normal", "Sleep", "Frequency variable"};
  t.OperationMode = p.OperationMode <= 2 ? (language == 1 ? opZh : opEn)[p.OperationMode] : std::to_string(p.OperationMode);
  t.BattNum = std::to_string(p.BattNum);
  t.BattCapAh = std::to_string(p.BattCapAh);
  t.BattGroup = std::to_string(p.BattGroup);
  t.BoostVolt = Fixed(p.BoostVolt / 100.0, 2);
  t.FloatVolt = Fixed(p.FloatVolt / 100.0, 2);
  t.EodVolt = Fixed(p.EodVolt / 100.0, 2);
  t.PreAlarmTime = std::to_string(p.PreAlarmTime);
  t.BoostLastTime = std::to_string(p.BoostLastTime);
  t.MaxChargeCurr = std::to_string(p.MaxChargeCurr);
  t.BoostCharge = Enabled(p.ConfigFlags, 13, language);
  return t;
}

}  // namespace tessaro
