// The POSIX side of the seam: process, errors, output files and privileges.
// The directory operations live in directory.cpp.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "platform/posix/posix.h"

namespace scythe::platform {

namespace {
ErrorCode stored_error = 0;
}

bool fail_with_errno() {
    stored_error = static_cast<ErrorCode>(errno);
    return false;
}

void set_error(int code) { stored_error = static_cast<ErrorCode>(code); }

ErrorCode last_error() { return stored_error; }

std::u16string error_message(ErrorCode code) {
    const char* text = strerrordesc_np(static_cast<int>(code));
    return text ? decode_native_bytes(text) : std::u16string();
}

void prepare_process() {
    // Output that nobody reads any more (a closed pipe) must not end a run
    // halfway: write errors are ignored, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
    // Every level of the walk holds its directory open.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int exit_status(int result) {
    // An exit status has eight bits: 256 errors must not read as a clean run.
    if (result < 0) return 255;
    return result > 254 ? 254 : result;
}

std::int64_t wall_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// ---- output ----

namespace {
void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}
}  // namespace

void write_console(std::string_view bytes) { write_all(STDOUT_FILENO, bytes); }

bool create_output_file(const std::u16string& path, FileHandle& file) {
    file = ::open(to_native_bytes(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return file >= 0 || fail_with_errno();
}

void write_file(FileHandle file, std::string_view bytes) { write_all(file, bytes); }

void close_file(FileHandle file) { ::close(file); }

// ---- native interface stand-ins ----

bool bind_entry_point(EntryPoint) { return true; }

ErrorCode status_to_error(NativeStatus status) {
    auto raw = static_cast<std::uint32_t>(status);
    if ((raw & 0xF0000000u) == errno_status_base) return raw & 0x0FFFFFFFu;
    if (status == status_no_more_files) return ENOENT;
    return raw & 0xFFFFu;
}

// ---- privileges ----
// A Windows privilege stands for the capabilities that let root act
// whatever the permissions say.

namespace {

enum PrivilegeKind : std::uint32_t { restore_privilege = 1, backup_privilege, security_privilege };

std::vector<cap_value_t> capabilities_of(PrivilegeId id) {
    switch (id.low) {
        case restore_privilege: return {CAP_DAC_OVERRIDE, CAP_FOWNER};
        case backup_privilege: return {CAP_DAC_READ_SEARCH};
        case security_privilege: return {CAP_FOWNER};
        default: return {};
    }
}

}  // namespace

bool open_process_token(TokenHandle& token) {
    token = cap_get_proc();
    return token != nullptr || fail_with_errno();
}

bool lookup_privilege(const char* name, PrivilegeId& id) {
    std::string_view wanted(name);
    if (wanted == "SeRestorePrivilege") id.low = restore_privilege;
    else if (wanted == "SeBackupPrivilege") id.low = backup_privilege;
    else if (wanted == "SeSecurityPrivilege") id.low = security_privilege;
    else {
        set_error(EINVAL);
        return false;
    }
    return true;
}

bool enable_privilege(TokenHandle token, PrivilegeId id) {
    auto state = static_cast<cap_t>(token);
    // As with a privilege the account lacks, a capability not held at all
    // is no failure: an ordinary user can still delete a tree of its own.
    for (cap_value_t capability : capabilities_of(id)) {
        cap_flag_value_t permitted = CAP_CLEAR;
        if (cap_get_flag(state, capability, CAP_PERMITTED, &permitted) != 0) return fail_with_errno();
        if (permitted == CAP_SET && cap_set_flag(state, CAP_EFFECTIVE, 1, &capability, CAP_SET) != 0)
            return fail_with_errno();
    }
    return cap_set_proc(state) == 0 || fail_with_errno();
}

bool close_token(TokenHandle token) { return cap_free(token) == 0 || fail_with_errno(); }

}  // namespace scythe::platform
