#include "hooks/EventHooks.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Gbk.h"
#include "core/PathTrust.h"
#include "logs/EventText.h"

extern char** environ;

namespace tessaro::hooks {

namespace {

constexpr char EnvPrefix[] = "TESSARO_";

std::string DeviceName(uint8_t address, const TDeviceList& devices) {
  if (address == 0) return {};
  for (int i = 1; i <= std::min<int>(devices.Count, MaxDevices); ++i)
    if (devices.Nodes[static_cast<size_t>(i)].Address == address)
      return GbkToUtf8(TrimDeviceName(devices.Nodes[static_cast<size_t>(i)].Name));
  return {};
}

std::string Describe(const EventRecord& record, const std::string& text) {
  return FormatDateTime(record.Time) + " address " + std::to_string(record.Address) + " \"" + text + "\"";
}

}  // namespace

std::string HookRefusal(const std::string& program) {
  const uid_t uid = ::geteuid();
  if (const TTrust t = CheckTrusted(program, uid); !t.Trusted()) {
    switch (t.Problem) {
      case TTrustProblem::OwnedByOther:
        return t.Text() + "; a hook must belong to " + (uid == 0 ? std::string() : UserName(uid) + " or to ") + "root";
      case TTrustProblem::GroupWritable:
      case TTrustProblem::OthersWritable:
        return t.Text() + "; chmod go-w " + ShellQuote(t.Path);
      default:
        return t.Text();
    }
  }
  struct stat st {};
  if (::stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(program.c_str(), X_OK) != 0)
    return program + " is not an executable file";
  return {};
}

std::vector<std::string> RecordEnvironment(const EventRecord& record, const TDeviceList& devices, bool testing) {
  const bool alarm = record.Kind == EventKindAlarm;
  return {
      "TESSARO_TIME=" + FormatDateTime(record.Time),
      "TESSARO_ADDRESS=" + std::to_string(record.Address),
      "TESSARO_DEVICE=" + DeviceName(record.Address, devices),
      "TESSARO_KIND=" + std::to_string(record.Kind),
      "TESSARO_CODE=" + std::to_string(record.Code),
      "TESSARO_ACTIVE=" + (alarm ? std::to_string(record.Active ? 1 : 0) : std::string()),
      "TESSARO_TEXT=" + EventRecordText(record, 0),
      std::string("TESSARO_TESTING=") + (testing ? "1" : "0"),
  };
}

TEventHooks::TEventHooks(std::string program, const TDeviceList& devices)
    : FProgram(std::move(program)), FDevices(devices) {}

void TEventHooks::Enqueue(const EventRecord& record, bool testing) {
  if (FQueue.size() >= MaxQueued) {
    // Reported once per overflow, not once per record.
    if (FDropped++ == 0) Fail("event hook " + FProgram + ": too many records waiting; dropping new ones");
    return;
  }
  if (FDropped > 0) {
    Fail("event hook " + FProgram + ": " + std::to_string(FDropped) + " records were dropped");
    FDropped = 0;
  }
  TJob job;
  job.Address = record.Address;
  job.Env = RecordEnvironment(record, FDevices, testing);
  job.Label = Describe(record, EventRecordText(record, 0));
  FQueue.push_back(std::move(job));
  StartQueued();
}

void TEventHooks::Tick() {
  for (auto it = FRunning.begin(); it != FRunning.end();) {
    int status = 0;
    const pid_t r = ::waitpid(it->Pid, &status, WNOHANG);
    if (r == it->Pid || (r < 0 && errno == ECHILD)) {
      if (it->Killed) {
        std::string limit = std::to_string(TimeLimitTicks / 10);
        if (TimeLimitTicks % 10) limit += "." + std::to_string(TimeLimitTicks % 10);
        Fail("event hook " + FProgram + " took longer than " + limit + " s and was stopped (" + it->Label + ")");
      } else if (r == it->Pid && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        Fail("event hook " + FProgram + " exited with status " + std::to_string(WEXITSTATUS(status)) + " (" +
             it->Label + ")");
      } else if (r == it->Pid && WIFSIGNALED(status)) {
        Fail("event hook " + FProgram + " ended by signal " + std::to_string(WTERMSIG(status)) + " (" + it->Label +
             ")");
      }
      it = FRunning.erase(it);
      continue;
    }
    if (!it->Killed && ++it->Ticks >= TimeLimitTicks) {
      // The hook runs in a process group of its own: whatever it started goes too.
      ::kill(-it->Pid, SIGKILL);
      it->Killed = true;
    }
    ++it;
  }
  StartQueued();
}

void TEventHooks::StartQueued() {
  // Oldest first; a record waits while a hook for its device runs, so each
  // device's records run in log order.
  for (auto it = FQueue.begin(); it != FQueue.end() && FRunning.size() < static_cast<size_t>(MaxRunning);) {
    const bool busy = std::any_of(FRunning.begin(), FRunning.end(), [&](const TRun& r) { return r.Address == it->Address; });
    const bool earlierWaits =
        std::any_of(FQueue.begin(), it, [&](const TJob& j) { return j.Address == it->Address; });
    if (busy || earlierWaits) {
      ++it;
      continue;
    }
    Start(*it);
    it = FQueue.erase(it);
  }
}

bool TEventHooks::Start(TJob& job) {
  // Checked again each time: the program or a directory above it may have
  // been changed since the start. One that is gone is left to posix_spawn
  // to report.
  struct stat st {};
  if (const std::string refusal = ::lstat(FProgram.c_str(), &st) == 0 ? HookRefusal(FProgram) : std::string();
      !refusal.empty()) {
    Fail("event hook " + FProgram + " not run: " + refusal + " (" + job.Label + ")");
    return false;
  }
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, EnvPrefix, sizeof EnvPrefix - 1) != 0) env.emplace_back(*e);
  env.insert(env.end(), job.Env.begin(), job.Env.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = FProgram;
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // Descriptors this program inherited without close-on-exec (a terminal, a
  // socket of whoever started it) are none of the hook's business.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A process group of its own, so a timeout can stop all of it, and the
  // default signal handling (this program blocks some signals).
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    Fail("event hook " + FProgram + " could not start: " + std::strerror(rc) + " (" + job.Label + ")");
    return false;
  }
  FRunning.push_back({pid, job.Address, std::move(job.Label), 0, false});
  return true;
}

void TEventHooks::Fail(const std::string& text) {
  if (OnFailure) OnFailure(text);
}

}  // namespace tessaro::hooks
