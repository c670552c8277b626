#pragma once
// A program started by a test: its stdout and stderr are read through pipes,
// lines are waited for with a bound, and only this process is ever signalled.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace tessaro::testing {

struct TChildOptions {
  // "NAME=value" entries added to this process's environment.
  std::vector<std::string> Env;
  // Standard output goes into a pipe of one page that nobody ever reads, as
  // a terminal or a consumer that stopped reading would leave it.
  bool StdoutUnread = false;
};

class TChildProcess {
 public:
  explicit TChildProcess(const std::vector<std::string>& argv, const TChildOptions& options = {}) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    if (options.StdoutUnread) ::fcntl(out[1], F_SETPIPE_SZ, 4096);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envText = options.Env;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    for (std::string& e : envText) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&FPid, args[0], &fa, nullptr, args.data(), env.data()) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    (options.StdoutUnread ? FUnreadOut : FOut) = out[0];
    FErr = err[0];
  }
  ~TChildProcess() {
    Stop();
    if (FUnreadOut >= 0) ::close(FUnreadOut);
    if (FOut >= 0) ::close(FOut);
    if (FErr >= 0) ::close(FErr);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  const std::string& Out() const { return FOutText; }
  const std::string& Err() const { return FErrText; }

  // Reads output until `text` appears on stdout (at `from` or later) or the time is up.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds bound, size_t from = 0) {
    return WaitForText(FOutText, text, bound, from);
  }
  // The same on stderr.
  bool WaitForError(const std::string& text, std::chrono::milliseconds bound, size_t from = 0) {
    return WaitForText(FErrText, text, bound, from);
  }

  // Waits for the process to end by itself; -1 when it is still running at the bound.
  int WaitForExit(std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (FPid > 0) {
      int status = 0;
      const pid_t r = ::waitpid(FPid, &status, WNOHANG);
      if (r == FPid) {
        FPid = -1;
        // Take what is left; a grandchild that still holds the pipes must
        // not keep us here.
        do {
          FReadSome = false;
        } while (Pump(0) && FReadSome);
        FExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return FExit;
      }
      if (std::chrono::steady_clock::now() >= end) return -1;
      Pump(50);
    }
    return FExit;
  }

  void Signal(int sig) {
    if (FPid > 0) ::kill(FPid, sig);
  }

  // SIGTERM, then SIGKILL if it will not go.
  void Stop() {
    if (FPid <= 0) return;
    Signal(SIGTERM);
    if (WaitForExit(std::chrono::seconds(5)) == -1) {
      Signal(SIGKILL);
      WaitForExit(std::chrono::seconds(5));
    }
  }

 private:
  bool WaitForText(const std::string& stream, const std::string& text, std::chrono::milliseconds bound,
                   size_t from = 0) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (stream.find(text, from) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return stream.find(text, from) != std::string::npos;
    }
    return true;
  }

  // Reads what is there within `ms`; false when both pipes are closed.
  bool Pump(int ms) {
    pollfd fds[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
    if (FOut < 0 && FErr < 0) return false;
    if (::poll(fds, 2, ms) <= 0) return true;
    bool open = false;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? FOut : FErr;
      if (fd < 0) continue;
      if (fds[i].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? FOutText : FErrText).append(buf, static_cast<size_t>(n));
          FReadSome = true;
        } else {
          ::close(fd);
          fd = -1;
          continue;
        }
      }
      open = true;
    }
    return open;
  }

  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  int FUnreadOut = -1;
  int FExit = -1;
  bool FReadSome = false;
  std::string FOutText, FErrText;
};

}  // namespace tessaro::testing
