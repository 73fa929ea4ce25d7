// Starting the program: usage, options, fatal messages, logs and header.
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
    std::string relative = target_->windows() ? "/Dir:folder\\sub" : "/Dir:folder/sub";
    for (const Case& fatal : std::vector<Case>{
             {{"/Silent"}, "Need path to delete, aborting.\r\n"},
             {{"/Dir:"}, "Delete path too short (2 char minimum).\r\n"},
             {{"/Dir:x", "/SubDirectories"}, "Delete path too short (2 char minimum).\r\n"},
             {{relative}, "Source path nor local neither UNC path, cannot identify long path prefix."},
         }) {
        Result result = run(fatal.arguments);
        EXPECT_EQ(result.output, fatal.message);
        EXPECT_EQ(result.exit_code, 255);
    }
    EXPECT_TRUE(fs::exists(path("tree")));
}

TEST_F(CommandLine, TheFileSystemRootIsNeverEmptied) {
    if (target_->windows()) GTEST_SKIP() << "a POSIX rule";
    fs::create_directory_symlink("/", path("link-to-root"));
    for (const std::string& root : std::vector<std::string>{"//", "/.", "/..", "/tmp/..", "/tmp/../", argument("link-to-root")}) {
        Result result = run({"/Dir:" + root, "/SubDirectories", "/Log:" + argument("run.log")});
        EXPECT_EQ(result.output, "Source path is the file-system root, refusing to delete it.\r\n") << root;
        EXPECT_EQ(result.exit_code, 255);
    }
    EXPECT_FALSE(fs::exists(path("run.log")));
}

TEST_F(CommandLine, KeysInAnyCaseAndIgnoredArguments) {
    write_file(path("tree/file"));
    Result result = run({"hello", "/dir:" + argument("tree"), "/Verbose", "/subdirectories"});
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

TEST_F(CommandLine, TrailingBackslashIsDroppedOnWindows) {
    if (!target_->windows()) GTEST_SKIP() << "a Windows path rule";
    write_file(path("tree/file"));
    Result result = run({"/Dir:" + argument("tree") + "\\\\", "/Log:" + argument("run.log")});
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header() + "DIR  000001: " + shown() + "\r\n" + "FILE 000001: " + shown("file") + " (0 KB)\r\n" +
                  log_summary(1, 1, 0));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}
