// Starting the program: usage, options, fatal messages, logs and header.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "expected_output.h"
#include "harness.h"

using namespace scenario;

namespace {

class CommandLine : public Scenario {};

}  // namespace

TEST_F(CommandLine, UsageWithoutArguments) {
    Result result = run({});
    EXPECT_EQ(result.output, expected::usage);
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(CommandLine, FatalMessagesForMissingOrUnusablePaths) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    std::string unknown_kind = expected::unknown_kind, dots = expected::ends_in_dots;
    std::string tree = argument("tree"), sep = separator();
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/keep"));
    std::vector<Case> cases{
        {{"/Silent"}, "Need path to delete, aborting.\r\n"},
        {{"/Dir:"}, "Delete path too short (2 char minimum).\r\n"},
        {{"/Dir:" + tree + sep + ".", "/SubDirectories"}, dots},
        {{"/Dir:" + tree + sep + "sub" + sep + "..", "/SubDirectories"}, dots},
        {{"/Dir:" + tree + sep + "sub" + sep + ".." + sep, "/SubDirectories"}, dots},
    };
    // A thread count that cannot be used stops the run before the path is looked at.
    for (const char* count : {"65", "", "-1", "+2", "2x", " 4", "4 ", "99999999999", "0x10"})
        cases.push_back({{"/Threads:" + std::string(count), "/Dir:" + tree, "/SubDirectories"},
                         "Cannot run on " + std::string(count) + " threads (a whole number from 0 to 64 is needed), aborting.\r\n"});
    cases.push_back({{"/Dir:" + tree, "/threads:3", "/THREADS:x", "/SubDirectories"}, expected::given_twice("/Threads:")});
    if (!target_->windows())
        cases.push_back({{"/Dir:" + tree, "/SubDirectories", "/OnReboot"}, expected::on_reboot_refusal});
    if (target_->windows()) {
        // One letter is a relative path on POSIX, taken there.
        cases.push_back({{"/Dir:x", "/SubDirectories"}, "Delete path too short (2 char minimum).\r\n"});
        cases.push_back({{"/Dir:" + tree + "\" /WhatIf", "/SubDirectories"}, expected::quote_in_path});
        cases.push_back({{"/Dir:Z:tmp", "/SubDirectories"}, unknown_kind});
        cases.push_back({{"/Dir:folder\\sub"}, unknown_kind});  // relative paths are a POSIX matter
    }
    for (std::string value : expected::bad_retry_times)
        cases.push_back({{"/Dir:" + tree, "/SubDirectories", "/RetryFor:" + value}, expected::retry_refusal(value)});
    for (const Case& fatal : cases) {
        Result result = run(fatal.arguments);
        EXPECT_EQ(result.output, fatal.message) << fatal.arguments[0];
        EXPECT_EQ(result.exit_code, 255);
    }
    EXPECT_TRUE(fs::exists(path("tree/sub/keep")));
}

TEST_F(CommandLine, HelpAndVersionWinOverEverythingElse) {
    write_file(path("tree/keep"), "keep");
    const std::string help = expected::help(target_->windows());
    std::vector<std::pair<std::vector<std::string>, std::string>> rows{{{"/Version", "/?"}, help}};
    for (const char* asked : expected::help_arguments) rows.push_back({{asked}, help});
    for (const char* version : expected::version_arguments) rows.push_back({{version}, expected::version});
    if (!target_->windows()) {
        for (const char* asked : expected::posix_help_arguments) rows.push_back({{asked}, help});
        for (const char* version : expected::posix_version_arguments) rows.push_back({{version}, expected::version});
    }
    for (const auto& [asked, output] : rows) {
        std::vector<std::string> arguments{"/Dir:" + argument("tree"), "/SubDirectories", "/RetryFor:x"};
        arguments.insert(arguments.end(), asked.begin(), asked.end());
        arguments.push_back("/Log:" + argument("run.log"));
        Result result = run(arguments);
        EXPECT_EQ(result.output, output) << asked[0];
        EXPECT_EQ(result.exit_code, 0) << asked[0];
    }
    EXPECT_EQ(read_file(path("tree/keep")), "keep");
    EXPECT_FALSE(fs::exists(path("run.log")));
}

// Nothing is opened or created, whatever else the command line asks for.
TEST_F(CommandLine, ArgumentsThatLookLikeOptionsButAreNoneStopTheRun) {
    write_file(path("tree/keep"), "keep");
    // The tree named without /Dir:, in a form this build takes for a path.
    std::string bare = target_->windows() ? "//?/" + argument("tree") : argument("tree");
    if (target_->windows()) std::replace(bare.begin(), bare.end(), '\\', '/');
    std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{bare, "/SubDirectories"}, expected::unknown_option(bare, true)},
        {{"/Dir:" + argument("tree"), "/Log", argument("run.log")},
         expected::unknown_value_option("/Log", "/Log:" + argument("run.log"))},
        {{"/Dir:" + argument("tree"), "/dir:" + argument("tree/keep")}, expected::given_twice("/Dir:")}};
    for (const char* typed : expected::unknown_options)
        rows.push_back({{"/Dir:" + argument("tree"), "/SubDirectories", typed, "/Log:" + argument("run.log")},
                        expected::unknown_option(typed)});
    for (const auto& [arguments, message] : rows) {
        Result result = run(arguments);
        EXPECT_EQ(result.output, message);
        EXPECT_EQ(result.exit_code, 255) << message;
    }
    EXPECT_EQ(read_file(path("tree/keep")), "keep");
    EXPECT_FALSE(fs::exists(path("run.log")));
}

TEST_F(CommandLine, KeysInAnyCaseAndIgnoredArguments) {
    write_file(path("tree/file"));
    Result result = run({"hello", "/dir:" + argument("tree"), "/subdirectories"});
    EXPECT_EQ(without_elapsed_digits(result.output),
              "Ignoring parameter HELLO\r\n" + header("/SubDirectories") + "DIR  000001: " + shown() + "\r\n" +
                  "FILE 000001: " + shown("file") + " (0 KB)\r\n" + summary(1, 1, 0));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(CommandLine, SilentlyIsSilentAndIgnoringIsStillSaid) {
    Result result = run({"/SILENTLY", "/Dir:" + argument("tree"), "stray"});
    EXPECT_EQ(result.output, "Ignoring parameter STRAY\r\n");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(CommandLine, HeaderOnConsoleAndInTheRunLog) {
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("run.log"), "/IgnoreErrors"});
    std::string console = without_elapsed_digits(result.output);
    EXPECT_EQ(console.substr(0, header("/IgnoreErrors").size()), header("/IgnoreErrors"));
    std::string log = read_file(path("run.log"));
    EXPECT_EQ(log.substr(0, log_header("/IgnoreErrors").size()), log_header("/IgnoreErrors"));
}

TEST_F(CommandLine, TheHeaderShowsTheThreadsOfARunOnMoreThanOne) {
    for (std::string count : {"1", "3", "64", "003"}) {
        fs::create_directories(path("tree"));
        write_file(path("tree/file"));
        Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("run.log"), "/threads:" + count});
        std::string options = "/Threads:" + std::to_string(std::stoi(count));
        std::string console = without_elapsed_digits(result.output);
        EXPECT_EQ(console.substr(0, header(options).size()), header(options)) << count;
        std::string log = without_elapsed_digits(read_file(path("run.log")));
        EXPECT_EQ(log, log_header(options) + "DIR  000001: " + shown() + "\r\n" + "FILE 000001: " + shown("file") +
                           " (0 KB)\r\n" + log_summary(1, 1, 0))
            << count;
        EXPECT_FALSE(fs::exists(path("tree")));
    }
    // 0 is one per logical processor: a number, never 0 itself.
    fs::create_directories(path("tree"));
    write_file(path("tree/file"));
    Result result = run({"/Dir:" + argument("tree"), "/Threads:0", "/Silent", "/Log:" + argument("run.log")});
    std::string log = read_file(path("run.log"));
    EXPECT_EQ(log.find("Threads                   : 0\r\n"), std::string::npos);
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(CommandLine, SilentRunLogStillCarriesTheHeader) {
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/Log:" + argument("run.log"), "/StopAtFirstError"});
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header("/Silent /StopAtFirstError") + "DIR  000001: " + shown() + "\r\n" + log_summary(1, 0, 0));
}

TEST_F(CommandLine, ExistingLogsAreEmptied) {
    // A marker that no path of the run can contain by chance.
    write_file(path("run.log"), "#stale run log#\r\n");
    write_file(path("error.log"), "#stale error log#\r\n");
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("run.log"), "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(read_file(path("run.log")).find("#stale"), std::string::npos);
}

TEST_F(CommandLine, LogsThatCannotBeCreated) {
    std::string missing = argument("no/such/folder/run.log");
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + missing});
    EXPECT_EQ(result.output, "Cannot open logfile " + missing + " for writing.\r\n");
    EXPECT_EQ(result.exit_code, 255);

    result = run({"/Dir:" + argument("tree"), "/Log:"});
    EXPECT_EQ(result.output, "Cannot open logfile  for writing.\r\n");

    result = run({"/Dir:" + argument("tree"), "/Log:" + argument("run.log"), "/ErrorLog:" + missing});
    EXPECT_EQ(result.output, "Cannot open error-logfile " + missing + " for writing.\r\n");
    EXPECT_EQ(result.exit_code, 255);
    EXPECT_EQ(read_file(path("run.log")), "");
    EXPECT_TRUE(fs::exists(path("tree")));
}

TEST_F(CommandLine, TrailingSeparatorsAreDropped) {
    write_file(path("tree/file"));
    Result result = run({"/Dir:" + argument("tree") + separator() + separator(), "/Log:" + argument("run.log")});
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header() + "DIR  000001: " + shown() + "\r\n" + "FILE 000001: " + shown("file") + " (0 KB)\r\n" +
                  log_summary(1, 1, 0));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

// Shown after the working directory's name, and refused where the working
// directory has none (it was removed).
TEST_F(CommandLine, ARelativePathIsTakenFromTheWorkingDirectory) {
    if (target_->windows()) GTEST_SKIP() << "the Windows build refuses relative paths";
    write_file(path("tree/file"));
    std::string folder = fs::canonical(path()).string();
    Result result = run_command({"/usr/bin/env", "-C", folder, target_->program, "/Dir:tree//", "/Log:run.log"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(expected::lines_of(read_file(path("run.log")), {"Source", "DIR  ", "FILE "}),
              "Source                    : " + folder + "/tree\r\n" + "DIR  000001: " + folder + "/tree\r\n" +
                  "FILE 000001: " + folder + "/tree/file (0 KB)\r\n");
    EXPECT_FALSE(fs::exists(path("tree")));
    fs::create_directories(path("t"));  // one letter: two characters once resolved
    result = run_command({"/usr/bin/env", "-C", folder, target_->program, "/Dir:t", "/Silent"});
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_FALSE(fs::exists(path("t")));

    fs::create_directories(path("gone/tree"));
    result = run_command({"/bin/sh", "-c", "cd \"$0\" && rmdir ../tree && exec \"$1\" /Dir:tree",
                          path("gone/tree").string(), target_->program});
    EXPECT_EQ(result.output, expected::no_working_directory);
    EXPECT_EQ(result.exit_code, 255);
}

TEST_F(CommandLine, RootThatIsALinkIsRemovedAsALinkAndNothingBehindItChanges) {
    fs::create_directories(path("target/sub"));
    write_file(path("target/sub/keep"), "keep");
    fs::create_directory_symlink(path("target"), path("link"));
    Result result = run({"/Dir:" + argument("link"), "/SubDirectories", "/Silent", "/Log:" + argument("run.log")});
    EXPECT_EQ(read_file(path("target/sub/keep")), "keep");
    std::string log = without_elapsed_digits(read_file(path("run.log")));
    std::string shown_link = target_->windows() ? "\\\\?\\" + argument("link") : argument("link");
    if (target_->windows()) {
        // Wine opens a Unix link as its target, which is told and refused.
        EXPECT_NE(log.find("ERR  000001: " + shown_link + ": The file cannot be accessed. at CreateFile(DIR) (1920)\r\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(fs::is_symlink(path("link")));
    } else {
        EXPECT_EQ(log.substr(log.find("DIR  ")), "DIR  000001: " + shown_link + "\r\n" + log_summary(1, 0, 0));
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(path("link"))));
    }
}

TEST_F(CommandLine, WindowsPathFormsAreCleanedUpBeforeThePrefix) {
    if (!target_->windows()) GTEST_SKIP() << "Windows path forms";
    std::string tree = argument("tree");  // Y:\tree
    std::string forward = tree;
    for (char& c : forward)
        if (c == '\\') c = '/';
    for (const std::string& form : {forward, tree + "\\.\\..\\tree\\", "\\\\?\\" + tree, "\\\\.\\" + tree,
                                    tree.substr(0, 3) + "\\" + tree.substr(3)}) {
        fs::create_directories(path("tree/sub"));
        write_file(path("tree/sub/file"));
        Result result = run({"/Dir:" + form, "/SubDirectories"});
        EXPECT_NE(result.output.find("Source                    : " + shown() + "\r\n"), std::string::npos) << form;
        EXPECT_NE(result.output.find("FILE 000001: " + shown("sub\\file") + " (0 KB)\r\n"), std::string::npos) << form;
        EXPECT_EQ(result.exit_code, 0) << form;
        EXPECT_FALSE(fs::exists(path("tree"))) << form;
    }
}

TEST_F(CommandLine, DriveRootsAreRefused) {
    if (!target_->windows()) GTEST_SKIP() << "Windows drive letters";
    // Y: is the test's own folder.
    fs::create_directories(path("d"));
    write_file(path("d/keep"), "keep");
    std::string drive_root = expected::drive_root;
    for (const auto& [dir, message] : std::vector<std::pair<std::string, std::string>>{
             {"Y:\\", drive_root},
             {"Y:", drive_root},
             {"y:/", drive_root},
             {"\\\\?\\Y:\\", drive_root},
             {"Y:\\d\\..", expected::ends_in_dots},
             {"Y:\\d\\..\\..\\d", expected::climbs},
         }) {
        Result result = run({"/Dir:" + dir, "/SubDirectories"});
        EXPECT_EQ(result.output, message) << dir;
        EXPECT_EQ(result.exit_code, 255) << dir;
    }
    EXPECT_EQ(read_file(path("d/keep")), "keep");
}

TEST_F(CommandLine, TheFileSystemRootIsRefusedHoweverItIsReached) {
    if (target_->windows()) GTEST_SKIP() << "a POSIX rule";
    if (geteuid() != 0) SKIP_FOR_WANT_OF("needs root to chroot");
    // In a jail of its own, a wrong program could only empty the jail.
    fs::path jail = path("jail");
    fs::create_directories(jail / "lib");
    fs::copy_file(target_->program, jail / "scythe");
    Result libraries = run_command({"/bin/sh", "-c", "ldd '" + target_->program + "' | grep -o '/[^ ]*'"});
    std::istringstream lines(libraries.output);
    for (std::string library; std::getline(lines, library);) {
        fs::create_directories(jail / fs::path(library).relative_path().parent_path());
        fs::copy_file(library, jail / fs::path(library).relative_path(), fs::copy_options::overwrite_existing);
    }
    write_file(jail / "canary", "canary");
    std::string component(200, 'c');
    std::string long_path;
    fs::path inside = jail;
    int fd = ::open(jail.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 25; ++level, long_path += "/" + component) {
        mkdirat(fd, component.c_str(), 0755);
        int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ASSERT_EQ(symlinkat("/", fd, "to-root"), 0);
    ::close(fd);
    ASSERT_GT(long_path.size(), 4096u);
    fs::create_directory(jail / "tmp");
    fs::create_directory_symlink("/", jail / "link-to-root");
    std::string root_refused = expected::file_system_root;
    for (const auto& [root, message] : std::vector<std::pair<std::string, std::string>>{
             {"//", root_refused},
             {"/.", root_refused},
             {"/..", root_refused},
             {"/tmp/..", root_refused},
             {"/tmp/../", root_refused},
             {"/link-to-root", root_refused},
             {long_path + "/to-root", root_refused},
             {long_path + "/to-root/", root_refused},
             {long_path + "/to-root/" + component + "/..//", expected::ends_in_dots},
             // Relative to the jail's "/", where chroot starts the program.
             {"tmp/..", root_refused},
             {"..", root_refused},
             {"link-to-root/", root_refused},
             {long_path.substr(1) + "/to-root", root_refused},
         }) {
        Result result = run_command(
            {"/usr/sbin/chroot", jail.string(), "/scythe", "/Dir:" + root, "/SubDirectories", "/Log:/run.log"});
        EXPECT_TRUE(result.output == message) << root.substr(root.size() - 20) << ": " << result.output.substr(0, 300);
        EXPECT_EQ(result.exit_code, 255);
    }
    EXPECT_EQ(read_file(jail / "canary"), "canary");
    EXPECT_FALSE(fs::exists(jail / "run.log"));
}
