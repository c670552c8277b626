#pragma once
// The text an event record shows in the viewer and on the headless console.

#include <string>

#include "logs/EventLog.h"

namespace tessaro {

// Kind 0: the event text; kind 1: the state text; kind 2: the alarm text,
// prefixed "Recover from: " ("恢复于: ") when the alarm cleared. Empty when
// the code has no text in the language (or the prefix would stand alone).
std::string EventRecordText(const EventRecord& record, int language);

}  // namespace tessaro
