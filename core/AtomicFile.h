#pragma once
// Replacing a small file so that a crash, a power cut or a full disk leaves
// either the old content or the new one, never a mix or an empty file.

#include <string>
#include <string_view>
#include <system_error>

namespace tessaro {

// Writes `data` to a temporary file with a unique name in the directory of
// `path`, syncs it, renames it over `path` and syncs the directory. A symbolic
// link is written through to its target; the old file's owner (where allowed)
// and permissions are kept, a new file gets 0644 less the umask. On failure the
// old file is untouched and no temporary file is left behind.
[[nodiscard]] std::error_code ReplaceFileAtomically(const std::string& path, std::string_view data);

// Copies `from` byte for byte to the new file `to` (synced to disk), never
// replacing an existing file (std::errc::file_exists). Only a regular file is
// copied (std::errc::invalid_argument otherwise). A failed copy removes what
// it wrote.
[[nodiscard]] std::error_code CopyFileExclusive(const std::string& from, const std::string& to);

// Syncs the directory holding `path`, so that a file just created or renamed
// there survives a power cut. Best effort: not every file system allows it.
void SyncParentDirectory(const std::string& path);

}  // namespace tessaro
