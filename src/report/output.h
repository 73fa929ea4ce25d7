// The run's Report: the three output channels (console, run log, error
// log) and the run counters, owned by one object that the run creates and
// passes by reference to everything that writes or counts, with the
// platform's session of that output. Nothing here is process-wide, so two
// reports can live side by side. A walk on several threads shares it: a
// numbered line is counted and written under its one lock, so numbers stay
// consecutive and no two lines mix.
#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "report/text.h"
#include "run_settings.h"

namespace scythe {

// What the run counted; only counted, never asked to decide anything.
// The status line of /Progress reads the counts while the walk raises
// them, some without the lock: each may be read as an atomic.
struct Counters {
    std::int32_t directories = 0;
    std::int32_t files = 0;
    std::int32_t errors = 0;
    // What the files listed hold, counted by a dry run only (a real run on
    // POSIX does not read sizes it does not show).
    alignas(std::atomic_ref<std::uint64_t>::required_alignment) std::uint64_t file_bytes = 0;
    // What the files deleted held, where their sizes were known (Windows
    // lists them; POSIX reads them only for a FILE line); once a file goes
    // whose size was never read, the sum is short and says so.
    alignas(std::atomic_ref<std::uint64_t>::required_alignment) std::uint64_t deleted_bytes = 0;
    bool deleted_bytes_short = false;
    // Entries the system deletes at its next restart (/OnReboot).
    std::int32_t scheduled = 0;
};

class Report {
public:
    Report() = default;
    // Pushes out every buffered byte; logs still open are closed.
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // From now on several threads write: every write, and every count with
    // its line, happens under the one lock. Until then no lock is taken.
    void share_between_threads() { shared_ = true; }
    // Held by a writer that counts and writes a numbered line; the lock may
    // be taken again by the thread that holds it.
    platform::Holding hold() { return platform::Holding(shared_ ? &mutex_ : nullptr); }

    // Opens the run log, then the error log, as the settings name them,
    // each emptied or appended to; the console obeys their silent flag from
    // then on. On failure writes its console message and returns false; a
    // log opened already stays open.
    bool open_logs(const RunSettings& settings);
    // Flushes and closes the run log, then the error log.
    void close_logs();
    // Pushes the logs' buffered lines out, so that a failing log is known
    // before the summary counts the errors.
    void flush_logs();
    // Pushes every buffered byte out, the console's first.
    void flush_output();

    bool run_log_open() const { return run_log_.open; }
    // The run log is appended to: its header says when and how the run began.
    bool run_log_appends() const { return run_log_.open && run_log_.appends; }
    // "Started                   : " and the local time the logs were
    // opened at, a line; empty unless a log is appended to.
    const std::u16string& started_line() const { return started_line_; }
    bool silent() const { return settings_ && settings_->silent; }
    // Holds the files the walk must spare: the logs, standard output.
    const platform::Session& output_session() const { return *session_; }

    // Writes regardless of the silent flag; callers decide.
    void write_console(std::u16string_view text);
    void write_run_log(std::u16string_view text);
    // The error log is flushed after every write.
    void write_error_log(std::u16string_view text);

    // Pushes out a console line that has waited a quarter of a second, for a
    // walk that passes over many entries without writing a line.
    void keep_console_current();

    // Console unless silent, and the run log if open: the lines of the walk
    // (DIR and FILE lines are written by count_entry).
    void write_walk_line(std::u16string_view text);

    // Counting. The Report owns every count of the run, and the one rule
    // by which each is raised: a count that numbers a line (DIR, FILE,
    // ERR) is raised under the lock, with its line written under the same
    // hold, so that numbers come in the order of the lines; a count that no
    // line shows (an entry of a run that writes no DIR or FILE line, the
    // bytes deleted) is raised as an atomic, without the lock. Each count
    // keeps to one of the two for a whole run, and every reading is atomic.
    using NumberedLine = std::function<std::u16string(std::int32_t number)>;
    // Counts an error and writes the line its new count numbers to every
    // open channel (the console unless silent); scheduled: the line tells
    // of an entry scheduled for deletion at the next restart.
    void write_error(const NumberedLine& line, bool scheduled = false);
    // A directory or file the walk met, counted and, where shown, its line
    // written: false, nothing counted, once the run is interrupted.
    struct EntryCount {
        bool file = false;
        bool shown = false;   // its line goes to the console or the run log
        bool listed = false;  // a dry run's: its size adds to what the files hold
        std::uint64_t size = 0;
    };
    bool count_entry(const EntryCount& entry, const NumberedLine& line);
    // One more error without a line of its own (a root left behind counts
    // twice for its one line).
    void count_error();
    // What a deleted file held, where its size was read.
    void add_deleted(std::uint64_t bytes, bool size_known);
    // Counts set as they stand, for tests of what is shown of them.
    Counters& counters_for_tests() { return counters_; }

    // From now on every channel writes UTF-8 (/Unicode): called before
    // anything is written or a log opened.
    void use_utf8() { text_form_ = TextForm::utf8; }

    // The status line of /Progress, on the console only: drawn over the
    // one before it at once, and erased before any other console text, so
    // that no line mixes with it. Its text is ASCII, a column a character.
    void show_status(std::u16string_view text);
    void clear_status();
    // The counts as they stand, read under the lock as atomics.
    Counters counted();

private:
    struct Channel {
        bool open = false;
        bool console = false;
        bool failed = false;
        platform::OwnedFile file;
        const std::u16string* path = nullptr;
        std::string pending;
        std::uint64_t pending_since = 0;  // when the oldest buffered console line came
        bool mark_due = false;  // the UTF-8 byte-order mark goes before the first text
        bool appends = false;
        bool was_empty = true;  // when opened
        std::u16string before_first_text;  // what opens the run's part of an appended log
    };

    void flush(Channel& channel);
    void flush_console();
    // The console's bytes in the run's text form; how many were written.
    std::size_t write_to_console(std::string_view bytes) const;
    void write(Channel& channel, std::u16string_view text);
    void write_to_error_log(std::u16string_view text);
    void report_write_failure(Channel& channel, platform::ErrorCode error);
    void close(Channel& channel);
    void erase_status();
    bool open_log_files(const RunSettings& settings);
    bool open_log(Channel& channel, const std::u16string& path, bool append, std::string_view message);
    bool share_one_file(Channel& opened, const std::u16string& run_log_path);
    bool cannot_open(const std::u16string& path, std::string_view message);

    platform::OwnedSession session_ = platform::start_session();
    Counters counters_;

    Channel console_{true, true, false, {}, nullptr, {}, 0, false, false, true, {}};
    Channel run_log_;
    Channel error_log_;
    // The run log is the error log too.
    bool one_file_for_both_logs_ = false;
    // Once interrupted: the logs were written out before the console's grace.
    bool logs_written_out_ = false;
    const RunSettings* settings_ = nullptr;  // once the logs are opened
    std::u16string started_line_;
    bool shared_ = false;
    TextForm text_form_ = platform::eight_bit_text_is_utf8 ? TextForm::utf8 : TextForm::eight_bit;
    // Columns of the status line on the console; 0 while none is shown.
    std::size_t status_width_ = 0;
    platform::Mutex mutex_;
    // The console holds lines not yet written out: read without the lock.
    std::atomic<bool> console_pending_{false};
};

}  // namespace scythe
