#pragma once
// The logs' local times as the world reads them: Unix seconds and ISO 8601
// with the offset, through the time zone rules in force at that time.

#include <cstdint>
#include <string>

#include "core/Clock.h"

namespace tessaro {

// An hour repeated at the end of summer time reads as its first pass.
int64_t UnixSeconds(TDateTime local);
// "2026-12-11T19:43:02+08:00".
std::string FormatIso8601(TDateTime local);

}  // namespace tessaro
