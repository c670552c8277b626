// Cost of decoding one answer in each protocol handler: the work the main
// thread does for every chunk the serial reader hands over.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "engine/CommandQueue.h"
#include "protocols/FuncUnit.h"
#include "protocols/MModbus.h"
#include "protocols/QuorvanProtocol.h"
#include "protocols/YdtV31Protocol.h"

namespace {

using namespace tessaro;

// The poll state a handler works on, device 1 communicating.
struct TBenchEnv {
  std::unique_ptr<TUpsInfoTable> Table = std::make_unique<TUpsInfoTable>();
  TDeviceList Devices;
  TPollVars Vars;
  TPollStats Stats;
  TProtocolEnv Env{*Table, Devices, Vars, Stats};

  TBenchEnv() {
    InitDeviceTable(*Table);
    (*Table)[1].CommState = 0;
    (*Table)[1].SuccessCount = 100;  // past the power-frequency status gate
  }
};

std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
  const uint16_t crc = TMModbus::Crc16(frame.data(), static_cast<int>(frame.size()));
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// A read answer of `count` registers from device 1, values from `first` upwards.
std::vector<uint8_t> ModbusReadAnswer(uint8_t func, int count, uint16_t first) {
  std::vector<uint8_t> frame = {0x01, func, static_cast<uint8_t>(2 * count)};
  for (int i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(first + i);
    frame.push_back(static_cast<uint8_t>(v >> 8));
    frame.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  return WithCrc(frame);
}

// One cycle step's answer parsed over and over; `Step` indexes CycleSteps.
void ModbusParseStep(benchmark::State& state, int step, const std::vector<uint8_t>& answer) {
  TBenchEnv env;
  TCommandQueue queue;
  const std::string model;
  TMModbus handler(env.Env, queue, model);
  const auto& s = TMModbus::CycleSteps[step];
  handler.DevAddr = 1;
  handler.SlaveAddr = 1;
  handler.FuncCode = s.Func;
  handler.StartReg = s.Reg;
  handler.RegCount = s.Count;
  if (!handler.ParseAnswer(answer.data(), static_cast<int>(answer.size()))) {
    state.SkipWithError("answer not accepted");
    return;
  }
  for (auto _ : state) {
    bool ok = handler.ParseAnswer(answer.data(), static_cast<int>(answer.size()));
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer.size()));
}

// Step 1, 33 bytes: 220.0 V on every phase, 50.0 Hz.
void BM_ModbusParseMeasurements(benchmark::State& state) {
  std::vector<uint8_t> answer = {0x01, 0x04, 0x1C, 0x08, 0x98, 0x08, 0x98, 0x08, 0x98};
  answer.insert(answer.end(), 14, 0x00);
  answer.insert(answer.end(), {0x08, 0x98, 0x08, 0x98, 0x08, 0x98, 0x01, 0xF4, 0xB7, 0x9D});
  ModbusParseStep(state, 0, answer);
}
BENCHMARK(BM_ModbusParseMeasurements);

// Step 3, the eleven status words: the state code is recomputed after each.
void BM_ModbusParseStatusWords(benchmark::State& state) {
  std::vector<uint8_t> answer = {0x01, 0x04, 22, 0x00, 0x04, 0xCC, 0x00, 0x00, 0x00, 0xC7, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ModbusParseStep(state, 2, WithCrc(answer));
}
BENCHMARK(BM_ModbusParseStatusWords);

// Step 4, 28 holding registers.
void BM_ModbusParseParameters(benchmark::State& state) { ModbusParseStep(state, 3, ModbusReadAnswer(0x03, 28, 1)); }
BENCHMARK(BM_ModbusParseParameters);

// ~ VER 01 2A 00 LENGTH INFO CHKSUM CR, with LENGTH and CHKSUM from the frame helpers.
std::string AsciiAnswer(std::string_view ver, const std::string& info) {
  std::string frame = "~";
  frame.append(ver).append("012A00").append(LengthField(static_cast<int>(info.size()))).append(info);
  frame.append(FrameChecksum(frame, static_cast<int>(frame.size()) - 1)).append("\r");
  return frame;
}

template <class THandler>
void AsciiParse(benchmark::State& state, uint8_t step, const std::string& frame) {
  TBenchEnv env;
  THandler handler(env.Env);
  const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
  const int length = static_cast<int>(frame.size());
  handler.DevAddr = 1;
  handler.CmdStep = step;
  if (!handler.ParseAnswer(bytes, length)) {
    state.SkipWithError("answer not accepted");
    return;
  }
  for (auto _ : state) {
    handler.CmdStep = step;  // an accepted answer clears it
    bool ok = handler.ParseAnswer(bytes, length);
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

// Modular UPS, answer to 80 (loads and battery currents), 164 characters: the longest answer.
void BM_YdtParseLoadsAndCurrents(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 146 / 4; ++i) info += WordToHex4(static_cast<uint32_t>(0x0100 + i));
  info += "00";
  AsciiParse<TYdtV31Protocol>(state, 4, AsciiAnswer(TYdtV31Protocol::VerText, info));
}
BENCHMARK(BM_YdtParseLoadsAndCurrents);

// Modular UPS, answer to 42 (analog values), 66 characters.
void BM_YdtParseAnalog(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 12; ++i) info += WordToHex4(22000 + static_cast<uint32_t>(i));
  AsciiParse<TYdtV31Protocol>(state, 1, AsciiAnswer(TYdtV31Protocol::VerText, info));
}
BENCHMARK(BM_YdtParseAnalog);

// Power-frequency UPS, answer to 41 (analog values as floats), 114 characters.
void BM_QuorvanParseAnalog(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 12; ++i) info += "0000BE43";  // 380.0
  AsciiParse<TQuorvanProtocol>(state, 1, AsciiAnswer(TQuorvanProtocol::VerText, info));
}
BENCHMARK(BM_QuorvanParseAnalog);

// Power-frequency UPS, answer to 44 (63 alarm bytes), 148 characters: the
// heaviest decode of that protocol.
void BM_QuorvanParseAlarms(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 65; ++i) info += (i % 5 == 0) ? "01" : "00";
  AsciiParse<TQuorvanProtocol>(state, 3, AsciiAnswer(TQuorvanProtocol::VerText, info));
}
BENCHMARK(BM_QuorvanParseAlarms);

}  // namespace
