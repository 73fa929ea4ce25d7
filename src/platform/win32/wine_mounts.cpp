// Under Wine: the mount points below a directory, from the system's mount
// table.
//
// Wine shows a bind mount of the same file system as the directory it
// mounts: no attribute, reparse tag or file id tells them apart (the
// listing's file id is the mounted directory's, as the handle's is; only a
// mount of another device is a reparse point). The Unix mount table, read as
// a file through the drive that maps /proc, does tell. The hard cases:
// - Names: the table gives Unix paths; Wine's own conversion turns each
//   into the name Wine gives the handle of that path (the drive that maps
//   the longest prefix, then the rest), which is how the walk names what it
//   lists, so the two compare as they are.
// - Escapes: the table writes a space, tab, newline and backslash in a
//   path as three octal digits after a backslash.
// - Only Wine has the conversion (kernel32's wine_get_dos_file_name);
//   without it, or without the table, no mount point is known.
#include <windows.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/win32.h"

namespace scythe::platform {

namespace {

using UnixToDos = WCHAR*(CDECL*)(const char* unix_path);
static_assert(std::is_same_v<UnixToDos, WCHAR*(__cdecl*)(const char*)>);

UnixToDos unix_to_dos() {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    return kernel32 ? reinterpret_cast<UnixToDos>(
                          reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "wine_get_dos_file_name")))
                    : nullptr;
}

// Wine's DOS name for a Unix path (Y:\tree); empty where there is none.
std::u16string dos_name(UnixToDos to_dos, const std::string& unix_path) {
    WCHAR* dos = to_dos(unix_path.c_str());
    if (!dos) return {};
    std::u16string name(reinterpret_cast<const char16_t*>(dos));
    HeapFree(GetProcessHeap(), 0, dos);
    return name;
}

std::string read_whole(const std::u16string& path) {
    HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string content;
    char buffer[16384];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return content;
}

// The fifth field of a line of the mount table, its escapes undone.
std::string mount_point_of(const std::string& line) {
    std::size_t start = 0;
    for (int field = 0; field < 4 && start != std::string::npos; ++field) {
        start = line.find(' ', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) return {};
    std::string escaped = line.substr(start, line.find(' ', start) - start), path;
    auto octal = [&](std::size_t at) { return at < escaped.size() && escaped[at] >= '0' && escaped[at] <= '7'; };
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            path.push_back(static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                                             (escaped[i + 3] - '0')));
            i += 3;
        } else {
            path.push_back(escaped[i]);
        }
    }
    return path;
}

}  // namespace

std::vector<std::u16string> wine_mount_points_below(const std::u16string& root_name) {
    std::vector<std::u16string> below;
    UnixToDos to_dos = unix_to_dos();
    std::u16string table_path = to_dos ? dos_name(to_dos, "/proc/self/mountinfo") : u"";
    if (table_path.empty()) return below;
    bool prefixed = table_path.compare(0, 2, u"\\\\") == 0;  // \\?\unix\... where no drive maps it
    std::string table = read_whole(prefixed ? table_path : u"\\\\?\\" + table_path);
    std::u16string prefix = root_name + u"\\";
    for (std::size_t start = 0, end; start < table.size(); start = end + 1) {
        end = table.find('\n', start);
        if (end == std::string::npos) end = table.size();
        std::u16string dos = dos_name(to_dos, mount_point_of(table.substr(start, end - start)));
        if (dos.empty()) continue;
        std::u16string name = u"\\??\\" + dos;  // as Wine names a handle
        if (name.compare(0, prefix.size(), prefix) == 0) below.push_back(std::move(name));
    }
    std::sort(below.begin(), below.end());
    return below;
}

}  // namespace scythe::platform
