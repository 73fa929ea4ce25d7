// The numbered lines. ERR lines: one per failure, numbered by the error
// counter, with the system's own text for the code. The hard cases: a
// system text of several lines (only the first is kept), a code the system
// has no text for, and a line for a log that cannot be written (it goes to
// the other channels). DIR and FILE lines: one per directory the walk
// enters and file it meets, numbered by their counters; on several threads
// each carries the count it made, and none follows the Interrupted line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "report/output.h"

namespace scythe {

// Each raises the report's error counter, whose new value numbers the line,
// and writes the line to every open channel (the console unless silent).
void report_win32_error(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code);
void report_native_status(Report& report, std::u16string_view path, std::string_view label,
                          platform::NativeStatus status);
// The ERR line of an entry that stays, followed on the same channels, and
// under the same lock, by a line naming the programs that hold it (none
// where holders is empty) and one saying that it goes at the next restart
// where it was scheduled (counted as such). Only the ERR line is an error.
void report_staying(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code,
                    const std::vector<platform::Holder>& holders, bool scheduled);

// What the walk met: a directory, or a file and its size.
struct EntryLine {
    std::u16string_view path;
    bool file = false;
    std::uint64_t size = 0;
};

// Counts the entry and writes its line, "DIR  000001: path" or
// "FILE 000001: path (n KB)", under the one lock, and so also looks at the
// interruption: false, with nothing counted, once the run is interrupted.
// Where no channel takes the line (not shown) it is only counted, without
// the lock. A dry run (listed) adds the file's size to what files hold.
bool count_and_show(Report& report, const EntryLine& entry, bool shown, bool listed = false);

// The first line of the system's text, or "Unknown error N" where it has none.
std::u16string error_text(platform::ErrorCode code);

}  // namespace scythe
