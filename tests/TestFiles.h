#pragma once
// Whole files in and out, as bytes, for tests that check what was written.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tessaro::test {

// Empty when the file cannot be read.
inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteText(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace tessaro::test
