// The report: ERR lines in their Win32 and native forms, the header and
// summary on the console and in the run log, logs that cannot be created or
// written, and what silent leaves out.
#include "report/blocks.h"
#include "report/errors.h"
#include "report/status.h"

#include "fixture.h"

#include "expected_output.h"

namespace {

class Reporting : public FakeSystemTest {
protected:
    void open_both_logs() {
        settings.run_log_path = u"run.log";
        settings.error_log_path = u"error.log";
        ASSERT_EQ(report.open_logs(settings), 1);
    }

    void report_win32_error(const std::u16string& path, std::string_view label, std::uint32_t code) {
        scythe::report_win32_error(report, path, label, code);
    }
};

}  // namespace

TEST_F(Reporting, Win32LineCarriesTheFirstLineOfTheSystemText) {
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    report_win32_error(u"/root/b", "RemoveDirectory()", 1234);
    EXPECT_EQ(console(),
              "ERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n"
              "ERR  000002: /root/b: First line of the text. at RemoveDirectory() (1234)\r\n");
    EXPECT_EQ(counters.errors, 2);
}

TEST_F(Reporting, MissingSystemTextReadsUnknownError) {
    report_win32_error(u"/root/a", "DeleteFile()", 999);
    EXPECT_EQ(console(), "ERR  000001: /root/a: Unknown error 999 at DeleteFile() (999)\r\n");
}

TEST_F(Reporting, NativeLineShowsStatusInHexAndTheMappedCode) {
    scythe::report_native_status(report, u"/root", "NtQueryDirectoryFile()", static_cast<std::int32_t>(0xC0000022u));
    EXPECT_EQ(console(), "ERR  000001: /root: Access is denied. at NtQueryDirectoryFile() (NT:0xC0000022,DOS:5)\r\n");
}

TEST_F(Reporting, NegativeCodesPrintAsSignedDecimal) {
    report_win32_error(u"/root", "DeleteFile()", 0xFFFFFFFFu);
    EXPECT_EQ(console(), "ERR  000001: /root: Unknown error -1 at DeleteFile() (-1)\r\n");
}

TEST_F(Reporting, BothLogsGetIdenticalLinesAndTheErrorLogIsFlushedAtOnce) {
    open_both_logs();
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    // The error log has the line before any flush of the buffered channels.
    EXPECT_EQ(fake::system.files[u"error.log"], "ERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n");
    EXPECT_EQ(file(u"run.log"), file(u"error.log"));
    EXPECT_EQ(console(), file(u"error.log"));
}

TEST_F(Reporting, SilentKeepsTheConsoleEmptyButTheLogsComplete) {
    settings.silent = true;
    open_both_logs();
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    report_win32_error(u"/root/b", "DeleteFile()", 2);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(file(u"error.log"),
              "ERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n"
              "ERR  000002: /root/b: The system cannot find the file specified. at DeleteFile() (2)\r\n");
    EXPECT_EQ(file(u"run.log"), file(u"error.log"));
}

TEST_F(Reporting, TheCounterIsRaisedBeforeTheLineIsWritten) {
    counters.errors = 41;
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    EXPECT_EQ(console(), "ERR  000042: /root/a: Access is denied. at DeleteFile() (5)\r\n");
}

TEST_F(Reporting, HeaderOnConsoleAndInTheRunLog) {
    settings.run_log_path = u"run.log";
    settings.descend_into_subdirectories = true;
    settings.ignore_errors = true;
    ASSERT_EQ(report.open_logs(settings), 1);
    scythe::write_header(report, settings);
    const std::string settings_block =
        "Source                    : /root\r\n"
        "SubDirectories            : Yes\r\n"
        "Silent                    : No\r\n"
        "StopAtFirstError          : No\r\n"
        "IgnoreErrors              : Yes\r\n"
        "-------------------------------------------\r\n";
    EXPECT_EQ(console(), expected::banner + settings_block);
    EXPECT_EQ(file(u"run.log"), settings_block);
}

TEST_F(Reporting, SilentHeaderGoesToTheRunLogOnly) {
    settings.run_log_path = u"run.log";
    settings.silent = true;
    ASSERT_EQ(report.open_logs(settings), 1);
    scythe::write_header(report, settings);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(file(u"run.log"),
              "Source                    : /root\r\n"
              "SubDirectories            : No\r\n"
              "Silent                    : Yes\r\n"
              "StopAtFirstError          : No\r\n"
              "IgnoreErrors              : No\r\n"
              "-------------------------------------------\r\n");
}

TEST_F(Reporting, SummaryOnConsoleHasAnEmptyLineBeforeTheElapsedTime) {
    settings.run_log_path = u"run.log";
    ASSERT_EQ(report.open_logs(settings), 1);
    counters = {12, 345, 6};
    scythe::write_summary(report, settings, 3725);
    EXPECT_EQ(console(),
              "\r\n-------------------------------------------\r\n"
              "Directories    : 12\r\nFiles          : 345\r\nErrors         : 6\r\n"
              "\r\nElapsed time   : 01:02:05\r\n");
    EXPECT_EQ(file(u"run.log"),
              "\r\n-------------------------------------------\r\n"
              "Directories    : 12\r\nFiles          : 345\r\nErrors         : 6\r\n"
              "Elapsed time   : 01:02:05\r\n");
}

TEST_F(Reporting, LogsThatCannotBeCreatedAreNamedAsTyped) {
    settings.run_log_path = u"";
    EXPECT_EQ(report.open_logs(settings), 0);
    EXPECT_EQ(console(), "Cannot open logfile  for writing.\r\n");

    fake::system.console.clear();
    report.close_logs();
    settings.run_log_path = u"run.log";
    settings.error_log_path = u"bad\u00e9.log";
    fake::system.uncreatable.insert(u"bad\u00e9.log");
    EXPECT_EQ(report.open_logs(settings), 0);
    EXPECT_EQ(console(), "Cannot open error-logfile bad\xc3\xa9.log for writing.\r\n");
    EXPECT_TRUE(report.run_log_open());
}

TEST_F(Reporting, OneFileForBothLogsIsWrittenOnceAsTheRunLog) {
    settings.run_log_path = u"both.log";
    settings.error_log_path = u"both.log";
    ASSERT_EQ(report.open_logs(settings), 1);
    report.write_run_log(u"DIR  000001: /root\n");
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    // Flushed with the ERR line, as an error log would be.
    EXPECT_EQ(fake::system.files[u"both.log"],
              "DIR  000001: /root\r\nERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n");
    report.close_logs();
    EXPECT_EQ(fake::system.closed_files, (std::vector<std::u16string>{u"both.log"}));  // opened once
}

// Nothing a log held is lost: the run log's part opens with an empty line
// and its header says when and how the run began; the error log's first
// ERR line follows the start. Only a file without text gets the mark.
TEST_F(Reporting, AppendedLogsKeepWhatTheyHeldAndDateTheRun) {
    fake::system.files = {{u"run.log", "old run\r\n"}};
    fake::system.local_time = {2027, 1, 2, 3, 4, 5, -330};
    fake::system.utf8_files_begin_with_mark = true;
    report.use_utf8();
    settings.unicode = settings.append_run_log = settings.append_error_log = true;
    settings.command_line = u"/Dir:/root '/Log+:run log'";
    open_both_logs();
    scythe::write_header(report, settings);
    report_win32_error(u"/root/a", "DeleteFile()", 5);
    report_win32_error(u"/root/b", "DeleteFile()", 5);
    std::string started = "Started                   : 2027-01-02T03:04:05-05:30\r\n";
    std::string errors = "ERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n"
                         "ERR  000002: /root/b: Access is denied. at DeleteFile() (5)\r\n";
    EXPECT_EQ(file(u"run.log"), "old run\r\n\r\nSource                    : /root\r\n"
                                "SubDirectories            : No\r\nSilent                    : No\r\n"
                                "StopAtFirstError          : No\r\nIgnoreErrors              : No\r\n"
                                "Unicode                   : Yes\r\n" +
                                    started + "Command line              : /Dir:/root '/Log+:run log'\r\n" +
                                    "-------------------------------------------\r\n" + errors);
    EXPECT_EQ(file(u"error.log"), "\xEF\xBB\xBF" + started + errors);
}

// The file both logs name is appended to where either log asks for that,
// though the other would empty it.
TEST_F(Reporting, OneFileForBothLogsIsAppendedToWhereEitherLogAsks) {
    for (auto [run_appends, error_appends] : {std::pair{false, true}, {true, false}, {true, true}}) {
        fake::system.files = {{u"both.log", "old\r\n"}};
        scythe::RunSettings both;
        both.run_log_path = both.error_log_path = u"both.log";
        both.append_run_log = run_appends;
        both.append_error_log = error_appends;
        {
            scythe::Report one;
            ASSERT_EQ(one.open_logs(both), 1);
            scythe::report_win32_error(one, u"/root/a", "DeleteFile()", 5);
        }
        EXPECT_EQ(fake::system.files[u"both.log"], "old\r\n\r\nERR  000001: /root/a: Access is denied. at DeleteFile() (5)\r\n")
            << run_appends << error_appends;
    }
}

TEST_F(Reporting, ALogThatCannotBeWrittenIsReportedOnceAndCounted) {
    open_both_logs();
    fake::system.fail_write[u"run.log"] = 112;
    report.write_run_log(u"DIR  000001: /root\n");
    report.flush_logs();
    report.write_run_log(u"DIR  000002: /root/a\n");
    report.flush_logs();
    std::string line = "ERR  000001: run.log: Unknown error 112 at WriteFile() (112)\r\n";
    EXPECT_EQ(console(), line);
    EXPECT_EQ(file(u"error.log"), line);
    EXPECT_EQ(counters.errors, 1);
}

TEST_F(Reporting, ConsoleLinesWaitNoLongerThanAQuarterSecond) {
    report.write_console(u"first\n");
    EXPECT_EQ(fake::system.console, "");  // buffered
    fake::system.milliseconds += 249;
    report.write_console(u"second\n");
    EXPECT_EQ(fake::system.console, "");
    fake::system.milliseconds += 1;
    report.write_console(u"third\n");
    EXPECT_EQ(fake::system.console, "first\r\nsecond\r\nthird\r\n");
    // With no line following, the walk's passing over entries pushes it out.
    report.write_console(u"fourth\n");
    fake::system.milliseconds += 249;
    report.keep_console_current();
    EXPECT_EQ(fake::system.console, "first\r\nsecond\r\nthird\r\n");
    fake::system.milliseconds += 1;
    report.keep_console_current();
    EXPECT_EQ(fake::system.console, "first\r\nsecond\r\nthird\r\nfourth\r\n");
}

TEST_F(Reporting, ALogThatIsTheConsolesFileIsRefusedUnlessSilent) {
    fake::system.console_redirected_to = u"out.txt";
    settings.run_log_path = u"out.txt";
    EXPECT_EQ(report.open_logs(settings), 0);
    EXPECT_EQ(console(), "Cannot open logfile out.txt for writing.\r\n");
    EXPECT_EQ(fake::system.closed_files, std::vector<std::u16string>{u"out.txt"});
    fake::system.console.clear();
    report.close_logs();
    settings.silent = true;  // the log alone writes there
    EXPECT_EQ(report.open_logs(settings), 1);
    EXPECT_EQ(console(), "");
}

TEST(StatusText, CountsSizeAndTimeInOneLineOfAtMost79Columns) {
    struct Row {
        scythe::Counters counts;
        bool what_if;
        std::uint64_t milliseconds;
        std::u16string text;
    };
    std::vector<Row> rows{
        {{2, 5, 1, 0, 1536, false}, false, 65999, u"2 directories  5 files  1 errors  1.5 KB deleted  00:01:05"},
        // Not every size known: none shown.
        {{1, 9, 0, 0, 5ull << 30, true}, false, 3725000, u"1 directories  9 files  0 errors  01:02:05"},
        {{1, 1, 0, 1023, 0, false}, true, 0, u"1 directories  1 files  0 errors  1023 B listed  00:00:00"},
        {{2147483647, 2147483647, 2147483647, 0, ~0ull, false}, false, 360000000,
         u"2147483647 directories  2147483647 files  2147483647 errors  15.9 EB deleted  1"},
    };
    for (const Row& row : rows) EXPECT_EQ(scythe::status_text(row.counts, row.what_if, row.milliseconds), row.text);
}

// On a fake clock: drawn at once, then no more than once a quarter second,
// with the counts and the time as they stand; erased (spaces over its
// widest drawing) before any other console text, never written to a log.
TEST_F(Reporting, TheStatusLineFollowsTheCountsEveryQuarterSecondAndGivesWayToLines) {
    settings.run_log_path = u"run.log";
    ASSERT_EQ(report.open_logs(settings), 1);
    fake::system.milliseconds = 5000;
    {
        scythe::StatusLine line(report, false);
        counters.files = 3;
        fake::system.milliseconds += 100;
        EXPECT_EQ(line.tick(), 150u);
        counters.deleted_bytes = 2048;
        fake::system.milliseconds += 150;
        EXPECT_EQ(line.tick(), 250u);
        report.write_walk_line(u"DIR  000001: /root\n");
        counters.directories = 1;
        fake::system.milliseconds += 1000;
        EXPECT_EQ(line.tick(), 250u);
    }
    std::string second = "0 directories  3 files  0 errors  2.0 KB deleted  00:00:00";
    std::string third = "1 directories  3 files  0 errors  2.0 KB deleted  00:00:01";
    EXPECT_EQ(console(), expected::first_status + ("\r" + second) + expected::erased_status(second.size()) +
                             "DIR  000001: /root\r\n\r" + third + expected::erased_status(third.size()));
    EXPECT_EQ(file(u"run.log"), "DIR  000001: /root\r\n");
}

// The console fills up and the interruption comes while it waits: both
// logs hold every line written before it once the console's grace begins,
// and the console then gets what it still takes.
TEST_F(Reporting, TheLogsAreWrittenOutBeforeTheConsolesGraceBegins) {
    open_both_logs();
    fake::system.console_room = 20;
    fake::system.on_console_full = [] { fake::system.interrupted = true; };
    report.write_walk_line(u"FILE 000001: /root/a (0 KB)\n");
    report_win32_error(u"/root/b", "DeleteFile()", 5);
    fake::system.milliseconds += 250;
    report.write_console(u"due\n");
    ASSERT_TRUE(fake::system.output_grace_began_with);
    std::string error = "ERR  000001: /root/b: Access is denied. at DeleteFile() (5)\r\n";
    EXPECT_EQ((*fake::system.output_grace_began_with)[u"run.log"], "FILE 000001: /root/a (0 KB)\r\n" + error);
    EXPECT_EQ((*fake::system.output_grace_began_with)[u"error.log"], error);
    EXPECT_EQ(fake::system.console, "FILE 000001: /root/a");
}
