// The status line of /Progress: one line on a terminal console, drawn over
// itself while the run works, with the counts so far and the time taken.
// The hard cases:
// - It keeps ticking while the walk is held up (one slow deletion, a
//   retry's wait, a subtree on another thread): a thread of its own draws
//   it, not the walk between two entries. It draws under the Report's
//   lock, and the Report erases it before any other console text, so no
//   line is ever written into it.
// - At most four drawings a second, whatever wakes the thread; the line
//   keeps within 79 columns, so that no 80-column terminal wraps it.
// - Only on a terminal: a file or a pipe gets nothing at all, and no log
//   ever gets it.
// - The counts are read as atomics: a walk that writes no line counts
//   without the lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

// "1234 directories  56789 files  0 errors  21.4 MB deleted  00:01:05";
// a dry run shows the size of what it listed; a run shows what it deleted
// once that is more than nothing, and only while every deleted file's size
// was known (POSIX reads sizes only for FILE lines).
std::u16string status_text(const Counters& counts, bool what_if, std::uint64_t elapsed_milliseconds);

class StatusLine {
public:
    // Draws the first line at once.
    StatusLine(Report& report, bool what_if);
    // Erases the line.
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;
    // Draws the line again where a quarter second has passed since the last
    // drawing; returns the milliseconds until the next one is due.
    unsigned tick();

private:
    void draw(std::uint64_t now);

    Report& report_;
    const bool what_if_;
    const std::uint64_t started_;
    std::uint64_t drawn_at_ = 0;
};

// The status line, kept current from a thread of its own while this lives,
// where the run asks for it (/Progress) and the console is a terminal;
// nothing at all otherwise.
class ProgressDisplay {
public:
    ProgressDisplay(Report& report, const RunSettings& settings);
    // Stops the thread, then erases the line.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

private:
    void keep_drawing();

    std::optional<StatusLine> line_;
    platform::Mutex mutex_;
    platform::Condition wake_;
    bool stopping_ = false;
    platform::OwnedThread thread_;
};

}  // namespace scythe
