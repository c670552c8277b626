#include "tools/sim/SimBus.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "tools/sim/SimFrames.h"

namespace tessaro::sim {

namespace {

// Silence after which a Modbus request of unknown length is taken whole
// (far above the 3.5 characters of RTU, because a pty has no baud rate).
constexpr double ModbusIdleGap = 0.05;
// Silence after which the start of an ASCII request without its CR is dropped.
constexpr double AsciiIdleGap = 1.0;
constexpr size_t MaxPending = 1024;

const double Sqrt3 = std::sqrt(3.0);

// Unsigned 16-bit of value × factor, rounded and clamped.
unsigned W(double value, double factor) {
  return static_cast<unsigned>(std::clamp(std::round(value * factor), 0.0, 65535.0));
}

std::string F(double value) { return FloatHexLsbFirst(static_cast<float>(value)); }

unsigned Be16(const std::string& frame, size_t pos) {
  return (static_cast<unsigned char>(frame[pos]) << 8) | static_cast<unsigned char>(frame[pos + 1]);
}

void PutBe16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Shortest well-formed request of a function, CRC included: its fixed fields
// must be there before they are read. Function 16 checks its data below.
size_t MinModbusRequest(unsigned fn) {
  switch (fn) {
    case 3:
    case 4:
    case 6:
      return 8;  // addr fn reg(2) count-or-value(2) crc(2)
    case 16:
      return 9;  // addr fn reg(2) n(2) bytes(1) crc(2)
    default:
      return 4;  // addr fn crc(2)
  }
}

bool IsAscii(TSimProtocol p) { return p != TSimProtocol::Modbus; }

const char* VerOf(TSimProtocol p) { return p == TSimProtocol::Quorvan ? "11" : "31"; }

}  // namespace

std::string Printable(const std::string& bytes, bool ascii) {
  std::string out;
  char buf[8];
  for (unsigned char c : bytes) {
    if (ascii && c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (ascii && c == '\r') {
      out += "\\r";
    } else {
      std::snprintf(buf, sizeof buf, ascii ? "\\x%02X" : "%02X ", c);
      out += buf;
    }
  }
  if (!ascii && !out.empty()) out.pop_back();
  return out;
}

TSimBus::TSimBus(const TSimOptions& options, uint64_t seed, TLogger log) : FOptions(options), FLog(std::move(log)) {
  for (int address : options.Devices) FDevices.push_back(std::make_unique<TSimDevice>(address, seed, options));
}

TSimDevice* TSimBus::Find(int address) {
  for (auto& d : FDevices)
    if (d->Address() == address) return d.get();
  return nullptr;
}

void TSimBus::Receive(const std::string& bytes, double now, std::vector<TScheduledWrite>& out) {
  FRx += bytes;
  FLastRx = now;
  if (IsAscii(FOptions.Protocol)) ExtractAscii(now, out);
  else ExtractModbus(now, out);
  if (FRx.size() > MaxPending) {
    FLog("dropping " + std::to_string(FRx.size()) + " bytes without a request in them");
    FRx.clear();
  }
}

double TSimBus::IdleDeadline() const {
  if (FRx.empty()) return -1;
  return FLastRx + (IsAscii(FOptions.Protocol) ? AsciiIdleGap : ModbusIdleGap);
}

void TSimBus::Idle(double now, std::vector<TScheduledWrite>& out) {
  if (FRx.empty() || now < IdleDeadline()) return;
  std::string chunk;
  chunk.swap(FRx);
  if (!IsAscii(FOptions.Protocol) && chunk.size() >= 4 && CrcValid(chunk)) {
    HandleModbus(chunk, now, out);
    return;
  }
  FLog("dropping incomplete request: " + Printable(chunk, IsAscii(FOptions.Protocol)));
}

// ---------------------------------------------------------------- Modbus RTU

void TSimBus::ExtractModbus(double now, std::vector<TScheduledWrite>& out) {
  while (FRx.size() >= 2) {
    const unsigned fn = static_cast<unsigned char>(FRx[1]);
    size_t need = 0;
    if (fn >= 1 && fn <= 6) {
      need = 8;  // addr fn reg(2) count-or-value(2) crc(2)
    } else if (fn == 15 || fn == 16) {
      if (FRx.size() < 7) return;
      need = 9 + static_cast<unsigned char>(FRx[6]);  // addr fn reg(2) n(2) bytes(1) data crc(2)
    } else {
      return;  // unknown length: Idle takes the chunk whole
    }
    if (FRx.size() < need) return;
    std::string frame = FRx.substr(0, need);
    if (CrcValid(frame)) {
      FRx.erase(0, need);
      HandleModbus(frame, now, out);
    } else {
      FRx.erase(0, 1);  // resynchronise on the next byte
    }
  }
}

bool TSimBus::ModbusWrite(TSimDevice* device, int firstReg, const std::vector<uint16_t>& values, double now,
                          uint8_t& exception) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (!TSimDevice::IsWritable(firstReg + static_cast<int>(i))) {
      exception = 2;
      return false;
    }
  }
  if (device) {
    for (size_t i = 0; i < values.size(); ++i) device->Write(firstReg + static_cast<int>(i), values[i], now);
  } else {  // broadcast
    for (auto& d : FDevices) {
      if (d->Silent(now)) continue;
      for (size_t i = 0; i < values.size(); ++i) d->Write(firstReg + static_cast<int>(i), values[i], now);
    }
  }
  return true;
}

void TSimBus::HandleModbus(const std::string& frame, double now, std::vector<TScheduledWrite>& out) {
  FRequestLen = frame.size();
  const int address = static_cast<unsigned char>(frame[0]);
  const unsigned fn = static_cast<unsigned char>(frame[1]);
  // A short chunk can still end in a valid CRC (Idle takes it whole); a
  // device ignores such a frame.
  if (frame.size() < MinModbusRequest(fn)) {
    FLog("dropping short request: " + Printable(frame, false));
    return;
  }
  TSimDevice* device = address == 0 ? nullptr : Find(address);
  if (address != 0 && (!device || device->Silent(now))) {
    if (FOptions.Verbose) FLog("request to silent address " + std::to_string(address) + ": " + Printable(frame, false));
    return;
  }
  if (FOptions.Verbose) FLog("request: " + Printable(frame, false));

  std::string body(frame, 0, 2);
  uint8_t exception = 0;
  switch (fn) {
    case 3:
    case 4: {
      const unsigned count = Be16(frame, 4);
      const int first = static_cast<int>(Be16(frame, 2)) + 1;
      if (count < 1 || count > 125) {
        exception = 3;
        break;
      }
      for (unsigned i = 0; i < count && !exception; ++i) {
        const int reg = first + static_cast<int>(i);
        if (!(fn == 4 ? TSimDevice::IsInputRegister(reg) : TSimDevice::IsHoldingRegister(reg))) exception = 2;
      }
      if (exception || !device) break;
      const TLiveValues live = fn == 4 ? device->Sample(now) : TLiveValues{};
      body.push_back(static_cast<char>(2 * count));
      for (unsigned i = 0; i < count; ++i) {
        const int reg = first + static_cast<int>(i);
        PutBe16(body, fn == 4 ? TSimDevice::InputRegister(live, reg) : device->HoldingRegister(reg));
      }
      break;
    }
    case 6:
      if (ModbusWrite(device, static_cast<int>(Be16(frame, 2)) + 1, {static_cast<uint16_t>(Be16(frame, 4))}, now,
                      exception))
        body = frame.substr(0, 6);  // echo
      break;
    case 16: {
      const unsigned n = Be16(frame, 4);
      const unsigned byteCount = static_cast<unsigned char>(frame[6]);
      if (n < 1 || n > 123 || byteCount != 2 * n || frame.size() != 9 + 2 * n) {
        exception = 3;
        break;
      }
      std::vector<uint16_t> values;
      for (unsigned i = 0; i < n; ++i) values.push_back(static_cast<uint16_t>(Be16(frame, 7 + 2 * i)));
      if (ModbusWrite(device, static_cast<int>(Be16(frame, 2)) + 1, values, now, exception))
        body = frame.substr(0, 6);  // addr 16 start n
      break;
    }
    default:
      exception = 1;
  }
  if (!device) return;  // broadcasts are never answered
  if (exception) body = std::string{frame[0], static_cast<char>(fn | 0x80), static_cast<char>(exception)};
  Emit(*device, {body, 0}, now, out);
}

// ------------------------------------------------------------------- ASCII

void TSimBus::ExtractAscii(double now, std::vector<TScheduledWrite>& out) {
  for (;;) {
    const size_t soi = FRx.find('~');
    if (soi == std::string::npos) {
      if (!FRx.empty() && FOptions.Verbose) FLog("ignoring bytes outside a frame: " + Printable(FRx, true));
      FRx.clear();
      return;
    }
    FRx.erase(0, soi);
    const size_t eoi = FRx.find('\r');
    if (eoi == std::string::npos) return;
    std::string frame = FRx.substr(0, eoi + 1);
    FRx.erase(0, eoi + 1);
    // A "~" inside means the start of an earlier request was cut off.
    const size_t last = frame.rfind('~');
    if (last != 0) {
      FLog("dropping incomplete request: " + Printable(frame.substr(0, last), true));
      frame.erase(0, last);
    }
    HandleAscii(frame, now, out);
  }
}

void TSimBus::HandleAscii(const std::string& frame, double now, std::vector<TScheduledWrite>& out) {
  FRequestLen = frame.size();
  // ~ VER ADR CID1 CID2 LENGTH INFO CHKSUM CR
  // 0 1   3   5    7    9      13   n-5    n-1
  const size_t n = frame.size();
  const int address = n >= 5 ? ParseHex(frame, 3, 2) : -1;
  TSimDevice* device = address > 0 ? Find(address) : nullptr;
  if (n < 18 || !device || device->Silent(now)) {
    if (FOptions.Verbose) FLog("request not answered: " + Printable(frame, true));
    return;
  }
  if (FOptions.Verbose) FLog("request: " + Printable(frame, true));
  const std::string ver = VerOf(FOptions.Protocol);
  TReply reply;
  if (frame.compare(n - 5, 4, AsciiChecksum(frame.substr(0, n - 5))) != 0) {
    reply.Rtn = 2;  // CHKSUM error
  } else if (frame.compare(1, 2, ver) != 0) {
    reply.Rtn = 1;  // VER error
  } else if (frame.compare(9, 4, LengthField(static_cast<unsigned>(n - 18))) != 0) {
    reply.Rtn = 3;  // LCHKSUM / LENGTH error
  } else if (frame.compare(5, 2, "2A") != 0) {
    reply.Rtn = 4;
  } else {
    bool known = false;
    reply.Body = AsciiInfo(*device, frame.substr(7, 2), now, known);
    if (!known) reply.Rtn = 4;  // CID2 invalid
  }
  Emit(*device, reply, now, out);
}

std::string TSimBus::AsciiInfo(TSimDevice& device, const std::string& cid2, double now, bool& known) {
  known = true;
  const TLiveValues v = device.Sample(now);
  std::string info = "00";  // DATAFLAG
  if (FOptions.Protocol == TSimProtocol::Ydt) {
    if (cid2 == "42") {
      // 13 flag | 15 19 23 input V A B C | 27 31 35 output V | 39 43 47 output A | 51 DC V | 55 Hz | 59 end
      for (double x : v.InputVolt) info += Hex4(W(x, 100));
      for (double x : v.OutputVolt) info += Hex4(W(x, 100));
      for (double x : v.OutputCurr) info += Hex4(W(x, 100));
      info += Hex4(W(v.BattVoltPos + v.BattVoltNeg, 100));
      info += Hex4(W(v.OutputFreq, 100));
    } else if (cid2 == "43") {
      // 13 flag | 15 reserved(4) | 19 UpsState(2) | 21 CmmState1 | 25 InvState1 | 29 InvState2 | 33 SysState(2) | 35 end
      info += "0000" + Hex2(v.UpsState) + Hex4(v.CmmState1) + Hex4(v.InvState1) + Hex4(v.InvState2) + Hex2(v.SysState);
    } else if (cid2 == "44") {
      // 13 flag | 15 nine reserved bytes | 33 CmmAlarm1 | 37 CmmAlarm2 | 41 InvAlarm1 | 45 InvAlarm2 | 49 SysAlarm(2) | 51 end
      info += std::string(18, '0') + Hex4(v.CmmAlarm1) + Hex4(v.CmmAlarm2) + Hex4(v.InvAlarm1) + Hex4(v.InvAlarm2) +
              Hex2(v.SysAlarm & 0xFF);
    } else if (cid2 == "80") {
      // 13 flag | 15 + 4k, k = 0..35 words:
      //   k0-2 output kW x100 | k3-5 output kVA x100 | k6-8 power factor x100 | k9-11 input A x100
      //   k12-14 output A x100 | k15-19 reserved | k20-22 (95 99 103) load % | k23-25 crest factor x100
      //   k26-31 reserved | k32 (143) charge A+ | k33 charge A- | k34 discharge A+ | k35 (155) discharge A- (x100)
      // 159 end
      for (double x : v.Load) info += Hex4(W(x / 100.0 * 9.0, 100));
      for (double x : v.Load) info += Hex4(W(x / 100.0 * 10.0, 100));
      for (int i = 0; i < 3; ++i) info += Hex4(v.Load[i] > 0 ? 90 : 0);
      for (double x : v.OutputCurr) info += Hex4(W(v.OnBattery ? 0.0 : x * 1.05, 100));
      for (double x : v.OutputCurr) info += Hex4(W(x, 100));
      for (int i = 0; i < 5; ++i) info += "0000";
      for (double x : v.Load) info += Hex4(W(x, 1));
      for (int i = 0; i < 3; ++i) info += Hex4(140);
      for (int i = 0; i < 6; ++i) info += "0000";
      info += Hex4(W(v.ChargeCurrPos, 100)) + Hex4(W(v.ChargeCurrNeg, 100));
      info += Hex4(W(v.DischargeCurrPos, 100)) + Hex4(W(v.DischargeCurrNeg, 100));
    } else if (cid2 == "82") {
      // 13 flag | 15 battery V+ x100 | 19 battery V- x100 | 23 temperature x100 | 27 31 reserved
      // 35 backup time, min | 39 capacity % | 43 end
      info += Hex4(W(v.BattVoltPos, 100)) + Hex4(W(v.BattVoltNeg, 100)) + Hex4(W(v.BattTemp, 100)) + "00000000";
      info += Hex4(W(v.BackupMin, 1)) + Hex4(static_cast<unsigned>(v.Capacity));
    } else {
      known = false;
    }
    return info;
  }

  // Power-frequency UPS: floats are IEEE singles, least significant byte first.
  if (cid2 == "41") {
    // 13 flag | 15 + 8k: k0-2 input line-to-line V | k3-5 (39 47 55) output V | k6-8 output A
    //   k9 (87) DC V | k10 (95) output Hz | 103 end
    for (double x : v.InputVolt) info += F(x * Sqrt3);
    for (double x : v.OutputVolt) info += F(x);
    for (double x : v.OutputCurr) info += F(x);
    info += F(v.BattVoltPos + v.BattVoltNeg);
    info += F(v.OutputFreq);
  } else if (cid2 == "43") {
    // 13 flag | 15 UpsSupply | 17 rectifier | 19 BattTest | 21 charger | 23 reserved | 25 InputSupply
    // 27 reserved | 29 InputSwitch | 31 MaintSwitch | 33 BypassSwitch | 35 OutputSwitch | 37 end
    info += v.OutputOff ? "E9" : "01";
    info += "E0";
    info += v.BattTest ? "E0" : "E1";
    info += "E0E0";
    info += (v.OnBattery || v.BattTest) ? "E1" : "E0";
    info += "E0";
    info += "E1E0E1E1";
  } else if (cid2 == "44") {
    // 13 flag | 15 b0..b6 (to 28) | 29 number of alarm bytes (0x38) | 31 + 2j alarm byte j, j = 0..55 | 143 end
    // Bytes 35 (LBS) and 48 (BCB) are states: 0xF0 normal; 0 at byte 48 would mean "BCB disconnected".
    unsigned b[7] = {0, v.MainsAlarm ? 1u : 0u, 0, 0, 0, 0, 0};
    for (unsigned x : b) info += Hex2(x);
    info += Hex2(56);
    for (int j = 0; j < 56; ++j) info += Hex2(j == 35 || j == 48 ? 0xF0 : 0);
  } else if (cid2 == "E2") {
    // 13 flag | 15 number of floats (0x0F) | 17 + 8k: k0-2 output A | k3-5 output kW | k6-8 output kVA
    //   k9-11 power factor | k12-14 (113 121 129) load % | 137 end
    info += Hex2(15);
    for (double x : v.OutputCurr) info += F(x);
    for (double x : v.Load) info += F(x / 100.0 * 9.0);
    for (double x : v.Load) info += F(x / 100.0 * 10.0);
    for (double x : v.Load) info += F(x > 0 ? 0.9 : 0.0);
    for (double x : v.Load) info += F(x);
  } else if (cid2 == "E3") {
    // 13 flag | 15 number of floats (0x0D) | 17 + 8k: k0 battery V | k1 battery A (charge +, discharge -)
    //   k2 temperature | k3 capacity % | k4-11 reserved | k12 (113) backup time, min | 121 end
    info += Hex2(13);
    info += F(v.BattVoltPos + v.BattVoltNeg);
    info += F(v.ChargeCurrPos + v.ChargeCurrNeg - v.DischargeCurrPos - v.DischargeCurrNeg);
    info += F(v.BattTemp);
    info += F(v.Capacity);
    for (int i = 0; i < 8; ++i) info += F(0);
    info += F(v.BackupMin);
  } else {
    known = false;
  }
  return info;
}

// ------------------------------------------------------------ answers, faults

std::string TSimBus::Render(int address, const TReply& reply, bool lowercase) const {
  if (!IsAscii(FOptions.Protocol)) {
    std::string frame = reply.Body;
    AppendCrc(frame);
    return frame;
  }
  if (!lowercase) return BuildAsciiFrame(VerOf(FOptions.Protocol), static_cast<unsigned>(address), reply.Rtn, reply.Body);
  // The same frame in lower case; LENGTH and CHKSUM hold the right values
  // for the characters actually sent, written in lower case.
  std::string frame = "~" + Lower(std::string(VerOf(FOptions.Protocol)) + Hex2(static_cast<unsigned>(address)) + "2A" +
                                  Hex2(reply.Rtn) + LengthField(static_cast<unsigned>(reply.Body.size())) + reply.Body);
  frame += Lower(AsciiChecksum(frame));
  frame += '\r';
  return frame;
}

void TSimBus::Emit(TSimDevice& device, TReply reply, double now, std::vector<TScheduledWrite>& out) {
  const bool ascii = IsAscii(FOptions.Protocol);
  const std::optional<TFaultKind> fault = device.NextFault();
  double due = now + (device.Late() ? FOptions.LateMs / 1000.0 : 0.0);
  int address = device.Address();
  bool lowercase = false;
  if (fault == TFaultKind::Rtn) {
    if (ascii) reply = {"", 4};
    else reply.Body = std::string{reply.Body[0], static_cast<char>(reply.Body[1] | 0x80), 4};
  } else if (fault == TFaultKind::WrongAddr) {
    address = address % 252 + 1;
    if (!ascii) reply.Body[0] = static_cast<char>(address);
  } else if (fault == TFaultKind::Lowercase) {
    lowercase = ascii;
  } else if (fault == TFaultKind::Late) {
    due += FOptions.LateMs / 1000.0;
  }
  std::string bytes = Render(address, reply, lowercase);
  if (fault == TFaultKind::Checksum) {
    if (ascii) {
      const size_t pos = bytes.size() - 5;
      bytes.replace(pos, 4, Hex4(static_cast<unsigned>(ParseHex(bytes, pos, 4) + 1)));
    } else {
      bytes.back() = static_cast<char>(bytes.back() ^ 0x55);
    }
  } else if (fault == TFaultKind::Joined) {
    bytes += bytes;
  } else if (fault == TFaultKind::Truncated) {
    bytes.resize(bytes.size() / 2);
  }

  if (FOptions.Verbose || fault) {
    std::string line = "device " + std::to_string(device.Address());
    if (fault) line += std::string(" [") + FaultName(*fault) + "]";
    line += fault == TFaultKind::Silence ? " stays silent" : ": " + Printable(bytes, ascii);
    if (due > now) line += " (in " + std::to_string(static_cast<int>(std::lround((due - now) * 1000))) + " ms)";
    FLog(line);
  }
  if (fault == TFaultKind::Silence) return;
  // On a real line the request takes its wire time to arrive and the answer
  // is complete only when its last character has gone out (8N1: 10 bits).
  if (FOptions.WireBaud > 0) due += static_cast<double>(FRequestLen + bytes.size()) * 10.0 / FOptions.WireBaud;
  if (fault == TFaultKind::Split) {
    const size_t half = bytes.size() / 2;
    out.push_back({due, bytes.substr(0, half)});
    out.push_back({due + FOptions.SplitGapMs / 1000.0, bytes.substr(half)});
    return;
  }
  out.push_back({due, bytes});
}

}  // namespace tessaro::sim
