#pragma once
// Where the program keeps UserParaIni.ini, Record/ and Backup/ when no
// --data-dir is given.

#include <string>

namespace tessaro::config {

// exeDir (ending with "/") when it holds UserParaIni.ini, or when it is
// writable and not a system directory (a portable copy, a build tree);
// otherwise xdgDataHome + "/tessaro/" when xdgDataHome is an absolute path,
// else home + "/.local/share/tessaro/". Root may write /usr/bin, so
// directories under /usr, /bin and /sbin never count as writable copies.
// Nothing is created here.
std::string DefaultDataDir(const std::string& exeDir, const char* xdgDataHome, const char* home);

// The same, from the environment ($XDG_DATA_HOME, $HOME, else the password
// database's home directory).
std::string DefaultDataDir(const std::string& exeDir);

}  // namespace tessaro::config
