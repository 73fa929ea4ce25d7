// Runs the built program on real trees. The same tests run against the
// native build and against the Windows build under Wine; SCYTHE_PROGRAM
// names the program and SCYTHE_WINE the Wine loader for the latter (ctest
// sets both, and keeps one Wine server running for all the tests under
// Wine; see tests/CMakeLists.txt).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace scenario {

namespace fs = std::filesystem;

struct Result {
    int exit_code = -1;
    std::string output;  // standard output, byte for byte
};

struct Target {
    std::string program;
    std::string wine;  // empty for the native build
    bool windows() const { return !wine.empty(); }
};

// Whether a test may be skipped for want of something this machine lacks
// (Wine, root, a mount); not where everything must run (SCYTHE_REQUIRE_ALL=1).
bool skip_allowed();

// Skips the test with the reason for want of what it needs, or fails it
// where everything must run. Returns from the test body.
#define SKIP_FOR_WANT_OF(reason)                                 \
    do {                                                         \
        if (!::scenario::skip_allowed()) FAIL() << (reason);     \
        GTEST_SKIP() << (reason);                                \
    } while (false)

// The exit status a program result arrives as on this machine.
int exit_status(int result);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content = "");

// Runs as root unless uid is given.
Result run(const Target& target, const std::vector<std::string>& arguments, int uid = -1);
// Runs a command line as it is (no Wine): prlimit, chroot and the like.
Result run_command(const std::vector<std::string>& command);
// Starts the program and reads its output until it shows marker, then stops
// reading: a run with enough output blocks on the full pipe and cannot go
// far past that point. Calls meanwhile(pid) and reads on to the end.
Result run_stopping_at(const Target& target, const std::vector<std::string>& arguments, const std::string& marker,
                       const std::function<void(int)>& meanwhile);
// As above, once the walk has begun: sends the signals.
// Starts the program with standard output a one-page pipe (left
// non-blocking if asked) or a terminal, not read until it is full and the
// program waits on it or has ended; then calls when_full(pid). If that
// returns true it is read to the end, else only once the program has ended
// (which it must within 20 s, or it is killed).
enum class Console { pipe, nonblocking_pipe, terminal };
Result run_with_full_console(const Target& target, const std::vector<std::string>& arguments, Console console,
                             const std::function<bool(int)>& when_full);
// Runs with standard output a terminal (a pseudo-terminal that passes the
// bytes through as they are), read to the end.
Result run_on_terminal(const Target& target, const std::vector<std::string>& arguments);
// What a terminal shows after the bytes given: each carriage return goes
// back to the start of the line, where later text overwrites; trailing
// blanks are not seen. Lines end with CR LF.
std::string screen_after(const std::string& bytes);
Result run_interrupted(const Target& target, const std::vector<std::string>& arguments,
                       const std::vector<int>& signals);
// Waits until a signal sent to the process is no longer pending (a handler
// has taken it), so that the same signal sent next arrives as a second
// one; false if it is still pending after 20 s.
bool wait_until_taken(int pid, int signal_number);
// Starts the native program with fifo opened for reading beforehand and
// never read; once it is full and the program waits on it, sends the
// signals. The program must then end within 20 s, or it is killed.
Result run_with_stalled_fifo(const Target& target, const std::vector<std::string>& arguments, const fs::path& fifo,
                             const std::vector<int>& signals);
// The processor time (user and system, all threads) a running process has
// used so far, in seconds.
double processor_seconds(int pid);

// A program running beside the test, its standard input and output pipes.
struct Background {
    int pid = -1;
    int input = -1;   // closing it ends the program's input
    int output = -1;
    std::string read_line();  // without its line end
    int finish();             // closes its input and waits for it
    Background() = default;
    Background(Background&& other) noexcept : pid(other.pid), input(other.input), output(other.output) {
        other.pid = -1;
    }
    ~Background();  // a test that stopped early leaves nothing running
};
Background start_background(const std::vector<std::string>& command);
// Runs with standard output closed.
int run_with_output_missing(const Target& target, const std::vector<std::string>& arguments);
// Runs with standard output a pipe that nobody reads; gives the exit status.
int run_with_output_closed(const Target& target, const std::vector<std::string>& arguments);

class Scenario : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the test's own folder.
    fs::path path(const std::string& relative = "") const;
    // The path as the program is told it (/Dir:, /Log:).
    std::string argument(const std::string& relative = "") const;
    // The path as the program shows it: the rooted path of the tree "tree".
    std::string shown(const std::string& relative_to_tree = "") const;
    // The path separator of the build under test.
    std::string separator() const;
    // The Wine prefix's folder of drive letters.
    fs::path wine_drives() const;
    // Under Wine, maps a drive letter ("x:") to a folder until the test ends.
    // Every test has scratch_drive mapped to its own folder, so that no
    // tree is reached through a drive that maps the whole system.
    void map_drive(const std::string& letter, const fs::path& folder);
    static constexpr const char* scratch_drive = "y:";
    // The system text for an error: errno text natively, Win32 text under Wine.
    std::string text(const char* posix, const char* windows) const;

    Result run(const std::vector<std::string>& arguments, int uid = -1) const;
    // Marks a file or directory immutable, or skips the test where that is
    // not possible here.
    void make_immutable(const std::string& relative);

    std::string header(const std::string& options = "") const;  // console, up to the hyphen line of the work
    std::string log_header(const std::string& options = "") const;

    const Target* target_ = nullptr;
    fs::path folder_;
    bool made_immutable_ = false;
    std::vector<std::string> mapped_drives_;
};

// "Elapsed time   : 12:34:56" becomes "Elapsed time   : 00:00:00".
std::string without_elapsed_digits(std::string text);
std::string summary(int directories, int files, int errors);
std::string log_summary(int directories, int files, int errors);
extern const std::string privileges;
extern const std::string hyphens;

}  // namespace scenario
