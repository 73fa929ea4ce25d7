#include "privilege/privilege.h"

#include "app/settings.h"
#include "platform/platform.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

namespace {

void write_privilege_line(std::string_view before, const char* name, std::string_view after) {
    std::u16string line = ascii_text(before);
    append_ascii(line, name);
    append_ascii(line, after);
    write_console(line);
}

int privilege_failed(std::string_view call, const char* name) {
    std::u16string line = ascii_text(call);
    append_ascii(line, " (");
    append_decimal(line, static_cast<std::int32_t>(platform::last_error()));
    append_ascii(line, "), aborting setting the ");
    append_ascii(line, name);
    append_ascii(line, " privilege.\n");
    write_console(line);
    return 0;
}

// The line is written first: closing the token may change the last error.
int give_up(platform::TokenHandle token, std::string_view call, const char* name) {
    privilege_failed(call, name);
    platform::close_token(token);
    return 0;
}

}  // namespace

int enable_privilege(const char* name) {
    if (!settings.silent) write_privilege_line("Try to set ", name, " privilege for current process.\n");
    platform::TokenHandle token{};
    if (!platform::open_process_token(token)) return privilege_failed("OpenProcessToken was not successfull", name);
    platform::PrivilegeId id;
    if (!platform::lookup_privilege(name, id))
        return give_up(token, "LookupPrivilegeValue() failed", name);
    if (!platform::enable_privilege(token, id))
        return give_up(token, "AdjustTokenPrivileges() failed", name);
    if (!platform::close_token(token)) {
        write_privilege_line("CloseHandle() failed, aborting setting the ", name, " privilege.\n");
        return 0;
    }
    if (!settings.silent) write_privilege_line("Set privilege ", name, " successfully.\n");
    return 1;
}

int enable_run_privileges() {
    for (const char* name : {"SeRestorePrivilege", "SeBackupPrivilege", "SeSecurityPrivilege"})
        if (!enable_privilege(name)) return 0;
    return 1;
}

}  // namespace scythe
