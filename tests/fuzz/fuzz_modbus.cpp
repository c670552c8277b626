// libFuzzer target for the Modbus handler TMModbus.
//
// The first byte chooses the variant:
//   even: a fresh handler over fresh state issues one request (a cycle step, a
//         queued command or a search probe, chosen by the next bytes) and the
//         rest of the input is handed to ParseAnswer as the received chunk
//         (optionally as a frame body given the device's address and a good
//         CRC, so that the decoding is reached);
//   odd:  the next bytes are random engine variables, device list, device
//         states, queue entries and model, and NextRequest runs a few times.
// Both check the handler's invariants after every call and trap on a breach.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/DeviceList.h"
#include "core/PollState.h"
#include "core/UpsInfo.h"
#include "engine/CommandQueue.h"
#include "protocols/MModbus.h"

using namespace tessaro;

namespace {

class TReader {
 public:
  TReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return static_cast<int32_t>(v);
  }
  const uint8_t* Rest() const { return FData + FPos; }
  size_t RestSize() const { return FSize - FPos; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

struct TWorld {
  std::unique_ptr<TUpsInfoTable> Table = std::make_unique<TUpsInfoTable>();
  TDeviceList List;
  TPollVars Vars;
  TPollStats Stats;
  TCommandQueue Queue;
  std::string Model;
  std::unique_ptr<TMModbus> Handler;

  TWorld() {
    InitDeviceTable(*Table);
    Handler = std::make_unique<TMModbus>(TProtocolEnv{*Table, List, Vars, Stats}, Queue, Model);
  }

  // What must hold after every NextRequest.
  void CheckRequest() const {
    const int len = Handler->FrameLen;
    Check(len >= 0 && len <= TxBufSize);
    if (len > 0) {
      Check(len >= 8);
      Check(TMModbus::Crc16(Vars.TxBuf.data(), len) == 0);
      Check(Vars.TxBuf[0] == Handler->SlaveAddr);
      Check(Vars.TxBuf[1] == Handler->FuncCode);
      Check(Handler->DevAddr == Handler->SlaveAddr);
    }
    Check(Handler->DevAddr <= 255);
  }

  // What must hold for every record after a ParseAnswer.
  void CheckRecords() const {
    for (const TUpsInfo& u : *Table) {
      Check(u.AlarmCount <= 59);
      Check(u.StateCode >= -1 && u.StateCode <= 11);
      Check(u.Status.StateValid <= 1);
      Check(u.InputSupply <= 2 && u.UpsSupply <= 2);
    }
  }
};

void AnswerVariant(TReader& in) {
  TWorld w;
  const uint8_t addr = in.Byte();
  const uint8_t kind = in.Byte();
  w.List.Count = 1;
  w.List.Nodes[1].Address = addr;
  if (addr <= MaxAddress) (*w.Table)[addr].CommState = 0;
  w.Vars.PollStep = 200;  // the first request starts the device's cycle
  w.Model = (kind & 0x80) ? "RXA410LT" : "";
  switch (kind % 4) {
    case 0: {  // a cycle step 1..5
      const int steps = 1 + in.Byte() % 5;
      for (int i = 0; i < steps; ++i) w.Handler->NextRequest();
      break;
    }
    case 1: {  // a queued command
      w.Queue.CommandValue = in.Word();
      w.Queue[0] = TCommandEntry{CommandPending, addr, in.Byte(), in.Int(), in.Int()};
      w.Handler->NextRequest();
      break;
    }
    case 2:  // a search probe
      w.Vars.SearchMode = 255;
      w.Vars.SearchAddr = addr;
      w.Handler->NextRequest();
      break;
    default:  // the search flag changes between request and answer
      w.Handler->NextRequest();
      w.Vars.SearchMode = in.Byte() & 1;
      break;
  }
  w.CheckRequest();

  int length = static_cast<int>(in.RestSize() > RxBufSize ? RxBufSize : in.RestSize());
  std::memcpy(w.Vars.RxBuf.data(), in.Rest(), static_cast<size_t>(length));
  // With bit 6 of the kind the rest is a frame body: put the sender's address in
  // front and a good CRC behind, so that the decoding is reached.
  if ((kind & 0x40) && length + 3 <= RxBufSize) {
    std::memmove(w.Vars.RxBuf.data() + 1, w.Vars.RxBuf.data(), static_cast<size_t>(length));
    w.Vars.RxBuf[0] = static_cast<uint8_t>(w.Handler->DevAddr);
    const uint16_t crc = TMModbus::Crc16(w.Vars.RxBuf.data(), length + 1);
    w.Vars.RxBuf[length + 1] = static_cast<uint8_t>(crc & 0xFF);
    w.Vars.RxBuf[length + 2] = static_cast<uint8_t>(crc >> 8);
    length += 3;
  }
  const bool accepted = w.Handler->ParseAnswer(w.Vars.RxBuf.data(), length);
  if (accepted) {
    Check(length >= 4);
    Check(w.Vars.RxBuf[0] == w.Handler->DevAddr);
    Check(w.Handler->DevAddr <= MaxAddress);
    Check(TMModbus::Crc16(w.Vars.RxBuf.data(), length) == 0);
  }
  w.CheckRecords();
  // The handler never counts.
  Check(w.Stats.ParseFailures == 0 && w.Stats.RxCount == 0 && w.Stats.TxCount == 0);
}

void RequestVariant(TReader& in) {
  TWorld w;
  w.Vars.SearchMode = in.Byte() % 3 == 0 ? 255 : 0;
  w.Vars.SearchAddr = in.Byte();
  w.Vars.Paused = in.Byte() % 4 == 0 ? 255 : 0;
  w.Vars.PollStep = in.Byte();
  w.Vars.StepCount = in.Byte();
  w.Handler->DevAddr = in.Byte();
  w.List.Count = in.Byte() % (MaxDevices + 1);
  w.List.Cursor = in.Byte();
  for (int i = 1; i <= w.List.Count; ++i) w.List.Nodes[i].Address = in.Byte();
  for (int i = 0; i < 8; ++i) {
    const uint8_t slot = in.Byte();
    if (slot <= MaxAddress) (*w.Table)[slot].CommState = in.Byte() % 3;
  }
  const uint8_t queued = in.Byte() % (CommandQueueSize + 1);
  for (int i = 0; i < queued; ++i) {
    TCommandEntry& e = w.Queue[in.Byte() % CommandQueueSize];
    e.Pending = in.Byte();
    e.Addr = in.Byte();
    e.Func = in.Byte();
    e.Reg = in.Int();
    e.Count = in.Int();
  }
  w.Queue.CommandValue = in.Word();
  auto* image = reinterpret_cast<uint8_t*>(&w.Queue.ParamImage);
  for (size_t i = 0; i < sizeof(TParamImage); ++i) image[i] = in.Byte();
  static const char* const models[] = {"", "RXA410LT", "GDS7100", "rxa410lt"};
  w.Model = models[in.Byte() % 4];

  const int calls = 1 + in.Byte() % 16;
  for (int i = 0; i < calls; ++i) {
    const uint8_t stepBefore = w.Vars.PollStep;
    w.Handler->NextRequest();
    w.CheckRequest();
    // A cycle step (not a search, pause or queued command) leaves a cycle of
    // 1, 4 or 5 steps and a step within it.
    if (w.Vars.SearchMode == 0 && w.Vars.Paused == 0 && w.Vars.PollStep != stepBefore) {
      Check(w.Vars.StepCount == 1 || w.Vars.StepCount == 4 || w.Vars.StepCount == 5);
      Check(w.Vars.PollStep >= 1 && w.Vars.PollStep <= w.Vars.StepCount);
    }
    if (w.Vars.Paused != 0 && w.Vars.SearchMode == 0) Check(w.Handler->FrameLen == 0);
    // The built frame handed back as an answer (a write echo, or a bogus read
    // answer) must be handled without harm.
    if (w.Handler->FrameLen > 0) {
      w.Handler->ParseAnswer(w.Vars.TxBuf.data(), w.Handler->FrameLen);
      w.CheckRecords();
    }
    if (in.Byte() & 1) w.Vars.Paused = static_cast<uint8_t>(~w.Vars.Paused);
    if (in.Byte() & 1) w.Vars.SearchMode = w.Vars.SearchMode ? 0 : 255;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TReader in(data, size);
  if (in.Byte() & 1)
    RequestVariant(in);
  else
    AnswerVariant(in);
  return 0;
}
