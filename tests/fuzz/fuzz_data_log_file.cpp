// libFuzzer target: the data log reader on an arbitrary month file. Every
// record it returns is one whole 128-byte record of the file, in file order,
// and none is all zeros.

#include <cstring>

#include "logs/DataLog.h"
#include "logs/RecordFile.h"
#include "tests/fuzz/FileFuzz.h"

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::ScratchDir() + "DataLog2008_12.dat";
  fuzz::WriteWholeFile(path, data, size);
  std::error_code ec;
  const std::vector<DataRecord> records = ReadDataLogFile(path, &ec);
  fuzz::Check(!ec);
  size_t at = 0;
  for (const DataRecord& r : records) {
    fuzz::Check(!recfile::IsAllZero(reinterpret_cast<const unsigned char*>(&r), sizeof r));
    while (at + sizeof r <= size && recfile::IsAllZero(data + at, sizeof r)) at += sizeof r;
    fuzz::Check(at + sizeof r <= size && std::memcmp(data + at, &r, sizeof r) == 0);
    at += sizeof r;
  }
  return 0;
}
