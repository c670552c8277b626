// libFuzzer target: UserParaIni.ini with arbitrary bytes. Loading never fails
// and keeps RecInterval 0 or at least 50; the snapshot is the file's bytes;
// a file with problems a save would lose is copied aside whole first; a save
// loads back the same settings and leaves nothing for the next one to set aside.

#include <filesystem>

#include "core/IniFile.h"
#include "core/UserParaIni.h"
#include "tests/fuzz/FileFuzz.h"

using namespace tessaro;

namespace {

bool SameSettings(const TSettings& a, const TSettings& b) {
  const TPortInfo& p = a.PortInfo;
  const TPortInfo& q = b.PortInfo;
  // One pair of surrounding quotes is dropped on reading, as the profile
  // functions did, so a name that keeps a pair after that cannot come back.
  const std::string& name = p.ComName;
  const bool quoted = name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front();
  return (quoted || p.ComName == q.ComName) && p.BaudRate == q.BaudRate && p.StopBits == q.StopBits &&
         p.AutoStart == q.AutoStart && p.Protocol == q.Protocol && p.ReadIntervalTimeout == q.ReadIntervalTimeout &&
         p.WaitTimer == q.WaitTimer && p.MaxReSend == q.MaxReSend && p.CommErrCnt == q.CommErrCnt &&
         p.CommLostCnt == q.CommLostCnt && a.Language == b.Language && a.RecInterval == b.RecInterval;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = SettingsPath(fuzz::ScratchDir());
  std::error_code ec;
  std::filesystem::remove(path + ".bad", ec);
  fuzz::WriteWholeFile(path, data, size);
  TSettings settings;
  const TSettingsSnapshot loaded = LoadSettings(settings, path);
  fuzz::Check(settings.RecInterval == 0 || settings.RecInterval >= MinRecInterval);
  if (size > MaxIniFileSize) return 0;  // refused unread, and never overwritten
  fuzz::Check(loaded.Exists && loaded.Content == std::string(reinterpret_cast<const char*>(data), size));
  (void)CheckSettings(settings);

  // As the settings dialog would: every value changed, then saved.
  settings.PortInfo.BaudRate ^= 1;
  settings.Language = static_cast<uint8_t>(settings.Language + 1);
  const bool problems = !SettingsFileProblems(path).empty();
  std::string keptAs;
  if (SaveSettings(settings, path, &loaded, &keptAs)) return 0;  // refused (a name with a line break)
  if (!keptAs.empty()) fuzz::Check(problems && std::filesystem::file_size(keptAs, ec) == size && !ec);
  TSettings back;
  LoadSettings(back, path);
  fuzz::Check(SameSettings(settings, back));
  // What is left is kept as it is: the next save sets nothing aside.
  fuzz::Check(!SaveSettings(back, path, nullptr, &keptAs) && keptAs.empty());
  return 0;
}
