#pragma once
// The program-wide instances, created once at start-up and handed to the
// engine and the windows. Tests build a fresh one each time.

#include <chrono>
#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/DeviceList.h"
#include "core/ForcedShutdown.h"
#include "core/Freshness.h"
#include "core/PollState.h"
#include "core/TestSchedule.h"
#include "core/UpsInfo.h"
#include "core/UserParaIni.h"
#include "logs/DataLog.h"
#include "logs/EventLog.h"
#include "logs/LogWriter.h"
#include "logs/StoreHealth.h"
#include "engine/CommandQueue.h"
#include "engine/CommandTracker.h"

namespace tessaro {

struct TDisplayState {
  uint8_t TxLed = 0;  // ticks the activity lights stay lit
  uint8_t RxLed = 0;
  bool DebugShow = false;  // the main window's debug overlay
  TTimerStats TimerStats{};
};

class TContext {
 public:
  // dataDir ends with "/": it holds UserParaIni.ini, Record/ and Backup/.
  TContext(std::string dataDir, const TClock& clock);
  ~TContext();
  TContext(const TContext&) = delete;
  TContext& operator=(const TContext&) = delete;

  // Creates Record/ and Backup/ (throws std::filesystem::filesystem_error),
  // loads the settings, makes the log stores, loads the device list and
  // initialises the device table: the start-up order of the main window.
  void Start();

  // Moves the log stores' writes to a thread of their own (the program does
  // this after Start; tests that read the files right after an event don't).
  void StartLogWriter();
  // Writes what is queued, within the bound, and ends the writer; false when
  // records were lost for want of time. The engine's Tick collects the
  // writer's outcomes meanwhile.
  bool StopLogWriter(std::chrono::milliseconds bound = TLogWriter::StopBound);

  std::string IniPath() const { return SettingsPath(DataDir); }
  // Keeps what the file held, so a save can tell an edit made meanwhile.
  void LoadSettings() {
    LoadedSettings = tessaro::LoadSettings(Settings, IniPath());
    SyncedSettings = Settings;
  }
  // Under the data directory's write lock. With `unchangedSince`, a file
  // edited meanwhile is left alone (std::errc::operation_canceled). Without,
  // an edit made meanwhile (by `config set`, by hand) is kept: only the keys
  // changed here since the last load or save are written over it
  // (MergeSettings); Settings itself stays as it is.
  std::error_code SaveSettings(const TSettingsSnapshot* unchangedSince = nullptr);

  // Whether a device's values may be served or logged now (core/Freshness.h).
  TFreshnessRule Freshness() const { return {UpsInfo, DeviceList, Settings, Vars, Clock}; }

  const std::string DataDir;
  const std::string RecordDir;
  const std::string BackupDir;
  const TClock& Clock;

  TSettings Settings;
  TUpsInfoTable UpsInfo;
  TDeviceList DeviceList;
  TPollVars Vars;
  TPollStats Stats;
  TCommandQueue CommandQueue;
  TCommandTracker Commands;  // the outcome of every tracked write in CommandQueue
  TForcedShutdown Forced;    // never saved: a restart clears it
  TTestResults Tests;        // battery tests, from Record/BatteryTest.log
  std::string SelectedModel;  // never saved
  // Shared with the log writer's thread, which may outlive a stuck exit.
  std::shared_ptr<TEventLog> EventLogger;
  std::shared_ptr<TDataLog> DataLogger;
  std::unique_ptr<TLogWriter> LogWriter;

  TSettingsSnapshot LoadedSettings;
  // Settings as they were at the last load or save: what they are compared
  // with to tell which keys were changed here.
  TSettings SyncedSettings;
  // Failed log writes, turned into first-failure and recovery messages.
  TStoreHealth StoreHealth;

  // What only the windows show; nothing in the engine's decisions reads it.
  TDisplayState Display;
};

}  // namespace tessaro
