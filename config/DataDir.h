#pragma once
// Where the program keeps UserParaIni.ini, Record/ and Backup/, and who may
// use that directory: settings and an event hook are taken only from places
// no other user can change, and what a command creates there belongs to the
// directory's owner.

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/DataDirLock.h"

namespace tessaro::config {

// exeDir (ending with "/") when that directory is trusted (CheckTrusted:
// nobody but this user or root can change it or anything above it) and
// either holds UserParaIni.ini or is writable and not a system directory (a
// portable copy, a build tree); otherwise xdgDataHome + "/tessaro/" when
// xdgDataHome is an absolute path, else home + "/.local/share/tessaro/".
// Root may write /usr/bin, so directories under /usr, /bin and /sbin never
// count as writable copies. Nothing is created here.
std::string DefaultDataDir(const std::string& exeDir, const char* xdgDataHome, const char* home);

// The same, from the environment ($XDG_DATA_HOME, $HOME, else the password
// database's home directory).
std::string DefaultDataDir(const std::string& exeDir);

// Before a monitor (desktop or headless) starts on dataDir (ending with "/")
// as this user: the data directory, its settings file, Record/ and Backup/
// must be trusted, the files the monitor appends to writable, and those, the
// settings file and the device list plain files (not /dev/null); a missing
// data directory is made. Then the instance lock is taken. On refusal,
// false with `error` saying what is wrong and what to do (a chmod, a chown,
// or the line that runs the same command as the directory's owner); `args`
// are the program's arguments, for that line.
bool PrepareMonitorDataDir(const std::string& dataDir, const std::vector<std::string>& args, TInstanceLock& lock,
                           std::string& error);

// Why a monitor or a search does not start on dataDir's settings file: what
// in it was not understood, line by line, and how to get out of that. Empty
// for a good file and for none. Several lines.
std::string SettingsRefusal(const std::string& dataDir);

// Before a configuration command writes in dataDir (ending with "/"): when
// the directory, or while it does not exist the directory it will be made
// in (unless that is root's), belongs to another user, root takes on that
// user's identity (user, group, supplementary groups) for the rest of the
// process, so that what it creates belongs to the owner, like the files it
// rewrites, and it can change nothing the owner could not. Anyone else, or a
// switch that fails, is refused before anything is changed: false, with
// `error` naming the "sudo -u OWNER tessaro --data-dir DIR ARGS" line to use.
bool ActAsDataDirOwner(const std::string& dataDir, const std::vector<std::string>& args, std::string& error);

// "sudo -u NAME tessaro --data-dir DIR ARGS" (any --data-dir in args replaced).
std::string SudoLine(uid_t owner, const std::string& dataDir, const std::vector<std::string>& args);

}  // namespace tessaro::config
