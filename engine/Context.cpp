#include "engine/Context.h"

#include <filesystem>

#include "core/DataDirLock.h"
#include "core/PathTrust.h"

namespace tessaro {

namespace {
std::string WithSlash(std::string dir) {
  if (dir.empty()) dir = "./";
  if (dir.back() != '/') dir += '/';
  return dir;
}
}  // namespace

TContext::TContext(std::string dataDir, const TClock& clock)
    : DataDir(WithSlash(std::move(dataDir))),
      RecordDir(DataDir + "Record/"),
      BackupDir(DataDir + "Backup/"),
      Clock(clock),
      DeviceList(RecordDir),
      StoreHealth(clock) {
  DeviceList.UseWriteLock(DataDir);
  InitDeviceTable(UpsInfo);
}

TContext::~TContext() { StopLogWriter(); }

void TContext::StartLogWriter() {
  if (!LogWriter && EventLogger && DataLogger) LogWriter = std::make_unique<TLogWriter>(EventLogger, DataLogger);
}

bool TContext::StopLogWriter(std::chrono::milliseconds bound) {
  if (!LogWriter) return true;
  const bool written = LogWriter->Stop(bound);
  LogWriter.reset();
  return written;
}

void TContext::Start() {
  for (const std::string& dir : {RecordDir, BackupDir})
    if (const std::error_code ec = MakeDirectories(dir))
      throw std::filesystem::filesystem_error("cannot create directory", dir, ec);
  LoadSettings();
  EventLogger = std::make_unique<TEventLog>(RecordDir, "EventLog.dat", BackupDir, UpsInfo, Clock);
  DataLogger = std::make_unique<TDataLog>(RecordDir);
  AttachStoreHealth(StoreHealth, *EventLogger, *DataLogger);
  DeviceList.LoadDeviceList();
  InitDeviceTable(UpsInfo);
}

std::error_code TContext::SaveSettings(const TSettingsSnapshot* unchangedSince) {
  TWriteLock lock;
  if (const std::error_code ec = lock.Acquire(DataDir)) return ec;
  if (unchangedSince) return tessaro::SaveSettings(Settings, IniPath(), unchangedSince);
  TSettings theirs;
  const TSettingsSnapshot now = tessaro::LoadSettings(theirs, IniPath());
  // Settings still hold what they held before a merge: the keys not changed
  // here since the last save take the file's value, which may be that merge.
  const TSettings merged = MergeSettings(Settings, SyncedSettings, theirs);
  // Under the lock nobody else writes; the snapshot only guards against a hand edit in between.
  if (const std::error_code ec = tessaro::SaveSettings(merged, IniPath(), &now)) return ec;
  TSettings written;
  LoadedSettings = tessaro::LoadSettings(written, IniPath());
  SyncedSettings = Settings;
  return {};
}

}  // namespace tessaro
