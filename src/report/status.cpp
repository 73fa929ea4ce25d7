// The status line of /Progress and the thread that keeps it current; see
// status.h for the hard cases.
#include "report/status.h"

#include "report/blocks.h"
#include "report/text.h"

namespace scythe {

namespace {

constexpr unsigned drawing_interval_milliseconds = 250;
constexpr std::size_t widest_status = 79;

// "512 B", "1.5 KB", "21.4 MB": units of 1024, one decimal from KB on.
void append_size(std::u16string& text, std::uint64_t bytes) {
    static constexpr const char* units[] = {" B", " KB", " MB", " GB", " TB", " PB", " EB"};
    int unit = 0;
    while (unit < 6 && (bytes >> (10 * (unit + 1))) != 0) ++unit;
    append_decimal(text, static_cast<std::int64_t>(bytes >> (10 * unit)));
    if (unit > 0) {
        text.push_back(u'.');
        append_decimal(text, static_cast<std::int64_t>(((bytes >> (10 * (unit - 1))) & 1023) * 10 / 1024));
    }
    append_ascii(text, units[unit]);
}

void append_count(std::u16string& text, std::int64_t count, std::string_view what) {
    append_decimal(text, count);
    append_ascii(text, what);
}

}  // namespace

std::u16string status_text(const Counters& counts, bool what_if, std::uint64_t elapsed_milliseconds) {
    std::u16string text;
    append_count(text, counts.directories, " directories  ");
    append_count(text, counts.files, " files  ");
    append_count(text, counts.errors, " errors  ");
    if (what_if) {
        append_size(text, counts.file_bytes);
        append_ascii(text, " listed  ");
    } else if (counts.deleted_bytes && !counts.deleted_bytes_short) {
        append_size(text, counts.deleted_bytes);
        append_ascii(text, " deleted  ");
    }
    text += format_elapsed(static_cast<std::int64_t>(elapsed_milliseconds / 1000));
    if (text.size() > widest_status) text.resize(widest_status);
    return text;
}

StatusLine::StatusLine(Report& report, bool what_if)
    : report_(report), what_if_(what_if), started_(platform::monotonic_milliseconds()) {
    draw(started_);
}

StatusLine::~StatusLine() { report_.clear_status(); }

unsigned StatusLine::tick() {
    std::uint64_t since = platform::monotonic_milliseconds() - drawn_at_;
    if (since < drawing_interval_milliseconds) return static_cast<unsigned>(drawing_interval_milliseconds - since);
    draw(drawn_at_ + since);
    return drawing_interval_milliseconds;
}

void StatusLine::draw(std::uint64_t now) {
    drawn_at_ = now;
    platform::Holding held = report_.hold();
    report_.show_status(status_text(report_.counted(), what_if_, now - started_));
}

ProgressDisplay::ProgressDisplay(Report& report, const RunSettings& settings) {
    if (!settings.progress || !platform::console_is_terminal()) return;
    report.share_between_threads();  // the counts and the console, from now on under the lock
    line_.emplace(report, settings.what_if);
    thread_ = platform::start_thread([this] { keep_drawing(); });
    if (!thread_) line_.reset();  // a status line that stood still would say the run had stopped
}

ProgressDisplay::~ProgressDisplay() {
    if (thread_) {
        {
            platform::Holding held(&mutex_);
            stopping_ = true;
            wake_.notify_all();
        }
        thread_.reset();
    }
    line_.reset();
}

void ProgressDisplay::keep_drawing() {
    platform::Holding held(&mutex_);
    while (!stopping_) wake_.wait_for(mutex_, line_->tick());
}

}  // namespace scythe
