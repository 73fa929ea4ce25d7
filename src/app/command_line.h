// The command line: usage text, options into the run settings, and the
// source path into the rooted path every later step works on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report/output.h"
#include "run_settings.h"

namespace scythe {

void write_usage(Report& report);
void write_version(Report& report);

// What the command line asks for before any option is parsed: help wins
// over the version, either over a run, whatever else is given.
enum class Request { run, help, version };
Request requested(const std::vector<std::u16string>& arguments);
// True where /Unicode is given: the Report must know before its first line
// (an "Ignoring parameter" line may carry any character).
bool asks_for_unicode(const std::vector<std::u16string>& arguments);

// Fills the run settings from arguments 1 to n-1; writes an "Ignoring
// parameter" line for each argument that does not start with "/". Returns
// 0 after the console message for an option value that cannot be used.
int parse_arguments(const std::vector<std::u16string>& arguments, RunSettings& settings, Report& report);

struct PathCheck {
    std::u16string rooted_path;
    const char* failure = nullptr;  // the console message when refused
};

// The rooted path of a source path under each platform's rules.
PathCheck check_windows_path(std::u16string_view source);
PathCheck check_posix_path(std::u16string_view source);

// Console messages of refused paths, shared with the run's own check of
// what the path opened.
extern const char* const file_system_root_message;
extern const char* const drive_root_message;

// Sets the rooted path from the source path, or writes why it cannot and
// returns 0.
int check_source_path(RunSettings& settings, Report& report);

}  // namespace scythe
