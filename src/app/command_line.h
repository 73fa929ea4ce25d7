// The command line: usage text, options into the run settings, and the
// source path into the rooted path every later step works on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/source_path.h"
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
// parameter" line for each stray argument that does not look like an
// option. Returns false after the console message for one that does but is
// no option, a value option given twice, or a value that cannot be used.
bool parse_arguments(const std::vector<std::u16string>& arguments, RunSettings& settings, Report& report);

}  // namespace scythe
