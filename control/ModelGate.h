#pragma once
// The model identifier an operator types before any action that changes a
// device. The text of every OK press becomes the program's SelectedModel,
// accepted or not; three rejections in one showing close the gate.

#include <array>
#include <string>
#include <string_view>

namespace tessaro {

inline constexpr std::array<std::string_view, 5> ModelIds = {"RXA410", "RXA410LT", "RXA205", "TMV5800", "GDS7100"};
inline constexpr int GateMaxLength = 10;
inline constexpr int GateMaxFailures = 3;

// Leading and trailing blanks and control characters removed.
std::string TrimGateText(std::string_view text);
bool IsModelId(std::string_view text);

enum class TGateOutcome { Accepted, Rejected, Closed };

// One OK press: stores the trimmed text in selectedModel, counts a rejection
// in failCount; Closed after the third rejection (the message is shown for
// Rejected and Closed alike).
TGateOutcome GateOkPressed(std::string_view text, std::string& selectedModel, int& failCount);

}  // namespace tessaro
