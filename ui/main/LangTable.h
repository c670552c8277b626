#pragma once
// The main window's texts as Qt strings.

#include <QString>

#include "core/LangTable.h"

namespace tessaro {

// The text of id in the language (1 = Chinese, anything else English).
inline QString LangText(TTextId id, int language) { return QString::fromUtf8(LangTextUtf8(id, language)); }

}  // namespace tessaro
