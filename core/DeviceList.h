#pragma once
// The configured devices in the order they were added, and the poll cursor.
// Persisted as TreeNode.dat: headerless 42-byte TDeviceNode records.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

constexpr int MaxDevices = 252;
constexpr int DeviceNameLen = 40;

#pragma pack(push, 1)
struct TDeviceNode {
  uint8_t NodeIndex = 0;
  uint8_t Address = 0;
  // GBK bytes, padded with carriage returns (13) to 40.
  std::array<char, DeviceNameLen> Name{};
};
#pragma pack(pop)
static_assert(sizeof(TDeviceNode) == 42);

// A GBK name cut or padded with byte 13 to exactly 40 bytes.
std::array<char, DeviceNameLen> PadDeviceName(std::string_view gbk);
// The name as typed: the bytes up to the first 13.
std::string TrimDeviceName(const std::array<char, DeviceNameLen>& name);

// The list to write back when the file was changed by someone else since
// `base` was read from it: a device added, renamed or removed here since
// `base` is so in the result; every other device is as the file has it now
// (`theirs`), in its order, with devices added here after them. A device both
// changed is as it is here.
std::vector<TDeviceNode> MergeDeviceLists(const std::vector<TDeviceNode>& ours, const std::vector<TDeviceNode>& base,
                                          const std::vector<TDeviceNode>& theirs);

class TDeviceList {
 public:
  // recordDir ends with "/"; the list lives in recordDir + "TreeNode.dat".
  explicit TDeviceList(std::string recordDir = {});

  std::array<TDeviceNode, MaxDevices + 1> Nodes{};  // positions 1..252; 0 unused
  uint8_t Count = 0;
  uint8_t Cursor = 0;
  uint8_t CurAddr = 0;

  // Rebuilds the device tree (which rewrites every NodeIndex); set by the main window.
  std::function<void()> OnRebuildTree;

  std::string FileName() const { return FRecordDir + "TreeNode.dat"; }
  void SetRecordDir(std::string recordDir) { FRecordDir = std::move(recordDir); }
  // Every save then holds the write lock of dataDir (a running monitor's
  // list; the configuration commands hold it around their whole change).
  void UseWriteLock(std::string dataDir) { FLockDir = std::move(dataDir); }

  // Loads TreeNode.dat. A file of more than 252 records loads its first 252,
  // and records with an address above 252 (no such bus address) are skipped;
  // Truncated is set then. Whatever is wrong with the file (those, a length that is no whole
  // number of records, an address given twice, a name with control bytes) is
  // told by Problems, and the file as it was is kept as TreeNode_full.dat
  // (TreeNode_full<n>.dat when that name is taken) before the list is first
  // saved, so nothing is lost. A file that exists but cannot be opened leaves
  // the list as it was and is kept the same way.
  void LoadDeviceList();
  // Throws std::system_error when the file cannot be written, when a file
  // that was not loaded whole cannot be kept first (it is then not replaced),
  // or when the write lock cannot be had. A list changed on disk since it was
  // loaded or saved here (`tessaro device add` while the desktop runs) is
  // merged with the changes made here (MergeDeviceLists), and the merged list
  // becomes this one.
  void SaveDeviceList();
  void AddDevice(const TDeviceNode& node);
  void DeleteDevice(uint8_t address);
  void RenameDevice(uint8_t nodeIndex, const std::array<char, DeviceNameLen>& name);
  void NextPollAddress();
  uint8_t AddressOfNode(uint8_t nodeIndex) const;
  uint8_t PositionOfNode(uint8_t nodeIndex) const;

  bool Truncated() const { return FTruncated; }
  // What the last load found wrong with the file, one English sentence each.
  const std::vector<std::string>& Problems() const { return FProblems; }
  // Where the last save kept the file as it was; empty when it kept none.
  const std::string& KeptAs() const { return FKeptAs; }

 private:
  void RebuildTree();
  void Save();
  std::string FRecordDir;
  std::string FLockDir;
  bool FTruncated = false;
  bool FKeepOriginal = false;  // copy the file aside before the next save
  std::vector<std::string> FProblems;
  std::string FKeptAs;
  std::vector<TDeviceNode> FSynced;  // the file as last read or written here
  bool FSyncedKnown = false;
};

}  // namespace tessaro
