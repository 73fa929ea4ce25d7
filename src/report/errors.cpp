// The numbered lines, formed here; the Report counts each and writes it
// under its one lock, so that on several threads the numbers still come in
// the order of the lines. ERR lines in their two forms: a Win32 code, and a
// native status mapped to the Win32 code whose text it shows.
#include "report/errors.h"

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

// "KIND 000001: path", the start of every numbered line.
std::u16string numbered_line(std::string_view kind, std::int32_t number, std::u16string_view path) {
    std::u16string line;
    line.reserve(path.size() + 64);  // a deep tree's lines are long: grown once
    append_ascii(line, kind);
    append_decimal(line, number, 6);
    append_ascii(line, ": ");
    append_path(line, path);
    return line;
}

// "ERR  000001: path: text at label", the code part, and the lines that
// follow it; the Report counts and writes it under one lock.
void write_error_line(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code,
                      std::u16string_view code_part, std::u16string_view following = {}, bool scheduled = false) {
    std::u16string text = error_text(code);
    report.write_error(
        [&](std::int32_t number) {
            std::u16string line = numbered_line("ERR  ", number, path);
            append_ascii(line, ": ");
            line += text;
            append_ascii(line, " at ");
            append_ascii(line, label);
            line += code_part;
            line += following;
            return line;
        },
        scheduled);
}

std::u16string entry_line(std::int32_t number, const EntryLine& entry) {
    std::u16string line = numbered_line(entry.file ? "FILE " : "DIR  ", number, entry.path);
    if (entry.file) {
        append_ascii(line, " (");
        append_decimal(line, static_cast<std::int64_t>(entry.size >> 10));
        append_ascii(line, " KB)");
    }
    append_ascii(line, "\n");
    return line;
}

// " (5)" and the line end.
std::u16string win32_code_part(platform::ErrorCode code) {
    std::u16string code_part = ascii_text(" (");
    append_decimal(code_part, static_cast<std::int32_t>(code));
    append_ascii(code_part, ")\n");
    return code_part;
}

// Lines that belong to the ERR line above them: indented to its path, so
// that none begins like a numbered line.
constexpr const char* following_indent = "             ";

// "in use by notepad.exe (4242), SearchIndexer.exe (1180)", each name
// escaped as a path is.
std::u16string holders_line(const std::vector<platform::Holder>& holders) {
    std::u16string line;
    if (holders.empty()) return line;
    append_ascii(line, following_indent);
    append_ascii(line, "in use by ");
    for (std::size_t i = 0; i < holders.size(); ++i) {
        if (i > 0) append_ascii(line, ", ");
        append_path(line, holders[i].name);
        append_ascii(line, " (");
        append_decimal(line, static_cast<std::int64_t>(holders[i].process_id));
        append_ascii(line, ")");
    }
    append_ascii(line, "\n");
    return line;
}

}  // namespace

void report_win32_error(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code) {
    write_error_line(report, path, label, code, win32_code_part(code));
}

void report_staying(Report& report, std::u16string_view path, std::string_view label, platform::ErrorCode code,
                    const std::vector<platform::Holder>& holders, bool scheduled) {
    std::u16string following = holders_line(holders);
    if (scheduled) {
        append_ascii(following, following_indent);
        append_ascii(following, "scheduled for deletion at the next restart\n");
    }
    write_error_line(report, path, label, code, win32_code_part(code), following, scheduled);
}

void report_native_status(Report& report, std::u16string_view path, std::string_view label,
                          platform::NativeStatus status) {
    platform::ErrorCode code = platform::status_to_error(status);
    std::u16string code_part = ascii_text(" (NT:0x");
    append_hex(code_part, static_cast<std::uint32_t>(status));
    append_ascii(code_part, ",DOS:");
    append_decimal(code_part, static_cast<std::int32_t>(code));
    append_ascii(code_part, ")\n");
    write_error_line(report, path, label, code, code_part);
}

bool count_and_show(Report& report, const EntryLine& entry, bool shown, bool listed) {
    return report.count_entry({entry.file, shown, listed, entry.size},
                              [&](std::int32_t number) { return entry_line(number, entry); });
}

}  // namespace scythe
