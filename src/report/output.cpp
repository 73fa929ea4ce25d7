// The Report: the three output channels and the run counters. The hard cases:
// - Speed against watchability: console and run log are buffered (a write
//   per line would cost a system call per entry), but no console line waits
//   in the buffer much longer than a quarter of a second.
// - One file named by both /Log: and /ErrorLog: is opened once and written
//   as the run log, flushed after each ERR line as the error log would be;
//   two handles at two positions would splice their lines. It is appended
//   to where either log asks for that: the log that appends is opened
//   first, and the other's path looked up, never opened, so that nothing
//   asked to be kept is emptied.
// - An appended log (/Log+:, /ErrorLog+:) keeps what it holds: the run log's
//   part opens with an empty line (unless the file was empty), the error
//   log's first ERR line follows its run's start.
// - A log that cannot be written (disk full, I/O error) is reported once,
//   counted as an error and written to the other channels; the run goes on.
//   The console's own write errors are ignored: a closed pipe must not
//   change the result.
// - The logs, and standard output where it is a file, are protected from
//   the walk: a run never deletes its record. A log that is the console's
//   own file is refused unless the console is silent.
// - A log file is owned by its channel and closed when the channel closes
//   or the Report goes, on every way out of a run.
// - Threads: once shared, every public write takes the one lock (which the
//   thread holding it may take again: a write failure is reported from
//   inside a write); a walk that passes over entries looks at the console
//   without it and locks only when a line waits.
// - /Unicode: every channel writes UTF-8; a Windows log opens with the
//   byte-order mark its readers need, written with its first text, and an
//   appended one only where it was empty.
// - The status line of /Progress is drawn on the console alone and erased
//   under the same lock before any other console text, so that no line
//   is ever written into it.
#include "report/output.h"

#include <algorithm>
#include <string>

#include "report/errors.h"
#include "report/text.h"

namespace scythe {

constexpr std::size_t flush_threshold = 64 * 1024;
constexpr std::uint64_t console_delay_milliseconds = 250;

Report::~Report() {
    flush_output();
    close_logs();
}

void Report::flush(Channel& channel) {
    if (!channel.open || channel.pending.empty()) return;
    if (channel.console) return flush_console();
    platform::ErrorCode error = platform::write_file(*session_, channel.file.get(), channel.pending);
    channel.pending.clear();
    if (error) report_write_failure(channel, error);
}

// Once the run is interrupted, the logs are written out before the console
// gets its grace (a console that blocks is cut short for it), so that a
// second interruption, which ends the process at once, costs them nothing
// that was written before the first. A log that fails meanwhile adds its
// ERR line behind what the console still holds.
std::size_t Report::write_to_console(std::string_view bytes) const {
    return text_form_ == TextForm::utf8 ? platform::write_console_utf8(*session_, bytes)
                                        : platform::write_console(*session_, bytes);
}

void Report::flush_console() {
    std::size_t written = write_to_console(console_.pending);
    if (written < console_.pending.size() && platform::interruption_requested() && !logs_written_out_) {
        logs_written_out_ = true;
        console_.pending.erase(0, written);
        flush(run_log_);
        flush(error_log_);
        platform::begin_output_grace(*session_);
        write_to_console(console_.pending);
    }
    console_.pending.clear();
    console_pending_.store(false, std::memory_order_relaxed);
}

void Report::write(Channel& channel, std::u16string_view text) {
    if (!channel.open || channel.failed) return;
    if (channel.console && channel.pending.empty()) {
        channel.pending_since = platform::monotonic_milliseconds();
        console_pending_.store(true, std::memory_order_relaxed);
    }
    if (channel.console && status_width_) erase_status();
    if (channel.mark_due) {
        channel.pending += "\xEF\xBB\xBF";
        channel.mark_due = false;
    }
    if (!channel.before_first_text.empty()) {
        encode_output(channel.pending, channel.before_first_text, text_form_);
        channel.before_first_text.clear();
    }
    encode_output(channel.pending, text, text_form_);
    bool due = channel.pending.size() >= flush_threshold ||
               (channel.console &&
                platform::monotonic_milliseconds() - channel.pending_since >= console_delay_milliseconds);
    if (due) flush(channel);
}

// Once per log: marked failed first, so that the ERR line goes only to the
// console and the other log.
void Report::report_write_failure(Channel& channel, platform::ErrorCode error) {
    channel.failed = true;
    report_win32_error(*this, *channel.path, "WriteFile()", error);
}

void Report::close(Channel& channel) {
    if (!channel.open) return;
    flush(channel);
    channel.file.reset();
    channel.open = false;
}

bool Report::cannot_open(const std::u16string& path, std::string_view message) {
    std::u16string line = ascii_text(message);
    append_path(line, path);
    append_ascii(line, " for writing.\n");
    write_console(line);
    return false;
}

// A log that is the file the console is redirected to would have its lines
// and the console's written over each other; with /Silent only the log
// writes there.
bool Report::open_log(Channel& channel, const std::u16string& path, bool append, std::string_view message) {
    platform::OwnedFile file;
    bool was_empty = true;
    auto opening = append ? platform::OutputOpening::append : platform::OutputOpening::replace;
    if (platform::create_output_file(path, opening, file, was_empty)) return cannot_open(path, message);
    if (!silent() && platform::shares_file_with_console(file.get())) return cannot_open(path, message);
    platform::protect_output_file(*session_, file.get());
    channel.file = std::move(file);
    channel.open = true;
    channel.failed = false;
    channel.path = &path;
    channel.appends = append;
    channel.was_empty = was_empty;
    // Only a log that has text gets the mark: an error log without errors
    // stays empty, in either form. A file with text has its mark already,
    // or is read without one.
    channel.mark_due = was_empty && text_form_ == TextForm::utf8 && platform::utf8_files_begin_with_mark();
    return true;
}

// The run log takes the file opened for either log and carries every ERR
// line.
bool Report::share_one_file(Channel& opened, const std::u16string& run_log_path) {
    if (&opened != &run_log_) {
        run_log_ = std::move(opened);
        opened = Channel{};
        run_log_.path = &run_log_path;
    }
    one_file_for_both_logs_ = true;
    return true;
}

bool Report::open_log_files(const RunSettings& settings) {
    const char* run_log_message = "Cannot open logfile ";
    const char* error_log_message = "Cannot open error-logfile ";
    const std::optional<std::u16string>& run_path = settings.run_log_path;
    const std::optional<std::u16string>& error_path = settings.error_log_path;
    if (run_path && error_path && settings.append_error_log && !settings.append_run_log) {
        if (!open_log(error_log_, *error_path, true, error_log_message)) return false;
        if (platform::names_open_file(*run_path, error_log_.file.get())) return share_one_file(error_log_, *run_path);
        return open_log(run_log_, *run_path, false, run_log_message);
    }
    if (run_path && !open_log(run_log_, *run_path, settings.append_run_log, run_log_message)) return false;
    if (run_path && error_path && platform::names_open_file(*error_path, run_log_.file.get()))
        return share_one_file(run_log_, *run_path);
    return !error_path || open_log(error_log_, *error_path, settings.append_error_log, error_log_message);
}

namespace {

// "Started                   : 2026-12-09T19:20:31+01:00", ISO 8601 with
// the offset from UTC, a line.
std::u16string started_line_at(const platform::LocalTime& now) {
    std::u16string line = ascii_text("Started                   : ");
    append_decimal(line, now.year, 4);
    for (auto [separator, value] : {std::pair{'-', now.month}, {'-', now.day}, {'T', now.hour}, {':', now.minute},
                                    {':', now.second}}) {
        line.push_back(static_cast<char16_t>(separator));
        append_decimal(line, value, 2);
    }
    int offset = now.utc_offset_minutes;
    line.push_back(offset < 0 ? u'-' : u'+');
    if (offset < 0) offset = -offset;
    append_decimal(line, offset / 60, 2);
    line.push_back(u':');
    append_decimal(line, offset % 60, 2);
    append_ascii(line, "\n");
    return line;
}

}  // namespace

bool Report::open_logs(const RunSettings& settings) {
    settings_ = &settings;
    // Standard output redirected into the tree is as much the run's record.
    platform::protect_output_file(*session_, platform::console_file());
    if (settings.append_run_log || settings.append_error_log) started_line_ = started_line_at(platform::local_time_now());
    if (!open_log_files(settings)) return false;
    if (run_log_.appends && !run_log_.was_empty) run_log_.before_first_text.push_back(u'\n');
    if (error_log_.appends) error_log_.before_first_text = started_line_;
    return true;
}

void Report::close_logs() {
    platform::Holding held = hold();
    close(run_log_);
    close(error_log_);
}

void Report::flush_logs() {
    platform::Holding held = hold();
    flush(run_log_);
    flush(error_log_);
}

void Report::flush_output() {
    platform::Holding held = hold();
    flush(console_);
    flush(run_log_);
    flush(error_log_);
}

void Report::write_console(std::u16string_view text) {
    platform::Holding held = hold();
    write(console_, text);
}

void Report::write_run_log(std::u16string_view text) {
    platform::Holding held = hold();
    write(run_log_, text);
}

void Report::write_error_log(std::u16string_view text) {
    platform::Holding held = hold();
    write_to_error_log(text);
}

void Report::write_to_error_log(std::u16string_view text) {
    if (one_file_for_both_logs_) {
        flush(run_log_);  // the ERR line is in it already
        return;
    }
    write(error_log_, text);
    flush(error_log_);
}

void Report::keep_console_current() {
    if (!console_pending_.load(std::memory_order_relaxed)) return;
    platform::Holding held = hold();
    if (console_.pending.empty()) return;
    if (platform::monotonic_milliseconds() - console_.pending_since >= console_delay_milliseconds)
        flush(console_);
}

void Report::write_walk_line(std::u16string_view text) {
    platform::Holding held = hold();
    if (!silent()) write(console_, text);
    write(run_log_, text);
}

// A shorter line than the one before is padded over it; the line and the
// console's waiting lines go out at once.
void Report::show_status(std::u16string_view text) {
    platform::Holding held = hold();
    console_.pending.push_back('\r');
    encode_output(console_.pending, text, text_form_);
    if (text.size() < status_width_) console_.pending.append(status_width_ - text.size(), ' ');
    status_width_ = std::max(status_width_, text.size());
    flush(console_);
}

void Report::clear_status() {
    platform::Holding held = hold();
    if (!status_width_) return;
    erase_status();
    flush(console_);
}

// Spaces over what was drawn, and back to the start of the line: no
// terminal control sequence is needed, so any terminal or console takes it.
void Report::erase_status() {
    console_.pending.push_back('\r');
    console_.pending.append(status_width_, ' ');
    console_.pending.push_back('\r');
    status_width_ = 0;
}

void Report::write_error(const NumberedLine& line, bool scheduled) {
    platform::Holding held = hold();
    std::u16string text = line(++counters_.errors);
    if (scheduled) ++counters_.scheduled;
    if (!silent()) write(console_, text);
    write(run_log_, text);
    write_to_error_log(text);
}

// Where no line is written, no line's number needs the lock.
bool Report::count_entry(const EntryCount& entry, const NumberedLine& line) {
    std::int32_t& counter = entry.file ? counters_.files : counters_.directories;
    if (!entry.shown && !entry.listed) {
        if (platform::interruption_requested()) return false;
        std::atomic_ref<std::int32_t>(counter).fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    platform::Holding held = hold();
    if (platform::interruption_requested()) return false;
    std::int32_t number = ++counter;
    if (entry.listed) counters_.file_bytes += entry.size;
    if (entry.shown) {
        std::u16string text = line(number);
        if (!silent()) write(console_, text);
        write(run_log_, text);
    }
    return true;
}

void Report::count_error() {
    platform::Holding held = hold();  // the status line may be reading the count
    ++counters_.errors;
}

// The status line's figure: counted without the lock, as the file count of
// a walk that writes no line is.
void Report::add_deleted(std::uint64_t bytes, bool size_known) {
    if (size_known)
        std::atomic_ref(counters_.deleted_bytes).fetch_add(bytes, std::memory_order_relaxed);
    else
        std::atomic_ref(counters_.deleted_bytes_short).store(true, std::memory_order_relaxed);
}

Counters Report::counted() {
    platform::Holding held = hold();
    auto read = [](auto& count) { return std::atomic_ref(count).load(std::memory_order_relaxed); };
    Counters now;
    now.directories = read(counters_.directories);
    now.files = read(counters_.files);
    now.errors = read(counters_.errors);
    now.file_bytes = read(counters_.file_bytes);
    now.deleted_bytes = read(counters_.deleted_bytes);
    now.deleted_bytes_short = read(counters_.deleted_bytes_short);
    now.scheduled = read(counters_.scheduled);
    return now;
}

}  // namespace scythe
