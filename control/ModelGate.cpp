#include "control/ModelGate.h"

#include <algorithm>

namespace tessaro {

std::string TrimGateText(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

bool IsModelId(std::string_view text) { return std::find(ModelIds.begin(), ModelIds.end(), text) != ModelIds.end(); }

TGateOutcome GateOkPressed(std::string_view text, std::string& selectedModel, int& failCount) {
  selectedModel = TrimGateText(text);
  if (IsModelId(selectedModel)) return TGateOutcome::Accepted;
  ++failCount;
  return failCount >= GateMaxFailures ? TGateOutcome::Closed : TGateOutcome::Rejected;
}

}  // namespace tessaro
