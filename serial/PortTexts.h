#pragma once
// The port layer's messages (an open refused, a failure, a bad name) in the
// operator's language: its own phrases are put into Chinese, while names and
// the system's reasons stay as they were given.

#include <cstdint>
#include <string>

namespace tessaro {

// UTF-8 Chinese with language 1, the English message as it is otherwise.
std::string PortText(const std::string& english, uint8_t language);

}  // namespace tessaro
