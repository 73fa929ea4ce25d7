// The fixed blocks of a run: the header before the work, the summary after it.
#pragma once

#include <cstdint>
#include <string>

#include "report/output.h"
#include "run_settings.h"

namespace scythe {

extern const char* const hyphen_line;

// "Scythe <version>", a line of its own.
std::u16string version_line();
// The hyphen line, the version line, the hyphen line: usage and header open with it.
std::u16string banner();
void write_header(Report& report, const RunSettings& settings);
void write_summary(Report& report, const RunSettings& settings, std::int64_t elapsed_seconds);

// "HH:MM:SS", each part at least two digits; hours are not capped.
std::u16string format_elapsed(std::int64_t seconds);

}  // namespace scythe
