// Directory listing and removal on Windows: NtQueryDirectoryFile, one entry
// per call, and the Win32 calls on the long-path-prefixed full path.
#include <windows.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

struct Directory {
    HANDLE handle;
    std::u16string path_on_volume;  // only wanted under Wine; read when first needed
};

namespace {

// The record FileDirectoryInformation (class 1) fills in.
struct DirectoryInformation {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER creation_time;
    LARGE_INTEGER last_access_time;
    LARGE_INTEGER last_write_time;
    LARGE_INTEGER change_time;
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG file_attributes;
    ULONG file_name_length;
    WCHAR file_name[1];
};

constexpr int file_directory_information = 1;
// "The object manager encountered a reparse point while retrieving an
// object." (absent from the mingw-w64 headers)
constexpr DWORD error_reparse_point_encountered = 4395;
constexpr ULONG entry_buffer_size = 4096;
// One entry per call, taken out of the buffer at once: every level of the
// walk can share the one buffer, so deep trees cost no buffer per level.
alignas(8) unsigned char entry_buffer[entry_buffer_size];

HANDLE open_for_listing(const std::u16string& path, DWORD extra_flags) {
    return CreateFileW(wide(path), GENERIC_READ | ACCESS_SYSTEM_SECURITY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | extra_flags, nullptr);
}

bool is_reparse_point(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

Directory* open_directory(const std::u16string& path) {
    HANDLE handle = open_for_listing(path, 0);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return new Directory{handle, {}};
}

// A subdirectory turned into a link or junction since it was listed is
// not entered: the link itself is opened and refused.
Directory* open_subdirectory(Directory&, const DirectoryEntry&, const std::u16string& path) {
    HANDLE handle = open_for_listing(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (is_reparse_point(handle)) {
        CloseHandle(handle);
        SetLastError(error_reparse_point_encountered);
        return nullptr;
    }
    return new Directory{handle, {}};
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    IoStatus io_status{};
    LONG status = query_directory_file(directory.handle, nullptr, nullptr, nullptr, &io_status, entry_buffer,
                                       entry_buffer_size, file_directory_information, TRUE, nullptr,
                                       restart ? TRUE : FALSE);
    if (status < 0) return status;
    auto* record = reinterpret_cast<const DirectoryInformation*>(entry_buffer);
    entry.attributes = record->file_attributes;
    entry.end_of_file = static_cast<std::uint64_t>(record->end_of_file.QuadPart);
    entry.name.assign(reinterpret_cast<const char16_t*>(record->file_name), record->file_name_length / 2);
    return status;
}

void complete_entry(Directory&, DirectoryEntry&) {}

void close_directory(Directory* directory) {
    CloseHandle(directory->handle);
    delete directory;
}

namespace {

bool fail_keeping_error(HANDLE handle) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return false;
}

// Removes a link or junction itself. The handle is checked to be the
// reparse point, not what it points to: where the system cannot open the
// link itself (Wine follows it), nothing outside the tree is touched.
bool remove_link(const std::u16string& path) {
    HANDLE link = CreateFileW(wide(path), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(link, FileBasicInfo, &basic, sizeof basic)) return fail_keeping_error(link);
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_NOT_A_REPARSE_POINT);
        return fail_keeping_error(link);
    }
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (!SetFileInformationByHandle(link, FileBasicInfo, &basic, sizeof basic)) return fail_keeping_error(link);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(link, FileDispositionInfo, &disposition, sizeof disposition))
        return fail_keeping_error(link);
    CloseHandle(link);
    return true;
}

bool is_link(const DirectoryEntry& entry) { return entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT; }

bool running_under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// The handle's path on its volume ("\\dir\\file"), links resolved.
std::u16string path_on_volume(HANDLE handle) {
    // Room for the longest path a handle can have.
    static std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 65536 * sizeof(WCHAR));
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size())))
        return {};
    auto* information = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    return std::u16string(reinterpret_cast<const char16_t*>(information->FileName),
                          information->FileNameLength / sizeof(WCHAR));
}

// Wine shows a Unix link to a file as the file itself, and deleting it or
// changing its attributes acts on what it points to. Under Wine an entry
// whose handle leads elsewhere than its own name is therefore left alone.
bool leads_out_of_the_tree(Directory& parent, const DirectoryEntry& entry, const std::u16string& path) {
    if (!running_under_wine()) return false;
    HANDLE handle = CreateFileW(wide(path), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;  // the operation itself will fail and tell
    std::u16string target = path_on_volume(handle);
    CloseHandle(handle);
    if (parent.path_on_volume.empty()) parent.path_on_volume = path_on_volume(parent.handle);
    std::u16string own_path = parent.path_on_volume;
    if (own_path.empty() || own_path.back() != u'\\') own_path.push_back(u'\\');
    if (!target.empty() && target == own_path + entry.name) return false;
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return true;
}

}  // namespace

bool clear_read_only(Directory& parent, const DirectoryEntry& entry, const std::u16string& path) {
    // A link's own bit is cleared by remove_link, on the link itself.
    if (is_link(entry)) return true;
    if (leads_out_of_the_tree(parent, entry, path)) return false;
    DWORD attributes = entry.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(wide(path), attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool delete_file(Directory& parent, const DirectoryEntry& entry, const std::u16string& path) {
    return !leads_out_of_the_tree(parent, entry, path) && DeleteFileW(wide(path)) != 0;
}

bool remove_directory(Directory&, const DirectoryEntry& entry, const std::u16string& path) {
    if (is_link(entry)) return remove_link(path);
    return RemoveDirectoryW(wide(path)) != 0;
}

bool remove_root_directory(const std::u16string& path) { return RemoveDirectoryW(wide(path)) != 0; }

}  // namespace scythe::platform
