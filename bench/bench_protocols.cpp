// Cost of receiving one answer in each protocol handler (matching it against
// the request in flight, then decoding it): the work the main thread does for
// every chunk the serial reader hands over.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "protocols/FuncUnit.h"
#include "protocols/MModbus.h"
#include "protocols/QuorvanProtocol.h"
#include "protocols/YdtV31Protocol.h"

namespace {

using namespace tessaro;

// The record of device 1, communicating and past the power-frequency status gate.
TUpsInfo Device1() {
  TUpsInfo record;
  record.Address = 1;
  record.CommState = 0;
  record.SuccessCount = 100;
  return record;
}

// The receive path of one answer: held against the request in flight, then
// decoded into the record.
void ReceiveAnswer(benchmark::State& state, TProtocolHandler& handler, const TRequest& request,
                   std::span<const uint8_t> answer) {
  TUpsInfo record = Device1();
  TPollStats stats;
  if (!handler.Matches(request, answer, stats) || !handler.Decode(request, answer, record)) {
    state.SkipWithError("answer not accepted");
    return;
  }
  for (auto _ : state) {
    bool ok = handler.Matches(request, answer, stats) && handler.Decode(request, answer, record);
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer.size()));
}

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

// One cycle step's answer (step 1..5) received over and over.
void ModbusParseStep(benchmark::State& state, int step, const std::vector<uint8_t>& answer) {
  const std::string model;
  TMModbus handler(model);
  ReceiveAnswer(state, handler, handler.CycleRequest(1, step), answer);
}

// Step 1, 33 bytes: 220.0 V on every phase, 50.0 Hz.
void BM_ModbusParseMeasurements(benchmark::State& state) {
  std::vector<uint8_t> answer = {0x01, 0x04, 0x1C, 0x08, 0x98, 0x08, 0x98, 0x08, 0x98};
  answer.insert(answer.end(), 14, 0x00);
  answer.insert(answer.end(), {0x08, 0x98, 0x08, 0x98, 0x08, 0x98, 0x01, 0xF4, 0xB7, 0x9D});
  ModbusParseStep(state, 1, answer);
}
BENCHMARK(BM_ModbusParseMeasurements);

// Step 3, the eleven status words: the state code is recomputed after each.
void BM_ModbusParseStatusWords(benchmark::State& state) {
  std::vector<uint8_t> answer = {0x01, 0x04, 22, 0x00, 0x04, 0xCC, 0x00, 0x00, 0x00, 0xC7, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ModbusParseStep(state, 3, WithCrc(answer));
}
BENCHMARK(BM_ModbusParseStatusWords);

// Step 4, 28 holding registers.
void BM_ModbusParseParameters(benchmark::State& state) { ModbusParseStep(state, 4, ModbusReadAnswer(0x03, 28, 1)); }
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
  THandler handler;
  const std::span<const uint8_t> answer(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  // Answers stays 0: every pass decodes, as the first answer to a request does.
  ReceiveAnswer(state, handler, handler.CycleRequest(1, step), answer);
}

// Modular UPS, answer to 80 (loads and battery currents), 164 characters: the longest answer.
void BM_YdtParseLoadsAndCurrents(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 146 / 4; ++i) info += WordToHex4(static_cast<uint32_t>(0x0100 + i));
  info += "00";
  AsciiParse<TYdtV31Protocol>(state, 4, AsciiAnswer(TYdtV31Protocol::VerText, info));
}
BENCHMARK(BM_YdtParseLoadsAndCurrents);

// Modular UPS, answer to 42 (analog values), 64 characters.
void BM_YdtParseAnalog(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 11; ++i) info += WordToHex4(22000 + static_cast<uint32_t>(i));
  info += "00";
  AsciiParse<TYdtV31Protocol>(state, 1, AsciiAnswer(TYdtV31Protocol::VerText, info));
}
BENCHMARK(BM_YdtParseAnalog);

// Power-frequency UPS, answer to 41 (analog values as floats), 108 characters.
void BM_QuorvanParseAnalog(benchmark::State& state) {
  std::string info;
  for (int i = 0; i < 11; ++i) info += "0000BE43";  // 380.0
  info += "00";
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
