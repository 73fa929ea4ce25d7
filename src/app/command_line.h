// The command line: usage text, options into the run settings, and the
// source path into the rooted path every later step works on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report/output.h"
#include "run_settings.h"

namespace scythe {

// The usage text shown without arguments; the help text adds what each
// option does, the exit codes and examples.
void write_usage(Report& report);
void write_help(Report& report);
void write_version(Report& report);

// What the command line asks for before any option is parsed: help wins
// over the version, either over a run, whatever else is given.
enum class Request { run, help, version };
Request requested(const std::vector<std::u16string>& arguments);
// True where /Unicode is given: the Report must know before its first line
// (an "Ignoring parameter" line may carry any character).
bool asks_for_unicode(const std::vector<std::u16string>& arguments);

// Fills the run settings from arguments 1 to n-1; writes an "Ignoring
// parameter" line for each argument that starts with neither "/" nor "-".
// Returns false after the console message for an argument that starts
// with one of them but is no option, or an option value that cannot be used.
bool parse_arguments(const std::vector<std::u16string>& arguments, RunSettings& settings, Report& report);

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

// Sets the rooted path from the source path, or writes why it cannot and
// returns false.
bool check_source_path(RunSettings& settings, Report& report);

}  // namespace scythe
