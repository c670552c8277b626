#include "control/ParamTable.h"

#include <charconv>
#include <cstdio>

#include "control/CommandSlots.h"
#include "engine/Context.h"

namespace tessaro {

namespace {
using K = TParamKind;
}  // namespace

const std::array<TParamDef, ParamEntryCount> ParamDefs = {{
    {"工作模式", "Work Mode", 40004, K::Choice, "[Work Mode] value is invalid"},
    {"系统电压等级(V)", "System Voltage Level(V)", 40005, K::Choice, "[System Voltage Level] value is invalid"},
    {"输出频率等级(HZ)", "System Frequency Level(Hz)", 40006, K::Choice, "[System Frequence Level] value is invalid"},
    {"旁路频率跟踪范围(%)", "Bypass Frequency Range(%)", 40011, K::Choice, "[Bypass Frequence Range] value is invalid"},
    {"旁路电压保护范围上限(%)", "Bypass Volt Upper Limit(%)", 40012, K::Choice, "[Bypass Volt Upper Limit] value is invalid"},
    {"旁路电压保护范围下限(%)", "Bypass Volt lower Limit(%)", 40013, K::Choice, "[Bypass Volt lower Limit] value is invalid"},
    {"逆变输出电压微调(%)", "Invert-Volt adjustment(%)", 40014, K::Choice, "[Invert-Volt adjustment] value is invalid"},
    {"电池节数", "Battery Number", 40015, K::Choice, "[Battery Num] value is invalid"},
    {"电池并联组数", "Battery Group", 40017, K::Number, "[Battery Group] value is invalid"},
    {"均充电压上限(V/Cell)", "Boost upper limit Volt(V/Cell)", 40018, K::Choice, "[Boost upper limit Volt] value is invalid"},
    {"浮充电压基准(V/Cell)", "Float base Volt(V/Cell)", 40019, K::Choice, "[Float base Volt] value is invalid"},
    {"EOD电压(V/Cell)", "EOD Volt(V/Cell)", 40020, K::Decimal, "[EOD Volt] value is invalid"},
    {"单节电池容量(AH)", "Single Battery Capability(AH)", 40021, K::Number, "[Single Battery Capability] value is invalid"},
    {"最大充电电流(A)", "Max Charge current(A)", 40023, K::Number, "[Max Charge current] value is invalid"},
    {"均充持续时间（分钟）", "Boost Last Time(Min)", 40025, K::Number, "[Boost Last Time] value is invalid"},
    {"状态控制位", "Staus Control", 40027, K::Switches, ""},
    {"系统并机总台数", "Parallel Amount", 40007, K::Number, "[Parallel Amount] value is invalid"},
    {"并机冗余台数", "Parallel Redundancy", 40008, K::Number, "[Parallel Redundancy] value is invalid"},
    {"并机系统ID", "Parallel ID", 40002, K::Number, "[Parallel ID] value is invalid"},
    {"操作模式", "Operation Mode", 40029, K::Choice, "[Operation Mode] value is invalid"},
}};

std::optional<uint16_t> WholeNumber(const std::string& text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(value);
}

int ParamListCount(const std::string& model) { return model == "RXA410LT" ? ParamEntryCount : ParamEntryCount - 1; }

namespace {

enum class TBattList { Rxa410, Rxa205, Tmv5800 };

TBattList BattListOf(const std::string& model) {
  if (model == "RXA205") return TBattList::Rxa205;
  if (model == "TMV5800") return TBattList::Tmv5800;
  return TBattList::Rxa410;  // "RXA410", "RXA410LT", "GDS7100"
}

std::vector<TChoice> Percentages(std::initializer_list<int> values) {
  std::vector<TChoice> list;
  for (int v : values) list.push_back({std::to_string(v) + "%", v});
  return list;
}

// "2.30" ... for hundredths first..last.
std::vector<TChoice> CellVolts(int first, int last) {
  std::vector<TChoice> list;
  for (int v = first; v <= last; ++v) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", v / 100, v % 100);
    list.push_back({text, v});
  }
  return list;
}

int IndexOfValue(const std::vector<TChoice>& list, int value) {
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i].Value == value) return static_cast<int>(i);
  return -1;
}

uint16_t DeviceValue(const TDeviceParams& dev, int reg) {
  switch (reg) {
    case 40002: return dev.SysId;
    case 40004: return static_cast<uint16_t>(dev.WorkMode);
    case 40005: return dev.VoltLevel;
    case 40006: return dev.FreqLevel;
    case 40007: return dev.ParallelNum;
    case 40008: return dev.RedundancyNum;
    case 40011: return dev.BypassFreqRange;
    case 40012: return dev.BypassVoltMax;
    case 40013: return static_cast<uint16_t>(dev.BypassVoltMin);
    case 40014: return dev.OutputVoltFine;
    case 40015: return dev.BattNum;
    case 40017: return dev.BattGroup;
    case 40018: return dev.BoostVolt;
    case 40019: return dev.FloatVolt;
    case 40020: return dev.EodVolt;
    case 40021: return dev.BattCapAh;
    case 40023: return dev.MaxChargeCurr;
    case 40025: return dev.BoostLastTime;
    case 40027: return dev.ConfigFlags;
    case 40029: return dev.OperationMode;
    default: return 0;
  }
}

// Hundredths of a decimal number "d.dd...", the digits beyond truncated; the
// flag tells whether any of them was not 0. Exact: no floating point.
struct THundredths {
  int Value;
  bool Rest;
};
std::optional<THundredths> Hundredths(const std::string& text) {
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string frac = point == std::string::npos ? "" : text.substr(point + 1);
  if (whole.empty() || whole.size() > 4 || frac.find('.') != std::string::npos) return std::nullopt;
  for (char c : whole + frac)
    if (c < '0' || c > '9') return std::nullopt;
  int value = std::stoi(whole) * 100;
  if (frac.size() > 0) value += (frac[0] - '0') * 10;
  if (frac.size() > 1) value += frac[1] - '0';
  bool rest = frac.size() > 2 && frac.find_first_not_of('0', 2) != std::string::npos;
  return THundredths{value, rest};
}

}  // namespace

std::vector<TChoice> ParamChoices(int entry, const std::string& model, const TDeviceParams& dev, uint8_t language) {
  const bool rxa205 = model == "RXA205";
  switch (entry) {
    case 0:
      if (language == 1) return {{"正常模式", 0}, {"ECO", 1}, {"并机模式", 4}};
      return {{"Normal", 0}, {"ECO", 1}, {"Parallel", 4}};
    case 1:
      if (rxa205) return {{"110V", 110}, {"115V", 115}, {"120V", 120}, {"127V", 127}};
      return {{"220V", 220}, {"230V", 230}, {"240V", 240}};
    case 2: return {{"50Hz", 50}, {"60Hz", 60}};
    case 3: return Percentages({1, 2, 4, 5, 10});
    case 4: {
      std::vector<TChoice> list = Percentages({10, 15});
      if (dev.VoltLevel == 230 || dev.VoltLevel <= 220) list.push_back({"20%", 20});
      if (dev.VoltLevel <= 220) list.push_back({"25%", 25});
      return list;
    }
    case 5: {
      std::vector<TChoice> list = {{"-45%", -45}, {"-30%", -30}, {"-20%", -20}};
      if (dev.VoltLevel <= 127 || rxa205) list.push_back({"-10%", -10});
      return list;
    }
    case 6:
      return {{"0%", 0}, {"1%", 10}, {"2%", 20}, {"3%", 30}, {"4%", 40}, {"5%", 50}};
    case 7: {
      std::vector<TChoice> list;
      switch (BattListOf(model)) {
        case TBattList::Rxa205: return {{"24", 24}};
        case TBattList::Tmv5800:
          for (int n = 16; n <= 20; n += 2) list.push_back({std::to_string(n), n});
          return list;
        case TBattList::Rxa410:
          for (int n = 26; n <= 40; n += 2) list.push_back({std::to_string(n), n});
          return list;
      }
      return list;
    }
    case 9: return CellVolts(230, 240);
    case 10: return CellVolts(220, 229);
    case EntryOperationMode:
      if (language == 1) return {{"普通模式", 0}, {"变频模式", 2}};
      return {{"Normal", 0}, {"Freq Variable", 2}};
    default: return {};
  }
}

int ShownChoice(int entry, const std::string& model, const TDeviceParams& dev) {
  const std::vector<TChoice> list = ParamChoices(entry, model, dev, 0);
  const int size = static_cast<int>(list.size());
  auto within = [size](int index) { return index >= 0 && index < size ? index : -1; };
  switch (entry) {
    case 4: {
      const int v = dev.BypassVoltMax;
      if (v <= 10) return 0;
      if (v <= 15) return 1;
      if (v <= 20) return within(2);
      if (v <= 24) return -1;
      return within(3);
    }
    case 6: {
      const int v = static_cast<int16_t>(dev.OutputVoltFine);
      return v < 10 ? 0 : std::min(v / 10, 5);
    }
    case 7:
      switch (BattListOf(model)) {
        case TBattList::Rxa205: return 0;
        case TBattList::Tmv5800:
          return dev.BattNum % 2 == 0 ? within(dev.BattNum / 2 - 8) : -1;
        case TBattList::Rxa410:
          return dev.BattNum % 2 == 0 ? within(dev.BattNum / 2 - 13) : -1;
      }
      return -1;
    case 0: return IndexOfValue(list, dev.WorkMode);
    case 5: return IndexOfValue(list, dev.BypassVoltMin);
    default: return IndexOfValue(list, DeviceValue(dev, ParamDefs[static_cast<size_t>(entry)].Reg));
  }
}

std::string ShownNumber(int entry, const TDeviceParams& dev) {
  if (entry == 11) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%02d", dev.EodVolt / 100, dev.EodVolt % 100);
    return text;
  }
  return std::to_string(DeviceValue(dev, ParamDefs[static_cast<size_t>(entry)].Reg));
}

TParamCheck CheckParam(int entry, const TParamInput& input, const TDeviceParams& dev) {
  const TParamDef& def = ParamDefs[static_cast<size_t>(entry)];
  TParamCheck check;
  check.Message = def.Message;
  auto valid = [&check](int value) {
    check.Ok = true;
    check.Value = static_cast<uint16_t>(value);
    check.Message.clear();
    return check;
  };
  switch (def.Kind) {
    case K::Choice:
      if (input.ChoiceValue) return valid(*input.ChoiceValue);
      return check;
    case K::Switches:
      return valid((input.BuzzerDisable ? 4096 : 0) | (input.BoostDisable ? 8192 : 0));
    case K::Decimal: {
      const std::optional<THundredths> h = Hundredths(input.Text);
      if (h && h->Value >= 120 && (h->Value < 190 || (h->Value == 190 && !h->Rest))) {
        char text[16];
        std::snprintf(text, sizeof text, "%d.%02d", h->Value / 100, h->Value % 100);
        check.Correction = text;
        return valid(h->Value);
      }
      check.Correction = "1.80";
      return check;
    }
    case K::Number: break;
  }
  const std::optional<uint16_t> number = WholeNumber(input.Text);
  const int n = number ? *number : -1;
  switch (def.Reg) {
    case 40017: if (n >= 1 && n <= 8) return valid(n); break;
    case 40021: if (n >= 1 && n <= 2000) return valid(n); break;
    case 40023: {
      const int limit = dev.BattCapAh * dev.BattGroup / 4;
      if (n >= 0 && n <= limit) return valid(n);
      check.Correction = std::to_string(limit);
      break;
    }
    case 40025:
      if (n >= 0 && n <= 600) return valid(n);
      check.Correction = "30";
      break;
    case 40007: if (n >= 0 && n <= 0xFF) return valid(n); break;  // an 8-bit field
    case 40008:
      if (n == 0 || (n > 0 && n < dev.ParallelNum)) return valid(n);
      check.Correction = std::to_string(dev.ParallelNum == 0 ? 0 : dev.ParallelNum - 1);
      break;
    case 40002: if (n >= 1 && n <= 14) return valid(n); break;
    default: break;
  }
  return check;
}

void StoreParam(TParamImage& image, int reg, uint16_t value) {
  const auto low = static_cast<uint8_t>(value & 0xFF);
  switch (reg) {
    case 40002: image.SysId = low; break;
    case 40004: image.WorkMode = static_cast<int16_t>(value); break;
    case 40005: image.VoltLevel = low; break;
    case 40006: image.FreqLevel = low; break;
    case 40007: image.ParallelNum = low; break;
    case 40008: image.RedundancyNum = low; break;
    case 40011: image.BypassFreqRange = low; break;
    case 40012: image.BypassVoltMax = low; break;
    case 40013: image.BypassVoltMin = static_cast<int16_t>(value); break;
    case 40014: image.OutputVoltFine = value; break;
    case 40015: image.BattNum = value; break;
    case 40017: image.BattGroup = value; break;
    case 40018: image.BoostVolt = value; break;
    case 40019: image.FloatVolt = value; break;
    case 40020: image.EodVolt = value; break;
    case 40021: image.BattCapAh = value; break;
    case 40023: image.MaxChargeCurr = value; break;
    case 40025: image.BoostLastTime = value; break;
    case 40027: image.ConfigFlags = value; break;
    case 40029: image.OperationMode = low; break;
    default: break;
  }
}

uint16_t DeviceParamValue(const TDeviceParams& dev, int reg) { return DeviceValue(dev, reg); }

void LoadParamImage(TCommandQueue& queue, const TDeviceParams& dev) {
  for (const TParamDef& def : ParamDefs)
    if (FindPending(queue, def.Reg) < 0) StoreParam(queue.ParamImage, def.Reg, DeviceValue(dev, def.Reg));
}

TSetResult PressParamSet(TContext& ctx, uint8_t addr, bool portOpen, int entry, const TParamInput& input,
                         const std::function<bool(const TCommandRequest&)>& confirm) {
  TSetResult result;
  if (!portOpen) {
    result.Outcome = TSetOutcome::PortOff;
    return result;
  }
  result.Check = CheckParam(entry, input, ctx.UpsInfo[addr].Params);
  if (!result.Check.Ok) {
    result.Outcome = TSetOutcome::Invalid;
    return result;
  }
  const int reg = ParamDefs[static_cast<size_t>(entry)].Reg;
  const TCommandRequest request{addr, TCommandKind::ParamWrite, reg, result.Check.Value};
  if (confirm && CheckCommand(ctx, request, portOpen) == TCommandCheck::Ok && !confirm(request)) {
    result.Outcome = TSetOutcome::Declined;
    return result;
  }
  const TCommandTicket ticket = QueueControlCommand(ctx, request, portOpen);
  result.Refusal = ticket.Check;
  result.Id = ticket.Id;
  switch (ticket.Check) {
    case TCommandCheck::Ok: result.Outcome = TSetOutcome::Queued; break;
    case TCommandCheck::NoCommands:
      StoreParam(ctx.CommandQueue.ParamImage, reg, result.Check.Value);
      result.Outcome = TSetOutcome::Stored;
      break;
    default: result.Outcome = TSetOutcome::Refused; break;
  }
  return result;
}

}  // namespace tessaro
