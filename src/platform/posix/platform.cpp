// The POSIX side of the seam: process, errors, output files, threads and
// privileges. The directory operations live in directory.cpp.
// The hard cases of threads: an interruption is delivered to any one of
// them, so a console write that waits for a reader looks at the request
// again every little while instead of counting on the signal to wake it;
// a terminal's writes are woken in the kernel to look at it too.
#include "platform/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>

#include "platform/posix/posix.h"

namespace scythe::platform {

std::u16string error_message(ErrorCode code) {
    const char* text = strerrordesc_np(static_cast<int>(code));
    return text ? decode_native_bytes(text) : std::u16string();
}

namespace {

// Set by the signal handler, which can be handed nothing: the one variable
// of the process that is not the run's. Read by every thread of the walk.
std::atomic<int> interruption{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The first request is noted and the walk stops before its next operation;
// a second one ends the process as the signal would have.
void on_interruption(int signal_number) {
    if (interruption) {
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        return;
    }
    interruption = 1;
}

// A log must never take the number of a standard descriptor that was
// closed at start, or console text would land in it.
void open_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace

bool interruption_requested() { return interruption != 0; }

ErrorCode cancelled_error() { return ECANCELED; }

void note_run_finished() {}

std::uint64_t monotonic_milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void prepare_process() {
    open_closed_standard_descriptors();
    // Output that nobody reads any more (a closed pipe) must not end a run
    // halfway: write errors are ignored, not fatal. A log that reaches the
    // file-size limit fails its write (EFBIG) like a full disk.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = on_interruption;
    action.sa_flags = SA_RESTART;  // a write in progress finishes; the walk checks between operations
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

int exit_status(int result) {
    // An exit status has eight bits: 256 errors must not read as a clean run.
    if (result < 0) return 255;
    return result > 254 ? 254 : result;
}

LocalTime local_time_now() {
    std::time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec, static_cast<int>(local.tm_gmtoff / 60)};
}

// ---- output ----

// A terminal nobody reads (Ctrl-S, a paused SSH session, a stopped tmux
// pane) fills as a pipe does, and a write to it waits in the kernel, where
// the interruption's signal restarts it: it is written as a pipe is, each
// piece once it has room, and woken where the piece is larger than the
// room left (WakeEverySlice). Its descriptor is shared with whoever started
// the program, so it is not made non-blocking, and the terminal cannot
// always be opened again (another user's, after su -c).
OwnedSession start_session() {
    OwnedSession session(new Session{});
    struct stat console {};
    session->console_may_block = fstat(STDOUT_FILENO, &console) == 0 &&
                                 (S_ISFIFO(console.st_mode) || S_ISSOCK(console.st_mode) || isatty(STDOUT_FILENO));
    if (session->console_may_block) {
        struct sigaction action {};
        action.sa_handler = [](int) {};  // not restarted: the write returns what it wrote
        sigemptyset(&action.sa_mask);
        sigaction(SIGRTMIN, &action, nullptr);
    }
    return session;
}

void CloseSession::operator()(Session* session) const noexcept { delete session; }

namespace {

// Once the run is interrupted, output (console and logs together) waits
// no more than this in all: a reader that is still there gets the rest, one
// that is gone (or a supervisor about to kill the process) does not hold
// the run's end up.
constexpr std::uint64_t output_grace_milliseconds = 1000;

bool output_grace_begun(const Session& session) { return session.output_grace_deadline != 0; }

// How long the next wait may last: forever, or what is left of the grace.
bool wait_limit(Session& session, timespec& limit) {
    if (!interruption_requested()) return false;
    begin_output_grace(session);
    std::uint64_t now = monotonic_milliseconds();
    std::uint64_t left = session.output_grace_deadline > now ? session.output_grace_deadline - now : 0;
    limit = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000 * 1000000)};
    return true;
}

// A wait for a reader looks at the interruption request this often: the
// signal may have gone to another thread and woken nothing here.
constexpr long slice_nanoseconds = 100 * 1000 * 1000;

// True once fd takes bytes again (a pipe or FIFO that was full). Once the
// run is interrupted it waits only what is left of the output's grace; the
// console, while the grace has not begun, not at all, so that the caller
// can write the logs out first. The signals are blocked from the check to
// the wait, so one that comes in between still ends the wait.
bool wait_until_writable(Session& session, int fd, bool console) {
    sigset_t interruptions, before;
    sigemptyset(&interruptions);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interruptions, signal_number);
    pthread_sigmask(SIG_BLOCK, &interruptions, &before);
    int ready;
    pollfd wanted{fd, POLLOUT, 0};
    for (;;) {
        if (console && interruption_requested() && !output_grace_begun(session)) {
            ready = 0;
            break;
        }
        timespec limit{};
        bool limited = wait_limit(session, limit);
        bool sliced = !limited || limit.tv_sec > 0 || limit.tv_nsec > slice_nanoseconds;
        if (sliced) limit = {0, slice_nanoseconds};
        ready = ppoll(&wanted, 1, limited || sliced ? &limit : nullptr, &before);
        if ((ready < 0 && errno == EINTR) || (ready == 0 && sliced)) continue;
        break;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return ready > 0 && (wanted.revents & POLLOUT);
}

// A console write that may still wait in the kernel (a piece larger than
// the room a terminal has left) is woken every slice while this lives, by
// a signal to this thread that ends the write where it stands, so that
// the loop looks at the interruption again.
class WakeEverySlice {
public:
    WakeEverySlice() {
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGRTMIN;
        event._sigev_un._tid = gettid();
        itimerspec every{{0, slice_nanoseconds}, {0, slice_nanoseconds}};
        armed_ = timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
        if (armed_) timer_settime(timer_, 0, &every, nullptr);
    }
    ~WakeEverySlice() {
        if (armed_) timer_delete(timer_);
    }
    WakeEverySlice(const WakeEverySlice&) = delete;
    WakeEverySlice& operator=(const WakeEverySlice&) = delete;

private:
    timer_t timer_{};
    bool armed_ = false;
};

// No write blocks beyond the reach of an interruption. A console that may
// block (a pipe or terminal nobody reads) is written PIPE_BUF at a time,
// each only once it has room, since its descriptor is shared with whoever
// started the program and must stay as it is; a log is written
// non-blocking (its own open file), as much as it takes at a time. Once
// the run is interrupted both get a short grace: a log that cannot take
// its lines by then fails. bytes keeps what was not written.
ErrorCode write_all(Session& session, int fd, std::string_view& bytes, bool console) {
    std::optional<WakeEverySlice> wake;
    if (console && session.console_may_block && !bytes.empty()) wake.emplace();
    while (!bytes.empty()) {
        std::size_t chunk = bytes.size();
        if (console && session.console_may_block) {
            if (!wait_until_writable(session, fd, true)) return ECANCELED;
            chunk = std::min<std::size_t>(chunk, PIPE_BUF);
        }
        ssize_t written = ::write(fd, bytes.data(), chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_until_writable(session, fd, console)) return ECANCELED;
            continue;
        }
        if (written < 0) return static_cast<ErrorCode>(errno);
        if (written == 0) return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace

void begin_output_grace(Session& session) {
    if (!output_grace_begun(session))
        session.output_grace_deadline = monotonic_milliseconds() + output_grace_milliseconds;
}

std::size_t write_console(Session& session, std::string_view bytes) {
    std::string_view left = bytes;
    write_all(session, STDOUT_FILENO, left, true);
    return bytes.size() - left.size();
}

std::size_t write_console_utf8(Session& session, std::string_view text) { return write_console(session, text); }

bool console_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

bool utf8_files_begin_with_mark() { return false; }

FileHandle console_file() { return STDOUT_FILENO; }

bool shares_file_with_console(FileHandle file) {
    struct stat console {};
    return fstat(STDOUT_FILENO, &console) == 0 && S_ISREG(console.st_mode) && same_file(file, STDOUT_FILENO);
}

// Opening a FIFO for writing waits for a reader; non-blocking, it fails at
// once instead (ENXIO). The file stays non-blocking, its own open file even
// where it is the console's pipe again (/dev/stdout): a reader that stalls
// is waited for where an interruption can end the wait. Regular files
// ignore the flag. O_APPEND puts every write at the end as it is then, so
// that two runs appending to one log never write over each other.
ErrorCode create_output_file(const std::u16string& path, OutputOpening opening, OwnedFile& owned, bool& was_empty) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (opening == OutputOpening::append ? O_APPEND : O_TRUNC);
    int file = ::open(to_native_bytes(path).c_str(), flags, 0666);
    if (file < 0) return static_cast<ErrorCode>(errno);
    owned = OwnedFile(file);
    struct stat status {};
    was_empty = fstat(file, &status) != 0 || status.st_size == 0;
    return no_error;
}

ErrorCode write_file(Session& session, FileHandle file, std::string_view bytes) {
    return write_all(session, file, bytes, false);
}

void close_file(FileHandle file) { ::close(file); }

bool same_file(FileHandle first, FileHandle second) {
    struct stat one {}, other {};
    return fstat(first, &one) == 0 && fstat(second, &other) == 0 && one.st_dev == other.st_dev &&
           one.st_ino == other.st_ino;
}

bool names_open_file(const std::u16string& path, FileHandle file) {
    struct stat named {}, open {};
    return stat(to_native_bytes(path).c_str(), &named) == 0 && fstat(file, &open) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// ---- native interface stand-ins ----

const char* missing_entry_point() { return nullptr; }

ErrorCode status_to_error(NativeStatus status) {
    auto raw = static_cast<std::uint32_t>(status);
    if ((raw & 0xF0000000u) == errno_status_base) return raw & 0x0FFFFFFFu;
    if (status == status_no_more_files) return ENOENT;
    return raw & 0xFFFFu;
}

// ---- threads ----

namespace {
static_assert(sizeof(pthread_mutex_t) <= 64 && alignof(pthread_mutex_t) <= 16);
static_assert(sizeof(pthread_cond_t) <= 64 && alignof(pthread_cond_t) <= 16);
pthread_mutex_t* mutex_of(unsigned char* state) { return reinterpret_cast<pthread_mutex_t*>(state); }
pthread_cond_t* condition_of(unsigned char* state) { return reinterpret_cast<pthread_cond_t*>(state); }
}  // namespace

Mutex::Mutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (state_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}
Mutex::~Mutex() { pthread_mutex_destroy(mutex_of(state_)); }
void Mutex::lock() { pthread_mutex_lock(mutex_of(state_)); }
void Mutex::unlock() { pthread_mutex_unlock(mutex_of(state_)); }

// Timed waits count on the monotonic clock: setting the system's clock
// must not stretch or cut them.
Condition::Condition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(new (state_) pthread_cond_t, &attributes);
    pthread_condattr_destroy(&attributes);
}
Condition::~Condition() { pthread_cond_destroy(condition_of(state_)); }
void Condition::wait(Mutex& mutex) { pthread_cond_wait(condition_of(state_), mutex_of(mutex.state_)); }
void Condition::wait_for(Mutex& mutex, unsigned milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    long nanoseconds = until.tv_nsec + static_cast<long>(milliseconds % 1000) * 1000000L;
    until.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanoseconds / 1000000000L);
    until.tv_nsec = nanoseconds % 1000000000L;
    pthread_cond_timedwait(condition_of(state_), mutex_of(mutex.state_), &until);
}
void Condition::notify_all() { pthread_cond_broadcast(condition_of(state_)); }

struct Thread {
    pthread_t id;
    std::function<void()> body;
};

void JoinThread::operator()(Thread* thread) const noexcept {
    pthread_join(thread->id, nullptr);
    delete thread;
}

OwnedThread start_thread(std::function<void()> body) {
    auto thread = std::make_unique<Thread>();
    thread->body = std::move(body);
    auto run = [](void* argument) -> void* {
        static_cast<Thread*>(argument)->body();
        return nullptr;
    };
    if (pthread_create(&thread->id, nullptr, run, thread.get()) != 0) return nullptr;
    return OwnedThread(thread.release());
}

unsigned logical_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// ---- privileges ----
// A Windows privilege stands for the capabilities that let root act
// whatever the permissions say.

namespace {

enum PrivilegeKind : std::uint32_t { restore_privilege = 1, backup_privilege, security_privilege };

std::vector<cap_value_t> capabilities_of(PrivilegeId id) {
    switch (id.low) {
        case restore_privilege: return {CAP_DAC_OVERRIDE, CAP_FOWNER};
        case backup_privilege: return {CAP_DAC_READ_SEARCH};
        case security_privilege: return {CAP_FOWNER};
        default: return {};
    }
}

}  // namespace

void CloseToken::operator()(TokenHandle token) const noexcept { cap_free(token); }

ErrorCode open_process_token(OwnedToken& token) {
    token.reset(cap_get_proc());
    return token ? no_error : static_cast<ErrorCode>(errno);
}

ErrorCode lookup_privilege(const char* name, PrivilegeId& id) {
    std::string_view wanted(name);
    if (wanted == "SeRestorePrivilege") id.low = restore_privilege;
    else if (wanted == "SeBackupPrivilege") id.low = backup_privilege;
    else if (wanted == "SeSecurityPrivilege") id.low = security_privilege;
    else return EINVAL;
    return no_error;
}

ErrorCode enable_privilege(TokenHandle token, PrivilegeId id, bool& held) {
    auto state = static_cast<cap_t>(token);
    // As with a privilege the account lacks, a capability not held at all
    // is no failure: an ordinary user can still delete a tree of its own.
    held = true;
    for (cap_value_t capability : capabilities_of(id)) {
        cap_flag_value_t permitted = CAP_CLEAR;
        if (cap_get_flag(state, capability, CAP_PERMITTED, &permitted) != 0) return static_cast<ErrorCode>(errno);
        if (permitted != CAP_SET) held = false;
        if (permitted == CAP_SET && cap_set_flag(state, CAP_EFFECTIVE, 1, &capability, CAP_SET) != 0)
            return static_cast<ErrorCode>(errno);
    }
    return cap_set_proc(state) == 0 ? no_error : static_cast<ErrorCode>(errno);
}

ErrorCode close_token(OwnedToken& token) {
    return cap_free(token.release()) == 0 ? no_error : static_cast<ErrorCode>(errno);
}

}  // namespace scythe::platform
