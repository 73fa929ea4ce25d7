// Under Wine: the mount points below a directory, from the system's mount
// table, read again whenever the walk is about to list a directory.
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
// - A mount made while the run goes: the table is read again through the
//   handle kept open on it (one read from its start; the system writes it
//   afresh for each), and converted again only where its text changed,
//   since each conversion costs a call to Wine's server per line.
// - Threads: one table for the run, behind its own lock.
#include <windows.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/win32.h"

namespace scythe::platform {

namespace {

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

// The whole text, read from its start whatever was read before; false if
// a read fails, which leaves the table as it was known.
bool read_from_start(HANDLE file, std::string& content) {
    char buffer[16384];
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(content.size());
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF;
        if (got == 0) return true;
        content.append(buffer, got);
    }
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

WineMountTable::WineMountTable(const std::u16string& root_name) : prefix_(root_name + u"\\") {
    InitializeSRWLock(&lock_);
    to_dos_ = unix_to_dos();
    std::u16string table_path = to_dos_ ? dos_name(to_dos_, "/proc/self/mountinfo") : u"";
    if (table_path.empty()) return;
    bool prefixed = table_path.compare(0, 2, u"\\\\") == 0;  // \\?\unix\... where no drive maps it
    file_.reset(CreateFileW(wide(prefixed ? table_path : u"\\\\?\\" + table_path), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    read_again();
}

bool WineMountTable::contains(const std::u16string& name, bool read_first) {
    AcquireSRWLockExclusive(&lock_);
    if (read_first) read_again();
    bool found = std::binary_search(below_.begin(), below_.end(), name);
    ReleaseSRWLockExclusive(&lock_);
    return found;
}

void WineMountTable::read_again() {
    if (!file_) return;
    std::string table;
    if (!read_from_start(file_.get(), table) || table == text_) return;
    text_ = std::move(table);
    below_.clear();
    for (std::size_t start = 0, end; start < text_.size(); start = end + 1) {
        end = text_.find('\n', start);
        if (end == std::string::npos) end = text_.size();
        std::u16string dos = dos_name(to_dos_, mount_point_of(text_.substr(start, end - start)));
        if (dos.empty()) continue;
        std::u16string name = u"\\??\\" + dos;  // as Wine names a handle
        if (name.compare(0, prefix_.size(), prefix_) == 0) below_.push_back(std::move(name));
    }
    std::sort(below_.begin(), below_.end());
}

}  // namespace scythe::platform
