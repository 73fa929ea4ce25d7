// ERR lines: one per failure, numbered by the error counter, with the
// system's own text for the code. The hard cases: a system text of several
// lines (only the first is kept), a code the system has no text for, and a
// line for a log that cannot be written (it goes to the other channels).
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "report/output.h"

namespace scythe {

// Each raises the report's error counter, whose new value numbers the line,
// and writes the line to every open channel (the console unless silent).
void report_win32_error(Report& report, const std::u16string& path, std::string_view label,
                        platform::ErrorCode code);
void report_native_status(Report& report, const std::u16string& path, std::string_view label,
                          platform::NativeStatus status);

// The first line of the system's text, or "Unknown error N" where it has none.
std::u16string error_text(platform::ErrorCode code);

}  // namespace scythe
