// What Wine 8 does where Windows does otherwise, each shown on its own,
// without Scythe (the Wine notes in docs/wine.md refer to these):
//
//   wine_limits.exe ctrl-c
//       Writes "ready" and waits 30 s with no Ctrl-C handler of its own. A
//       Ctrl-C (SIGINT to Wine) ends it with exit code 0 under Wine; Windows
//       ends it with STATUS_CONTROL_C_EXIT (0xC000013A).
//   wine_limits.exe disposition-ex <file>
//       Marks the file for deletion through FileDispositionInformationEx
//       (delete, POSIX semantics, ignore the read-only bit) and prints the
//       status: 0xC0000002 (not implemented) under Wine, whatever the flags.
//   wine_limits.exe remove <directory>
//       Marks the directory for deletion (FileDispositionInformation), prints
//       the status, closes the handle and prints whether it is still there.
//       An empty mount point: 0, then still there under Wine, whose removal
//       fails as the handle closes and says nothing.
//   wine_limits.exe ids <directory>
//       Lists the directory with file ids (FileIdBothDirectoryInformation)
//       and prints each entry's id beside the id of a handle opened on it. A
//       bind mount of the same file system shows the mounted directory's id
//       in both, no reparse point, nothing that tells it from a directory.
//       A dangling or looping link is not listed at all (nor through the
//       \\?\unix\ name of the same directory).
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using SetInformation = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
using QueryDirectory = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, int, BOOLEAN, void*,
                                    BOOLEAN);

template <typename Function>
Function ntdll(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

HANDLE open(const wchar_t* path, DWORD access) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

int mark_for_deletion(const wchar_t* path, int information_class, ULONG value, ULONG size) {
    HANDLE handle = open(path, DELETE | FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) return 3;
    IO_STATUS_BLOCK io{};
    std::printf("status 0x%08lX\n", static_cast<unsigned long>(
                                        ntdll<SetInformation>("NtSetInformationFile")(handle, &io, &value, size, information_class)));
    CloseHandle(handle);
    std::printf("%s\n", GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES ? "gone" : "still there");
    return 0;
}

LONGLONG id_of(HANDLE handle) {
    LARGE_INTEGER id{};
    IO_STATUS_BLOCK io{};
    ntdll<SetInformation>("NtQueryInformationFile")(handle, &io, &id, sizeof id, 6);  // FileInternalInformation
    return id.QuadPart;
}

int list_ids(const wchar_t* path) {
    HANDLE directory = open(path, GENERIC_READ);
    if (directory == INVALID_HANDLE_VALUE) return 3;
    alignas(8) unsigned char buffer[4096];
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK io{};
        if (ntdll<QueryDirectory>("NtQueryDirectoryFile")(directory, nullptr, nullptr, nullptr, &io, buffer,
                                                          sizeof buffer, 37, TRUE, nullptr, restart) < 0)
            break;
        // FILE_ID_BOTH_DIR_INFORMATION: attributes at 56, name length at 60,
        // file id at 96, name at 104.
        ULONG attributes = *reinterpret_cast<ULONG*>(buffer + 56);
        std::wstring name(reinterpret_cast<wchar_t*>(buffer + 104), *reinterpret_cast<ULONG*>(buffer + 60) / 2);
        LONGLONG listed = *reinterpret_cast<LONGLONG*>(buffer + 96);
        HANDLE entry = open((std::wstring(path) + L"\\" + name).c_str(), FILE_READ_ATTRIBUTES);
        std::printf("%ls attributes 0x%lX listed id %lld handle id %lld\n", name.c_str(),
                    static_cast<unsigned long>(attributes), listed, entry != INVALID_HANDLE_VALUE ? id_of(entry) : -1);
        if (entry != INVALID_HANDLE_VALUE) CloseHandle(entry);
    }
    CloseHandle(directory);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && !std::wcscmp(argv[1], L"ctrl-c")) {
        std::puts("ready");
        std::fflush(stdout);
        Sleep(30000);
        return 1;
    }
    if (argc != 3) return 2;
    if (!std::wcscmp(argv[1], L"disposition-ex")) return mark_for_deletion(argv[2], 64, 0x1 | 0x2 | 0x10, 4);
    if (!std::wcscmp(argv[1], L"remove")) return mark_for_deletion(argv[2], 13, TRUE, 1);
    if (!std::wcscmp(argv[1], L"ids")) return list_ids(argv[2]);
    return 2;
}
