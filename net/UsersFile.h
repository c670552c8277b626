#pragma once
// The users of the network listeners: who may log in and which device
// commands each may give. One file, one password check, for every listener.
//
// The file holds one user per line, "NAME:HASH" or "NAME:HASH:COMMANDS":
//   # comment
//   operator:$y$j9T$...:test.battery.start,test.battery.stop
//   admin:$6$...:all
//   monitor:$y$j9T$...:primary
//   viewer:$y$j9T$...
// HASH is a crypt(3) hash (yescrypt "$y$" or SHA-512 "$6$", as mkpasswd makes
// them); plain-text passwords are refused. COMMANDS is a comma-separated list
// of command names, "all" for every command, and "primary" for the role of
// the machine that shuts down last (PRIMARY and FSD); "all" does not include
// it. A user without COMMANDS may log in but run nothing.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::net {

struct TUser {
  std::string Name;
  std::string Hash;
  std::vector<std::string> Commands;
  bool AllCommands = false;
  bool Primary = false;
};

class TUsersFile {
 public:
  // Reads path. Refused, with the reason in `error`: a file that is not a
  // regular file, one others can read or that group or others can write, one
  // owned by a user other than this process's or root, a line that is not
  // NAME:HASH[:COMMANDS] with a hash of a supported kind, a name given twice.
  static std::optional<TUsersFile> Load(const std::string& path, std::string& error);
  // The same checks on text already read (no file checks); for tests and fuzzing.
  static std::optional<TUsersFile> Parse(std::string_view text, std::string& error);

  // True when the user exists and the password matches. An unknown user costs
  // the same hash as a known one (its password is checked against another
  // user's hash), so timing does not tell which names exist.
  bool Check(std::string_view name, std::string_view password) const;
  // The hash a password for `name` is checked against: the user's own, or
  // for an unknown name another user's.
  const std::string& HashFor(std::string_view name) const;
  // The user exists and may run the command.
  bool MayRun(std::string_view name, std::string_view command) const;
  // The user exists and holds the primary role.
  bool IsPrimary(std::string_view name) const;

  const std::vector<TUser>& Users() const { return FUsers; }

 private:
  const TUser* Find(std::string_view name) const;
  std::vector<TUser> FUsers;
};

// crypt(3) of password with the hash's own settings compared, in constant
// time, to the hash. False for a hash libcrypt cannot use.
bool PasswordMatches(std::string_view password, const std::string& hash);

}  // namespace tessaro::net
