#pragma once
// The event log store: one headerless file of 48-byte EventRecords,
// Record/EventLog.dat, copied to Backup/ and emptied when it would pass 5001
// records. Every operation opens, works on and closes the file it needs.
//
// With a TLogWriter attached, Append only queues the record and the writer's
// thread writes and syncs whatever has queued up in one go; the outcome comes
// back to the engine's thread (OnResult, OnAppended, Changed) when the writer
// is collected. Without one, Append writes and syncs at once.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/Clock.h"
#include "core/UpsInfo.h"
#include "logs/RecordFile.h"
#include "logs/StoreHealth.h"

namespace tessaro {

class TLogWriter;

static_assert(std::endian::native == std::endian::little, "log records are stored as little-endian memory images");

// One event, exactly as stored. Bytes 10-11, 17 and 44-47 are written as
// zeros; bytes 18-43 hold the device's status block for records made by
// LogDeviceEvent and zeros for all others.
struct EventRecord {
  TDateTime Time;        // OLE date, local time
  uint8_t Address;       // 0 for program-level events
  uint8_t Kind;          // 0 program/communication, 1 state change, 2 alarm
  uint8_t Pad10[2];
  int32_t Code;          // event code, new StateCode or alarm code by Kind
  uint8_t Active;        // kind 2: 1 raised, 0 cleared; kinds 0 and 1: 255
  uint8_t Pad17;
  TStatusBlock Status;   // bytes 18..43
  uint8_t Pad44[4];
};
static_assert(std::is_standard_layout_v<EventRecord> && std::is_trivially_copyable_v<EventRecord>);
static_assert(sizeof(EventRecord) == 48);
static_assert(offsetof(EventRecord, Time) == 0);
static_assert(offsetof(EventRecord, Address) == 8);
static_assert(offsetof(EventRecord, Kind) == 9);
static_assert(offsetof(EventRecord, Pad10) == 10);
static_assert(offsetof(EventRecord, Code) == 12);
static_assert(offsetof(EventRecord, Active) == 16);
static_assert(offsetof(EventRecord, Pad17) == 17);
static_assert(offsetof(EventRecord, Status) == 18);
static_assert(offsetof(EventRecord, Status) + sizeof(TStatusBlock) == 44);
static_assert(offsetof(EventRecord, Pad44) == 44);

enum TEventKind : uint8_t { EventKindProgram = 0, EventKindState = 1, EventKindAlarm = 2 };

// Program event types of LogProgramEvent.
enum TProgramEventType : uint8_t {
  ProgEventStarted = 0,    // code 20
  ProgEventClosed = 1,     // code 21
  ProgEventPortLost = 3,   // code 18
  ProgEventPortBack = 4,   // code 23
};

// Event codes of kind 0.
enum TEventCode : int32_t {
  EventCommLost = 18,
  EventCommError = 19,
  EventProgramStarted = 20,
  EventProgramClosed = 21,
  EventCommEstablished = 22,
  EventCommRecovered = 23,
};

// What the last rotation attempt came to.
enum class TRotateResult : uint8_t {
  None,         // no rotation attempted yet
  Done,         // copied to a backup and the active file emptied
  NoFreeName,   // EventLog_000.dat .. EventLog_999.dat all exist: nothing copied, nothing emptied
  CopyFailed,   // the backup directory or the copy failed: nothing emptied
  EmptyFailed,  // the copy is saved but the active file could not be emptied
};

// A kind-2 record: an alarm raised (`raised`) or cleared on a device.
EventRecord MakeAlarmRecord(TDateTime time, uint8_t address, int32_t alarmCode, bool raised);

// Every whole record of an event log file (the active file or a backup),
// oldest first; a trailing partial record and all-zero records (a tail left
// by a crash) are ignored. A missing or unreadable file yields an empty list
// and, when `ec` is given, the reason.
std::vector<EventRecord> ReadEventLogFile(const std::string& path, std::error_code* ec = nullptr);

class TEventLog final : public TDeviceEventSink {
 public:
  static constexpr size_t RecordSize = sizeof(EventRecord);
  // The file is rotated when an append finds more than this many records in it.
  static constexpr int32_t RotateAbove = 5000;

  // Directory strings end with "/"; touches no file.
  TEventLog(std::string dir, std::string fileName, std::string backupDir, const TUpsInfoTable& devices,
            const TClock& clock);
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  const std::string FileName;
  const std::string Dir;
  const std::string FullPath;
  const std::string BackupDir;
  // 255 after every successful append; read and reset to 0 by the event log viewer.
  uint8_t Changed = 0;
  // Told of every record written (the headless console prints them).
  std::function<void(const EventRecord&)> OnAppended;
  // Told of the outcome of every append, good or bad.
  std::function<void(const TStoreResult&)> OnResult;
  // Told of every record given to Append, after OnAppended, whether or not it
  // could be written: the event hooks must run even when the disk is full.
  std::vector<std::function<void(const EventRecord&)>> Observers;
  // The disk under the writes; set before the first append.
  recfile::TWriteSeam Io;

  // Whole records in the active file. Creates Dir and an empty file when
  // missing; throws std::system_error when it cannot.
  int32_t RecordCount();

  // Appends one record, rotating first when the file holds more than 5000,
  // and syncs it to disk. False when the record could not be written, or
  // with a writer attached could not be queued (never throws). When the
  // rotation fails the record still goes to the active file, which then
  // grows past 5001 records; RotationPending() tells, and every later
  // append tries the rotation again.
  bool Append(const EventRecord& record) noexcept;

  // Type 0 -> code 20, 1 -> 21, 3 -> 18, 4 -> 23, kind 0, address 0; any
  // other type writes nothing and returns false.
  bool LogProgramEvent(uint8_t type);
  // Types 2..6 (TDeviceEventType) for the device in slot `address`; any other
  // type, or an address beyond the table, writes nothing and returns false.
  bool LogDeviceEvent(uint8_t type, uint8_t address) override;
  // An alarm of a device raised or cleared (kind 2), stamped now.
  bool LogAlarmEvent(uint8_t address, int32_t alarmCode, bool raised);

  // Copies a non-empty log to BackupDir/EventLog<n>.dat (lowest free n from 1)
  // and empties the active file. Throws std::system_error when BackupDir or
  // the empty active file cannot be made. Returns false when the backup copy
  // failed (the log is emptied all the same, as the user asked). What the
  // writer holds is written first, so it goes into the backup.
  bool ClearWithBackup();

  // Copies the active file to BackupDir/EventLog_<000..999>.dat and empties
  // it; on any failure the active file is left as it was. Called by Append.
  TRotateResult Rotate();

  // Writes the records in order, rotating wherever the file passes 5001
  // records, with one sync at the end: the writer's thread calls this. It
  // stops at the first failure; the records from there on are lost. Safe to
  // call from another thread than the rest; tells no one (see Finish).
  TWriteOutcome WriteRecords(std::span<const EventRecord> records) noexcept;
  // Hands the outcome of WriteRecords to the counters, Changed, OnResult and
  // OnAppended; on the engine's thread.
  void Finish(std::span<const EventRecord> records, const TWriteOutcome& outcome);

  // The active file is over its cap because the last rotation failed.
  bool RotationPending() const;
  TRotateResult LastRotateResult() const;
  // The backup written by the last successful Rotate or ClearWithBackup.
  std::string LastBackupPath() const;
  // A one-line English description of the last failure (append, rotation,
  // backup), empty when the last such operation went well.
  std::string LastError() const;
  // Records lost since construction.
  uint64_t LostRecords() const { return FLostRecords; }
  // The outcome of the last append.
  const TStoreResult& LastResult() const { return FLastResult; }

  // Name of rotation backup i (0..999) and of clear backup n (1..).
  static std::string RotateBackupName(int i);
  static std::string ClearBackupName(int n);

 private:
  friend class TLogWriter;
  EventRecord NewRecord() const;
  TRotateResult RotateLocked();

  const TUpsInfoTable& FDevices;
  const TClock& FClock;
  TLogWriter* FWriter = nullptr;  // set and cleared by the writer, on the engine's thread
  // Held by whoever works on the files; the engine's thread takes it only
  // for a clear, never to append.
  std::timed_mutex FFileMutex;
  // The state below is shared with the writer's thread; held only briefly.
  mutable std::mutex FStateMutex;
  bool FRotationPending = false;
  TRotateResult FLastRotate = TRotateResult::None;
  std::string FLastBackup;
  std::string FLastError;
  // Engine's thread only.
  uint64_t FLostRecords = 0;
  TStoreResult FLastResult;
};

}  // namespace tessaro
