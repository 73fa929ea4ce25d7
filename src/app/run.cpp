#include "app/run.h"

#include "app/command_line.h"
#include "app/settings.h"
#include "delete/native.h"
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

void remove_root() {
    if (platform::remove_root_directory(settings.rooted_path)) return;
    report_win32_error(settings.rooted_path, "RemoveDirectory() failed", platform::last_error());
    // A root left behind counts twice: once for the line, once for the run.
    ++counters.errors;
}

int run_deletion() {
    if (!open_logs()) return fatal;
    write_header();
    if (!bind_native_interface()) return fatal;
    if (!enable_run_privileges()) return fatal;
    if (!settings.silent) write_console(ascii_text(hyphen_line));

    std::int64_t start = platform::wall_clock_seconds();
    if (delete_tree(settings.rooted_path)) remove_root();
    std::int64_t end = platform::wall_clock_seconds();

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
    return run_deletion();
}

}  // namespace scythe
