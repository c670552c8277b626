#include "logs/LogWriter.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace tessaro {

namespace {

TWriteOutcome Refused(const std::string& path, std::errc why, size_t count) {
  return {0, TStoreResult::Failure(why == std::errc::no_buffer_space ? "cannot keep up writing" : "gave up at exit writing",
                                   path, std::make_error_code(why), count)};
}

}  // namespace

struct TLogWriter::TShared {
  std::shared_ptr<TEventLog> Events;
  std::shared_ptr<TDataLog> Data;
  size_t EventCapacity = 0;
  size_t DataCapacity = 0;

  std::mutex Mutex;
  std::condition_variable Wake;  // the writer: work or the end
  std::condition_variable Idle;  // Drain and Stop: a write done, the thread ended
  std::vector<EventRecord> EventQueue;
  std::vector<DataRecord> DataQueue;
  size_t EventsInFlight = 0;
  size_t DataInFlight = 0;

  struct TDone {
    std::vector<EventRecord> Events;
    TWriteOutcome EventOutcome;
    size_t DataCount = 0;
    TWriteOutcome DataOutcome;
  };
  std::vector<TDone> Done;
  bool Stopping = false;
  bool Ended = false;
  bool Abandoned = false;  // Stop gave up waiting: no one collects any more

  bool Empty() const { return EventQueue.empty() && DataQueue.empty() && EventsInFlight == 0 && DataInFlight == 0; }
};

TLogWriter::TLogWriter(std::shared_ptr<TEventLog> events, std::shared_ptr<TDataLog> data, size_t eventCapacity,
                       size_t dataCapacity)
    : FShared(std::make_shared<TShared>()) {
  FShared->Events = std::move(events);
  FShared->Data = std::move(data);
  FShared->EventCapacity = eventCapacity;
  FShared->DataCapacity = dataCapacity;
  FShared->Events->FWriter = this;
  FShared->Data->FWriter = this;
  FThread = std::thread(Run, FShared);
}

TLogWriter::~TLogWriter() { Stop(); }

void TLogWriter::Run(std::shared_ptr<TShared> s) {
  std::unique_lock lock(s->Mutex);
  for (;;) {
    s->Wake.wait(lock, [&] { return s->Stopping || !s->EventQueue.empty() || !s->DataQueue.empty(); });
    if (s->EventQueue.empty() && s->DataQueue.empty()) break;
    TShared::TDone done;
    std::vector<DataRecord> data;
    done.Events.swap(s->EventQueue);
    data.swap(s->DataQueue);
    s->EventsInFlight = done.Events.size();
    s->DataInFlight = data.size();
    lock.unlock();
    if (!done.Events.empty()) done.EventOutcome = s->Events->WriteRecords(done.Events);
    if (!data.empty()) {
      done.DataCount = data.size();
      done.DataOutcome = s->Data->WriteRecords(data);
    }
    lock.lock();
    s->EventsInFlight = 0;
    s->DataInFlight = 0;
    if (!s->Abandoned) s->Done.push_back(std::move(done));
    s->Idle.notify_all();
  }
  s->Ended = true;
  s->Idle.notify_all();
}

bool TLogWriter::Queue(const EventRecord& record) {
  {
    std::lock_guard lock(FShared->Mutex);
    if (FShared->EventQueue.size() < FShared->EventCapacity) {
      FShared->EventQueue.push_back(record);
      FShared->Wake.notify_one();
      return true;
    }
  }
  FShared->Events->Finish({&record, 1}, Refused(FShared->Events->FullPath, std::errc::no_buffer_space, 1));
  return false;
}

bool TLogWriter::Queue(std::span<const DataRecord> records) {
  {
    std::lock_guard lock(FShared->Mutex);
    if (FShared->DataQueue.size() + records.size() <= FShared->DataCapacity) {
      FShared->DataQueue.insert(FShared->DataQueue.end(), records.begin(), records.end());
      FShared->Wake.notify_one();
      return true;
    }
  }
  FShared->Data->Finish(Refused(FShared->Data->Dir, std::errc::no_buffer_space, records.size()));
  return false;
}

void TLogWriter::Collect() {
  std::vector<TShared::TDone> done;
  {
    std::lock_guard lock(FShared->Mutex);
    done.swap(FShared->Done);
  }
  for (const TShared::TDone& d : done) {
    if (!d.Events.empty()) FShared->Events->Finish(d.Events, d.EventOutcome);
    if (d.DataCount > 0) FShared->Data->Finish(d.DataOutcome);
  }
}

bool TLogWriter::Settled() const {
  std::lock_guard lock(FShared->Mutex);
  return FShared->Empty() && FShared->Done.empty();
}

bool TLogWriter::Drain(std::chrono::milliseconds bound) {
  std::unique_lock lock(FShared->Mutex);
  return FShared->Idle.wait_for(lock, bound, [this] { return FShared->Empty() || FShared->Ended; }) &&
         FShared->Empty();
}

bool TLogWriter::Stop(std::chrono::milliseconds bound) {
  if (!FThread.joinable()) return true;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const bool drained = Drain(bound);
  std::vector<EventRecord> leftEvents;
  size_t leftData = 0;
  size_t stuckEvents = 0;
  bool ended;
  {
    std::unique_lock lock(FShared->Mutex);
    leftEvents.swap(FShared->EventQueue);
    leftData = FShared->DataQueue.size();
    FShared->DataQueue.clear();
    FShared->Stopping = true;
    FShared->Wake.notify_all();
    // An idle thread ends at once; give it that moment even when the bound is spent.
    const auto end = std::max(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
    ended = FShared->Idle.wait_until(lock, end, [this] { return FShared->Ended; });
    if (!ended) {
      FShared->Abandoned = true;
      stuckEvents = FShared->EventsInFlight;
      leftData += FShared->DataInFlight;
    }
  }
  if (ended)
    FThread.join();
  else
    FThread.detach();
  FShared->Events->FWriter = nullptr;
  FShared->Data->FWriter = nullptr;
  Collect();
  if (!leftEvents.empty() || stuckEvents > 0) {
    // The records under way when the thread was given up are not known here:
    // only their number is counted.
    FShared->Events->Finish(leftEvents,
                            Refused(FShared->Events->FullPath, std::errc::operation_canceled, leftEvents.size() + stuckEvents));
  }
  if (leftData > 0) FShared->Data->Finish(Refused(FShared->Data->Dir, std::errc::operation_canceled, leftData));
  return drained;
}

size_t TLogWriter::QueuedEvents() const {
  std::lock_guard lock(FShared->Mutex);
  return FShared->EventQueue.size();
}

size_t TLogWriter::QueuedData() const {
  std::lock_guard lock(FShared->Mutex);
  return FShared->DataQueue.size();
}

}  // namespace tessaro
