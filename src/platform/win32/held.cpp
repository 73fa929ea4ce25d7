// Entries another program holds, on Windows: who holds them, as Restart
// Manager reports it, and their deletion at the next restart. The hard
// cases:
// - Restart Manager (rstrtmgr.dll) is not on every system: it is bound at
//   run time, once, from the system directory only (a bare name would be
//   looked for beside the program first), and a system without it names
//   nobody.
// - Its list may grow between asking how long it is and fetching it
//   (ERROR_MORE_DATA again): asked again a few times, then nobody named.
// - It takes full paths; whether it takes the long-path prefix is not
//   documented, so a path short enough is given without it.
// - MOVEFILE_DELAY_UNTIL_REBOOT appends to one registry value, read and
//   written whole, that the system works through in order at its start;
//   the caller keeps two such calls of one run from crossing.
// - Wine implements Restart Manager as a stub that names nobody; the
//   records below are checked against the documented layout instead.
#include <windows.h>
#include <restartmanager.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

namespace {

// RM_UNIQUE_PROCESS and RM_PROCESS_INFO: no pointer in them, so one layout
// for the 32-bit and the 64-bit build alike (checked here in both builds,
// since only the 64-bit one can run on the build machine).
struct UniqueProcess {
    DWORD process_id;
    FILETIME start_time;
};
constexpr std::size_t application_name_length = 255;  // CCH_RM_MAX_APP_NAME
constexpr std::size_t service_name_length = 63;       // CCH_RM_MAX_SVC_NAME
struct ProcessInfo {
    UniqueProcess process;
    WCHAR application_name[application_name_length + 1];
    WCHAR service_short_name[service_name_length + 1];
    DWORD application_type;
    ULONG application_status;
    DWORD terminal_session_id;
    BOOL restartable;
};
static_assert(sizeof(UniqueProcess) == 12 && sizeof(ProcessInfo) == 668);
static_assert(offsetof(ProcessInfo, application_name) == 12 && offsetof(ProcessInfo, service_short_name) == 524 &&
              offsetof(ProcessInfo, application_type) == 652 && offsetof(ProcessInfo, restartable) == 664);
static_assert(sizeof(ProcessInfo) == sizeof(RM_PROCESS_INFO) &&
              offsetof(ProcessInfo, application_name) == offsetof(RM_PROCESS_INFO, strAppName) &&
              offsetof(ProcessInfo, service_short_name) == offsetof(RM_PROCESS_INFO, strServiceShortName));
static_assert(CCH_RM_MAX_APP_NAME == application_name_length && CCH_RM_MAX_SVC_NAME == service_name_length);

// The session key buffer: CCH_RM_SESSION_KEY characters and the terminator.
constexpr std::size_t session_key_length = sizeof(GUID) * 2;
static_assert(CCH_RM_SESSION_KEY == session_key_length);

using StartSession = DWORD(WINAPI*)(DWORD* session, DWORD flags, WCHAR* session_key);
using RegisterResources = DWORD(WINAPI*)(DWORD session, UINT files, const WCHAR** file_names, UINT applications,
                                         UniqueProcess* application_list, UINT services, const WCHAR** service_names);
using GetList = DWORD(WINAPI*)(DWORD session, UINT* needed, UINT* count, ProcessInfo* list, DWORD* reboot_reasons);
using EndSession = DWORD(WINAPI*)(DWORD session);
// The entry points follow the system's calling convention (stdcall on x86).
static_assert(std::is_same_v<StartSession, DWORD(__stdcall*)(DWORD*, DWORD, WCHAR*)>);
static_assert(std::is_same_v<RegisterResources,
                             DWORD(__stdcall*)(DWORD, UINT, const WCHAR**, UINT, UniqueProcess*, UINT, const WCHAR**)>);
static_assert(std::is_same_v<GetList, DWORD(__stdcall*)(DWORD, UINT*, UINT*, ProcessInfo*, DWORD*)>);
static_assert(std::is_same_v<EndSession, DWORD(__stdcall*)(DWORD)>);

struct RestartManager {
    StartSession start_session;
    RegisterResources register_resources;
    GetList get_list;
    EndSession end_session;
    bool present() const { return start_session && register_resources && get_list && end_session; }
};

HMODULE load_from_system_directory(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring path(folder, length);
    path += L'\\';
    path += name;
    return LoadLibraryW(path.c_str());
}

// Bound once, by whichever thread asks first, and kept for the process.
const RestartManager& restart_manager() {
    static const HMODULE module = load_from_system_directory(L"rstrtmgr.dll");
    auto bind = [](const char* name, auto typed_null) {
        FARPROC found = module ? GetProcAddress(module, name) : nullptr;
        return reinterpret_cast<decltype(typed_null)>(reinterpret_cast<void (*)()>(found));
    };
    static const RestartManager bound{bind("RmStartSession", StartSession{}),
                                      bind("RmRegisterResources", RegisterResources{}), bind("RmGetList", GetList{}),
                                      bind("RmEndSession", EndSession{})};
    return bound;
}

// "\\?\C:\a" as "C:\a", "\\?\UNC\server\share\a" as "\\server\share\a",
// where the shorter form stays within the classic limit.
std::u16string without_long_prefix(const std::u16string& path) {
    std::u16string shorter;
    if (path.compare(0, 8, u"\\\\?\\UNC\\") == 0)
        shorter = u"\\\\" + path.substr(8);
    else if (path.compare(0, 4, u"\\\\?\\") == 0)
        shorter = path.substr(4);
    return !shorter.empty() && shorter.size() < MAX_PATH ? shorter : path;
}

// Ends the session on every way out.
class RestartSession {
public:
    explicit RestartSession(const RestartManager& manager) : manager_(manager) {}
    ~RestartSession() {
        if (started_) manager_.end_session(handle_);
    }
    RestartSession(const RestartSession&) = delete;
    RestartSession& operator=(const RestartSession&) = delete;

    ErrorCode start() {
        WCHAR key[session_key_length + 1] = {};
        ErrorCode error = manager_.start_session(&handle_, 0, key);
        started_ = error == ERROR_SUCCESS;
        return error;
    }
    DWORD handle() const { return handle_; }

private:
    const RestartManager& manager_;
    DWORD handle_ = 0;
    bool started_ = false;
};

// The list, asked for its length first; a list that grows meanwhile is
// asked for again.
ErrorCode list_holders(const RestartManager& manager, DWORD session, std::vector<ProcessInfo>& list) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(list.size());
        DWORD reasons = 0;
        ErrorCode error = manager.get_list(session, &needed, &count, list.empty() ? nullptr : list.data(), &reasons);
        if (error == ERROR_SUCCESS) {
            list.resize(count < list.size() ? count : list.size());
            return ERROR_SUCCESS;
        }
        if (error != ERROR_MORE_DATA) return error;
        list.resize(needed);
    }
    return ERROR_MORE_DATA;
}

std::u16string text_of(const WCHAR* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length]) ++length;
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

bool held_open(ErrorCode error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

bool not_empty(ErrorCode error) { return error == ERROR_DIR_NOT_EMPTY; }

ErrorCode holders_of(const std::u16string& path, std::vector<Holder>& holders) {
    holders.clear();
    const RestartManager& manager = restart_manager();
    if (!manager.present()) return ERROR_PROC_NOT_FOUND;
    RestartSession session(manager);
    if (ErrorCode error = session.start()) return error;
    std::u16string name = without_long_prefix(path);
    const WCHAR* names[] = {reinterpret_cast<const WCHAR*>(name.c_str())};
    if (ErrorCode error = manager.register_resources(session.handle(), 1, names, 0, nullptr, 0, nullptr)) return error;
    std::vector<ProcessInfo> list;
    if (ErrorCode error = list_holders(manager, session.handle(), list)) return error;
    for (const ProcessInfo& info : list) {
        // A service's display name may be empty where its short name is not.
        std::u16string shown = text_of(info.application_name, application_name_length);
        if (shown.empty()) shown = text_of(info.service_short_name, service_name_length);
        holders.push_back(Holder{std::move(shown), info.process.process_id});
    }
    return ERROR_SUCCESS;
}

ErrorCode delete_at_restart(const std::u16string& path) {
    return MoveFileExW(wide(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace scythe::platform
