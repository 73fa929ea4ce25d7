// One run, from the checked path to the exit code. The hard cases:
// - The root is opened once: on POSIX where its path is checked, on
//   Windows at the start of the work (its opening needs the privileges).
//   The refusal of a file-system root, the walk and the root's removal all
//   act on what was opened.
// - The root's removal waits out a "not empty" only where the walk emptied
//   it, as the walk says; a failure elsewhere (a log that cannot be
//   written) has no say.
// - A root left behind counts two errors for one line. A root that is to
//   be kept (/KeepRoot), or a dry run's, is never offered for removal, so
//   no line can come from it, nor is it scheduled for the next restart
//   (/OnReboot), which takes a root only where nothing below it outlasts
//   the restart.
// - Under /IfExists a root that is not there (nor, maybe, its parent) is
//   nothing to delete: a line says so and the run is clean. Anything else
//   that keeps the root from being opened (a file, no access) fails as
//   without the option.
// - The usage text (no arguments), help and the version are answered
//   before anything is parsed, opened or checked.
// - The run owns the settings and the Report; every part gets them by
//   reference, and the Report's buffers are pushed out on every way out.
//   The root is opened in the Report's session, whose logs its walk spares.
#include "app/run.h"

#include "app/command_line.h"
#include "delete/retries.h"
#include "delete/staying.h"
#include "delete/walk.h"
#include "platform/platform.h"
#include "privilege/privilege.h"
#include "report/blocks.h"
#include "report/errors.h"
#include "report/output.h"
#include "report/status.h"
#include "report/text.h"
#include "run_settings.h"

namespace scythe {

namespace {

constexpr int fatal = -1;

// False (after the console message) when what the path reached is the
// root of the file system or of a volume.
bool open_checked_root(const RunSettings& settings, Report& report, platform::OpenedRoot& root) {
    root = platform::open_root(settings.opening_path, &report.output_session());
    if (root.kind != platform::RootKind::file_system_root) return true;
    report.write_console(ascii_text(platform::windows_paths ? drive_root_message : file_system_root_message));
    return false;
}

// On failure writes which entry point is missing.
bool native_interface_bound(Report& report) {
    const char* missing = platform::missing_entry_point();
    if (!missing) return true;
    std::u16string line = ascii_text("Could not find ");
    append_ascii(line, missing);
    append_ascii(line, " entry point in NTDLL.DLL\n");
    report.write_console(line);
    return false;
}

// A root whose walk left something behind is not worth a second try. The
// walk is over: no other thread schedules anything meanwhile.
void remove_run_root(const RunSettings& settings, Report& report, platform::OpenedRoot& root,
                     const TreeOutcome& outcome) {
    auto remove = [&] { return platform::remove_root(*root.root); };
    Retries retries(report, settings);
    platform::ErrorCode error = outcome.emptied ? retries.run(remove) : remove();
    if (!error || platform::already_gone(error)) return;  // another cleaner's run took it
    bool held_back = platform::held_open(error) || platform::not_empty(error);
    bool goes_at_restart = root.kind == platform::RootKind::directory && !outcome.outlasts_restart && held_back;
    report_stays(settings, report, nullptr, {settings.rooted_path, "RemoveDirectory() failed", error, goes_at_restart});
    report.count_error();  // a root left behind counts twice: once for the line, once for the run
}

// One line where the DIR lines would be, instead of the walk.
bool nothing_to_delete(const RunSettings& settings, Report& report, const platform::OpenedRoot& root) {
    if (!settings.if_exists || root.kind != platform::RootKind::unopened || !platform::already_gone(root.error))
        return false;
    std::u16string line = ascii_text("Nothing to delete, not found: ");
    append_path(line, settings.rooted_path);
    append_ascii(line, "\n");
    report.write_walk_line(line);
    return true;
}

// The walk and the root's removal, with the status line of /Progress shown
// meanwhile and erased before anything else is written.
void delete_run_tree(const RunSettings& settings, Report& report, platform::OpenedRoot& root) {
    ProgressDisplay progress(report, settings);
    TreeOutcome outcome = delete_tree(root, settings.rooted_path, settings, report);
    bool root_stays = settings.keep_root || settings.what_if;
    if (outcome.completed && !root_stays) remove_run_root(settings, report, root, outcome);
}

int run_deletion(const RunSettings& settings, Report& report, platform::OpenedRoot& root) {
    if (!report.open_logs(settings)) return fatal;
    write_header(report, settings);
    if (!native_interface_bound(report)) return fatal;
    if (!enable_run_privileges(report, settings)) return fatal;
    if (platform::windows_paths && !open_checked_root(settings, report, root)) return fatal;
    if (!settings.silent) report.write_console(ascii_text(hyphen_line));

    std::int64_t start = platform::wall_clock_seconds();
    if (!nothing_to_delete(settings, report, root)) delete_run_tree(settings, report, root);
    std::int64_t end = platform::wall_clock_seconds();

    report.flush_logs();  // a log that cannot be written is counted before the summary
    write_summary(report, settings, end - start);
    report.close_logs();
    return report.counted().errors;
}

}  // namespace

int run_program(const std::vector<std::u16string>& arguments) {
    RunSettings settings;
    Report report;  // declared after the settings, whose log paths it holds
    if (asks_for_unicode(arguments)) report.use_utf8();
    if (arguments.size() <= 1) {
        write_usage(report);
        return 0;
    }
    Request request = requested(arguments);
    if (request == Request::help) write_help(report);
    if (request == Request::version) write_version(report);
    if (request != Request::run) return 0;
    if (!parse_arguments(arguments, settings, report)) return fatal;
    if (!check_source_path(settings, report)) return fatal;
    platform::OpenedRoot root;
    if (!platform::windows_paths && !open_checked_root(settings, report, root)) return fatal;
    return run_deletion(settings, report, root);
}

}  // namespace scythe
