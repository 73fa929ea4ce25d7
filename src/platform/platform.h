// The one door to the operating system. Everything above this header sees
// Windows semantics (attributes, Win32 error codes, native statuses, one
// directory entry per listing call); the POSIX implementation provides them
// on top of openat/getdents/unlinkat. What crosses the seam: paths, names
// and system texts as UTF-16; console and log output as the bytes already
// encoded above (written as they are); on POSIX, names also as the bytes
// the system gave (DirectoryEntry::native_name), so that acting on an entry
// never converts its name back. Every call that can fail returns its error
// code; handles are owned by the caller's guards (OwnedFile, OwnedToken,
// OwnedDirectory, OwnedRoot; the files and directories inside each
// platform by the same Owned template as OwnedFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scythe::platform {

#ifdef _WIN32
inline constexpr bool windows_paths = true;
inline constexpr char16_t path_separator = u'\\';
#else
inline constexpr bool windows_paths = false;
inline constexpr char16_t path_separator = u'/';
#endif
// The system's own 8-bit text is UTF-8 on POSIX (the locale's encoding on
// every current system), so a name is written as the bytes it has on disk;
// on Windows it is the ANSI code page.
inline constexpr bool eight_bit_text_is_utf8 = !windows_paths;

// A Win32 error code on Windows, an errno value on POSIX.
using ErrorCode = std::uint32_t;
// A native status: negative for warnings and errors. On POSIX a failed
// listing carries its errno as 0xE0000000 | errno.
using NativeStatus = std::int32_t;

inline constexpr NativeStatus status_no_more_files = static_cast<NativeStatus>(0x80000006u);

inline constexpr std::uint32_t attribute_read_only = 0x1;
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;

// Reparse points that stand for another name (symbolic links, junctions,
// mount points) carry this bit in their tag; others (cloud placeholders,
// deduplicated files) are ordinary directories and files with content.
inline constexpr std::uint32_t reparse_tag_name_surrogate = 0x20000000;
inline constexpr std::uint32_t reparse_tag_mount_point = 0xA0000003;

// The system's text for an error code; empty when the system has none.
std::u16string error_message(ErrorCode code);

// ---- process ----

// Called once before anything else: standard descriptors that are closed
// are opened on the null device (POSIX), the current directory is moved
// out of any tree (Windows), interruptions are watched for.
void prepare_process();
// True once the user asked the run to stop (POSIX: SIGINT, SIGTERM,
// SIGHUP; Windows: Ctrl-C, Ctrl-Break, console close, logoff, shutdown).
// A second request ends the process at once.
bool interruption_requested();
// The system's code for a cancelled operation.
ErrorCode cancelled_error();
// Called when the run's output is all written: a console that is being
// closed may end the process from then on.
void note_run_finished();
std::uint64_t monotonic_milliseconds();
// The exit status the system can carry for a program result.
int exit_status(int result);
// Seconds since 1970, the same on every system (wall_clock.cpp).
std::int64_t wall_clock_seconds();

// A moment as the local clock shows it, with that clock's offset from UTC
// at the moment (daylight saving time included).
struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int utc_offset_minutes = 0;  // east of UTC positive
};
LocalTime local_time_now();

// POSIX argument bytes to UTF-16: invalid UTF-8 bytes become U+DC80 + byte,
// so that to_native_bytes gives back exactly the bytes that came in.
std::u16string decode_native_bytes(std::string_view bytes);
std::string to_native_bytes(std::u16string_view text);
// One code point as UTF-8, for POSIX names and the output's UTF-8 form
// alike; a lone surrogate gets its three-byte form.
inline void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
        return;
    }
    // The lead byte carries the length; each following byte six bits.
    int continuation_bytes = code_point < 0x800 ? 1 : code_point < 0x10000 ? 2 : 3;
    static constexpr unsigned char lead_marks[] = {0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(lead_marks[continuation_bytes] | (code_point >> (6 * continuation_bytes))));
    for (int shift = 6 * (continuation_bytes - 1); shift >= 0; shift -= 6)
        out.push_back(static_cast<char>(0x80 | ((code_point >> shift) & 0x3F)));
}

// The working directory's path, given only where that path leads back to
// the working directory itself, so that a relative path shown after it
// names what opening it relative to the working directory reaches.
ErrorCode working_directory(std::u16string& path);

// ---- output ----

#ifdef _WIN32
using FileHandle = void*;
#else
using FileHandle = int;
#endif

// What the platform keeps for one run's output: the files the walk must
// spare, and (POSIX) whether the console may block and the output's grace.
// Owned by the run's Report; two side by side share nothing.
struct Session;
struct CloseSession {
    void operator()(Session* session) const noexcept;
};
using OwnedSession = std::unique_ptr<Session, CloseSession>;
OwnedSession start_session();

// Unbuffered byte writes; the caller buffers. Console write errors are
// ignored: a closed pipe must not change the run's result. A handle that is
// not ready (a full pipe, one left non-blocking) is waited for. Once the run
// is interrupted, output waits for a reader only within a short grace,
// shared by the console and the logs (a log that runs out of it fails).
// Returns the bytes written: all of them, unless the grace ran out, or the
// interruption came while the console waited and the grace has not begun:
// the caller then writes the logs out first and begins the grace.
std::size_t write_console(Session& session, std::string_view bytes);
// Begins the output's grace, unless it has begun already.
void begin_output_grace(Session& session);
// UTF-8 text for the console, written and counted as write_console does:
// where standard output is a Windows console, through the wide console
// call, so that every character shows whatever the console's code page;
// anywhere else the bytes as they are.
std::size_t write_console_utf8(Session& session, std::string_view text);
// True where standard output is a terminal someone watches (POSIX: a tty;
// Windows: a console), not a file or a pipe: only there may a line be
// drawn over itself.
bool console_is_terminal();
// Windows readers (Notepad, PowerShell 5.1) take a file for UTF-8 only by
// the byte-order mark at its start; POSIX tools would take the mark for
// text.
bool utf8_files_begin_with_mark();
// Standard output, for protecting it like a log where it is a file.
FileHandle console_file();
// True when file is the very file standard output writes to: two handles
// at two positions in one file would write over each other's lines.
bool shares_file_with_console(FileHandle file);
void close_file(FileHandle file);

// A handle with one owner: closed when the owner lets it go, on every way
// out. Kind gives the handle's type, the value that holds nothing (none),
// which values hold something (holds) and how one is closed (close).
template <typename Kind>
class Owned {
public:
    using Handle = typename Kind::Handle;
    Owned() = default;
    explicit Owned(Handle handle) : handle_(handle) {}
    Owned(Owned&& other) noexcept : handle_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owned() { reset(); }
    Handle get() const { return handle_; }
    explicit operator bool() const { return Kind::holds(handle_); }
    Handle release() { return std::exchange(handle_, Kind::none); }
    void reset(Handle handle = Kind::none) {
        if (Kind::holds(handle_)) Kind::close(handle_);
        handle_ = handle;
    }
    // Where a system call that opens something writes the handle.
    Handle* put() {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Kind::none;
};

// Files and directories: one kind on each system (a Windows handle, a
// POSIX descriptor), for output files and the walk's own handles alike.
struct FileHandleKind {
    using Handle = FileHandle;
#ifdef _WIN32
    static constexpr Handle none = nullptr;
    // The Win32 calls that open a file fail with INVALID_HANDLE_VALUE, the
    // native ones leave the handle null.
    static bool holds(Handle handle) { return handle && handle != reinterpret_cast<Handle>(~std::uintptr_t{0}); }
#else
    static constexpr Handle none = -1;
    static bool holds(Handle handle) { return handle >= 0; }
#endif
    static void close(Handle handle) { close_file(handle); }
};
using OwnedFile = Owned<FileHandleKind>;

// How an output file is opened: emptied, or kept and written at its end
// (every write lands at the end, whoever else appends meanwhile).
enum class OutputOpening { replace, append };

// Creates or empties the file, or creates it or opens it for appending,
// leaving it shared for others to read and write (not to delete); was_empty
// tells whether it held nothing when opened. Never blocks: a FIFO without
// a reader is refused.
ErrorCode create_output_file(const std::u16string& path, OutputOpening opening, OwnedFile& file, bool& was_empty);
ErrorCode write_file(Session& session, FileHandle file, std::string_view bytes);
// True when both handles are the same file, however it was named.
bool same_file(FileHandle first, FileHandle second);
// True when path names the file open as file, looked up without opening
// it for writing, so that nothing is emptied or waited for to find out.
bool names_open_file(const std::u16string& path, FileHandle file);
// The walk of a root opened in the session refuses to delete this file
// (the run's own log): its deletion fails as a file held open fails.
void protect_output_file(Session& session, FileHandle file);

// ---- native directory interface ----

// Binds the native entry points the run needs (Windows: from ntdll.dll,
// in one place) and names the first one missing, in the order
// "NtQueryDirectoryFile", "RtlNtStatusToDosError"; null when all are there.
// POSIX has nothing to bind.
const char* missing_entry_point();
ErrorCode status_to_error(NativeStatus status);

// ---- directories ----
// Every call below that can fail returns why: no_error, or the code the
// ERR line carries. Nothing here needs a last-error value saved around
// clean-up.

inline constexpr ErrorCode no_error = 0;

struct DirectoryEntry {
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;  // read from the entry itself where it is a reparse point
    std::uint64_t end_of_file = 0;
    std::u16string name;
    // The name as the system gave it (POSIX bytes), so that acting on the
    // entry does not convert the name back again.
    std::string native_name;
    // POSIX: the file's device and inode number once complete (the
    // listing's inode number until then, which overlay file systems give
    // differently).
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // False while the size and read-only bit of a file are not yet read
    // (POSIX lists files without touching their inodes).
    bool complete = true;
};

struct Directory;  // an open directory, its identity and its listing position
struct CloseDirectory {
    void operator()(Directory* directory) const noexcept;
};
using OwnedDirectory = std::unique_ptr<Directory, CloseDirectory>;

// The directory a run deletes, opened once: the check, the walk and its
// removal all act on what was opened, never on a second lookup of the path.
struct Root;
struct CloseRoot {
    void operator()(Root* root) const noexcept;
};
using OwnedRoot = std::unique_ptr<Root, CloseRoot>;

enum class RootKind {
    directory,         // opened; its listing is root_directory()
    link,              // a link: removed as itself, nothing behind it is touched
    file_system_root,  // the root of the file system or of a volume: refused
    unopened,          // could not be opened; error says why
};

struct OpenedRoot {
    OwnedRoot root;
    RootKind kind = RootKind::unopened;
    ErrorCode error = no_error;
};

// path is a rooted path as the command line made it, or on POSIX a
// relative path, taken against the working directory. Its walk spares the
// files protected in outputs by then (none where it is null).
OpenedRoot open_root(const std::u16string& path, const Session* outputs = nullptr);
// True when path leads to a directory, through links: for a hint only,
// nothing is decided on it.
bool names_directory(const std::u16string& path);
// The root's own listing; null unless the root is an opened directory.
Directory* root_directory(Root& root);
// Removes the root (the link itself for a link root) if it is still the
// object that was opened.
ErrorCode remove_root(Root& root);
// For a root that stays (/KeepRoot) and whose walk emptied it as far as
// its listings showed: ERROR_DIR_NOT_EMPTY's code where the system still
// finds entries in it that no listing showed (Wine hides links that lead
// nowhere); no_error where it finds none, or cannot tell.
ErrorCode confirm_emptied(Root& root);

// Opens a child of an open directory as itself: never through a link.
ErrorCode open_subdirectory(Directory& parent, const DirectoryEntry& entry, OwnedDirectory& opened);
// One entry per call; restart on the first call for a directory.
// Returns 0 or more with an entry, status_no_more_files at the end,
// another negative status on failure. Never "." or "..": every entry it
// gives is one of the directory's own, on every system.
NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry);
// Reads a listed file's size and read-only bit where the listing left them
// out; keeps the entry as it is if that fails.
void complete_entry(Directory& parent, DirectoryEntry& entry);

// Open handles a walk may hold at once, its open root included, from what
// is free when it starts; deeper levels are released and reopened.
// Unbounded where the system sets no low limit.
std::size_t directory_handle_budget();
// The process has no handle to spare: releasing one of its own may help.
bool out_of_handles(ErrorCode error);
// Closes the handle but keeps what identifies the directory.
void release_directory(Directory& directory);
bool directory_released(const Directory& directory);
// Reopens a released directory through its open child's "..", or by its
// name in its open parent, and only if it is still the same directory; its
// listing then starts again from the beginning.
ErrorCode reopen_from_child(Directory& directory, Directory& child);
ErrorCode reopen_from_parent(Directory& directory, Directory& parent, const DirectoryEntry& entry);

// Nothing is there: an entry someone else deleted since it was listed,
// or a root that is missing (POSIX ENOENT, where a file on the path,
// ENOTDIR, is something there; Windows not found, path not found).
bool already_gone(ErrorCode error);
// A listing that failed because its directory was deleted meanwhile.
bool listing_found_directory_gone(NativeStatus status);
// Access was refused (a working directory the user cannot search).
bool access_denied(ErrorCode error);

// True for a failure that may pass if tried again a moment later (Windows:
// a file someone holds open; a directory whose deleted children someone
// still holds open, so they linger as "delete pending").
bool worth_retrying(ErrorCode error);
void pause_milliseconds(unsigned milliseconds);

// ---- entries another program holds ----

// A program that holds an entry open, as the system names it.
struct Holder {
    std::u16string name;
    std::uint32_t process_id = 0;
};
// True for a failure because another program holds the entry itself open
// (Windows: a sharing or lock violation). Never on POSIX, where an entry
// held open is deleted at once.
bool held_open(ErrorCode error);
// True for a directory's removal refused because something is left in it.
bool not_empty(ErrorCode error);
// The programs holding the entry at path (a full path), as the system
// reports them (Windows: Restart Manager, where the system has it); none
// where it names nobody, and always none on POSIX.
ErrorCode holders_of(const std::u16string& path, std::vector<Holder>& holders);
// Has the system delete the entry at path (a full path) when it next
// starts, after everything scheduled before it; a directory then goes only
// if it is empty. Windows only: it needs an account that may write the
// system's part of the registry.
ErrorCode delete_at_restart(const std::u16string& path);

// How an entry is deleted where the system offers a choice (Windows):
// with POSIX semantics, ignoring the read-only bit (the name goes at once,
// even while someone holds the file open, and no attribute changes), or the
// classic disposition, which needs the read-only bit cleared first.
enum class DeletionForm { ignoring_read_only, classic };
// The system refuses the form itself, whatever the entry: the caller then
// uses the classic one from there on. (Win32 codes with bit 29 set are
// reserved for applications; errno values never come near.)
inline constexpr ErrorCode deletion_form_refused = 0x20000001;

// Operations on an entry of an open directory, through its handle: no
// full path is looked up again.
ErrorCode clear_read_only(Directory& parent, const DirectoryEntry& entry);
ErrorCode delete_file(Directory& parent, const DirectoryEntry& entry, DeletionForm form);
ErrorCode remove_directory(Directory& parent, const DirectoryEntry& entry, DeletionForm form);
// What deleting or removing the entry would be refused for before it
// changes anything, where that is known without acting (a dry run writes
// it): under Wine, a handle that leads elsewhere; a mount point; on POSIX,
// the run's own output file. no_error where nothing is known.
ErrorCode foreseen_refusal(Directory& parent, const DirectoryEntry& entry);

// ---- threads ----
// What a run that works on several threads needs: a lock, a way to wait
// for what another thread announces, and the threads themselves.

// A lock the thread that holds it may take again (a log's write failure is
// reported while a line is being written). Meets BasicLockable.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    friend class Condition;
    alignas(16) unsigned char state_[64];
};

// Waits, with its Mutex held exactly once, until another thread announces a
// change; the Mutex is let go during the wait. A wait may also end without
// an announcement: callers test their condition again.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    void wait(Mutex& mutex);
    // As wait, for at most the time given.
    void wait_for(Mutex& mutex, unsigned milliseconds);
    void notify_all();

private:
    alignas(16) unsigned char state_[64];
};

// Holds a Mutex for one scope; holds nothing where there is none to hold.
class Holding {
public:
    explicit Holding(Mutex* mutex) : mutex_(mutex) {
        if (mutex_) mutex_->lock();
    }
    ~Holding() {
        if (mutex_) mutex_->unlock();
    }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    Mutex* mutex_;
};

struct Thread;
struct JoinThread {
    void operator()(Thread* thread) const noexcept;  // waits for it to end
};
using OwnedThread = std::unique_ptr<Thread, JoinThread>;
// Runs body on a new thread; empty when the system refuses one.
OwnedThread start_thread(std::function<void()> body);
// The logical processors this process may run on; at least 1.
unsigned logical_processors();

// ---- privileges ----

// A process token on Windows, a capability state on POSIX.
using TokenHandle = void*;
struct CloseToken {
    void operator()(TokenHandle token) const noexcept;
};
using OwnedToken = std::unique_ptr<void, CloseToken>;

struct PrivilegeId {
    std::uint32_t low = 0;
    std::int32_t high = 0;
};

ErrorCode open_process_token(OwnedToken& token);
ErrorCode lookup_privilege(const char* name, PrivilegeId& id);
// Enables a privilege the token holds; held tells whether it does. Not
// holding it is no failure (Windows: the adjustment succeeds but reports
// that not all were assigned; POSIX: one of its capabilities is not in the
// permitted set, and those that are are raised).
ErrorCode enable_privilege(TokenHandle token, PrivilegeId id, bool& held);
// Closes the token at once, for a caller that reports the failure.
ErrorCode close_token(OwnedToken& token);

}  // namespace scythe::platform
