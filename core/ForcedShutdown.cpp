#include "core/ForcedShutdown.h"

namespace tessaro {

bool TForcedShutdown::Set(int address, TForcedShutdownMark mark) {
  return FMarks.emplace(address, std::move(mark)).second;
}

const TForcedShutdownMark* TForcedShutdown::Mark(int address) const {
  const auto it = FMarks.find(address);
  return it == FMarks.end() ? nullptr : &it->second;
}

std::vector<int> TForcedShutdown::Clear() {
  std::vector<int> out;
  for (const auto& [address, mark] : FMarks) out.push_back(address);
  FMarks.clear();
  return out;
}

std::string ForcedShutdownLine(int address, const TForcedShutdownMark& mark) {
  return FormatDateTime(mark.At) + "  ups" + std::to_string(address) + "  forced shutdown by " + mark.By +
         (mark.From.empty() ? "" : " from " + mark.From);
}

}  // namespace tessaro
