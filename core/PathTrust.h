#pragma once
// Whether a file or directory may be believed. Settings, the event hook and
// the data directory are taken only from places no other user can change:
// what another user can write there, this program would run as its own user.

#include <sys/types.h>

#include <string>
#include <system_error>

namespace tessaro {

enum class TTrustProblem {
  None,
  Missing,         // Path does not exist (everything above it was checked)
  Unreadable,      // Path could not be looked at (Error)
  OwnedByOther,    // Path belongs to Owner, neither the user nor root
  GroupWritable,   // Path may be written by its group
  OthersWritable,  // Path may be written by anyone
  TooManyLinks,    // a loop of symbolic links
};

struct TTrust {
  TTrustProblem Problem = TTrustProblem::None;
  std::string Path;  // the file or directory at fault
  uid_t Owner = 0;
  mode_t Mode = 0;
  int Error = 0;

  bool Trusted() const { return Problem == TTrustProblem::None; }
  // "PATH belongs to NAME (uid N)", "PATH may be written by others (mode 0777)", ...
  std::string Text() const;
};

// `path` is trusted by `uid` when it and every directory above it belong to
// `uid` or to root and may not be written by group or others. A directory
// above it may be sticky and writable by others (as /tmp): there nobody can
// rename or remove what is not theirs. A symbolic link on the way must
// belong to `uid` or root as well, and what it points to is checked the same
// way. The first problem found is returned; a missing path is reported as
// Missing after everything above it was checked.
TTrust CheckTrusted(const std::string& path, uid_t uid);

// The user's login name, or "uid N" when the password database has none.
std::string UserName(uid_t uid);

// Creates `dir` and its missing parents as directories that group and others
// cannot write (0755, whatever the umask allows more).
std::error_code MakeDirectories(const std::string& dir);

// A directory only `uid` may enter, for the program's sockets:
// $XDG_RUNTIME_DIR/tessaro when xdgRuntimeDir is absolute and trusted, else
// tmpDir (or /tmp when it is not absolute) + "/tessaro-<uid>". It is created
// 0700 and checked after creation: one that is a link or belongs to someone
// else is refused (empty result, `why` says so); one of ours that others may
// enter is closed (0700).
std::string PrivateRuntimeDir(const char* xdgRuntimeDir, const char* tmpDir, uid_t uid, std::string& why);

// Why a file was not opened by OpenOwnedFile. The codes compare equal to
// std::errc::invalid_argument, too_many_symbolic_link_levels and
// permission_denied; their messages say what was found.
enum class TFileRefusal { NotRegular = 1, SymbolicLink, NotDirectoryOwners };
const std::error_category& FileRefusalCategory();
std::error_code MakeErrorCode(TFileRefusal refusal);

// Opens a file in a data directory for reading, as it may be read on behalf
// of someone else (root exporting a service's logs): never through a symbolic
// link, only a regular file, and only one that belongs to whoever owns the
// directory holding it (a link to that directory counts as theirs): the one
// who chose its names must not get another user to read what they could not.
// Opened without waiting, so a FIFO does not hold the reader. The descriptor,
// or -1 with `ec` set.
int OpenOwnedFile(const std::string& path, std::error_code& ec);

// `text` quoted for a POSIX shell where it needs to be: 'it'\''s'.
std::string ShellQuote(const std::string& text);

}  // namespace tessaro
