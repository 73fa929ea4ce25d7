// The one door to the operating system. Everything above this header sees
// Windows semantics (attributes, Win32 error codes, native statuses, one
// directory entry per listing call); the POSIX implementation provides them
// on top of openat/getdents/unlinkat. Text crossing this seam is UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scythe::platform {

#ifdef _WIN32
inline constexpr bool windows_paths = true;
inline constexpr char16_t path_separator = u'\\';
#else
inline constexpr bool windows_paths = false;
inline constexpr char16_t path_separator = u'/';
#endif

// A Win32 error code on Windows, an errno value on POSIX.
using ErrorCode = std::uint32_t;
// A native status: negative for warnings and errors. On POSIX a failed
// listing carries its errno as 0xE0000000 | errno.
using NativeStatus = std::int32_t;

inline constexpr NativeStatus status_no_more_files = static_cast<NativeStatus>(0x80000006u);

inline constexpr std::uint32_t attribute_read_only = 0x1;
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;

// The code of the last failed call made through this header.
ErrorCode last_error();
// The system's text for an error code; empty when the system has none.
std::u16string error_message(ErrorCode code);

// ---- process ----

// Called once before anything else (raises the open-file limit on POSIX).
void prepare_process();
// The exit status the system can carry for a program result.
int exit_status(int result);
std::int64_t wall_clock_seconds();

// POSIX argument bytes to UTF-16: invalid UTF-8 bytes become U+DC80 + byte,
// so that to_native_bytes gives back exactly the bytes that came in.
std::u16string decode_native_bytes(std::string_view bytes);
std::string to_native_bytes(std::u16string_view text);

// True when the path names the root of the file system (POSIX only; on
// Windows this is always false).
bool is_file_system_root(const std::u16string& path);

// ---- output ----

#ifdef _WIN32
using FileHandle = void*;
#else
using FileHandle = int;
#endif

// Unbuffered byte writes; the caller buffers. Write errors are ignored.
void write_console(std::string_view bytes);
// Creates or empties the file, leaving it shared for others to read and write.
bool create_output_file(const std::u16string& path, FileHandle& file);
void write_file(FileHandle file, std::string_view bytes);
void close_file(FileHandle file);

// ---- native directory interface ----

enum class EntryPoint { query_directory, status_to_error };
bool bind_entry_point(EntryPoint which);
ErrorCode status_to_error(NativeStatus status);

struct Directory;  // an open directory and its listing position

struct DirectoryEntry {
    std::uint32_t attributes = 0;
    std::uint64_t end_of_file = 0;
    std::u16string name;
    // The name as the system gave it (POSIX bytes), so that acting on the
    // entry does not convert the name back again.
    std::string native_name;
    // False while the size and read-only bit of a file are not yet read
    // (POSIX lists files without touching their inodes).
    bool complete = true;
};

// Opens the directory a full path names (the root of a walk).
Directory* open_directory(const std::u16string& path);
// Opens a child of an open directory; never follows a link.
Directory* open_subdirectory(Directory& parent, const DirectoryEntry& entry,
                             const std::u16string& path);
// One entry per call; restart on the first call for a directory.
// Returns 0 or more with an entry, status_no_more_files at the end,
// another negative status on failure.
NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry);
void close_directory(Directory* directory);
// Reads a listed file's size and read-only bit where the listing left them
// out; keeps the entry as it is if that fails.
void complete_entry(Directory& parent, DirectoryEntry& entry);

// Operations on an entry of an open directory. Windows uses the full path;
// POSIX works relative to the directory, so paths have no length limit.
bool clear_read_only(Directory& parent, const DirectoryEntry& entry, const std::u16string& path);
bool delete_file(Directory& parent, const DirectoryEntry& entry, const std::u16string& path);
bool remove_directory(Directory& parent, const DirectoryEntry& entry, const std::u16string& path);
bool remove_root_directory(const std::u16string& path);

// ---- privileges ----

// A process token on Windows, a capability state on POSIX.
using TokenHandle = void*;

struct PrivilegeId {
    std::uint32_t low = 0;
    std::int32_t high = 0;
};

bool open_process_token(TokenHandle& token);
bool lookup_privilege(const char* name, PrivilegeId& id);
bool enable_privilege(TokenHandle token, PrivilegeId id);
bool close_token(TokenHandle token);

}  // namespace scythe::platform
