// Whole runs: the sequence from header to exit code.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <regex>
#include <tuple>

#include "expected_output.h"
#include "harness.h"

using namespace scenario;

namespace {

class WholeRun : public Scenario {
protected:
    std::string dir_line(int number, const std::string& relative) const {
        return "DIR  00000" + std::to_string(number) + ": " + shown(relative) + "\r\n";
    }
};

}  // namespace

TEST_F(WholeRun, CleanTreeIsDeletedWithItsRoot) {
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/file"), std::string(3000, 'x'));
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(without_elapsed_digits(result.output),
              header("/SubDirectories") + dir_line(1, "") + dir_line(2, "sub") + "FILE 000001: " + shown("sub/file") +
                  " (2 KB)\r\n" + summary(2, 1, 0));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(WholeRun, MissingRootIsOneErrorAndNoRemoval) {
    Result result = run({"/Dir:" + argument("missing"), "/SubDirectories"});
    std::string missing = target_->windows() ? "\\\\?\\" + argument("missing") : argument("missing");
    std::string output = without_elapsed_digits(result.output);
    EXPECT_NE(output.find("Source                    : " + missing + "\r\n"), std::string::npos);
    EXPECT_EQ(output.substr(output.find("DIR  000001")),
              "DIR  000001: " + missing + "\r\n" + "ERR  000001: " + missing + ": " +
                  text("No such file or directory", "File not found.") + " at CreateFile(DIR) (2)\r\n" +
                  summary(1, 0, 1));
    EXPECT_EQ(result.exit_code, 1);
}

TEST_F(WholeRun, ReadOnlyRootIsRemovedWithoutClearingItsBit) {
    write_file(path("tree/file"));
    fs::permissions(path("tree"), fs::perms::owner_read | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(WholeRun, SilentRunWritesNothingAndItsLogEverything) {
    fs::create_directories(path("tree/sub"));
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/SubDirectories", "/Log:" + argument("run.log")});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header("/Silent /SubDirectories") + dir_line(1, "") + dir_line(2, "sub") + log_summary(2, 0, 0));
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(WholeRun, UnprivilegedUserDeletesATreeOfItsOwn) {
    if (target_->windows()) GTEST_SKIP() << "runs the native build as another user";
    if (geteuid() != 0) SKIP_FOR_WANT_OF("needs root to switch to an unprivileged user");
    fs::create_directories(path("tree/locked/deeper"));
    write_file(path("tree/locked/deeper/file"));
    write_file(path("tree/locked/file"));
    std::system(("chown -R 65534:65534 '" + path("tree").string() + "'").c_str());
    fs::permissions(path("tree/locked"), fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(path("tree/locked/deeper"), fs::perms::owner_read | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/ErrorLog:" + argument("error.log")}, 65534);
    // It holds none of the capabilities the privileges stand for, and is told so.
    std::string unprivileged = header("/SubDirectories");
    unprivileged.replace(unprivileged.find(privileges), privileges.size(),
                         expected::privileges_not_held(expected::all_privileges));
    EXPECT_EQ(result.output.substr(0, unprivileged.size()), unprivileged);
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

// The restore and security privileges are not held, the backup privilege
// is: on Windows removed from the token, on POSIX root without CAP_FOWNER,
// which the two stand for.
TEST_F(WholeRun, PrivilegesNotHeldAreSaidAndTheRunGoesOn) {
    if (!target_->windows() && geteuid() != 0) GTEST_SKIP() << "skipped: needs root to drop a capability";
    write_file(path("tree/file"));
    std::vector<std::string> command{"/usr/bin/setpriv", "--bounding-set=-fowner", target_->program};
    if (target_->windows()) {
        // The helper starts the program by a Windows name: a copy on the scratch drive.
        fs::copy_file(target_->program, path("scythe.exe"));
        std::string program = argument("scythe.exe");
        std::string helper = (fs::path(target_->program).parent_path() / "without_privilege.exe").string();
        command = {target_->wine, helper, "SeRestorePrivilege,SeSecurityPrivilege", program};
    }
    command.push_back("/Dir:" + argument("tree"));
    Result result = run_command(command);
    std::string lines = expected::privileges_not_held({"SeRestorePrivilege", "SeSecurityPrivilege"});
    EXPECT_NE(result.output.find(hyphens + lines + hyphens), std::string::npos) << result.output;
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(WholeRun, UnprivilegedUserIsRefusedWhatIsNotItsOwn) {
    if (target_->windows()) GTEST_SKIP() << "runs the native build as another user";
    if (geteuid() != 0) SKIP_FOR_WANT_OF("needs root to switch to an unprivileged user");
    write_file(path("tree/roots"));
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/ErrorLog:" + argument("error.log")}, 65534);
    EXPECT_EQ(read_file(path("error.log")),
              "ERR  000001: " + shown("roots") + ": Permission denied at DeleteFile() (13)\r\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(fs::exists(path("tree/roots")));
}

TEST_F(WholeRun, OutputThatNobodyReadsDoesNotStopTheRun) {
    for (int i = 0; i < 2000; ++i) write_file(path("tree/file-" + std::to_string(i)));
    int exit_code = run_with_output_closed(*target_, {"/Dir:" + argument("tree"), "/Log:" + argument("run.log")});
    EXPECT_EQ(exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
    EXPECT_NE(read_file(path("run.log")).find("Files          : 2000\r\n"), std::string::npos);
}

TEST_F(WholeRun, InterruptionLeavesACompleteRecord) {
    std::vector<int> signals{SIGINT};
    if (!target_->windows()) signals = {SIGINT, SIGTERM, SIGHUP};  // Wine turns only SIGINT into Ctrl-C
    // On four threads too: the signal reaches any one of them.
    std::vector<std::pair<int, const char*>> rows{{SIGINT, "/Threads:4"}};
    for (int signal_number : signals) rows.emplace_back(signal_number, "/Threads:1");
    for (auto [signal_number, threads] : rows) {
        fs::create_directories(path("tree/sub"));
        for (int i = 0; i < 3000; ++i) write_file(path("tree/sub/file-" + std::to_string(i)));
        Result result = run_interrupted(*target_,
                                        {"/Dir:" + argument("tree"), "/SubDirectories", "/Log:" + argument("run.log"),
                                         "/ErrorLog:" + argument("error.log"), threads},
                                        {signal_number});
        EXPECT_EQ(result.exit_code, 1) << signal_number << threads;
        EXPECT_EQ(read_file(path("error.log")),
                  "ERR  000001: " + shown("sub") + ": " + text("Operation canceled", "Operation canceled by user.") +
                      " at Interrupted " + text("(125)", "(1223)") + "\r\n");
        std::string log = without_elapsed_digits(read_file(path("run.log")));
        std::size_t logged = 0;
        for (std::size_t at = log.find("FILE "); at != std::string::npos; at = log.find("FILE ", at + 1)) ++logged;
        std::size_t deleted = 3000 - static_cast<std::size_t>(std::distance(fs::directory_iterator(path("tree/sub")), {}));
        EXPECT_TRUE(logged == deleted || logged == deleted + 1) << logged << " logged, " << deleted << " deleted";
        EXPECT_LT(deleted, 3000u);
        EXPECT_NE(log.find(log_summary(2, static_cast<int>(logged), 1)), std::string::npos) << log.substr(log.size() - 200);
        EXPECT_NE(without_elapsed_digits(result.output).find(summary(2, static_cast<int>(logged), 1)), std::string::npos);
        std::system(("rm -rf '" + path("tree").string() + "'").c_str());
    }
}

TEST_F(WholeRun, ConsoleThatNobodyReadsNeitherHoldsUpAnInterruptionNorLosesLinesWhenNonBlocking) {
    if (target_->windows()) GTEST_SKIP() << "signals and descriptors of the native build";
    auto fresh_tree = [&] {
        std::system(("rm -rf '" + path("tree").string() + "'").c_str());
        fs::create_directories(path("tree/sub"));
        for (int i = 0; i < 3000; ++i) write_file(path("tree/sub/file-" + std::to_string(i)));
    };
    std::vector<std::string> arguments{"/Dir:" + argument("tree"), "/SubDirectories", "/Log:" + argument("run.log")};
    // Stopped while its console write waits on a full pipe, or on a
    // terminal nobody reads (one that holds a write in the kernel): the run
    // ends with its log complete, whatever the console could not take; on
    // several threads too, where the signal may reach a thread that is not
    // the one waiting, and with the status line drawn on the terminal.
    std::vector<std::tuple<Console, int, std::vector<std::string>>> rows{
        {Console::pipe, SIGTERM, {"/Threads:1"}},
        {Console::pipe, SIGTERM, {"/Threads:4"}},
        {Console::terminal, SIGINT, {"/Threads:1"}},
        {Console::terminal, SIGINT, {"/Threads:8", "/Progress"}}};
    for (const auto& [console, signal_number, options] : rows) {
        fresh_tree();
        std::vector<std::string> with_threads = arguments;
        with_threads.insert(with_threads.end(), options.begin(), options.end());
        std::string row = std::to_string(signal_number) + options[0];
        Result result = run_with_full_console(*target_, with_threads, console, [&](int child) {
            kill(child, signal_number);
            return false;
        });
        EXPECT_EQ(result.exit_code, 1) << row;
        std::string log = without_elapsed_digits(read_file(path("run.log")));
        std::size_t logged = 0;
        for (std::size_t at = log.find("FILE "); at != std::string::npos; at = log.find("FILE ", at + 1)) ++logged;
        std::size_t deleted =
            3000 - static_cast<std::size_t>(std::distance(fs::directory_iterator(path("tree/sub")), {}));
        EXPECT_TRUE(logged == deleted || logged == deleted + 1) << logged << " logged, " << deleted << " deleted";
        EXPECT_NE(log.find(log_summary(2, static_cast<int>(logged), 1)), std::string::npos) << row;
    }
    Result result;
    // Left non-blocking by its parent, a full pipe is waited on, not dropped.
    fresh_tree();
    result = run_with_full_console(*target_, arguments, Console::nonblocking_pipe, [](int) { return true; });
    EXPECT_EQ(result.exit_code, 0);
    std::size_t shown_files = 0;
    for (std::size_t at = result.output.find("FILE "); at != std::string::npos; at = result.output.find("FILE ", at + 1))
        ++shown_files;
    EXPECT_EQ(shown_files, 3000u);
    EXPECT_NE(without_elapsed_digits(result.output).find(summary(2, 3000, 0)), std::string::npos);
}

TEST_F(WholeRun, SecondInterruptionEndsTheRunAtOnce) {
    if (target_->windows()) GTEST_SKIP() << "signals to the native build";
    for (int i = 0; i < 3000; ++i) write_file(path("tree/file-" + std::to_string(i)));
    // Two different signals: two of the same kind may arrive as one.
    Result result = run_interrupted(*target_, {"/Dir:" + argument("tree")}, {SIGINT, SIGTERM});
    EXPECT_TRUE(result.exit_code == 128 + SIGTERM || result.exit_code == 128 + SIGINT) << result.exit_code;
    EXPECT_EQ(result.output.find("Elapsed time"), std::string::npos);
}

// Windows ends a process on a second Ctrl-C with STATUS_CONTROL_C_EXIT,
// whose low byte Wine passes on as the exit status; Wine's own default
// would be 0. The run is held on a console nobody reads, where it waits
// however often it is interrupted, so both requests find it running; the
// second is sent once the first was taken, so the two cannot merge.
TEST_F(WholeRun, SecondCtrlCEndsTheWindowsRunWithWindowsOwnCode) {
    if (!target_->windows()) GTEST_SKIP() << "Ctrl-C of the Windows build";
    for (int i = 0; i < 3000; ++i) write_file(path("tree/file-" + std::to_string(i)));
    Result result = run_with_full_console(*target_, {"/Dir:" + argument("tree")}, Console::pipe, [](int child) {
        kill(child, SIGINT);
        if (wait_until_taken(child, SIGINT)) kill(child, SIGINT);
        return false;
    });
    EXPECT_EQ(result.exit_code, 0xC000013A & 0xFF);
}

TEST_F(WholeRun, TheRunNeverDeletesItsOwnLogs) {
    write_file(path("tree/before"));
    write_file(path("tree/after"));
    Result result = run({"/Dir:" + argument("tree"), "/IgnoreErrors", "/Silent", "/Log:" + argument("tree/run.log"),
                         "/ErrorLog:" + argument("tree/error.log")});
    std::string busy = text("Device or resource busy at DeleteFile() (16)", "Sharing violation. at DeleteFile() (32)");
    std::string errors = read_file(path("tree/error.log"));
    EXPECT_NE(errors.find(shown("run.log") + ": " + busy + "\r\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find(shown("error.log") + ": " + busy + "\r\n"), std::string::npos) << errors;
    EXPECT_NE(without_elapsed_digits(read_file(path("tree/run.log"))).find(log_summary(1, 4, 4)), std::string::npos);
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_FALSE(fs::exists(path("tree/before")));
    EXPECT_FALSE(fs::exists(path("tree/after")));
    if (target_->windows()) return;  // the shell's redirections below are the native build's
    // Standard output redirected into the tree is kept as well, and a log
    // that is that very file is refused rather than written over it.
    auto redirected = [&](const std::vector<std::string>& options) {
        std::vector<std::string> command{"/bin/sh", "-c", "exec \"$0\" \"$@\" > '" + path("tree/console.txt").string() + "'",
                                         target_->program, "/Dir:" + argument("tree")};
        command.insert(command.end(), options.begin(), options.end());
        return run_command(command).exit_code;
    };
    write_file(path("tree/file"));
    EXPECT_EQ(redirected({"/Log:/dev/stdout"}), 255);
    EXPECT_EQ(read_file(path("tree/console.txt")), "Cannot open logfile /dev/stdout for writing.\r\n");
    EXPECT_EQ(redirected({"/IgnoreErrors"}), 3);  // the console's file, and the root that holds it
    std::string console = without_elapsed_digits(read_file(path("tree/console.txt")));
    EXPECT_NE(console.find(shown("console.txt") + ": " + busy + "\r\n"), std::string::npos) << console;
    EXPECT_NE(console.find(summary(1, 4, 3)), std::string::npos);
    EXPECT_FALSE(fs::exists(path("tree/file")));
    // Silent, the log alone writes there.
    EXPECT_EQ(redirected({"/IgnoreErrors", "/Silent", "/Log:/dev/stdout"}), 3);
    EXPECT_NE(without_elapsed_digits(read_file(path("tree/console.txt"))).find(log_summary(1, 1, 3)), std::string::npos);
}

TEST_F(WholeRun, OneFileNamedForBothLogsIsWrittenOnce) {
    fs::create_directories(path("logs"));
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/file"));
    fs::permissions(path("tree"), fs::perms::owner_read | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("logs") + separator() + "both.log",
                         "/ErrorLog:" + argument("logs") + separator() + separator() + "both.log"});
    fs::permissions(path("tree"), fs::perms::owner_all);
    std::string log = without_elapsed_digits(read_file(path("logs/both.log")));
    EXPECT_EQ(log, log_header() + "DIR  000001: " + shown() + "\r\n" + "ERR  000001: " + shown() + ": " +
                       text("Directory not empty", "Directory is not empty.") + " at RemoveDirectory() failed " +
                       text("(39)", "(145)") + "\r\n" + log_summary(1, 0, 2));
    EXPECT_EQ(result.exit_code, 2);
}

TEST_F(WholeRun, LogsThatWouldBlockOrFailAreTold) {
    if (target_->windows()) GTEST_SKIP() << "FIFOs, /dev/full and closed descriptors of the native build";
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("fifo")});
    EXPECT_EQ(result.output, "Cannot open logfile " + argument("fifo") + " for writing.\r\n");
    EXPECT_EQ(result.exit_code, 255);

    write_file(path("tree/file"));
    result = run({"/Dir:" + argument("tree"), "/Silent", "/Log:/dev/full", "/ErrorLog:" + argument("error.log")});
    std::string failure = "ERR  000001: /dev/full: No space left on device at WriteFile() (28)\r\n";
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_file(path("error.log")), failure);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_FALSE(fs::exists(path("tree")));

    fs::create_directory(path("tree"));
    result = run({"/Dir:" + argument("tree"), "/Log:/dev/null", "/ErrorLog:/dev/null"});
    EXPECT_EQ(result.exit_code, 0);

    // A run log that reaches the file-size limit fails like a full disk.
    fs::create_directory(path("tree"));
    for (int i = 0; i < 1000; ++i) write_file(path("tree/file-" + std::to_string(i)));
    result = run_command({"/usr/bin/prlimit", "--fsize=8192", target_->program, "/Dir:" + argument("tree"), "/Silent",
                          "/Log:" + argument("run.log"), "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "ERR  000001: " + argument("run.log") + ": File too large at WriteFile() (27)\r\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_FALSE(fs::exists(path("tree")));

    fs::create_directory(path("tree"));
    EXPECT_EQ(run_with_output_missing(*target_, {"/Dir:" + argument("tree"), "/Log:" + argument("run.log")}), 0);
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header() + "DIR  000001: " + shown() + "\r\n" + log_summary(1, 0, 0));
}

TEST_F(WholeRun, UnderWineAFifoLogWithoutAReaderIsRefusedWithoutWaiting) {
    if (!target_->windows()) GTEST_SKIP() << "the native build's FIFOs are in LogsThatWouldBlockOrFailAreTold";
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    write_file(path("tree/keep"), "keep");
    // A run that waited for a reader would be ended by timeout (124).
    Result result = run_command({"/usr/bin/timeout", "30", target_->wine, target_->program, "/Dir:" + argument("tree"),
                                 "/Log:" + argument("fifo")});
    EXPECT_EQ(result.output, "Cannot open logfile " + argument("fifo") + " for writing.\r\n");
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(read_file(path("tree/keep")), "keep");
}

TEST_F(WholeRun, KeepRootEmptiesTheTreeAndKeepsTheRoot) {
    fs::create_directories(path("tree/sub/deeper"));
    write_file(path("tree/sub/deeper/file"), "x");
    write_file(path("tree/read-only"));
    fs::permissions(path("tree/read-only"), fs::perms::owner_read);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/KeepRoot", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(result.output.substr(0, header("/SubDirectories /KeepRoot").size()), header("/SubDirectories /KeepRoot"));
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(fs::is_directory(path("tree")));
    EXPECT_TRUE(fs::is_empty(path("tree")));

    // Without /SubDirectories the root's files go and its subdirectories stay, and nothing fails.
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/file"));
    result = run({"/Dir:" + argument("tree"), "/KeepRoot", "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree/file")));
    EXPECT_TRUE(fs::is_directory(path("tree/sub")));
}

TEST_F(WholeRun, KeepRootLeavesARootThatIsALinkAsItIs) {
    if (target_->windows()) GTEST_SKIP() << "Wine opens a Unix link as its target, which is refused";
    fs::create_directories(path("target"));
    write_file(path("target/keep"), "keep");
    fs::create_directory_symlink(path("target"), path("link"));
    Result result = run({"/Dir:" + argument("link"), "/SubDirectories", "/KeepRoot", "/Silent"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ(read_file(path("target/keep")), "keep");
}

// Names in four scripts (an emoji is a surrogate pair on Windows) and, on
// POSIX, a byte that is not UTF-8, in a chain so that the order is fixed.
// With /Unicode every channel carries them as UTF-8 (a Windows log after
// the byte-order mark), without it as the escapes of the eight-bit form;
// a byte that is not UTF-8 is escaped in both. The error log lies at the
// bottom of the tree, so that its own ERR line names every one.
TEST_F(WholeRun, UnicodeWritesEveryNameAsUtf8OnEveryChannel) {
    // Each name on disk, as /Unicode shows it, as the Windows eight-bit form does; the last is the error log's.
    std::vector<std::array<std::string, 3>> names{
        {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
         "<U+041F><U+0440><U+0438><U+0432><U+0435><U+0442>"},
        {"\xe4\xb8\xad\xe6\x96\x87", "\xe4\xb8\xad\xe6\x96\x87", "<U+4E2D><U+6587>"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xe9"},
        {"\xf0\x9f\x98\x80.log", "\xf0\x9f\x98\x80.log", "<U+1F600>.log"}};
    if (!target_->windows()) names.insert(names.end() - 1, {"bad\xff", "bad<U+DCFF>", "bad<U+DCFF>"});
    int below = static_cast<int>(names.size()) - 1;  // directories below the root
    for (int form : {1, 2}) {
        // POSIX's eight-bit text is UTF-8: the two forms differ only in the header.
        int shown_form = target_->windows() ? form : 1;
        std::string on_disk = "tree", as_shown, lines = "DIR  000001: " + shown() + "\r\n", errors;
        for (int i = 0; i < below; ++i) {
            on_disk += "/" + names[i][0];
            as_shown += (i ? separator() : "") + names[i][shown_form];
            lines += "DIR  00000" + std::to_string(i + 2) + ": " + shown(as_shown) + "\r\n";
            errors = "ERR  00000" + std::to_string(below + 1 - i) + ": " + shown(as_shown) + ": " +
                     text("Directory not empty at RemoveDirectory() (39)", "Directory is not empty. at RemoveDirectory() (145)") +
                     "\r\n" + errors;
        }
        std::string log = shown(as_shown + separator() + names[below][shown_form]);
        errors = "ERR  000001: " + log + ": " + text("Device or resource busy at DeleteFile() (16)", "Sharing violation. at DeleteFile() (32)") +
                 "\r\n" + errors;
        lines += "FILE 000001: " + log + " (0 KB)\r\n" + errors;
        fs::create_directories(path(on_disk));
        std::string options = form == 1 ? "/SubDirectories /RetryFor:0 /Unicode" : "/SubDirectories /RetryFor:0";
        Result result = run({"/Dir:" + argument("tree"), "/RetryFor:0", "/Log:" + argument("run.log"),
                             "/ErrorLog:" + argument(on_disk + "/" + names[below][0]), "/SubDirectories", form == 1 ? "/Unicode" : "/Silently"});
        std::string mark = form == 1 && target_->windows() ? "\xEF\xBB\xBF" : "";
        if (form == 2) options += " /Silent";
        EXPECT_EQ(without_elapsed_digits(result.output), form == 1 ? header(options) + lines + summary(below + 1, 1, below + 1) : "");
        EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
                  mark + log_header(options) + lines + log_summary(below + 1, 1, below + 1));
        EXPECT_EQ(read_file(path(on_disk + "/" + names[below][0])), mark + errors);
        EXPECT_EQ(result.exit_code, below + 1);
        fs::remove(path(on_disk + "/" + names[below][0]));
    }
}

// A nightly run's log keeps every night, each dated and with its command
// line as a shell or cmd.exe reads it back; the error log is dated by its
// first ERR line, so it stays empty without one; a Windows log appended
// under /Unicode has one mark, at its start.
TEST_F(WholeRun, AnAppendedLogKeepsEveryRunEachWithItsStartAndCommandLine) {
    std::string log_option = "/Log+:" + argument("run log.txt");
    std::vector<std::string> arguments{"/Dir:" + argument("tree"), log_option, "/ErrorLog+:" + argument("error.log"),
                                       "/Unicode"};
    std::string quoted = target_->windows() ? "\"" + log_option + "\"" : "'" + log_option + "'";
    std::string started = "Started                   : <date>\r\n";
    std::string head = log_header("/Unicode");
    head.insert(head.size() - hyphens.size(), started + "Command line              : " + arguments[0] + " " + quoted +
                                                  " " + arguments[2] + " /Unicode\r\n");
    head += "DIR  000001: " + shown() + "\r\n";
    std::string gone = "ERR  000001: " + shown() + ": " + text("No such file or directory", "File not found.") +
                       " at CreateFile(DIR) (2)\r\n";
    write_file(path("tree/file"));
    EXPECT_EQ(run(arguments).exit_code, 0);
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(run(arguments).exit_code, 1);  // the tree is gone by then
    auto dated = [&](const std::string& log) {
        return std::regex_replace(without_elapsed_digits(read_file(path(log))), std::regex(expected::started_line), started);
    };
    std::string mark = target_->windows() ? "\xEF\xBB\xBF" : "";
    EXPECT_EQ(dated("run log.txt"), mark + head + "FILE 000001: " + shown("file") + " (0 KB)\r\n" + log_summary(1, 1, 0) +
                                        "\r\n" + head + gone + log_summary(1, 0, 1));
    EXPECT_EQ(dated("error.log"), mark + started + gone);
}

// /IfExists: a root that is not there, nor its parent, is nothing to delete
// and a clean run; a root that is a file is an error as without it.
TEST_F(WholeRun, IfExistsAMissingRootIsNothingToDeleteAndAFileStillAnError) {
    for (std::string missing : {"missing", "missing/below"}) {
        Result result = run({"/Dir:" + argument(missing), "/IfExists", "/Log:" + argument("run.log")});
        std::string source = (target_->windows() ? "\\\\?\\" : "") + argument(missing);
        auto with_source = [&](std::string text) { return text.replace(text.find(shown()), shown().size(), source); };
        std::string line = expected::nothing_to_delete(source);
        EXPECT_EQ(without_elapsed_digits(result.output), with_source(header("/IfExists")) + line + summary(0, 0, 0));
        EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
                  with_source(log_header("/IfExists")) + line + log_summary(0, 0, 0));
        EXPECT_EQ(result.exit_code, 0) << missing;
    }
    write_file(path("file"));
    Result result = run({"/Dir:" + argument("file"), "/IfExists"});
    std::string file = (target_->windows() ? "\\\\?\\" : "") + argument("file");
    std::string output = without_elapsed_digits(result.output);
    EXPECT_EQ(output.substr(output.find("DIR  000001")),
              "DIR  000001: " + file + "\r\nERR  000001: " + file + ": " +
                  text("Not a directory at CreateFile(DIR) (20)", "Directory name invalid. at CreateFile(DIR) (267)") +
                  "\r\n" + summary(1, 0, 1));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(fs::exists(path("file")));
}

// /Progress draws its status line on a terminal alone: there every drawing
// is erased again, so the screen ends as a run without it leaves it, and
// the counts only rise; on a pipe it writes nothing at all.
TEST_F(WholeRun, ProgressIsDrawnOnATerminalAndErasedBeforeEveryLine) {
    for (std::string silent : {"", "/Silent"}) {
        for (int d = 0; d < 20; ++d) {
            fs::create_directories(path("tree/d" + std::to_string(d)));
            for (int f = 0; f < 50; ++f) write_file(path("tree/d" + std::to_string(d) + "/f" + std::to_string(f)), "x");
        }
        std::vector<std::string> arguments{"/Dir:" + argument("tree"), "/SubDirectories", "/Log:" + argument("run.log"),
                                           "/Progress"};
        if (!silent.empty()) arguments.push_back(silent);
        bool terminal = !target_->windows();
        Result result = terminal ? run_on_terminal(*target_, arguments) : run(arguments);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_FALSE(fs::exists(path("tree")));
        std::string lines = expected::lines_of(read_file(path("run.log")), {"DIR  ", "FILE ", "ERR  "});
        std::string quiet = silent.empty() ? header("/SubDirectories") + lines + summary(21, 1000, 0) : "";
        if (!terminal) {
            EXPECT_EQ(without_elapsed_digits(result.output), quiet);
            continue;
        }
        EXPECT_EQ(without_elapsed_digits(screen_after(result.output)), quiet) << silent;
        std::vector<int> last{0, 0, 0};
        int drawings = 0;
        for (std::size_t at = result.output.find('\r'); at != std::string::npos; at = result.output.find('\r', at + 1)) {
            std::vector<int> now{0, 0, 0};
            if (std::sscanf(result.output.c_str() + at + 1, expected::status_counts, &now[0], &now[1], &now[2]) != 3)
                continue;
            ++drawings;
            for (int i = 0; i < 3; ++i) EXPECT_GE(now[i], last[i]) << result.output.substr(at + 1, 60);
            last = now;
        }
        EXPECT_GE(drawings, 1) << silent;
        EXPECT_NE(result.output.find(expected::first_status), std::string::npos) << silent;
    }
}

TEST_F(WholeRun, IdleThreadsUseNoProcessorTimeWhileTheConsoleIsNotRead) {
    if (target_->windows()) GTEST_SKIP() << "processor time of the native build";
    for (int i = 0; i < 2000; ++i) write_file(path("tree/file-" + std::to_string(i)));
    double used = -1;
    Result result = run_with_full_console(*target_, {"/Dir:" + argument("tree"), "/Threads:8"}, Console::pipe, [&](int child) {
        double before = processor_seconds(child);
        sleep(1);
        used = processor_seconds(child) - before;
        return true;
    });
    // Seven threads with nothing to do, and one waiting for the console.
    EXPECT_LT(used, 0.1);
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(WholeRun, ALogWhoseReaderStallsGivesWayToAnInterruption) {
    if (target_->windows()) GTEST_SKIP() << "FIFOs and signals of the native build";
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    std::string canceled = "ERR  000001: " + argument("fifo") + ": Operation canceled at WriteFile() (125)\r\n";
    for (const char* threads : {"/Threads:1", "/Threads:8"}) {
        fs::create_directories(path("tree/sub"));
        for (int i = 0; i < 3000; ++i) write_file(path("tree/sub/file-" + std::to_string(i)));
        Result result = run_with_stalled_fifo(*target_,
                                              {"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", threads,
                                               "/Log:" + argument("fifo"), "/ErrorLog:" + argument("error.log")},
                                              path("fifo"), {SIGINT});
        EXPECT_EQ(result.exit_code, 2) << threads;
        std::string errors = read_file(path("error.log"));
        EXPECT_NE(errors.find(" at Interrupted (125)\r\n"), std::string::npos) << errors;
        EXPECT_NE(errors.find(canceled), std::string::npos) << errors;
        std::system(("rm -rf '" + path("tree").string() + "'").c_str());
    }
}

TEST_F(WholeRun, ADirectoryWhoseModeTheWalkChangedAndThatStaysGetsItsModeBack) {
    if (target_->windows()) GTEST_SKIP() << "POSIX modes, as another user";
    if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to switch to an unprivileged user";
    // The kept root, and keep, left behind since roots/ (not the user's) stays.
    fs::create_directories(path("tree/keep/roots"));
    write_file(path("tree/file"));
    write_file(path("tree/keep/file"));
    write_file(path("tree/keep/roots/file"));
    std::system(("chown 65534:65534 '" + path("tree").string() + "' '" + path("tree/file").string() + "' '" +
                 path("tree/keep").string() + "' '" + path("tree/keep/file").string() + "'")
                    .c_str());
    fs::perms read_and_search = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(path("tree"), read_and_search);
    fs::permissions(path("tree/keep"), read_and_search);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/IgnoreErrors", "/KeepRoot", "/Silent"}, 65534);
    EXPECT_EQ(result.exit_code, 3);  // roots/file, roots and keep
    EXPECT_FALSE(fs::exists(path("tree/file")));
    EXPECT_FALSE(fs::exists(path("tree/keep/file")));
    EXPECT_EQ(fs::status(path("tree")).permissions(), read_and_search);
    EXPECT_EQ(fs::status(path("tree/keep")).permissions(), read_and_search);
}
