// Privilege enabling, one privilege at a time. The hard cases:
// - A privilege the account does not hold at all is no failure: the run
//   goes on without it, so an ordinary user can still delete what the
//   access lists allow, and its line says that it is not held rather than
//   set (the system's call succeeds either way).
// - Every failure line carries the code of the call that failed, whatever
//   closing the token does afterwards: the platform returns each code, and
//   the token, owned from its opening, is closed on every way out.
// - Only closing the token after success is checked, and its line has no
//   code.
// All lines go to the console only, never to a log.
#include "privilege/privilege.h"

#include "platform/platform.h"
#include "report/text.h"

namespace scythe {

namespace {

void write_privilege_line(Report& report, std::string_view before, const char* name, std::string_view after) {
    std::u16string line = ascii_text(before);
    append_ascii(line, name);
    append_ascii(line, after);
    report.write_console(line);
}

// The failure line of a call, with its code; false, for the caller's failure.
bool report_privilege_failure(Report& report, std::string_view call, platform::ErrorCode error, const char* name) {
    std::string before(call);
    before += " (" + std::to_string(static_cast<std::int32_t>(error)) + "), aborting setting the ";
    write_privilege_line(report, before, name, " privilege.\n");
    return false;
}

}  // namespace

bool enable_privilege(Report& report, const RunSettings& settings, const char* name) {
    if (!settings.silent) write_privilege_line(report, "Try to set ", name, " privilege for current process.\n");
    platform::OwnedToken token;
    if (platform::ErrorCode error = platform::open_process_token(token))
        return report_privilege_failure(report, "OpenProcessToken was not successfull", error, name);
    platform::PrivilegeId id;
    if (platform::ErrorCode error = platform::lookup_privilege(name, id))
        return report_privilege_failure(report, "LookupPrivilegeValue() failed", error, name);
    bool held = false;
    if (platform::ErrorCode error = platform::enable_privilege(token.get(), id, held))
        return report_privilege_failure(report, "AdjustTokenPrivileges() failed", error, name);
    if (platform::close_token(token)) {
        write_privilege_line(report, "CloseHandle() failed, aborting setting the ", name, " privilege.\n");
        return false;
    }
    if (settings.silent) return true;
    if (held)
        write_privilege_line(report, "Set privilege ", name, " successfully.\n");
    else
        write_privilege_line(report, "Privilege ", name, " is not held, going on without it.\n");
    return true;
}

bool enable_run_privileges(Report& report, const RunSettings& settings) {
    for (const char* name : {"SeRestorePrivilege", "SeBackupPrivilege", "SeSecurityPrivilege"})
        if (!enable_privilege(report, settings, name)) return false;
    return true;
}

}  // namespace scythe
