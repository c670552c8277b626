#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "core/DeviceList.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {
class DeviceListFile : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tessaro_devlist_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    List.SetRecordDir(Dir.string() + "/");
    List.OnRebuildTree = [this] { ++Rebuilds; };
  }
  void TearDown() override { fs::remove_all(Dir); }

  static TDeviceNode Node(uint8_t address, const std::string& name, uint8_t index = 0) {
    TDeviceNode n;
    n.NodeIndex = index;
    n.Address = address;
    n.Name = PadDeviceName(name);
    return n;
  }
  std::vector<char> FileBytes() const {
    std::ifstream f(Dir / "TreeNode.dat", std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
  }
  void WriteFile(const std::vector<char>& bytes) const {
    std::ofstream f(Dir / "TreeNode.dat", std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path Dir;
  TDeviceList List;
  int Rebuilds = 0;
};
}  // namespace

TEST_F(DeviceListFile, SavedRecordIsIndexAddressAndNamePaddedWithCarriageReturns) {
  List.AddDevice(Node(7, "UPS-A", 3));
  const std::vector<char> bytes = FileBytes();
  ASSERT_EQ(bytes.size(), 42u);
  std::vector<char> expected = {3, 7, 'U', 'P', 'S', '-', 'A'};
  expected.resize(42, '\r');
  EXPECT_EQ(bytes, expected);
}

TEST_F(DeviceListFile, LoadsRecordsInFileOrderAndIgnoresPartialTail) {
  std::vector<char> bytes;
  for (uint8_t a : {9, 2, 5}) {
    const TDeviceNode n = Node(a, "dev" + std::to_string(a));
    const char* p = reinterpret_cast<const char*>(&n);
    bytes.insert(bytes.end(), p, p + sizeof n);
  }
  bytes.insert(bytes.end(), {1, 4, 'x'});  // a write cut short
  WriteFile(bytes);
  List.LoadDeviceList();
  ASSERT_EQ(List.Count, 3);
  EXPECT_EQ(List.Nodes[1].Address, 9);
  EXPECT_EQ(List.Nodes[2].Address, 2);
  EXPECT_EQ(List.Nodes[3].Address, 5);
  EXPECT_EQ(TrimDeviceName(List.Nodes[2].Name), "dev2");
  EXPECT_EQ(Rebuilds, 1);
}

TEST_F(DeviceListFile, MissingFileIsCreatedEmpty) {
  List.LoadDeviceList();
  EXPECT_EQ(List.Count, 0);
  EXPECT_TRUE(fs::exists(Dir / "TreeNode.dat"));
  EXPECT_EQ(fs::file_size(Dir / "TreeNode.dat"), 0u);
}

TEST_F(DeviceListFile, OversizedOrCorruptFileLoadsWhatIsSoundAndKeepsTheOriginal) {
  std::vector<char> bytes;
  for (int i = 0; i < 260; ++i) {
    const TDeviceNode n = Node(i == 0 ? 253 : static_cast<uint8_t>(i % 252 + 1), "d");
    const char* p = reinterpret_cast<const char*>(&n);
    bytes.insert(bytes.end(), p, p + sizeof n);
  }
  WriteFile(bytes);
  List.LoadDeviceList();
  EXPECT_EQ(List.Count, MaxDevices);
  EXPECT_TRUE(List.Truncated());
  EXPECT_EQ(List.Nodes[1].Address, 2);  // the record for address 253 was skipped
  List.DeleteDevice(2);
  EXPECT_EQ(fs::file_size(Dir / "TreeNode_full.dat"), bytes.size());
  EXPECT_EQ(fs::file_size(Dir / "TreeNode.dat"), 251u * 42u);
}

TEST_F(DeviceListFile, SecondOversizedFileIsKeptBesideTheFirstCopy) {
  std::vector<char> bytes;
  const TDeviceNode bad = Node(253, "d");
  const char* p = reinterpret_cast<const char*>(&bad);
  bytes.insert(bytes.end(), p, p + sizeof bad);
  {
    std::ofstream f(Dir / "TreeNode_full.dat", std::ios::binary);
    f << "from an earlier run";
  }
  WriteFile(bytes);
  List.LoadDeviceList();
  List.AddDevice(Node(1, "d"));
  EXPECT_EQ(fs::file_size(Dir / "TreeNode_full.dat"), 19u);
  ASSERT_TRUE(fs::exists(Dir / "TreeNode_full1.dat"));
  EXPECT_EQ(fs::file_size(Dir / "TreeNode_full1.dat"), 42u);
}

TEST_F(DeviceListFile, FileThatCannotBeOpenedIsLeftAloneAndNeverReplacedUnseen) {
  const fs::path file = Dir / "TreeNode.dat";
  const std::function<void()> makers[] = {
      [&] { fs::create_symlink("TreeNode.dat", file); },  // a link loop: no one can open it
      [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); },  // an open would wait for a writer
  };
  for (const auto& make : makers) {
    fs::remove(file);
    make();
    const fs::file_type type = fs::symlink_status(file).type();
    TDeviceList list(Dir.string() + "/");
    list.Count = 1;
    list.Nodes[1] = Node(4, "kept");
    int rebuilds = 0;
    list.OnRebuildTree = [&] { ++rebuilds; };
    EXPECT_NO_THROW(list.LoadDeviceList());
    EXPECT_EQ(list.Count, 1);
    EXPECT_EQ(rebuilds, 0);
    EXPECT_THROW(list.AddDevice(Node(5, "new")), std::system_error);
    EXPECT_EQ(fs::symlink_status(file).type(), type);
  }
}

// The disk fills up in the middle of a save: the list on disk stays whole
// and no temporary file is left; a stale temporary file of an earlier run
// (even a directory of that name) does not stop the next save.
TEST_F(DeviceListFile, SaveIsAllOrNothingAndNeedsNoFixedTemporaryName) {
  List.AddDevice(Node(1, "one"));
  List.AddDevice(Node(2, "two"));
  const std::vector<char> before = FileBytes();
  {
    const sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit low = old;
    low.rlim_cur = 100;  // room for two records, not three
    ::setrlimit(RLIMIT_FSIZE, &low);
    EXPECT_THROW(List.AddDevice(Node(3, "three")), std::system_error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
  }
  EXPECT_EQ(FileBytes(), before);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"TreeNode.dat"});

  fs::create_directory(Dir / "TreeNode.dat.tmp");
  ASSERT_NO_THROW(List.AddDevice(Node(4, "four")));
  EXPECT_EQ(FileBytes().size(), 4u * 42);
}

TEST_F(DeviceListFile, AddOnFullListDoesNothing) {
  for (int i = 1; i <= MaxDevices; ++i) List.Nodes[i] = Node(static_cast<uint8_t>(i), "d");
  List.Count = MaxDevices;
  List.AddDevice(Node(1, "extra"));
  EXPECT_EQ(List.Count, MaxDevices);
  EXPECT_EQ(Rebuilds, 0);
}

TEST_F(DeviceListFile, DeleteRemovesEveryEntryOfTheAddressAndKeepsCursor) {
  for (uint8_t a : {1, 2, 1, 3}) List.AddDevice(Node(a, "d"));
  List.Cursor = 4;
  List.CurAddr = 3;
  List.DeleteDevice(1);
  ASSERT_EQ(List.Count, 2);
  EXPECT_EQ(List.Nodes[1].Address, 2);
  EXPECT_EQ(List.Nodes[2].Address, 3);
  EXPECT_EQ(List.Cursor, 4);
  List.NextPollAddress();  // the cursor comes back into range
  EXPECT_EQ(List.Cursor, 1);
  EXPECT_EQ(List.CurAddr, 2);
  EXPECT_EQ(fs::file_size(Dir / "TreeNode.dat"), 84u);
}

TEST_F(DeviceListFile, RenameFindsTheNodeIndexAndAlwaysSaves) {
  List.AddDevice(Node(4, "old", 0));
  List.AddDevice(Node(5, "other", 2));
  const int before = Rebuilds;
  List.RenameDevice(2, PadDeviceName("new"));
  EXPECT_EQ(TrimDeviceName(List.Nodes[2].Name), "new");
  EXPECT_EQ(TrimDeviceName(List.Nodes[1].Name), "old");
  List.RenameDevice(99, PadDeviceName("none"));
  EXPECT_EQ(Rebuilds, before + 2);
}

TEST(DeviceList, NextPollAddressIsRoundRobinAndZeroWhenEmpty) {
  TDeviceList list;
  list.NextPollAddress();
  EXPECT_EQ(list.Cursor, 0);
  EXPECT_EQ(list.CurAddr, 0);
  const uint8_t addrs[] = {8, 3, 8};
  for (int i = 0; i < 3; ++i) list.Nodes[i + 1].Address = addrs[i];
  list.Count = 3;
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) {
    list.NextPollAddress();
    seen.push_back(list.CurAddr);
  }
  EXPECT_EQ(seen, (std::vector<int>{8, 3, 8, 8, 3}));
}

TEST(DeviceList, NodeLookupsReturnFirstMatchOrZero) {
  TDeviceList list;
  list.Nodes[1] = {5, 10, {}};
  list.Nodes[2] = {7, 11, {}};
  list.Nodes[3] = {7, 12, {}};
  list.Count = 3;
  EXPECT_EQ(list.AddressOfNode(7), 11);
  EXPECT_EQ(list.PositionOfNode(7), 2);
  EXPECT_EQ(list.AddressOfNode(6), 0);
  EXPECT_EQ(list.PositionOfNode(6), 0);
}

TEST(DeviceName, PadAndTrimRoundTripGbkBytes) {
  const std::string gbk = "\xC9\xE8\xB1\xB8";  // two Chinese characters in GBK
  const auto padded = PadDeviceName(gbk);
  EXPECT_EQ(padded[4], '\r');
  EXPECT_EQ(padded[39], '\r');
  EXPECT_EQ(TrimDeviceName(padded), gbk);
  EXPECT_EQ(TrimDeviceName(PadDeviceName(std::string(50, 'x'))).size(), 40u);
}

// Whatever is wrong with a list someone else wrote (a copy cut short, a file
// of noise, a hand edit) is said, and the file as it was is kept when the
// list is next saved; a sound file is neither complained about nor copied.
TEST_F(DeviceListFile, WhatIsWrongWithTheFileIsSaidAndTheFileKeptAtTheNextSave) {
  auto records = [](std::vector<TDeviceNode> nodes) {
    std::vector<char> bytes;
    for (const TDeviceNode& n : nodes) {
      const char* p = reinterpret_cast<const char*>(&n);
      bytes.insert(bytes.end(), p, p + sizeof n);
    }
    return bytes;
  };
  TDeviceNode control = Node(6, "ab");
  control.Name[2] = '\x07';
  std::vector<char> noise(1000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  std::vector<char> cut = records({Node(1, "one"), Node(2, "two"), Node(3, "three")});
  cut.resize(100);
  struct TCase {
    const char* Name;
    std::vector<char> Bytes;
    int Count;                        // devices loaded
    std::vector<std::string> Said;    // parts of the problems, in order
  } cases[] = {
      {"sound", records({Node(1, "one"), Node(2, "two"), Node(3, "three")}), 3, {}},
      {"cut from 126 to 100 bytes", cut, 2, {"it is 100 bytes, not a whole number of 42-byte devices"}},
      {"address beyond the bus", records({Node(253, "far"), Node(4, "four")}), 1,
       {"device 1 (address 253) is beyond the last bus address, 252, and is left out"}},
      {"address 0, which the table has", records({Node(0, "zero")}), 1, {}},
      {"address given twice", records({Node(5, "a"), Node(5, "b")}), 2, {"device 2 (address 5) has the address of device 1"}},
      {"control bytes in a name", records({control}), 1, {"device 1 (address 6) has control bytes in its name"}},
      {"noise", noise, -1, {"device 1 ", "and ", "not a whole number"}},
  };
  for (const TCase& c : cases) {
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    WriteFile(c.Bytes);
    TDeviceList list(Dir.string() + "/");
    list.LoadDeviceList();
    if (c.Count >= 0) {
      EXPECT_EQ(list.Count, c.Count) << c.Name;
    }
    std::string said;
    for (const std::string& p : list.Problems()) said += p + "\n";
    EXPECT_LE(list.Problems().size(), 7u) << c.Name << ": a few lines, not one per record\n" << said;
    size_t at = 0;
    for (const std::string& part : c.Said) {
      at = said.find(part, at);
      EXPECT_NE(at, std::string::npos) << c.Name << ": " << part << "\n" << said;
    }
    EXPECT_EQ(list.Problems().empty(), c.Said.empty()) << c.Name << "\n" << said;

    list.AddDevice(Node(200, "new"));
    if (c.Said.empty()) {
      EXPECT_TRUE(list.KeptAs().empty()) << c.Name;
      EXPECT_FALSE(fs::exists(Dir / "TreeNode_full.dat")) << c.Name;
    } else {
      EXPECT_EQ(list.KeptAs(), (Dir / "TreeNode_full.dat").string()) << c.Name;
      EXPECT_EQ(fs::file_size(Dir / "TreeNode_full.dat"), c.Bytes.size()) << c.Name;
    }
    // Kept once: the list now on disk is what was saved.
    list.AddDevice(Node(201, "newer"));
    EXPECT_TRUE(list.KeptAs().empty()) << c.Name;
  }
}

namespace {
// "1A 2B" -> devices at addresses 1 and 2 named A and B.
std::vector<TDeviceNode> Devices(const std::string& spec) {
  std::vector<TDeviceNode> out;
  std::istringstream words(spec);
  for (std::string w; words >> w;) {
    TDeviceNode n;
    n.Address = static_cast<uint8_t>(std::stoi(w));
    n.Name = PadDeviceName(w.substr(w.find_first_not_of("0123456789")));
    out.push_back(n);
  }
  return out;
}

std::string Spec(const std::vector<TDeviceNode>& list) {
  std::string out;
  for (const TDeviceNode& n : list) out += (out.empty() ? "" : " ") + std::to_string(n.Address) + TrimDeviceName(n.Name);
  return out;
}
}  // namespace

// The list as the desktop has it (ours), as it was loaded (base) and as the
// command line left the file meanwhile (theirs).
TEST(DeviceListMerge, ChangesOfBothSidesAreKeptAndOursWinsForTheSameDevice) {
  struct TCase {
    const char* What;
    const char* Ours;
    const char* Theirs;
    const char* Merged;
  } const cases[] = {
      {"changed by the command line only", "1A 2B 3C", "1A 2B 3C 4D", "1A 2B 3C 4D"},
      {"removed by the command line only", "1A 2B 3C", "1A 3C", "1A 3C"},
      {"changed here only", "1A 2X 3C 5E", "1A 2B 3C", "1A 2X 3C 5E"},
      {"both, other devices", "2B 3C 5E", "1A 2B 3C 4D", "2B 3C 4D 5E"},
      {"the same device both renamed", "1A 2Ours 3C", "1A 2Theirs 3C", "1A 2Ours 3C"},
      {"renamed here, removed there", "1A 2B 3Kept", "1A 2B", "1A 2B 3Kept"},
      {"removed here, renamed there", "1A 3C", "1A 2Theirs 3C", "1A 3C"},
      {"the same address added by both", "1A 2B 3C 7Ours", "1A 2B 3C 7Theirs", "1A 2B 3C 7Ours"},
  };
  const std::vector<TDeviceNode> base = Devices("1A 2B 3C");
  for (const TCase& c : cases)
    EXPECT_EQ(Spec(MergeDeviceLists(Devices(c.Ours), base, Devices(c.Theirs))), c.Merged) << c.What;
}

// The desktop adds a device after `tessaro devices add` wrote to the file.
TEST_F(DeviceListFile, ASaveKeepsWhatAnotherProgramWroteSinceTheLoad) {
  List.AddDevice(Node(1, "A"));
  List.LoadDeviceList();
  TDeviceList other;
  other.SetRecordDir(Dir.string() + "/");
  other.LoadDeviceList();
  other.AddDevice(Node(2, "B"));
  const int before = Rebuilds;
  List.AddDevice(Node(3, "C"));
  EXPECT_EQ(List.Count, 3);
  EXPECT_GT(Rebuilds, before + 1);  // the tree shows the device added elsewhere
  TDeviceList reread;
  reread.SetRecordDir(Dir.string() + "/");
  reread.LoadDeviceList();
  EXPECT_EQ(Spec({reread.Nodes.begin() + 1, reread.Nodes.begin() + 1 + reread.Count}), "1A 2B 3C");
  // The next save starts from what was written: the device added elsewhere stays.
  List.DeleteDevice(1);
  reread.LoadDeviceList();
  EXPECT_EQ(Spec({reread.Nodes.begin() + 1, reread.Nodes.begin() + 1 + reread.Count}), "2B 3C");
}
