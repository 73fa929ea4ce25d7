// The /Dir: value checked and made the rooted path, under each build's
// path rules; the messages of a refused path.
#pragma once

#include <string>
#include <string_view>

#include "report/output.h"
#include "run_settings.h"

namespace scythe {

struct PathCheck {
    std::u16string rooted_path;
    const char* failure = nullptr;  // the console message when refused
    std::u16string opening_path;    // see RunSettings
};

// The rooted path of a source path under each platform's rules. A POSIX
// path may be relative to the working directory, whose name is given
// (empty where it has none).
PathCheck check_windows_path(std::u16string_view source);
PathCheck check_posix_path(std::u16string_view source, std::u16string_view working_directory);

// Console messages of refused paths, shared with the run's own check of
// what the path opened.
extern const char* const file_system_root_message;
extern const char* const drive_root_message;

// The checks of a /Dir: value under this build's rules.
PathCheck check_path(std::u16string_view source);

// Sets the rooted path from the source path, or writes why it cannot and
// returns false.
bool check_source_path(RunSettings& settings, Report& report);

}  // namespace scythe
