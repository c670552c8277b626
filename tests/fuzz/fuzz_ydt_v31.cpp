// libFuzzer target: TYdtV31Protocol fed arbitrary answers. See
// AsciiFuzz.h for the input layout and the properties checked.

#include <cstddef>
#include <cstdint>

#include "protocols/YdtV31Protocol.h"
#include "tests/fuzz/AsciiFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tessaro::fuzz::RunAsciiFuzz<tessaro::TYdtV31Protocol>(data, size);
}
