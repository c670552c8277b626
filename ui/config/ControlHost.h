#pragma once
// What the configuration windows need from the main window: the program-wide
// state, the device selected in the tree, and whether the port is open.

#include <QString>

#include <cstdint>
#include <functional>

namespace tessaro {

class TContext;

struct TControlHost {
  TContext& Ctx;
  std::function<uint8_t()> SelDevAddr;
  std::function<bool()> PortOpen;
};

// The Chinese text with language 1, the English one otherwise.
inline QString ZhEn(int language, const char* zh, const char* en) {
  return QString::fromUtf8(language == 1 ? zh : en);
}

}  // namespace tessaro
