#pragma once
// What became of each write an operator or a network client asked for: queued
// (pending), then confirmed by the device's echo, refused with a Modbus
// exception, not answered after every resend (and perhaps confirmed late),
// replaced in the queue by a newer command, or dropped before it went out. A bounded table keyed by id,
// with observers for the hosts that report outcomes (windows, the status bar,
// stderr, network clients asking after a tracking id).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace tessaro {

enum class TCommandKind : uint8_t {
  ParamWrite,   // one holding register of the parameter table
  BatteryTest,  // start a battery test of Value seconds
  CancelTest,
  LoadOff,
  LoadOn,
};

struct TCommandRequest {
  uint8_t Addr = 0;
  TCommandKind Kind = TCommandKind::LoadOn;
  int32_t Reg = 0;     // ParamWrite: the parameter's register (40002 ...)
  uint16_t Value = 0;  // ParamWrite: the value written; BatteryTest: the test time in seconds
};

enum class TCommandState : uint8_t {
  Pending,      // queued, or on the line waiting for its echo
  Confirmed,    // the device echoed it
  Refused,      // the device answered with an exception (ExceptionCode)
  NotAnswered,  // sent, and no echo came after every resend: it may still be carried out
  Superseded,   // a newer command took its place in the queue before it went out
  NotSent,      // dropped before it went out: the port closed
  ConfirmedLate,  // NotAnswered, and then its echo came after all
};

struct TTrackedCommand {
  uint32_t Id = 0;
  TCommandRequest Request;
  TCommandState State = TCommandState::Pending;
  uint8_t ExceptionCode = 0;  // with Refused
  int64_t QueuedMs = 0;       // monotonic clock
  int64_t DoneMs = 0;         // when it left Pending
};

class TCommandTracker {
 public:
  static constexpr size_t Capacity = 64;  // the oldest finished entries go first

  // A new pending entry; its id is never 0.
  uint32_t Add(const TCommandRequest& request, int64_t nowMs);
  // Gives a pending command its outcome and tells the observers. A command
  // that already has one, or that has left the table, is left alone.
  void Resolve(uint32_t id, TCommandState state, int64_t nowMs, uint8_t exceptionCode = 0);
  // A command reported not answered whose echo came after all; any other is
  // left alone.
  void ConfirmLate(uint32_t id, int64_t nowMs);
  // Null once the entry has left the table.
  const TTrackedCommand* Find(uint32_t id) const;

  // Observers hear of every new entry and every outcome, on the engine's thread.
  using TObserver = std::function<void(const TTrackedCommand&)>;
  int Subscribe(TObserver observer);
  void Unsubscribe(int token);

 private:
  void Tell(const TTrackedCommand& command);

  std::deque<TTrackedCommand> FEntries;  // oldest first
  uint32_t FNextId = 1;
  std::vector<std::pair<int, TObserver>> FObservers;
  int FNextToken = 1;
};

}  // namespace tessaro
