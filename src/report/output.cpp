#include "report/output.h"

#include <string>

#include "app/settings.h"
#include "platform/platform.h"
#include "report/text.h"

namespace scythe {

Counters counters;

namespace {

// Console and run log are buffered: a line-by-line write would cost a
// system call per entry of the tree.
constexpr std::size_t flush_threshold = 64 * 1024;

struct Channel {
    bool open = false;
    bool console = false;
    platform::FileHandle file{};
    std::string pending;
};

Channel console_channel{true, true, {}, {}};
Channel run_log;
Channel error_log;

void flush(Channel& channel) {
    if (!channel.open || channel.pending.empty()) return;
    if (channel.console)
        platform::write_console(channel.pending);
    else
        platform::write_file(channel.file, channel.pending);
    channel.pending.clear();
}

void write(Channel& channel, std::u16string_view text) {
    if (!channel.open) return;
    encode_output(channel.pending, text);
    if (channel.pending.size() >= flush_threshold) flush(channel);
}

void close(Channel& channel) {
    if (!channel.open) return;
    flush(channel);
    platform::close_file(channel.file);
    channel.open = false;
}

int open_log(Channel& channel, const std::u16string& path, std::string_view message) {
    if (!platform::create_output_file(path, channel.file)) {
        std::u16string line = ascii_text(message);
        line += path;
        append_ascii(line, " for writing.\n");
        write_console(line);
        return 0;
    }
    channel.open = true;
    return 1;
}

}  // namespace

void reset_output() {
    counters = Counters{};
    close(run_log);
    close(error_log);
}

int open_logs() {
    if (settings.run_log_path && !open_log(run_log, *settings.run_log_path, "Cannot open logfile "))
        return 0;
    if (settings.error_log_path &&
        !open_log(error_log, *settings.error_log_path, "Cannot open error-logfile "))
        return 0;
    return 1;
}

void close_logs() {
    close(run_log);
    close(error_log);
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
    write(error_log, text);
    flush(error_log);
}

void write_progress(std::u16string_view text) {
    if (!settings.silent) write_console(text);
    write_run_log(text);
}

}  // namespace scythe
