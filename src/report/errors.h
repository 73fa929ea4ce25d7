// ERR lines: one per failure, numbered by the error counter, with the
// system's own text for the code.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace scythe {

void report_win32_error(const std::u16string& path, std::string_view label, platform::ErrorCode code);
void report_native_status(const std::u16string& path, std::string_view label, platform::NativeStatus status);

// The first line of the system's text, or "Unknown error N" where it has none.
std::u16string error_text(platform::ErrorCode code);

}  // namespace scythe
