#pragma once
// The pages, their style sheet and their script. Everything a page loads
// comes from the listener itself: no page names another host.

#include <cstdint>
#include <string>

namespace tessaro::web {

enum class TPage { Overview, Device, Events };

// The page in the language (1 Chinese), its texts and the fields of the
// protocol's values inside it.
std::string PageHtml(TPage page, int language, uint8_t protocol);
const std::string& AppCss();
const std::string& AppJs();

}  // namespace tessaro::web
