// The wall clock, for the run's start and end in the log: the C library
// gives seconds since 1970 on both systems, so one definition serves both.
#include <ctime>

#include "platform/platform.h"

namespace scythe::platform {

std::int64_t wall_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace scythe::platform
