// The three output channels and the run counters. The hard cases:
// - Speed against watchability: console and run log are buffered (a write
//   per line would cost a system call per entry), but no console line waits
//   in the buffer much longer than a quarter of a second.
// - One file named by both /Log: and /ErrorLog: is opened once and written
//   as the run log, flushed after each ERR line as the error log would be;
//   two handles at two positions would splice their lines.
// - A log that cannot be written (disk full, I/O error) is reported once,
//   counted as an error and written to the other channels; the run goes on.
//   The console's own write errors are ignored: a closed pipe must not
//   change the result.
// - The logs, and standard output where it is a file, are protected from
//   the walk: a run never deletes its record. A log that is the console's
//   own file is refused unless the console is silent.
#include "report/output.h"

#include <string>

#include "app/settings.h"
#include "platform/platform.h"
#include "report/errors.h"
#include "report/text.h"

namespace scythe {

Counters counters;

namespace {

constexpr std::size_t flush_threshold = 64 * 1024;
constexpr std::uint64_t console_delay_milliseconds = 250;

struct Channel {
    bool open = false;
    bool console = false;
    bool failed = false;
    platform::FileHandle file{};
    const std::u16string* path = nullptr;
    std::string pending;
    std::uint64_t pending_since = 0;  // when the oldest buffered console line came
};

Channel console_channel{true, true, false, {}, nullptr, {}, 0};
Channel run_log;
Channel error_log;
// The run log is the error log too.
bool one_file_for_both_logs = false;

void report_write_failure(Channel& channel, platform::ErrorCode error);

void flush(Channel& channel) {
    if (!channel.open || channel.pending.empty()) return;
    platform::ErrorCode error = 0;
    if (channel.console)
        platform::write_console(channel.pending);
    else
        error = platform::write_file(channel.file, channel.pending);
    channel.pending.clear();
    if (error) report_write_failure(channel, error);
}

void write(Channel& channel, std::u16string_view text) {
    if (!channel.open || channel.failed) return;
    if (channel.console && channel.pending.empty()) channel.pending_since = platform::monotonic_milliseconds();
    encode_output(channel.pending, text);
    bool due = channel.pending.size() >= flush_threshold ||
               (channel.console &&
                platform::monotonic_milliseconds() - channel.pending_since >= console_delay_milliseconds);
    if (due) flush(channel);
}

// Once per log: marked failed first, so that the ERR line goes only to the
// console and the other log.
void report_write_failure(Channel& channel, platform::ErrorCode error) {
    channel.failed = true;
    report_win32_error(*channel.path, "WriteFile()", error);
}

void close(Channel& channel) {
    if (!channel.open) return;
    flush(channel);
    platform::close_file(channel.file);
    channel.open = false;
}

int cannot_open(const std::u16string& path, std::string_view message) {
    std::u16string line = ascii_text(message);
    append_path(line, path);
    append_ascii(line, " for writing.\n");
    write_console(line);
    return 0;
}

// A log that is the file the console is redirected to would have its lines
// and the console's written over each other; with /Silent only the log
// writes there.
int open_log(Channel& channel, const std::u16string& path, std::string_view message) {
    if (!platform::create_output_file(path, channel.file)) return cannot_open(path, message);
    if (!settings.silent && platform::shares_file_with_console(channel.file)) {
        platform::close_file(channel.file);
        return cannot_open(path, message);
    }
    channel.open = true;
    channel.failed = false;
    channel.path = &path;
    platform::protect_output_file(channel.file);
    return 1;
}

}  // namespace

void reset_output() {
    counters = Counters{};
    close(run_log);
    close(error_log);
    one_file_for_both_logs = false;
}

int open_logs() {
    // Standard output redirected into the tree is as much the run's record.
    platform::protect_output_file(platform::console_file());
    if (settings.run_log_path && !open_log(run_log, *settings.run_log_path, "Cannot open logfile ")) return 0;
    if (settings.error_log_path &&
        !open_log(error_log, *settings.error_log_path, "Cannot open error-logfile "))
        return 0;
    if (run_log.open && error_log.open && platform::same_file(run_log.file, error_log.file)) {
        // Both were just emptied; the run log already carries every ERR line.
        platform::close_file(error_log.file);
        error_log.open = false;
        one_file_for_both_logs = true;
    }
    return 1;
}

void close_logs() {
    close(run_log);
    close(error_log);
}

void flush_logs() {
    flush(run_log);
    flush(error_log);
}

void flush_output() {
    flush(console_channel);
    flush(run_log);
    flush(error_log);
}

bool run_log_open() { return run_log.open; }

void write_console(std::u16string_view text) { write(console_channel, text); }
void write_run_log(std::u16string_view text) { write(run_log, text); }

void write_error_log(std::u16string_view text) {
    if (one_file_for_both_logs) {
        flush(run_log);  // the ERR line is in it already
        return;
    }
    write(error_log, text);
    flush(error_log);
}

void keep_console_current() {
    if (console_channel.pending.empty()) return;
    if (platform::monotonic_milliseconds() - console_channel.pending_since >= console_delay_milliseconds)
        flush(console_channel);
}

void write_progress(std::u16string_view text) {
    if (!settings.silent) write_console(text);
    write_run_log(text);
}

}  // namespace scythe
