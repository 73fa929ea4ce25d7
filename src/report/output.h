// The three output channels (console, run log, error log) and the run counters.
#pragma once

#include <cstdint>
#include <string_view>

namespace scythe {

struct Counters {
    std::int32_t directories = 0;
    std::int32_t files = 0;
    std::int32_t errors = 0;
};

extern Counters counters;

// Starts a run: counters to zero, logs closed.
void reset_output();

// Opens the run log, then the error log, from the run settings. On failure
// writes its console message and returns 0.
int open_logs();
// Flushes and closes the run log, then the error log.
void close_logs();
// Pushes the logs' buffered lines out, so that a failing log is known
// before the summary counts the errors.
void flush_logs();
// Pushes every buffered byte out; called before any exit.
void flush_output();

bool run_log_open();

// Writes regardless of the silent flag; callers decide.
void write_console(std::u16string_view text);
void write_run_log(std::u16string_view text);
// The error log is flushed after every write.
void write_error_log(std::u16string_view text);

// Pushes out a console line that has waited a quarter of a second, for a
// walk that passes over many entries without writing a line.
void keep_console_current();

// Console unless silent, and the run log if open: DIR and FILE lines.
void write_progress(std::u16string_view text);

}  // namespace scythe
