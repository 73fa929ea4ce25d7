// The header and summary blocks. The hard cases: the console and the run
// log take different forms of both (no banner in the log, no empty line
// before the elapsed time, "Silent" shown only in the log's header), and
// the summary's error count must include a run log that fails to take the
// summary itself. Lines of the newer options appear only when the option
// is given, so that runs without them keep every byte. An appended run log
// also says when the run started and how it was called, since the runs it
// keeps are otherwise told apart by nothing.
#include "report/blocks.h"

#include "report/text.h"

namespace scythe {

const char* const hyphen_line = "-------------------------------------------\n";

namespace {

const char* const program_version = SCYTHE_VERSION;

std::u16string setting_line(std::string_view label, bool value) {
    std::u16string line = ascii_text(label);
    append_ascii(line, value ? "Yes\n" : "No\n");
    return line;
}

std::u16string number_line(std::string_view label, std::int64_t value, std::string_view unit = "") {
    std::u16string line = ascii_text(label);
    append_decimal(line, value);
    append_ascii(line, unit);
    append_ascii(line, "\n");
    return line;
}

// The options shown only where given, one line each, in this order.
void append_given_options(std::u16string& block, const RunSettings& settings) {
    // A run on one thread shows the header it always has.
    if (settings.threads > 1) block += number_line("Threads                   : ", settings.threads);
    if (settings.keep_root) block += setting_line("KeepRoot                  : ", true);
    if (settings.what_if) block += setting_line("WhatIf                    : ", true);
    if (settings.retry_for_seconds)
        block += number_line("RetryFor                  : ", *settings.retry_for_seconds, " s");
    if (settings.on_reboot) block += setting_line("OnReboot                  : ", true);
    if (settings.unicode) block += setting_line("Unicode                   : ", true);
    if (settings.if_exists) block += setting_line("IfExists                  : ", true);
}

// The part shared by console and run log, from "Source" to the closing
// hyphens; the run's record lines go before those.
std::u16string settings_block(const RunSettings& settings, bool silent, std::u16string_view record = {}) {
    std::u16string block = ascii_text("Source                    : ");
    append_path(block, settings.rooted_path);
    append_ascii(block, "\n");
    block += setting_line("SubDirectories            : ", settings.descend_into_subdirectories);
    block += setting_line("Silent                    : ", silent);
    block += setting_line("StopAtFirstError          : ", settings.stop_at_first_error);
    block += setting_line("IgnoreErrors              : ", settings.ignore_errors);
    append_given_options(block, settings);
    block += record;
    append_ascii(block, hyphen_line);
    return block;
}

// "Started" and "Command line", for a run log appended to.
std::u16string record_lines(const Report& report, const RunSettings& settings) {
    if (!report.run_log_appends()) return {};
    std::u16string lines = report.started_line();
    append_ascii(lines, "Command line              : ");
    lines += settings.command_line;
    append_ascii(lines, "\n");
    return lines;
}

// A dry run also tells how much its files hold.
std::u16string counts_block(const Counters& counters, const RunSettings& settings) {
    std::u16string counts = ascii_text("\n");
    append_ascii(counts, hyphen_line);
    counts += number_line("Directories    : ", counters.directories);
    counts += number_line("Files          : ", counters.files);
    if (settings.what_if)
        counts += number_line("Size           : ", static_cast<std::int64_t>(counters.file_bytes >> 10), " KB");
    counts += number_line("Errors         : ", counters.errors);
    if (settings.on_reboot) counts += number_line("Scheduled      : ", counters.scheduled);
    return counts;
}

}  // namespace

std::u16string version_line() {
    std::u16string text = ascii_text("Scythe ");
    append_ascii(text, program_version);
    append_ascii(text, "\n");
    return text;
}

std::u16string banner() {
    std::u16string text = ascii_text(hyphen_line);
    text += version_line();
    append_ascii(text, hyphen_line);
    return text;
}

void write_header(Report& report, const RunSettings& settings) {
    if (!settings.silent) report.write_console(banner() + settings_block(settings, false));
    report.write_run_log(settings_block(settings, settings.silent, record_lines(report, settings)));
}

std::u16string format_elapsed(std::int64_t seconds) {
    std::u16string text;
    append_decimal(text, seconds / 3600, 2);
    text.push_back(u':');
    append_decimal(text, seconds % 3600 / 60, 2);
    text.push_back(u':');
    append_decimal(text, seconds % 60, 2);
    return text;
}

// The run log's summary is written out first: a log that fails to take it
// counts an error, and the console's summary then shows it, as the exit
// code will.
void write_summary(Report& report, const RunSettings& settings, std::int64_t elapsed_seconds) {
    std::u16string elapsed = ascii_text("Elapsed time   : ") + format_elapsed(elapsed_seconds);
    append_ascii(elapsed, "\n");
    report.write_run_log(counts_block(report.counted(), settings) + elapsed);
    report.flush_logs();
    if (!settings.silent) report.write_console(counts_block(report.counted(), settings) + u"\n" + elapsed);
}

}  // namespace scythe
