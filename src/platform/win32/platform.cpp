// The Windows side of the seam: process, errors, output files, threads and
// privileges. The directory operations live in directory.cpp, the native
// entry points and records in native.cpp.
#include "platform/platform.h"

#include <windows.h>
#include <process.h>

#include <algorithm>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/win32/win32.h"

namespace scythe::platform {

std::u16string error_message(ErrorCode code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message(reinterpret_cast<const char16_t*>(text ? text : L""), text ? length : 0);
    if (text) LocalFree(text);
    return message;
}

namespace {

// The one variable of the process that is not the run's: the console
// control handler can be handed nothing. It notes the request here, for
// every thread of the walk, and waits for the run's output to be written.
struct ConsoleControl {
    volatile LONG interruption = 0;
    HANDLE run_finished = nullptr;
};
ConsoleControl console_control;

// Windows' own exit code for a process that Ctrl-C ended.
constexpr UINT control_c_exit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

// Runs on a thread of its own. The first request is noted and the walk
// stops before its next operation; a second one ends the process at once,
// with the code Windows' default handler gives (Wine's default handler
// exits with 0, which would make the run look clean). When the console is
// closed or the user logs off, the process ends as soon as this returns,
// so it waits (within the system's few seconds) until the run has written
// everything.
BOOL WINAPI on_console_control(DWORD event) {
    if (InterlockedExchange(&console_control.interruption, 1) != 0)
        TerminateProcess(GetCurrentProcess(), control_c_exit);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(console_control.run_finished, 4000);
    return TRUE;
}
static_assert(std::is_same_v<decltype(&on_console_control), PHANDLER_ROUTINE>);

}  // namespace

bool interruption_requested() { return console_control.interruption != 0; }

ErrorCode cancelled_error() { return ERROR_CANCELLED; }

void note_run_finished() {
    if (console_control.run_finished) SetEvent(console_control.run_finished);
}

std::uint64_t monotonic_milliseconds() { return GetTickCount64(); }

// The handler comes first: a Ctrl-C that finds none ends the process with
// the default handler's code, which under Wine is 0.
void prepare_process() {
    console_control.run_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
    // A process whose current directory lies inside the tree would keep
    // that directory from being removed.
    wchar_t system_directory[MAX_PATH];
    UINT length = GetSystemDirectoryW(system_directory, MAX_PATH);
    if (length > 0 && length < MAX_PATH) SetCurrentDirectoryW(system_directory);
}

int exit_status(int result) { return result; }

// Relative paths are never taken here, and the working directory the run
// was started in is left at start (see prepare_process).
ErrorCode working_directory(std::u16string&) { return ERROR_NOT_SUPPORTED; }

// One reading of the clock, turned local with the bias in force now; the
// offset is the difference, so the two can never disagree (as a local time
// and a time-zone query read on either side of a change could).
LocalTime local_time_now() {
    FILETIME utc{}, local{};
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    SYSTEMTIME fields{};
    FileTimeToSystemTime(&local, &fields);
    auto ticks = [](const FILETIME& time) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    constexpr std::int64_t ticks_per_minute = 600000000;  // of 100 ns
    return LocalTime{fields.wYear, fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond,
                     static_cast<int>((ticks(local) - ticks(utc)) / ticks_per_minute)};
}

// ---- output ----

struct Session {
    std::vector<OwnedFile> output_keepers;  // see protect_output_file
};

OwnedSession start_session() { return OwnedSession(new Session{}); }

void CloseSession::operator()(Session* session) const noexcept { delete session; }

namespace {
ErrorCode write_all(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return GetLastError();
        if (written == 0) return ERROR_WRITE_FAULT;
        bytes.remove_prefix(written);
    }
    return 0;
}
}  // namespace

// Written as bytes to the handle itself: no C runtime text mode to double CR LF.
// A write that blocks (a pipe nobody reads) is not cut short here: Windows
// offers no wait on a pipe's room, so the caller finds everything written.
std::size_t write_console(Session&, std::string_view bytes) {
    write_all(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
    return bytes.size();
}

void begin_output_grace(Session&) {}

namespace {
bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

// A console takes at most this many characters a call on older systems;
// a pair of surrogates is never split between two calls.
constexpr std::size_t console_chunk = 8192;

void write_wide_console(HANDLE console, std::string_view text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return;
    std::wstring wide_text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide_text.data(), length);
    for (std::size_t start = 0; start < wide_text.size();) {
        std::size_t count = std::min(console_chunk, wide_text.size() - start);
        if (start + count < wide_text.size() && IS_HIGH_SURROGATE(wide_text[start + count - 1])) --count;
        DWORD written = 0;
        if (!WriteConsoleW(console, wide_text.data() + start, static_cast<DWORD>(count), &written, nullptr) ||
            written == 0)
            return;
        start += written;
    }
}
}  // namespace

// The text is whole lines of valid UTF-8 (what has no UTF-8 form was
// written as <U+XXXX> before), so its conversion loses nothing.
std::size_t write_console_utf8(Session& session, std::string_view text) {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!is_console(console)) return write_console(session, text);
    write_wide_console(console, text);
    return text.size();
}

bool console_is_terminal() { return is_console(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool utf8_files_begin_with_mark() { return true; }

FileHandle console_file() { return GetStdHandle(STD_OUTPUT_HANDLE); }

bool shares_file_with_console(FileHandle file) {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    return GetFileType(console) == FILE_TYPE_DISK && same_file(file, console);
}

namespace {
// Wine opens a Unix FIFO for writing as Unix does, waiting for a reader;
// an open for attributes alone does not wait, and tells what it is.
bool wine_would_wait_for_a_reader(const std::u16string& path) {
    if (!running_under_wine()) return false;
    Handle existing(CreateFileW(wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return existing && GetFileType(existing.get()) == FILE_TYPE_PIPE;
}
}  // namespace

// Shared for reading and writing but not for deletion: a walk that meets
// the run's own log fails to delete it with a sharing violation. A handle
// with the right to append but not to write puts every write at the end of
// the file as it is then, so that two runs appending never write over each
// other.
ErrorCode create_output_file(const std::u16string& path, OutputOpening opening, OwnedFile& file, bool& was_empty) {
    if (wine_would_wait_for_a_reader(path)) return ERROR_PIPE_BUSY;
    bool append = opening == OutputOpening::append;
    DWORD access = append ? FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE : GENERIC_WRITE;
    HANDLE handle = CreateFileW(wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    file = OwnedFile(handle);
    LARGE_INTEGER size{};
    was_empty = !append || !GetFileSizeEx(handle, &size) || size.QuadPart == 0;
    return ERROR_SUCCESS;
}

ErrorCode write_file(Session&, FileHandle file, std::string_view bytes) { return write_all(file, bytes); }

bool same_file(FileHandle first, FileHandle second) {
    BY_HANDLE_FILE_INFORMATION one{}, other{};
    return GetFileInformationByHandle(first, &one) && GetFileInformationByHandle(second, &other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

// Opened for its attributes alone: nothing is emptied, and Wine does not
// wait for a FIFO's reader.
bool names_open_file(const std::u16string& path, FileHandle file) {
    HANDLE named = CreateFileW(wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    bool same = same_file(named, file);
    CloseHandle(named);
    return same;
}

// A log's own sharing mode already refuses its deletion. Standard output
// redirected to a file was opened by someone else, maybe sharing deletion:
// a second handle on the very file the handle stands for (not on its name),
// sharing everything but deletion, makes the walk's deletion of that file
// fail with a sharing violation. (Wine can open again no standard handle
// that it was given as a Unix descriptor.)
void protect_output_file(Session& session, FileHandle file) {
    if (GetFileType(file) != FILE_TYPE_DISK) return;
    for (DWORD access : {FILE_WRITE_DATA, FILE_READ_DATA}) {
        HANDLE keeper = ReOpenFile(file, access, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
        if (keeper == INVALID_HANDLE_VALUE) continue;
        session.output_keepers.emplace_back(keeper);
        return;
    }
}

void close_file(FileHandle file) { CloseHandle(file); }

// ---- threads ----

namespace {
static_assert(sizeof(CRITICAL_SECTION) <= 64 && sizeof(CONDITION_VARIABLE) <= 64);
CRITICAL_SECTION* section_of(unsigned char* state) { return reinterpret_cast<CRITICAL_SECTION*>(state); }
CONDITION_VARIABLE* condition_of(unsigned char* state) { return reinterpret_cast<CONDITION_VARIABLE*>(state); }
}  // namespace

// A critical section may be entered again by the thread that holds it.
Mutex::Mutex() { InitializeCriticalSection(new (state_) CRITICAL_SECTION); }
Mutex::~Mutex() { DeleteCriticalSection(section_of(state_)); }
void Mutex::lock() { EnterCriticalSection(section_of(state_)); }
void Mutex::unlock() { LeaveCriticalSection(section_of(state_)); }

Condition::Condition() { InitializeConditionVariable(new (state_) CONDITION_VARIABLE); }
Condition::~Condition() {}
void Condition::wait(Mutex& mutex) { SleepConditionVariableCS(condition_of(state_), section_of(mutex.state_), INFINITE); }
void Condition::wait_for(Mutex& mutex, unsigned milliseconds) {
    SleepConditionVariableCS(condition_of(state_), section_of(mutex.state_), milliseconds);
}
void Condition::notify_all() { WakeAllConditionVariable(condition_of(state_)); }

struct Thread {
    HANDLE handle = nullptr;
    std::function<void()> body;
};

void JoinThread::operator()(Thread* thread) const noexcept {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

namespace {
unsigned __stdcall thread_main(void* argument) {
    static_cast<Thread*>(argument)->body();
    return 0;
}
}  // namespace

// Through the C runtime, which sets up its own per-thread state.
OwnedThread start_thread(std::function<void()> body) {
    auto thread = std::make_unique<Thread>();
    thread->body = std::move(body);
    std::uintptr_t handle = _beginthreadex(nullptr, 0, thread_main, thread.get(), 0, nullptr);
    if (handle == 0) return nullptr;
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return OwnedThread(thread.release());
}

unsigned logical_processors() {
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process) {
        unsigned count = 0;
        for (; process; process &= process - 1) ++count;
        return count;
    }
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

// ---- privileges ----

void CloseToken::operator()(TokenHandle token) const noexcept { CloseHandle(token); }

ErrorCode open_process_token(OwnedToken& token) {
    HANDLE handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &handle))
        return GetLastError();
    token.reset(handle);
    return ERROR_SUCCESS;
}

ErrorCode lookup_privilege(const char* name, PrivilegeId& id) {
    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, name, &luid)) return GetLastError();
    id.low = luid.LowPart;
    id.high = luid.HighPart;
    return ERROR_SUCCESS;
}

ErrorCode enable_privilege(TokenHandle token, PrivilegeId id, bool& held) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = id.low;
    privileges.Privileges[0].Luid.HighPart = id.high;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Cleared first: not every implementation (Wine) clears it on success.
    SetLastError(ERROR_SUCCESS);
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) return GetLastError();
    // The call succeeds for a privilege the token does not have at all
    // (a console that is not elevated), and says so only here.
    held = GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    return ERROR_SUCCESS;
}

ErrorCode close_token(OwnedToken& token) { return CloseHandle(token.release()) ? ERROR_SUCCESS : GetLastError(); }

}  // namespace scythe::platform
