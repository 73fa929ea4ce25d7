// The numbered lines. ERR lines in their two forms: a Win32 code, and a
// native status mapped to the Win32 code whose text it shows. A line's
// number is counted and the line written under the Report's lock, so that
// on several threads the numbers still come in the order of the lines.
#include "report/errors.h"

#include <atomic>

#include "report/output.h"
#include "report/text.h"

namespace scythe {

std::u16string error_text(platform::ErrorCode code) {
    std::u16string text = platform::error_message(code);
    std::size_t line_end = text.find_first_of(u"\r\n");
    if (line_end != std::u16string::npos) text.resize(line_end);
    if (text.empty()) {
        append_ascii(text, "Unknown error ");
        append_decimal(text, static_cast<std::int32_t>(code));
    }
    return text;
}

namespace {

// "ERR  000001: path: text at label" — the caller adds the code part.
std::u16string line_start(std::int32_t number, std::u16string_view path, std::string_view label,
                          const std::u16string& text) {
    std::u16string line = ascii_text("ERR  ");
    append_decimal(line, number, 6);
    append_ascii(line, ": ");
    append_path(line, path);
    append_ascii(line, ": ");
    line += text;
    append_ascii(line, " at ");
    append_ascii(line, label);
    return line;
}

void write_error_line(Report& report, const std::u16string& line) {
    if (!report.silent()) report.write_console(line);
    report.write_run_log(line);
    report.write_error_log(line);
}

}  // namespace

void report_win32_error(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code) {
    std::u16string text = error_text(code);
    platform::Holding held = report.hold();
    std::u16string line = line_start(++report.counters.errors, path, label, text);
    append_ascii(line, " (");
    append_decimal(line, static_cast<std::int32_t>(code));
    append_ascii(line, ")\n");
    write_error_line(report, line);
}

void report_native_status(Report& report, std::u16string_view path, std::string_view label,
                          platform::NativeStatus status) {
    platform::ErrorCode code = platform::status_to_error(status);
    std::u16string text = error_text(code);
    platform::Holding held = report.hold();
    std::u16string line = line_start(++report.counters.errors, path, label, text);
    append_ascii(line, " (NT:0x");
    append_hex(line, static_cast<std::uint32_t>(status));
    append_ascii(line, ",DOS:");
    append_decimal(line, static_cast<std::int32_t>(code));
    append_ascii(line, ")\n");
    write_error_line(report, line);
}

namespace {

std::u16string entry_line(std::int32_t number, const EntryLine& entry) {
    std::u16string line = ascii_text(entry.file ? "FILE " : "DIR  ");
    append_decimal(line, number, 6);
    append_ascii(line, ": ");
    append_path(line, entry.path);
    if (entry.file) {
        append_ascii(line, " (");
        append_decimal(line, static_cast<std::int64_t>(entry.size >> 10));
        append_ascii(line, " KB)");
    }
    append_ascii(line, "\n");
    return line;
}

}  // namespace

bool count_and_show(Report& report, const EntryLine& entry, bool shown, bool listed) {
    std::int32_t& counter = entry.file ? report.counters.files : report.counters.directories;
    if (!shown && !listed) {
        if (platform::interruption_requested()) return false;
        std::atomic_ref<std::int32_t>(counter).fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    platform::Holding held = report.hold();
    if (platform::interruption_requested()) return false;
    std::int32_t number = ++counter;
    if (listed) report.counters.file_bytes += entry.size;
    if (shown) report.write_progress(entry_line(number, entry));
    return true;
}

}  // namespace scythe
