// Whole runs: the sequence from header to exit code.
#include <unistd.h>

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
    if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to switch to an unprivileged user";
    fs::create_directories(path("tree/locked/deeper"));
    write_file(path("tree/locked/deeper/file"));
    write_file(path("tree/locked/file"));
    std::system(("chown -R 65534:65534 '" + path("tree").string() + "'").c_str());
    fs::permissions(path("tree/locked"), fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(path("tree/locked/deeper"), fs::perms::owner_read | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/ErrorLog:" + argument("error.log")}, 65534);
    EXPECT_EQ(result.output.substr(0, header("/SubDirectories").size()), header("/SubDirectories"));
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(WholeRun, UnprivilegedUserIsRefusedWhatIsNotItsOwn) {
    if (target_->windows()) GTEST_SKIP() << "runs the native build as another user";
    if (geteuid() != 0) GTEST_SKIP() << "skipped: needs root to switch to an unprivileged user";
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
