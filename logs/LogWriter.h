#pragma once
// The thread that writes both log stores, so that a slow or stalled disk
// never holds up polling or the network server. The engine's thread only
// queues records; the writer takes everything queued at once and writes each
// store's share in one go, the events with one sync for the lot (group
// commit). Records keep their order. The outcomes come back to the stores on
// the engine's thread when it calls Collect: OnResult (and so the store
// health), Changed and OnAppended happen there, as without a writer.
//
// A full queue takes nothing more: the records it refuses are counted lost
// at once, as a failed write would be.

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <thread>

#include "logs/DataLog.h"
#include "logs/EventLog.h"

namespace tessaro {

class TLogWriter {
 public:
  // A full bus of 252 devices that all raise and clear every alarm they have
  // queues some 40,000 events: far below this unless the disk stands still.
  static constexpr size_t DefaultEventCapacity = 65536;  // 3 MiB of records
  // 260 snapshots of 252 devices.
  static constexpr size_t DefaultDataCapacity = 65536;  // 8 MiB of records
  // How long a clear of the event log waits for what is queued before it.
  static constexpr std::chrono::milliseconds ClearDrainBound{5000};
  // How long the end of the program waits for the queue to be written.
  static constexpr std::chrono::milliseconds StopBound{10000};

  // Attaches itself to both stores (their appends then queue here) and
  // starts its thread.
  TLogWriter(std::shared_ptr<TEventLog> events, std::shared_ptr<TDataLog> data,
             size_t eventCapacity = DefaultEventCapacity, size_t dataCapacity = DefaultDataCapacity);
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Engine's thread. False when the queue has no room: the record, or the
  // whole run of records, is then counted lost through the store.
  bool Queue(const EventRecord& record);
  bool Queue(std::span<const DataRecord> records);

  // Engine's thread: hands the outcomes of finished writes to the stores, in
  // the order they were written.
  void Collect();

  // Waits until everything queued so far is written (or has failed); false
  // when the bound passed first. Any thread but the writer's.
  bool Drain(std::chrono::milliseconds bound);

  // Engine's thread, at the end: waits up to `bound` for the queue to be
  // written, collects the outcomes and detaches from the stores, whose
  // appends then write directly. Records still queued at the bound, and a
  // write that is still under way then, are counted lost; a thread stuck in
  // such a write is left behind (it keeps the stores alive). True when the
  // whole queue was worked through in time (failed writes are counted as
  // always). Called again, it does nothing.
  bool Stop(std::chrono::milliseconds bound = StopBound);

  // Nothing queued, being written, or finished and not yet collected.
  bool Settled() const;

  // Records waiting for the writer (not counting the write under way).
  size_t QueuedEvents() const;
  size_t QueuedData() const;

 private:
  struct TShared;
  static void Run(std::shared_ptr<TShared> shared);

  std::shared_ptr<TShared> FShared;
  std::thread FThread;
};

}  // namespace tessaro
