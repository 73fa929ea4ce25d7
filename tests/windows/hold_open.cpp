// A test helper for the Windows build: holds a file open the way an
// antivirus scanner or an indexer would, with delete sharing, so that a
// deletion leaves it "delete pending" until the handle closes.
//
//   hold_open.exe <file> [without-delete-sharing]
//
// The second form holds it as an editor would, so that it cannot be deleted.
// Writes "ready" once the file is open and closes it when its standard
// input ends. (Wine 8 never reports a file delete-pending to another
// handle, so the helper cannot let go the moment the deletion comes.)
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (argc > 2 ? 0 : FILE_SHARE_DELETE);
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    std::puts("ready");
    std::fflush(stdout);
    char unused;
    while (std::fread(&unused, 1, 1, stdin) == 1) {
    }
    CloseHandle(file);
    return 0;
}
