#include "expected_output.h"
#include "fixture.h"

namespace {

class Run : public FakeSystemTest {};

const std::string banner = expected::banner;

std::string settings_block(const char* subdirectories) {
    return std::string("Source                    : /root\r\n") +
           "SubDirectories            : " + subdirectories + "\r\n"
           "Silent                    : No\r\n"
           "StopAtFirstError          : No\r\n"
           "IgnoreErrors              : No\r\n"
           "-------------------------------------------\r\n";
}

const std::string privileges = expected::privileges;

std::string summary(int directories, int files, int errors, const char* elapsed = "00:00:00") {
    return "\r\n-------------------------------------------\r\n"
           "Directories    : " + std::to_string(directories) + "\r\n"
           "Files          : " + std::to_string(files) + "\r\n"
           "Errors         : " + std::to_string(errors) + "\r\n"
           "\r\nElapsed time   : " + elapsed + "\r\n";
}

}  // namespace

TEST_F(Run, CleanTreeIsDeletedWithItsRoot) {
    fake::add_directory(u"/root/sub");
    fake::add_file(u"/root/sub/f");
    fake::system.clock_step = 3725;
    EXPECT_EQ(run({u"/Dir:/root", u"/SubDirectories"}), 0);
    EXPECT_EQ(console(), banner + settings_block("Yes") + privileges +
                             "-------------------------------------------\r\n"
                             "DIR  000001: /root\r\n"
                             "DIR  000002: /root/sub\r\n"
                             "FILE 000001: /root/sub/f (0 KB)\r\n" +
                             summary(2, 1, 0, "01:02:05"));
    EXPECT_TRUE(fake::system.nodes.empty());
    EXPECT_EQ(fake::system.enabled_privileges,
              (std::vector<std::string>{"SeRestorePrivilege", "SeBackupPrivilege", "SeSecurityPrivilege"}));
}

TEST_F(Run, ARunLogThatFailsToTakeTheSummaryIsCountedInTheConsolesSummary) {
    fake::system.fail_write[u"run.log"] = 112;
    fake::system.writes_before_failing[u"run.log"] = 1;  // header and lines go through
    EXPECT_EQ(run({u"/Dir:/root", u"/Log:run.log"}), 1);
    std::string output = console();
    EXPECT_EQ(output.substr(output.find("ERR")),
              "ERR  000001: run.log: Unknown error 112 at WriteFile() (112)\r\n" + summary(1, 0, 1));
}

TEST_F(Run, ARunLogThatCannotBeWrittenLeavesTheRootsRetriesOn) {
    fake::system.transient_errors = {32, 145};
    fake::add_file(u"/root/briefly-held");
    fake::system.fail_delete[u"/root/briefly-held"] = 32;
    fake::system.failures_left[u"/root/briefly-held"] = 1;  // its retry pushes the failing log out
    fake::system.fail_write[u"run.log"] = 112;
    fake::system.fail_remove[u"/root"] = 145;  // "not empty" for a moment
    fake::system.failures_left[u"/root"] = 1;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/Log:run.log"}), 1);
    EXPECT_FALSE(fake::exists(u"/root"));
}

TEST_F(Run, RootThatCannotBeRemovedCountsTwoErrors) {
    fake::add_directory(u"/root/sub");
    EXPECT_EQ(run({u"/Dir:/root"}), 2);
    std::string console_text = console();
    EXPECT_NE(console_text.find("DIR  000001: /root\r\n"
                                "ERR  000001: /root: The directory is not empty. at RemoveDirectory() failed (145)\r\n" +
                                summary(1, 0, 2)),
              std::string::npos)
        << console_text;
}

TEST_F(Run, RootWhoseWalkGaveUpIsLeftWithoutALine) {
    fake::system.fail_open[u"/root"] = 2;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/Log:run.log"}), 1);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(file(u"run.log"),
              "Source                    : /root\r\n"
              "SubDirectories            : No\r\n"
              "Silent                    : Yes\r\n"
              "StopAtFirstError          : No\r\n"
              "IgnoreErrors              : No\r\n"
              "-------------------------------------------\r\n"
              "DIR  000001: /root\r\n"
              "ERR  000001: /root: The system cannot find the file specified. at CreateFile(DIR) (2)\r\n"
              "\r\n-------------------------------------------\r\n"
              "Directories    : 1\r\nFiles          : 0\r\nErrors         : 1\r\n"
              "Elapsed time   : 00:00:00\r\n");
    EXPECT_TRUE(fake::exists(u"/root"));
}

TEST_F(Run, SilentRunWithoutLogsWritesNothing) {
    fake::add_file(u"/root/f");
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/SubDirectories"}), 0);
    EXPECT_EQ(console(), "");
}

TEST_F(Run, LogsAreClosedRunLogFirst) {
    EXPECT_EQ(run({u"/Dir:/root", u"/Log:run.log", u"/ErrorLog:error.log"}), 0);
    EXPECT_EQ(fake::system.closed_files, (std::vector<std::u16string>{u"run.log", u"error.log"}));
    EXPECT_EQ(file(u"error.log"), "");
}

TEST_F(Run, SecondPrivilegeFailing) {
    fake::system.fail_adjust["SeBackupPrivilege"] = 1300;
    EXPECT_EQ(run({u"/Dir:/root", u"/Log:run.log"}), -1);
    EXPECT_EQ(console(), banner + settings_block("No") +
                             "Try to set SeRestorePrivilege privilege for current process.\r\n"
                             "Set privilege SeRestorePrivilege successfully.\r\n"
                             "Try to set SeBackupPrivilege privilege for current process.\r\n"
                             "AdjustTokenPrivileges() failed (1300), aborting setting the SeBackupPrivilege privilege.\r\n");
    EXPECT_EQ(file(u"run.log"), settings_block("No"));
    EXPECT_TRUE(fake::exists(u"/root"));
}

TEST_F(Run, PrivilegeFailuresAreWrittenEvenWhenSilent) {
    fake::system.fail_open_token = 5;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent"}), -1);
    EXPECT_EQ(console(),
              "OpenProcessToken was not successfull (5), aborting setting the SeRestorePrivilege privilege.\r\n");

    SetUp();
    fake::system.fail_lookup["SeSecurityPrivilege"] = 1313;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent"}), -1);
    EXPECT_EQ(console(),
              "LookupPrivilegeValue() failed (1313), aborting setting the SeSecurityPrivilege privilege.\r\n");

    SetUp();
    fake::system.fail_close_token = true;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent"}), -1);
    EXPECT_EQ(console(), "CloseHandle() failed, aborting setting the SeRestorePrivilege privilege.\r\n");
}

TEST_F(Run, MissingEntryPointsStopTheRun) {
    fake::system.missing_query_entry_point = true;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent"}), -1);
    EXPECT_EQ(console(), "Could not find NtQueryDirectoryFile entry point in NTDLL.DLL\r\n");

    SetUp();
    fake::system.missing_status_entry_point = true;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent"}), -1);
    EXPECT_EQ(console(), "Could not find RtlNtStatusToDosError entry point in NTDLL.DLL\r\n");
    EXPECT_TRUE(fake::system.looked_up.empty());
}

TEST_F(Run, ExistingLogsAreEmptiedEvenWhenTheRunStopsEarly) {
    fake::system.files[u"run.log"] = "old";
    fake::system.files[u"error.log"] = "old";
    fake::system.fail_open_token = 5;
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/Log:run.log", u"/ErrorLog:error.log"}), -1);
    EXPECT_EQ(file(u"error.log"), "");
    EXPECT_NE(file(u"run.log").find("Silent                    : Yes"), std::string::npos);
}

TEST_F(Run, ErrorLogThatCannotBeCreatedStopsTheRun) {
    fake::system.uncreatable.insert(u"no/such/error.log");
    EXPECT_EQ(run({u"/Dir:/root", u"/Log:run.log", u"/ErrorLog:no/such/error.log"}), -1);
    EXPECT_EQ(console(), "Cannot open error-logfile no/such/error.log for writing.\r\n");
    EXPECT_EQ(file(u"run.log"), "");
}

TEST_F(Run, EachRunStartsFromFreshSettingsAndCounters) {
    fake::add_file(u"/root/f");
    EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/IgnoreErrors"}), 0);
    fake::reset(u"/root");
    EXPECT_EQ(run({u"/Dir:/root", u"/SubDirectories"}), 0);
    std::string console_text = console();
    EXPECT_NE(console_text.find("IgnoreErrors              : No"), std::string::npos);
    EXPECT_NE(console_text.find(summary(1, 0, 0)), std::string::npos);
}

TEST_F(Run, InterruptionStopsTheWalkAndRemovesNothingAbove) {
    fake::add_directory(u"/root/a");
    fake::add_directory(u"/root/a/b");
    fake::add_file(u"/root/a/b/f");
    fake::add_file(u"/root/a/after");
    fake::system.before_opening = [](const std::u16string& path) {
        if (path == u"/root/a/b") fake::system.interrupted = true;
    };
    EXPECT_EQ(run({u"/Dir:/root", u"/SubDirectories", u"/IgnoreErrors", u"/Log:run.log", u"/ErrorLog:error.log"}), 1);
    std::string interrupted = "ERR  000001: /root/a/b: The operation was canceled by the user. at Interrupted (1223)\r\n";
    EXPECT_EQ(file(u"error.log"), interrupted);
    std::string log = file(u"run.log");
    EXPECT_NE(log.find("DIR  000003: /root/a/b\r\n" + interrupted + "\r\n-------------------------------------------\r\n"
                       "Directories    : 3\r\nFiles          : 0\r\nErrors         : 1\r\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(fake::exists(u"/root/a/b/f"));
    EXPECT_TRUE(fake::exists(u"/root/a/after"));
}
