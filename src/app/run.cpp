// One run, from the checked path to the exit code. The root is opened once:
// on POSIX where its path is checked, on Windows at the start of the work
// (its opening needs the privileges). The refusal of a file-system root,
// the walk and the root's removal all act on what was opened.
#include "app/run.h"

#include "app/command_line.h"
#include "app/settings.h"
#include "delete/native.h"
#include "delete/retries.h"
#include "delete/walk.h"
#include "platform/platform.h"
#include "privilege/privilege.h"
#include "report/blocks.h"
#include "report/errors.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

namespace {

constexpr int fatal = -1;

// False (after the console message) when what the path reached is the
// root of the file system or of a volume.
bool open_checked_root(platform::OpenedRoot& root) {
    root = platform::open_root(settings.rooted_path);
    if (root.kind != platform::RootKind::file_system_root) return true;
    write_console(ascii_text(platform::windows_paths ? drive_root_message : file_system_root_message));
    return false;
}

// A root whose walk left something behind is not worth a second try.
void remove_run_root(platform::Root& root) {
    auto remove = [&] { return platform::remove_root(root); };
    Retries retries;
    platform::ErrorCode error = counters.errors == 0 ? retries.run(remove) : remove();
    if (!error) return;
    report_win32_error(settings.rooted_path, "RemoveDirectory() failed", error);
    // A root left behind counts twice: once for the line, once for the run.
    ++counters.errors;
}

int run_deletion(platform::OpenedRoot& root) {
    if (!open_logs()) return fatal;
    write_header();
    if (!bind_native_interface()) return fatal;
    if (!enable_run_privileges()) return fatal;
    if (platform::windows_paths && !open_checked_root(root)) return fatal;
    if (!settings.silent) write_console(ascii_text(hyphen_line));

    std::int64_t start = platform::wall_clock_seconds();
    if (delete_tree(root, settings.rooted_path, settings) == TreeResult::completed) remove_run_root(*root.root);
    std::int64_t end = platform::wall_clock_seconds();

    flush_logs();  // a log that cannot be written is counted before the summary
    write_summary(end - start);
    close_logs();
    return counters.errors;
}

}  // namespace

int run_program(const std::vector<std::u16string>& arguments) {
    if (arguments.size() <= 1) {
        write_usage();
        return 0;
    }
    settings = RunSettings{};
    reset_output();
    parse_arguments(arguments);
    if (!check_source_path()) return fatal;
    platform::OpenedRoot root;
    if (!platform::windows_paths && !open_checked_root(root)) return fatal;
    return run_deletion(root);
}

}  // namespace scythe
