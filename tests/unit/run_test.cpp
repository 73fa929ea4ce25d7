// Whole runs against the in-memory system: the sequence from the logs to
// the summary, the root's removal, privileges and missing entry points,
// interruption, dry runs beside real ones, and the retry budget.
#include <algorithm>
#include <set>

#include "expected_output.h"
#include "fixture.h"

namespace {

class Run : public FakeSystemTest {};

const std::string banner = expected::banner;

std::string settings_block(const char* subdirectories, const std::string& options = "") {
    return std::string("Source                    : /root\r\n") +
           "SubDirectories            : " + subdirectories + "\r\n"
           "Silent                    : No\r\n"
           "StopAtFirstError          : No\r\n"
           "IgnoreErrors              : No\r\n" +
           expected::given_option_lines(options) + "-------------------------------------------\r\n";
}

std::vector<std::u16string> words(const std::string& text) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    for (std::size_t end; start < text.size(); start = end + 1) {
        end = std::min(text.find(' ', start), text.size());
        parts.emplace_back(text.begin() + start, text.begin() + end);
    }
    return parts;
}

std::string entry_lines(const std::string& text) { return expected::lines_of(text, {"DIR  ", "FILE "}); }

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

// A privilege the account does not hold (a console that is not elevated,
// a user without capabilities) is said to be missing, and the run goes on.
TEST_F(Run, PrivilegesNotHeldAreSaidAndTheRunGoesOn) {
    struct Row {
        std::vector<std::string> not_held;
        std::u16string options;
        std::string console;
    };
    const std::vector<std::string>& all = expected::all_privileges;
    std::string backup_missing = expected::privileges_not_held({"SeBackupPrivilege"});
    for (const Row& row : {Row{{"SeBackupPrivilege"}, u"/SubDirectories", backup_missing},
                           Row{all, u"/SubDirectories", expected::privileges_not_held(all)}, Row{all, u"/Silent", ""}}) {
        SetUp();
        fake::add_file(u"/root/f");
        fake::system.not_held = std::set<std::string>(row.not_held.begin(), row.not_held.end());
        EXPECT_EQ(run({u"/Dir:/root", row.options}), 0);
        std::string output = console();
        std::size_t start = output.find("Try to set"), end = output.find("-----", start);
        EXPECT_EQ(start == std::string::npos ? "" : output.substr(start, end - start), row.console);
        EXPECT_FALSE(fake::exists(u"/root"));
        EXPECT_EQ(fake::system.enabled_privileges.size(), 3 - row.not_held.size());
    }
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

// root: f1 (read-only), big, link (to a directory), sub/{f2, closed/f3}, z
void build_tree_for_a_dry_run() {
    using scythe::platform::attribute_read_only;
    fake::add_file(u"/root/f1", 10, attribute_read_only);
    fake::add_file(u"/root/big", 5ull << 30);
    fake::add_directory(u"/root/link", scythe::platform::attribute_reparse_point);
    fake::add_directory(u"/root/sub", attribute_read_only);
    fake::add_file(u"/root/sub/f2", 2048);
    fake::add_directory(u"/root/sub/closed");
    fake::add_file(u"/root/sub/closed/f3");
    fake::add_file(u"/root/z", 1023);
    fake::system.fail_open[u"/root/sub/closed"] = 5;
}

// For each set of options, a dry run changes nothing and writes the DIR
// and FILE lines of the real run that follows it.
TEST_F(Run, DryRunListsWhatTheRunWouldAndChangesNothing) {
    for (std::string options : {"/SubDirectories /IgnoreErrors", "/SubDirectories", "/SubDirectories /StopAtFirstError",
                                "/IgnoreErrors", "/SubDirectories /IgnoreErrors /StopAtFirstError"}) {
        SetUp();
        build_tree_for_a_dry_run();
        auto before = fake::system.nodes;
        std::vector<std::u16string> arguments = words(options + " /Dir:/root /Log:dry.log");
        arguments.push_back(u"/WhatIf");
        int dry_errors = run(arguments);
        EXPECT_EQ(dry_errors, options.find("/SubDirectories") != std::string::npos ? 1 : 0) << options;
        std::string dry = file(u"dry.log");
        EXPECT_EQ(fake::system.nodes.size(), before.size()) << options;
        for (const auto& [path, node] : before)
            EXPECT_EQ(fake::system.nodes[path].attributes, node.attributes) << options;
        EXPECT_TRUE(fake::system.deletion_forms.empty()) << options;

        EXPECT_GE(run(words(options + " /Dir:/root /Log:real.log")), dry_errors) << options;
        EXPECT_EQ(entry_lines(dry), entry_lines(file(u"real.log"))) << options;
    }
}

TEST_F(Run, DryRunTellsTheSizeOfWhatItListed) {
    build_tree_for_a_dry_run();
    EXPECT_EQ(run({u"/Dir:/root", u"/SubDirectories", u"/IgnoreErrors", u"/WhatIf", u"/Silent", u"/Log:run.log"}), 1);
    std::string log = file(u"run.log");
    EXPECT_NE(log.find("IgnoreErrors              : Yes\r\nWhatIf                    : Yes\r\n---"), std::string::npos);
    // 5 GiB + 10 + 2048 + 1023 bytes, in whole KiB.
    EXPECT_NE(log.find("Files          : 4\r\nSize           : 5242883 KB\r\nErrors         : 1\r\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("ERR  000001: /root/sub/closed: Access is denied. at CreateFile(DIR) (5)\r\n"), std::string::npos);
}

TEST_F(Run, RetryTimeSetsEachItemsWaitsAndTheRunsSixItemsWorth) {
    for (const auto& [option, item_waits] : std::vector<std::pair<std::u16string, unsigned>>{
             {u"/RetryFor:0", 0}, {u"/RetryFor:2", 2000}, {u"/Silent", 500}}) {  // the last: the default
        SetUp();
        fake::system.transient_errors = {32};
        for (int i = 0; i < 8; ++i) {
            std::u16string name = u"/root/held" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            fake::add_file(name);
            fake::system.fail_delete[name] = 32;
        }
        EXPECT_EQ(run({u"/Dir:/root", u"/Silent", u"/IgnoreErrors", option}), 8 + 2);
        unsigned waited = 0;
        for (unsigned pause : fake::system.pauses) {
            EXPECT_LE(pause, 250u);  // a console line waits no longer
            waited += pause;
        }
        EXPECT_EQ(waited, 6 * item_waits);  // six of the eight waited out
        if (item_waits) {
            EXPECT_EQ(fake::system.pauses.front(), 2u);
        }
    }
}

// Every channel in UTF-8, from the first line on, the header saying so.
TEST_F(Run, UnicodeWritesEveryChannelInUtf8) {
    fake::add_file(u"/root/\u041f\u00e9");
    fake::system.utf8_files_begin_with_mark = true;
    EXPECT_EQ(run({u"caf\u00e9", u"/Dir:/root", u"/Log:run.log", u"/ErrorLog:error.log", u"/unicode"}), 0);
    std::string line = "FILE 000001: /root/\xd0\x9f\xc3\xa9 (0 KB)\r\n";
    EXPECT_EQ(console(), "Ignoring parameter CAF\xc3\xa9\r\n" + banner + settings_block("No", "/Unicode") + privileges +
                             "-------------------------------------------\r\nDIR  000001: /root\r\n" + line +
                             summary(1, 1, 0));
    EXPECT_EQ(file(u"run.log").substr(0, 3 + 7), "\xEF\xBB\xBFSource ");
    EXPECT_NE(file(u"run.log").find("Unicode                   : Yes\r\n---"), std::string::npos);
    EXPECT_NE(file(u"run.log").find(line), std::string::npos);
    EXPECT_EQ(file(u"error.log"), "");
}
