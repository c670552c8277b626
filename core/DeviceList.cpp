#include "core/DeviceList.h"

#include "core/AtomicFile.h"
#include "core/DataDirLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

namespace tessaro {

namespace fs = std::filesystem;

std::array<char, DeviceNameLen> PadDeviceName(std::string_view gbk) {
  std::array<char, DeviceNameLen> out;
  out.fill('\r');
  std::memcpy(out.data(), gbk.data(), std::min<size_t>(gbk.size(), DeviceNameLen));
  return out;
}

std::string TrimDeviceName(const std::array<char, DeviceNameLen>& name) {
  std::string out(name.data(), name.size());
  const auto cr = out.find('\r');
  if (cr != std::string::npos) out.resize(cr);
  return out;
}

namespace {

bool SameDevice(const TDeviceNode& a, const TDeviceNode& b) { return a.Address == b.Address && a.Name == b.Name; }

const TDeviceNode* Find(const std::vector<TDeviceNode>& list, uint8_t address) {
  for (const TDeviceNode& n : list)
    if (n.Address == address) return &n;
  return nullptr;
}

bool SameLists(const std::vector<TDeviceNode>& a, const std::vector<TDeviceNode>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameDevice);
}

// The records of the list file as it is, or nothing when it is not a plain
// file that can be read whole.
std::optional<std::vector<TDeviceNode>> ReadRecords(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::FILE* f = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fdopen(fd, "rb") : nullptr;
  if (!f) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<TDeviceNode> out;
  TDeviceNode node;
  while (out.size() < MaxDevices && std::fread(&node, sizeof node, 1, f) == 1) out.push_back(node);
  std::fclose(f);
  return out;
}

}  // namespace

std::vector<TDeviceNode> MergeDeviceLists(const std::vector<TDeviceNode>& ours, const std::vector<TDeviceNode>& base,
                                          const std::vector<TDeviceNode>& theirs) {
  // Changed here: added, renamed or removed since base.
  const auto changedHere = [&](uint8_t address) {
    const TDeviceNode* mine = Find(ours, address);
    const TDeviceNode* before = Find(base, address);
    if (!mine || !before) return mine != before;
    return !SameDevice(*mine, *before);
  };
  std::vector<TDeviceNode> out;
  for (const TDeviceNode& node : theirs) {
    if (Find(out, node.Address)) continue;
    if (!changedHere(node.Address)) {
      out.push_back(node);
    } else if (const TDeviceNode* mine = Find(ours, node.Address)) {
      out.push_back(*mine);
    }
  }
  for (const TDeviceNode& node : ours)
    if (!Find(out, node.Address) && changedHere(node.Address) && out.size() < MaxDevices) out.push_back(node);
  return out;
}

TDeviceList::TDeviceList(std::string recordDir) : FRecordDir(std::move(recordDir)) {}

void TDeviceList::RebuildTree() {
  if (OnRebuildTree) OnRebuildTree();
}

void TDeviceList::LoadDeviceList() {
  const std::string path = FileName();
  // Only a file that is surely missing is created; one that cannot even be
  // looked at (a link loop, no permission) is left for the open to refuse.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (created < 0 && errno != EEXIST) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
    if (created >= 0) ::close(created);
  }
  // Non-blocking and checked after opening: a FIFO put in its place must
  // neither hold the start up nor be read as a list.
  std::FILE* f = nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int openErrno = errno;
  if (fd >= 0) {
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) f = ::fdopen(fd, "rb");
    if (!f) ::close(fd);
  }
  FProblems.clear();
  if (!f) {
    // The list on disk may be sound; it must not be replaced unseen.
    FKeepOriginal = true;
    FProblems.push_back("it cannot be read as a list (" +
                        (fd < 0 ? std::string(std::strerror(openErrno)) : std::string("not a plain file")) + ")");
    return;
  }
  Count = 0;
  FTruncated = false;
  TDeviceNode node;
  int records = 0;
  std::array<int, MaxDevices + 1> firstAt{};  // record number holding each address first
  // A file of noise has a problem in every record; the first few tell enough.
  constexpr size_t MaxTold = 5;
  size_t untold = 0;
  const auto say = [&](std::string text) {
    if (FProblems.size() < MaxTold)
      FProblems.push_back(std::move(text));
    else
      ++untold;
  };
  while (std::fread(&node, sizeof node, 1, f) == 1) {
    ++records;
    const std::string which = "device " + std::to_string(records) + " (address " + std::to_string(node.Address) + ")";
    if (Count == MaxDevices) {
      FTruncated = true;
      break;
    }
    if (node.Address > MaxDevices) {
      FTruncated = true;
      say(which + " is beyond the last bus address, " + std::to_string(MaxDevices) + ", and is left out");
      continue;
    }
    if (firstAt[node.Address])
      say(which + " has the address of device " + std::to_string(firstAt[node.Address]));
    else
      firstAt[node.Address] = records;
    if (std::any_of(node.Name.begin(), node.Name.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return (u < 0x20 && u != '\r') || u == 0x7F;
        }))
      say(which + " has control bytes in its name");
    Nodes[++Count] = node;
  }
  std::fclose(f);
  if (untold > 0) FProblems.push_back("and " + std::to_string(untold) + " more devices like these");
  if (const auto total = static_cast<uintmax_t>(st.st_size) / sizeof(TDeviceNode); total > MaxDevices)
    FProblems.push_back("it holds " + std::to_string(total) + " devices; the list takes the first " +
                        std::to_string(MaxDevices));
  // What a write cut short leaves: the last device may be missing.
  if (const auto tail = static_cast<size_t>(st.st_size) % sizeof(TDeviceNode))
    FProblems.push_back("it is " + std::to_string(st.st_size) + " bytes, not a whole number of " +
                        std::to_string(sizeof(TDeviceNode)) + "-byte devices: the last " + std::to_string(tail) +
                        " bytes are no device, and a device may have been cut off");
  FKeepOriginal = !FProblems.empty();
  FSynced.assign(Nodes.begin() + 1, Nodes.begin() + 1 + Count);
  FSyncedKnown = !FKeepOriginal;
  RebuildTree();
}

void TDeviceList::SaveDeviceList() {
  if (FLockDir.empty()) return Save();
  TWriteLock lock;
  if (const std::error_code ec = lock.Acquire(FLockDir))
    throw std::system_error(ec, DescribeWriteLockError(ec, FLockDir));
  Save();
}

void TDeviceList::Save() {
  const std::string path = FileName();
  FKeptAs.clear();
  if (FKeepOriginal) {
    // TreeNode_full.dat, or TreeNode_full<n>.dat when an earlier run left one.
    // Without this copy the file is not replaced.
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) {
      std::string keep = FRecordDir + "TreeNode_full.dat";
      for (int n = 1; fs::exists(fs::symlink_status(keep, ec)); ++n)
        keep = FRecordDir + "TreeNode_full" + std::to_string(n) + ".dat";
      ec = CopyFileExclusive(path, keep);
      if (ec) throw std::system_error(ec, "cannot keep the unread list " + path + " as " + keep);
      FKeptAs = keep;
    }
    FKeepOriginal = false;
    FTruncated = false;
  }
  // Someone else changed the file since it was read here: their changes stay.
  if (FSyncedKnown) {
    const std::optional<std::vector<TDeviceNode>> theirs = ReadRecords(path);
    if (theirs && !SameLists(*theirs, FSynced)) {
      const std::vector<TDeviceNode> ours(Nodes.begin() + 1, Nodes.begin() + 1 + Count);
      const std::vector<TDeviceNode> merged = MergeDeviceLists(ours, FSynced, *theirs);
      std::copy(merged.begin(), merged.end(), Nodes.begin() + 1);
      Count = static_cast<uint8_t>(merged.size());
      if (!SameLists(merged, ours)) RebuildTree();
    }
  }
  // A full disk or a power cut mid-write must not leave a half-written list.
  const std::string_view bytes(reinterpret_cast<const char*>(&Nodes[1]), sizeof(TDeviceNode) * Count);
  if (const std::error_code ec = ReplaceFileAtomically(path, bytes))
    throw std::system_error(ec, "cannot write " + path);
  FSynced.assign(Nodes.begin() + 1, Nodes.begin() + 1 + Count);
  FSyncedKnown = true;
}

void TDeviceList::AddDevice(const TDeviceNode& node) {
  if (Count >= MaxDevices) return;
  Nodes[++Count] = node;
  RebuildTree();
  SaveDeviceList();
}

void TDeviceList::DeleteDevice(uint8_t address) {
  int kept = 0;
  for (int i = 1; i <= Count; ++i)
    if (Nodes[i].Address != address) Nodes[++kept] = Nodes[i];
  Count = static_cast<uint8_t>(kept);
  RebuildTree();
  SaveDeviceList();
}

void TDeviceList::RenameDevice(uint8_t nodeIndex, const std::array<char, DeviceNameLen>& name) {
  for (int i = 1; i <= Count; ++i)
    if (Nodes[i].NodeIndex == nodeIndex) {
      Nodes[i].Name = name;
      break;
    }
  RebuildTree();
  SaveDeviceList();
}

void TDeviceList::NextPollAddress() {
  if (Count == 0) {
    Cursor = 0;
    CurAddr = 0;
    return;
  }
  ++Cursor;
  if (Cursor > Count) Cursor = 1;
  CurAddr = Nodes[Cursor].Address;
}

uint8_t TDeviceList::AddressOfNode(uint8_t nodeIndex) const {
  for (int i = 1; i <= Count; ++i)
    if (Nodes[i].NodeIndex == nodeIndex) return Nodes[i].Address;
  return 0;
}

uint8_t TDeviceList::PositionOfNode(uint8_t nodeIndex) const {
  for (int i = 1; i <= Count; ++i)
    if (Nodes[i].NodeIndex == nodeIndex) return static_cast<uint8_t>(i);
  return 0;
}

}  // namespace tessaro
