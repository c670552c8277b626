#include "control/Control.h"

#include "core/ProtocolTraits.h"

#include <cstdio>
#include <string_view>

#include "control/CommandSlots.h"
#include "control/ParamTable.h"
#include "core/DeviceName.h"
#include "core/ProtocolTraits.h"
#include "engine/Context.h"

namespace tessaro {

std::optional<uint16_t> TestTimeValue(const std::string& text) { return WholeNumber(text); }

bool ProtocolTakesCommands(uint8_t protocol) { return ProtocolTraits(protocol).TakesCommands; }

namespace {

const TDeviceNode* NodeOf(const TDeviceList& list, uint8_t addr) {
  for (int i = 1; i <= list.Count; ++i)
    if (list.Nodes[static_cast<size_t>(i)].Address == addr) return &list.Nodes[static_cast<size_t>(i)];
  return nullptr;
}

const TParamDef* ParamOf(int reg) {
  for (const TParamDef& def : ParamDefs)
    if (def.Reg == reg) return &def;
  return nullptr;
}

int CommandRegister(TCommandKind kind) {
  switch (kind) {
    case TCommandKind::LoadOn: return RegRemoteOn;
    case TCommandKind::LoadOff: return RegRemoteOff;
    default: return RegBatteryTest;
  }
}

uint16_t CommandValueOf(const TCommandRequest& r) {
  switch (r.Kind) {
    case TCommandKind::BatteryTest: return r.Value;
    case TCommandKind::CancelTest: return 0;
    default: return 1;  // on and off
  }
}

std::string Pick(uint8_t language, const char* zh, const char* en) { return language == 1 ? zh : en; }

// The text with "{d}", "{n}", "{p}" and "{o}" replaced by the device, a
// number, a name and an old number, in one pass: a device name holding such a
// mark stays as it is.
std::string Fill(const std::string& text, const std::string& device, const std::string& number = {},
                 const std::string& name = {}, const std::string& old = {}) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const std::string_view mark = std::string_view(text).substr(i, 3);
    const std::string* value = mark == "{d}"   ? &device
                               : mark == "{n}" ? &number
                               : mark == "{p}" ? &name
                               : mark == "{o}" ? &old
                                               : nullptr;
    if (value) {
      out += *value;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ParamName(int reg, uint8_t language) {
  const TParamDef* def = ParamOf(reg);
  return def ? Pick(language, def->Zh, def->En) : Pick(language, "寄存器 ", "register ") + std::to_string(reg);
}

std::string Hundredths(uint16_t value) {
  const std::string cents = std::to_string(value % 100);
  return std::to_string(value / 100) + "." + (cents.size() < 2 ? "0" : "") + cents;
}

std::string ParamValueText(int reg, uint16_t value) {
  switch (reg) {
    case 40013: return std::to_string(static_cast<int16_t>(value));  // the bypass lower limit is signed
    case 40018:
    case 40019:
    case 40020: return Hundredths(value);  // volts per cell
    default: return std::to_string(value);
  }
}

std::string ParamValueText(const TCommandRequest& r) { return ParamValueText(r.Reg, r.Value); }

const char* ExceptionName(uint8_t code, uint8_t language) {
  struct TName {
    uint8_t Code;
    const char* Zh;
    const char* En;
  };
  static const TName names[] = {
      {1, "非法功能", "illegal function"},
      {2, "非法数据地址", "illegal data address"},
      {3, "非法数据值", "illegal data value"},
      {4, "从站设备故障", "device failure"},
      {5, "已接受,处理中", "acknowledged, still processing"},
      {6, "从站设备忙", "device busy"},
      {8, "存储奇偶校验错误", "memory parity error"},
      {10, "网关路径不可用", "gateway path unavailable"},
      {11, "网关目标设备无响应", "gateway target did not respond"},
  };
  for (const TName& n : names)
    if (n.Code == code) return language == 1 ? n.Zh : n.En;
  return language == 1 ? "未知异常" : "unknown exception";
}

}  // namespace

TCommandCheck CheckCommand(const TContext& ctx, const TCommandRequest& request, bool portOpen) {
  if (!ProtocolTakesCommands(ctx.Settings.PortInfo.Protocol)) return TCommandCheck::NoCommands;
  if (request.Addr == 0) return TCommandCheck::NoDevice;
  if (!portOpen) return TCommandCheck::PortClosed;
  if (request.Addr > MaxAddress || !NodeOf(ctx.DeviceList, request.Addr)) return TCommandCheck::NotConfigured;
  // A command to a device that is not heard could not be confirmed, and
  // would go out whenever the device came back.
  if (ctx.UpsInfo[request.Addr].CommState != 0) return TCommandCheck::NotLinked;
  if (request.Kind == TCommandKind::ParamWrite) {
    if (!ParamOf(request.Reg)) return TCommandCheck::UnknownParameter;
    // ParamImage holds one value per register for every device: while a write
    // of this register to another device waits, a new value would go there too.
    const int waiting = FindPending(ctx.CommandQueue, request.Reg);
    if (waiting >= 0 && ctx.CommandQueue[waiting].Addr != request.Addr) return TCommandCheck::Busy;
  }
  return TCommandCheck::Ok;
}

TCommandTicket QueueControlCommand(TContext& ctx, const TCommandRequest& request, bool portOpen) {
  TCommandTicket ticket;
  ticket.Check = CheckCommand(ctx, request, portOpen);
  if (ticket.Check != TCommandCheck::Ok) return ticket;
  TCommandQueue& queue = ctx.CommandQueue;
  const bool param = request.Kind == TCommandKind::ParamWrite;
  const TSlotResult slot =
      param ? QueueParamWrite(queue, request.Addr, request.Reg, ctx.SelectedModel == "GDS7100")
            : QueueCommand(queue, request.Addr, CommandRegister(request.Kind), CommandValueOf(request));
  if (!slot.Queued) {
    ticket.Check = TCommandCheck::QueueFull;
    return ticket;
  }
  if (param) StoreParam(queue.ParamImage, request.Reg, request.Value);
  const int64_t now = ctx.Clock.MonotonicMs();
  ticket.Id = ctx.Commands.Add(request, now);
  queue[slot.Index].Id = ticket.Id;
  ctx.Commands.Resolve(slot.Replaced, TCommandState::Superseded, now);
  return ticket;
}

std::string CheckText(TCommandCheck check, uint8_t language) {
  switch (check) {
    case TCommandCheck::Ok: return {};
    case TCommandCheck::NoCommands:
      return Pick(language, "当前协议不能向设备发送命令!", "The selected protocol cannot send commands to devices.");
    case TCommandCheck::NoDevice: return Pick(language, "请先选择一台设备!", "Please select a device first.");
    case TCommandCheck::NotConfigured:
      return Pick(language, "该设备不在设备列表中!", "The device is not in the device list.");
    case TCommandCheck::NotLinked: return Pick(language, "该设备未联机!", "The device is not communication!");
    case TCommandCheck::PortClosed:
      return Pick(language, "串口已关闭,命令未发送!", "The serial port is closed; nothing was sent.");
    case TCommandCheck::UnknownParameter:
      return Pick(language, "该寄存器不是可设置的参数!", "That register is not a parameter that can be set.");
    case TCommandCheck::Busy:
      return Pick(language, "该参数发往另一设备的设置尚未发出,请稍后再试!",
                  "A value of this parameter for another device is still waiting to be sent; "
                  "please try again in a moment.");
    case TCommandCheck::QueueFull:
      return Pick(language, "待发送的命令过多,请稍后再试!",
                  "Too many commands are waiting to be sent; please try again in a moment.");
  }
  return {};
}

std::string DeviceText(const TContext& ctx, uint8_t addr, uint8_t language) {
  const TDeviceNode* node = NodeOf(ctx.DeviceList, addr);
  const std::string name = node ? ShownDeviceNameText(node->Name) : std::string();
  const std::string number = std::to_string(addr);
  if (name.empty()) return Fill(Pick(language, "地址 {n} 的UPS", "the UPS at address {n}"), {}, number);
  return Fill(Pick(language, "UPS“{p}”(地址 {n})", "UPS \"{p}\" (address {n})"), {}, number, name);
}

std::string ConfirmQuestion(const TContext& ctx, const TCommandRequest& request, uint8_t language) {
  const std::string device = DeviceText(ctx, request.Addr, language);
  switch (request.Kind) {
    case TCommandKind::LoadOff:
      return Fill(Pick(language, "确定要关闭{d}吗?\n\n关机后UPS停止输出,由它供电的设备将断电。",
                       "Switch off {d}?\n\nIts output stops: the equipment it feeds loses power."),
                  device);
    case TCommandKind::LoadOn:
      return Fill(Pick(language, "确定要开启{d}吗?\n\n开机后UPS恢复输出,接在它上面的设备将重新得电。",
                       "Switch on {d}?\n\nIts output starts: the equipment connected to it is powered again."),
                  device);
    case TCommandKind::BatteryTest:
      return Fill(Pick(language,
                       "确定要对{d}进行{n}秒的电池自检吗?\n\n自检期间由电池为负载供电;电池不足时,由它供电的设备可能断电。",
                       "Start a battery test of {n} seconds on {d}?\n\nDuring the test the load runs on the battery; "
                       "a weak battery can leave the equipment it feeds without power."),
                  device, std::to_string(request.Value));
    case TCommandKind::CancelTest:
      return Fill(Pick(language, "确定要取消{d}的电池自检吗?\n\nUPS将停止电池放电,恢复正常供电。",
                       "Cancel the battery test on {d}?\n\nThe UPS stops discharging its battery and returns to its "
                       "normal supply."),
                  device);
    case TCommandKind::ParamWrite: {
      const std::string old = request.Addr <= MaxAddress
                                  ? ParamValueText(request.Reg, DeviceParamValue(ctx.UpsInfo[request.Addr].Params, request.Reg))
                                  : "?";
      return Fill(Pick(language, "确定要将{d}的“{p}”从{o}改为{n}吗?\n\nUPS将立即采用新的设置。",
                       "Set \"{p}\" of {d} from {o} to {n}?\n\nThe UPS takes the new setting at once."),
                  device, ParamValueText(request), ParamName(request.Reg, language), old);
    }
  }
  return {};
}

std::string CommandText(const TCommandRequest& request, uint8_t language) {
  switch (request.Kind) {
    case TCommandKind::LoadOff: return Pick(language, "关机", "Switch off");
    case TCommandKind::LoadOn: return Pick(language, "开机", "Switch on");
    case TCommandKind::BatteryTest:
      return Fill(Pick(language, "电池自检{n}秒", "Battery test of {n} s"), {}, std::to_string(request.Value));
    case TCommandKind::CancelTest: return Pick(language, "取消电池自检", "Cancel battery test");
    case TCommandKind::ParamWrite:
      return Fill(Pick(language, "设置“{p}”为{n}", "Set \"{p}\" to {n}"), {}, ParamValueText(request),
                  ParamName(request.Reg, language));
  }
  return {};
}

std::string OutcomeText(const TTrackedCommand& command, uint8_t language) {
  switch (command.State) {
    case TCommandState::Pending: return Pick(language, "已排队,等待发送", "queued, waiting to be sent");
    case TCommandState::Confirmed: return Pick(language, "设备已确认", "confirmed by the device");
    case TCommandState::Refused:
      return Fill(Pick(language, "设备拒绝(异常码 {n}:{p})", "refused by the device (exception {n}: {p})"), {},
                  std::to_string(command.ExceptionCode), ExceptionName(command.ExceptionCode, language));
    // The request or its echo may only be held up on the line: the device may yet act on it.
    case TCommandState::NotAnswered:
      return Pick(language, "设备未确认,命令仍可能被执行", "no confirmation from the device; it may still act");
    case TCommandState::ConfirmedLate:
      return Pick(language, "设备已确认(确认迟到)", "confirmed late by the device");
    case TCommandState::Superseded:
      return Pick(language, "发送前已被新的命令取代", "replaced by a newer command before it was sent");
    case TCommandState::NotSent:
      return Pick(language, "未发送:串口已关闭", "not sent: the serial port closed");
  }
  return {};
}

std::string OutcomeLine(const TContext& ctx, const TTrackedCommand& command, uint8_t language) {
  return CommandText(command.Request, language) + Pick(language, ",", ", ") +
         DeviceText(ctx, command.Request.Addr, language) + Pick(language, ":", ": ") + OutcomeText(command, language);
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
