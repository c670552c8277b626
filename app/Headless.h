#pragma once

#include "app/Options.h"

namespace tessaro {

// Runs the monitor without windows until a signal or the end of the duration.
int RunHeadless(const TAppOptions& options);

}  // namespace tessaro
