// A test helper for the Windows build: runs a program whose token lacks
// the privileges named, as a console that is not elevated would:
//
//   without_privilege.exe <privilege>[,<privilege>...] <program> [<argument> ...]
//
// A privilege removed from a token cannot be enabled again, and the program
// starts with a copy of the helper's token. Arguments are passed on quoted,
// so none may hold a quote or end in a backslash. Exits with the program's
// exit code, or 2 to 4 where the helper itself fails.
#include <windows.h>

#include <string>

namespace {

bool remove_privilege(HANDLE token, const std::wstring& name) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    if (!LookupPrivilegeValueW(nullptr, name.c_str(), &privileges.Privileges[0].Luid)) return false;
    SetLastError(ERROR_SUCCESS);
    return AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 3;
    std::wstring names = argv[1];
    for (std::size_t start = 0, end; start <= names.size(); start = end + 1) {
        end = names.find(L',', start);
        if (end == std::wstring::npos) end = names.size();
        if (!remove_privilege(token, names.substr(start, end - start))) return 3;
    }
    std::wstring command;
    for (int i = 2; i < argc; ++i) command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 4;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 4;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}
