// libFuzzer target: TreeNode.dat with arbitrary bytes. The loaded list holds
// at most 252 devices, all at bus addresses 0..252; saving it and loading it
// again gives the same list; a file with anything wrong is said to have it
// and is kept aside before the first save.

#include <cstring>
#include <filesystem>

#include "core/DeviceList.h"
#include "tests/fuzz/FileFuzz.h"

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = fuzz::ScratchDir();
  std::error_code ec;
  std::filesystem::remove(dir + "TreeNode_full.dat", ec);
  TDeviceList list(dir);
  fuzz::WriteWholeFile(list.FileName(), data, size);
  list.LoadDeviceList();
  fuzz::Check(list.Count <= MaxDevices);
  const size_t whole = size / sizeof(TDeviceNode);
  for (int i = 1; i <= list.Count; ++i) fuzz::Check(list.Nodes[i].Address <= MaxDevices);
  fuzz::Check(list.Truncated() == (list.Count != whole));
  fuzz::Check(list.Problems().empty() || !list.Problems().front().empty());
  if (list.Count != whole || size % sizeof(TDeviceNode) != 0) fuzz::Check(!list.Problems().empty());

  list.SaveDeviceList();
  fuzz::Check(list.KeptAs().empty() == list.Problems().empty());
  if (!list.Problems().empty())
    fuzz::Check(std::filesystem::file_size(dir + "TreeNode_full.dat", ec) == size && !ec);
  TDeviceList again(dir);
  again.LoadDeviceList();
  fuzz::Check(again.Count == list.Count && !again.Truncated());
  for (int i = 1; i <= list.Count; ++i)
    fuzz::Check(std::memcmp(&again.Nodes[i], &list.Nodes[i], sizeof(TDeviceNode)) == 0);
  return 0;
}
