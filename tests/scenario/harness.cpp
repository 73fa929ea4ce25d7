// Starting the program under test (natively or under Wine) with its output
// on pipes, signals and full pipes as the tests ask, and the folders, drive
// letters and expected texts each scenario works with.
#include "harness.h"

#include "expected_output.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace scenario {

const std::string hyphens = "-------------------------------------------\r\n";

const std::string privileges = expected::privileges;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// What keeps the program under test from running here, or "".
std::string missing(const Target& target) {
    if (target.program.empty()) return "SCYTHE_PROGRAM is not set";
    if (!fs::exists(target.program)) return target.program + " has not been built";
    if (target.windows() && !fs::exists(target.wine)) return "Wine is not installed (" + target.wine + ")";
    return "";
}

}  // namespace

bool skip_allowed() { return environment("SCYTHE_REQUIRE_ALL") != "1"; }

int exit_status(int result) {
    if (result < 0) return 255;
    return result > 254 ? 254 : result;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

namespace {

std::vector<std::string> command_line(const Target& target, const std::vector<std::string>& arguments) {
    std::vector<std::string> command;
    if (target.windows()) command.push_back(target.wine);
    command.push_back(target.program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// Starts the program with its standard output on output_fd; Wine's error
// channel goes to errors_fd if one is given.
pid_t start(std::vector<std::string> command, int output_fd, int uid, int errors_fd = -1) {
    std::vector<char*> argv;
    for (std::string& part : command) argv.push_back(part.data());
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (output_fd >= 0)
            dup2(output_fd, STDOUT_FILENO);
        else
            ::close(STDOUT_FILENO);
        int null = ::open("/dev/null", O_RDWR);
        dup2(errors_fd >= 0 ? errors_fd : null, STDERR_FILENO);  // Wine's own chatter
        dup2(null, STDIN_FILENO);
        setenv("WINEDEBUG", errors_fd >= 0 ? "-all,err+all" : "-all", 1);
        signal(SIGPIPE, SIG_DFL);  // as a shell would start it
        if (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int exit_code_of(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int run_with_output_closed(const Target& target, const std::vector<std::string>& arguments) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
    ::close(pipe_ends[0]);
    pid_t child = start(command_line(target, arguments), pipe_ends[1], -1);
    ::close(pipe_ends[1]);
    return exit_code_of(child);
}

namespace {
bool silent(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](std::string argument) {
        for (char& c : argument) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return argument.starts_with("/SILENT");
    });
}

Result run_and_read(const std::vector<std::string>& command, int uid, int errors_fd = -1) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
    pid_t child = start(command, pipe_ends[1], uid, errors_fd);
    ::close(pipe_ends[1]);
    Result result;
    char buffer[65536];
    ssize_t length;
    while ((length = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, length);
    ::close(pipe_ends[0]);
    result.exit_code = exit_code_of(child);
    return result;
}
}  // namespace

Result run(const Target& target, const std::vector<std::string>& arguments, int uid) {
    Result result = run_and_read(command_line(target, arguments), uid);
    if (!target.windows() || result.exit_code != 1 || !result.output.empty() || silent(arguments)) return result;
    // Unless silent, the program writes before it ends with 1, so this was
    // Wine's start failing (it can race a Wine server that is shutting
    // down). Once more, with Wine's errors kept in the test's log.
    FILE* errors = std::tmpfile();
    if (!errors) return result;
    result = run_and_read(command_line(target, arguments), uid, fileno(errors));
    std::string said(static_cast<std::size_t>(std::max(0L, std::ftell(errors))), '\0');
    std::rewind(errors);
    said.resize(std::fread(said.data(), 1, said.size(), errors));
    std::fclose(errors);
    std::printf("Wine's start printed nothing and ended with 1; run once more, Wine's errors:\n%s\n", said.c_str());
    return result;
}

Result run_stopping_at(const Target& target, const std::vector<std::string>& arguments, const std::string& marker,
                       const std::function<void(int)>& meanwhile) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
    pid_t child = start(command_line(target, arguments), pipe_ends[1], -1);
    ::close(pipe_ends[1]);
    Result result;
    char buffer[4096];
    ssize_t length;
    while (result.output.find(marker) == std::string::npos && (length = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, length);
    meanwhile(child);
    while ((length = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, length);
    ::close(pipe_ends[0]);
    result.exit_code = exit_code_of(child);
    return result;
}

namespace {
// 'S' while it waits, 'Z' once it has ended; from /proc/<pid>/stat.
char process_state(int pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t name_end = stat.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= stat.size() ? 'Z' : stat[name_end + 2];
}

// Waits for the end, killing the program if it does not come.
int exit_code_within(pid_t child, int seconds) {
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(100000);
    }
    kill(child, SIGKILL);
    return exit_code_of(child);
}

void read_to_end(int fd, std::string& output) {
    char buffer[65536];
    ssize_t length;
    while ((length = read(fd, buffer, sizeof buffer)) > 0) output.append(buffer, length);
}
}  // namespace

Result run_with_full_console(const Target& target, const std::vector<std::string>& arguments, Console console,
                             const std::function<bool(int)>& when_full) {
    int ends[2];  // what the test reads, what the program writes to
    if (console == Console::terminal ? openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0
                                     : pipe(ends) != 0)
        return {};
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    if (console == Console::nonblocking_pipe) fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    for (int end : ends) fcntl(end, F_SETFD, FD_CLOEXEC);
    pid_t child = start(command_line(target, arguments), ends[1], -1);
    for (;;) {
        int buffered = 0;
        ioctl(ends[0], FIONREAD, &buffered);
        pollfd room{ends[1], POLLOUT, 0};  // a terminal is full once it has room for nothing
        bool full = console == Console::terminal ? poll(&room, 1, 0) == 0 : buffered >= 4096;
        char state = process_state(child);
        if (state == 'Z' || (full && state == 'S')) break;
        usleep(10000);
    }
    ::close(ends[1]);
    Result result;
    if (when_full(child)) read_to_end(ends[0], result.output);
    result.exit_code = exit_code_within(child, 20);
    read_to_end(ends[0], result.output);
    ::close(ends[0]);
    return result;
}

Result run_on_terminal(const Target& target, const std::vector<std::string>& arguments) {
    int terminal = -1, program_side = -1;
    if (openpty(&terminal, &program_side, nullptr, nullptr, nullptr) != 0) return {};
    termios mode{};
    tcgetattr(program_side, &mode);
    cfmakeraw(&mode);
    tcsetattr(program_side, TCSANOW, &mode);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    fcntl(program_side, F_SETFD, FD_CLOEXEC);
    pid_t child = start(command_line(target, arguments), program_side, -1);
    ::close(program_side);
    Result result;
    char buffer[65536];
    ssize_t length;
    // Once the program's side is closed, reading fails (EIO).
    while ((length = read(terminal, buffer, sizeof buffer)) > 0 || (length < 0 && errno == EINTR))
        if (length > 0) result.output.append(buffer, static_cast<std::size_t>(length));
    ::close(terminal);
    result.exit_code = exit_code_of(child);
    return result;
}

std::string screen_after(const std::string& bytes) {
    std::string screen, line;
    std::size_t column = 0;
    auto end_line = [&] {
        line.erase(line.find_last_not_of(' ') + 1);
        screen += line + "\r\n";
        line.clear();
        column = 0;
    };
    for (char c : bytes) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            end_line();
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line.push_back(c);
            ++column;
        }
    }
    if (line.find_first_not_of(' ') != std::string::npos) end_line();
    return screen;
}

Result run_interrupted(const Target& target, const std::vector<std::string>& arguments,
                       const std::vector<int>& signals) {
    return run_stopping_at(target, arguments, "DIR  000001", [&](int child) {
        for (int signal_number : signals) kill(child, signal_number);
    });
}

bool wait_until_taken(int pid, int signal_number) {
    for (int tenth = 0; tenth < 200; ++tenth) {
        std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        std::size_t at = status.find("ShdPnd:");
        if (at == std::string::npos) return false;
        unsigned long long pending = std::stoull(status.substr(at + 7), nullptr, 16);
        if (!(pending & (1ull << (signal_number - 1)))) return true;
        usleep(100000);
    }
    return false;
}

Result run_with_stalled_fifo(const Target& target, const std::vector<std::string>& arguments, const fs::path& fifo,
                             const std::vector<int>& signals) {
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0) return {};
    fcntl(reader, F_SETPIPE_SZ, 4096);
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return {};
    pid_t child = start(command_line(target, arguments), pipe_ends[1], -1);
    ::close(pipe_ends[1]);
    for (;;) {
        int buffered = 0;
        ioctl(reader, FIONREAD, &buffered);
        char state = process_state(child);
        if (state == 'Z' || (buffered >= 4096 && state == 'S')) break;
        usleep(10000);
    }
    for (int signal_number : signals) kill(child, signal_number);
    Result result;
    result.exit_code = exit_code_within(child, 20);
    read_to_end(pipe_ends[0], result.output);
    ::close(pipe_ends[0]);
    ::close(reader);
    return result;
}

double processor_seconds(int pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 0; index < 13 && fields >> field; ++index)
        if (index >= 11) ticks += std::stol(field);  // utime and stime, the 14th and 15th fields
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Background start_background(const std::vector<std::string>& command) {
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return {};
    std::vector<std::string> parts = command;
    std::vector<char*> argv;
    for (std::string& part : parts) argv.push_back(part.data());
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        setenv("WINEDEBUG", "-all", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    Background background;
    background.pid = child;
    background.input = input[1];
    background.output = output[0];
    return background;
}

std::string Background::read_line() {
    std::string line;
    char c;
    while (read(output, &c, 1) == 1 && c != '\n') line.push_back(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

int Background::finish() {
    ::close(input);
    int code = exit_code_of(pid);
    ::close(output);
    pid = -1;
    return code;
}

Background::~Background() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    finish();
}

int run_with_output_missing(const Target& target, const std::vector<std::string>& arguments) {
    return exit_code_of(start(command_line(target, arguments), -1, -1));
}

Result run_command(const std::vector<std::string>& command) { return run_and_read(command, -1); }

void Scenario::SetUp() {
    static const Target target{environment("SCYTHE_PROGRAM"), environment("SCYTHE_WINE")};
    if (std::string reason = missing(target); !reason.empty()) SKIP_FOR_WANT_OF(reason);
    // Wine keeps its prefix under HOME; give it one where there is none.
    if (target.windows() && !std::getenv("WINEPREFIX") && !std::getenv("HOME"))
        setenv("WINEPREFIX", "/tmp/scythe-wine-prefix", 1);
    target_ = &target;
    std::string pattern = (fs::temp_directory_path() / "scythe-scenario-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::permissions(folder_, fs::perms::all);  // reachable for an unprivileged run
    fs::create_directory(folder_ / "tree");
    if (target_->windows()) map_drive(scratch_drive, folder_);
}

void Scenario::map_drive(const std::string& letter, const fs::path& folder) {
    // A prefix is made by the first start of Wine.
    if (!fs::exists(wine_drives())) run({});
    std::error_code ignored;
    fs::remove(wine_drives() / letter, ignored);
    fs::create_directory_symlink(folder, wine_drives() / letter);
    mapped_drives_.push_back(letter);
}

void Scenario::TearDown() {
    if (folder_.empty()) return;
    std::error_code ignored;
    for (const std::string& letter : mapped_drives_) fs::remove(wine_drives() / letter, ignored);
    if (made_immutable_) std::system(("chattr -R -i '" + folder_.string() + "' 2>/dev/null").c_str());
    // rm copes with paths longer than one system call takes.
    std::system(("chmod -R u+rwx '" + folder_.string() + "' 2>/dev/null; rm -rf '" + folder_.string() + "'").c_str());
}

fs::path Scenario::path(const std::string& relative) const {
    return relative.empty() ? folder_ : folder_ / relative;
}

std::string Scenario::argument(const std::string& relative) const {
    if (!target_->windows()) return path(relative).string();
    std::string windows = "Y:\\" + relative;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

std::string Scenario::shown(const std::string& relative_to_tree) const {
    std::string relative = relative_to_tree.empty() ? "tree" : "tree/" + relative_to_tree;
    return target_->windows() ? "\\\\?\\" + argument(relative) : argument(relative);
}

std::string Scenario::separator() const { return target_->windows() ? "\\" : "/"; }

fs::path Scenario::wine_drives() const {
    const char* prefix = std::getenv("WINEPREFIX");
    return fs::path(prefix ? prefix : std::string(std::getenv("HOME")) + "/.wine") / "dosdevices";
}

std::string Scenario::text(const char* posix, const char* windows) const {
    return target_->windows() ? windows : posix;
}

Result Scenario::run(const std::vector<std::string>& arguments, int uid) const {
    return scenario::run(*target_, arguments, uid);
}

void Scenario::make_immutable(const std::string& relative) {
    std::string command = "chattr +i '" + path(relative).string() + "' 2>/dev/null";
    if (geteuid() == 0 && std::system(command.c_str()) == 0) {
        made_immutable_ = true;
        return;
    }
    const char* reason = "cannot make files immutable here (needs root and a file system with chattr)";
    if (skip_allowed())
        GTEST_SKIP() << reason;
    else
        ADD_FAILURE() << reason;
}

namespace {

std::string yes_no(const std::string& options, const char* option) {
    return options.find(option) != std::string::npos ? "Yes" : "No";
}

std::string settings_block(const std::string& source, const std::string& options, bool silent) {
    return "Source                    : " + source + "\r\n" +
           "SubDirectories            : " + yes_no(options, "/SubDirectories") + "\r\n" +
           "Silent                    : " + (silent ? "Yes" : "No") + "\r\n" +
           "StopAtFirstError          : " + yes_no(options, "/StopAtFirstError") + "\r\n" +
           "IgnoreErrors              : " + yes_no(options, "/IgnoreErrors") + "\r\n" +
           expected::given_option_lines(options) + hyphens;
}

}  // namespace

std::string Scenario::header(const std::string& options) const {
    return hyphens + "Scythe " SCYTHE_VERSION "\r\n" + hyphens + settings_block(shown(), options, false) + privileges + hyphens;
}

std::string Scenario::log_header(const std::string& options) const {
    return settings_block(shown(), options, options.find("/Silent") != std::string::npos);
}

std::string without_elapsed_digits(std::string text) {
    static const std::regex elapsed("Elapsed time   : [0-9]+:[0-9]{2}:[0-9]{2}\r\n");
    return std::regex_replace(text, elapsed, "Elapsed time   : 00:00:00\r\n");
}

namespace {
std::string counts(int directories, int files, int errors) {
    return "\r\n" + hyphens + "Directories    : " + std::to_string(directories) + "\r\n" +
           "Files          : " + std::to_string(files) + "\r\n" + "Errors         : " + std::to_string(errors) +
           "\r\n";
}
}  // namespace

std::string summary(int directories, int files, int errors) {
    return counts(directories, files, errors) + "\r\nElapsed time   : 00:00:00\r\n";
}

std::string log_summary(int directories, int files, int errors) {
    return counts(directories, files, errors) + "Elapsed time   : 00:00:00\r\n";
}

}  // namespace scenario
