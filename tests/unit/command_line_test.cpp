// Reading the command line against the in-memory system: keys in any case
// and on their prefix, help and version, ignored and fatal arguments, and
// the source path made a rooted path (Windows and POSIX forms) or refused.
#include "app/command_line.h"

#include <cstring>
#include <functional>

#include "expected_output.h"
#include "fixture.h"

namespace {

class CommandLine : public FakeSystemTest {
protected:
    // Every argument given here is taken.
    void parse(std::vector<std::u16string> arguments) {
        arguments.insert(arguments.begin(), u"scythe");
        EXPECT_EQ(scythe::parse_arguments(arguments, settings, report), 1) << console();
    }
};

using expected::climbs;
using expected::drive_root;
using expected::ends_in_dots;
using expected::file_system_root;
using expected::no_working_directory;
using expected::share_root;
using expected::unknown_kind;

}  // namespace

TEST_F(CommandLine, KeysMatchInAnyCaseAndValuesKeepTheirCase) {
    parse({u"/dir:/Some/Path", u"/lOg:Run.Log", u"/errorLOG:Err.Log", u"/subdirectories", u"/Silent",
           u"/stopatfirsterror", u"/IGNOREERRORS", u"/keeproot", u"/WHATIF", u"/retryFor:0042", u"/unicode",
           u"/PROGRESS"});
    EXPECT_EQ(settings.source_path, u"/Some/Path");
    EXPECT_EQ(settings.run_log_path, u"Run.Log");
    EXPECT_EQ(settings.error_log_path, u"Err.Log");
    EXPECT_TRUE(settings.descend_into_subdirectories);
    EXPECT_TRUE(settings.silent);
    EXPECT_TRUE(settings.stop_at_first_error);
    EXPECT_TRUE(settings.ignore_errors);
    EXPECT_TRUE(settings.keep_root);
    EXPECT_TRUE(settings.what_if);
    EXPECT_EQ(settings.retry_for_seconds, 42u);
    EXPECT_TRUE(settings.unicode);
    EXPECT_TRUE(settings.progress);
    EXPECT_EQ(console(), "");
}

// The command line an appended log shows reads back as a shell would split it.
TEST_F(CommandLine, NewerOptionsMatchOnTheirPrefixFollowedByLetters) {
    parse({u"/KeepRootPlease", u"/WhatIfNothing", u"/RetryFor:3600", u"/UnicodeText", u"/Progressive",
           u"/log+:It's", u"/ERRORLOG+:e f", u"/IfExistsAtAll", u"x\ny"});
    EXPECT_TRUE(settings.keep_root);
    EXPECT_TRUE(settings.what_if);
    EXPECT_TRUE(settings.unicode);
    EXPECT_TRUE(settings.progress);
    EXPECT_EQ(settings.retry_for_seconds, 3600u);
    EXPECT_EQ(settings.run_log_path, u"It's");
    EXPECT_EQ(settings.error_log_path, u"e f");
    EXPECT_TRUE(settings.append_run_log && settings.append_error_log && settings.if_exists);
    EXPECT_EQ(settings.command_line, u"/KeepRootPlease /WhatIfNothing /RetryFor:3600 /UnicodeText /Progressive "
                                     u"'/log+:It'\\''s' '/ERRORLOG+:e f' /IfExistsAtAll 'x<U+000A>y'");
    settings = {};
    parse({u"/RetryFor:0", u"/Log:r", u"/ErrorLog:e"});
    EXPECT_EQ(settings.retry_for_seconds, 0u);
    EXPECT_FALSE(settings.keep_root);
    EXPECT_FALSE(settings.what_if);
    EXPECT_FALSE(settings.unicode);
    EXPECT_FALSE(settings.progress);
    EXPECT_FALSE(settings.append_run_log || settings.append_error_log || settings.if_exists);
}

// Help and version are answered whatever else is given, help first.
TEST_F(CommandLine, HelpAndVersionWinOverEverythingElse) {
    std::vector<std::pair<std::string, std::string>> rows;
    const std::string help = expected::help(false);
    for (const char* asked : expected::help_arguments) rows.emplace_back(asked, help);
    for (const char* asked : expected::posix_help_arguments) rows.emplace_back(asked, help);
    for (const char* version : expected::version_arguments) rows.emplace_back(version, expected::version);
    for (const char* version : expected::posix_version_arguments) rows.emplace_back(version, expected::version);
    rows.emplace_back("/Version /?", help);
    for (const auto& [arguments, output] : rows) {
        fake::system.console.clear();
        std::vector<std::u16string> line{u"/Dir:/root", u"/SubDirectories", u"/RetryFor:x", u"/Log:run.log"};
        std::size_t start = 0;
        for (std::size_t end; (end = arguments.find(' ', start)) != std::string::npos; start = end + 1)
            line.emplace_back(arguments.begin() + start, arguments.begin() + end);
        line.emplace_back(arguments.begin() + start, arguments.end());
        EXPECT_EQ(run(line), 0) << arguments;
        EXPECT_EQ(console(), output) << arguments;
        EXPECT_TRUE(fake::exists(u"/root")) << arguments;
        EXPECT_TRUE(fake::system.files.empty()) << arguments;
        EXPECT_TRUE(fake::system.enabled_privileges.empty()) << arguments;
    }
}

// Whatever else is given, and wherever it stands: nothing is opened or
// created, no privilege is asked for. The dash forms of help and version
// are only taken as typed.
TEST_F(CommandLine, ArgumentsThatLookLikeOptionsButAreNoneStopTheRun) {
    fake::add_directory(u"/root/-old");
    fake::system.working_directory = u"/root";
    std::vector<std::pair<std::vector<std::u16string>, std::string>> rows{
        {{u"/Dir:/root", u"/Log", u"/x/run.log"}, expected::unknown_value_option("/Log", "/Log:/x/run.log")},
        {{u"/Dir:/root", u"/threads=4"}, expected::unknown_value_option("/threads=4", "/Threads:4")},
        {{u"/Dir:/root", u"/ErrorLog", u"/WhatIf"},
         expected::unknown_value_option("/ErrorLog", "/ErrorLog:<Logfile path and name>")},
        {{u"/Dir:/root/a", u"/dir:/root/b"}, expected::given_twice("/Dir:")},
        {{u"/RetryFor:1", u"/Dir:/root", u"/RETRYFOR:2"}, expected::given_twice("/RetryFor:")},
        {{u"/Dir:/root", u"/threads:3", u"/THREADS:x"}, expected::given_twice("/Threads:")},
        {{u"/Dir:/root", u"/Log:a", u"/log+:b"}, expected::given_twice("/Log+:", "/Log:")},
        {{u"/LOG+:a", u"/Dir:/root", u"/Log+:a"}, expected::given_twice("/Log+:")},
        {{u"/ErrorLog+:a", u"/Dir:/root", u"/ErrorLog:a"}, expected::given_twice("/ErrorLog:", "/ErrorLog+:")},
        {{u"/Dir:/root", u"/Log+", u"run.log"}, expected::unknown_value_option("/Log+", "/Log+:run.log")},
        {{u"/Dir:/root", u"\u2013WhatIf"}, "Unknown option \xE2\x80\x93WhatIf, aborting.\r\n"},
        {{u"/Dir:/root", u"\u2212WhatIf"}, "Unknown option \xE2\x88\x92WhatIf, aborting.\r\n"},
        {{u"/Dir:/root", u"\uFF0FWhatIf"}, "Unknown option \xEF\xBC\x8FWhatIf, aborting.\r\n"},
        {{u"/Dir:/root", u"\u200B/WhatIf"}, expected::unknown_option("<U+200B>/WhatIf")},
        {{u"/Dir:/root", u"\uFEFF\u00A0WhatIf"}, expected::unknown_option("<U+FEFF><U+00A0>WhatIf")},
        {{u"hello", u"/Nope", u"/Dir:/root"}, "Ignoring parameter HELLO\r\n" + expected::unknown_option("/Nope")},
        {{u"/Threads:x", u"/Nope\n"}, expected::unknown_option("/Nope<U+000A>")},
        {{u"/root"}, expected::unknown_option("/root", true)},
        {{u"-old"}, expected::unknown_option("-old", true)},
        {{u"/root/missing"}, expected::unknown_option("/root/missing")},
    };
    for (const char* typed : {"--HELP", "-H", "--Version", "-help"})
        rows.push_back({{std::u16string(typed, typed + std::strlen(typed))}, expected::unknown_option(typed)});
    for (const char* typed : expected::unknown_options)
        rows.push_back({{u"/Dir:/root", std::u16string(typed, typed + std::strlen(typed)), u"/SubDirectories"},
                        expected::unknown_option(typed)});
    for (const auto& [arguments, message] : rows) {
        fake::system.console.clear();
        EXPECT_EQ(run(arguments), -1) << message;
        EXPECT_EQ(console(), message);
        EXPECT_TRUE(fake::exists(u"/root/-old")) << message;
        EXPECT_TRUE(fake::system.files.empty()) << message;
        EXPECT_TRUE(fake::system.looked_up.empty()) << message;
    }
}

TEST_F(CommandLine, RetryTimesThatAreNoWholeNumberOfSecondsUpToAnHourAreFatal) {
    for (const char* value : expected::bad_retry_times) {
        fake::add_file(u"/root/f");
        fake::system.console.clear();
        std::string option = std::string("/RetryFor:") + value;
        EXPECT_EQ(run({u"/Dir:/root", std::u16string(option.begin(), option.end())}), -1) << value;
        EXPECT_EQ(console(), expected::retry_refusal(value)) << value;
        EXPECT_TRUE(fake::exists(u"/root/f")) << value;
    }
}

TEST_F(CommandLine, FlagsMatchOnTheirPrefixFollowedByLettersAndMayBeRepeated) {
    parse({u"/SILENTLY", u"/Dir:/a", u"/SubDirectoriesPlease", u"/Silent"});
    EXPECT_TRUE(settings.silent);
    EXPECT_TRUE(settings.descend_into_subdirectories);
    EXPECT_FALSE(settings.ignore_errors);
    EXPECT_EQ(settings.source_path, u"/a");
}

// What a stray argument shows cannot drive a terminal or forge a line.
TEST_F(CommandLine, ArgumentsWithoutSlashOrDashAreIgnoredAloudEvenWhenSilent) {
    parse({u"/Silent", u"hello", u"wOrld\u00e9", u"x\x1b]0;T\a\nFAKE\u009B\u2028"});
    EXPECT_EQ(console(), "Ignoring parameter HELLO\r\nIgnoring parameter WORLD\xc3\xa9\r\n"
                         "Ignoring parameter X<U+001B>]0;T<U+0007><U+000A>FAKE<U+009B><U+2028>\r\n");
    EXPECT_FALSE(settings.source_path);
}

TEST_F(CommandLine, ArgumentsOfAnyLengthAreKeptWhole) {
    std::u16string long_path = u"/" + std::u16string(5000, u'x');
    parse({u"/Dir:" + long_path});
    EXPECT_EQ(settings.source_path, long_path);
}

TEST_F(CommandLine, UsageWithoutArguments) {
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(console(), expected::usage);
}

TEST_F(CommandLine, FatalPathMessages) {
    EXPECT_EQ(run({u"/Silent"}), -1);
    EXPECT_EQ(console(), "Need path to delete, aborting.\r\n");
    fake::system.console.clear();
    EXPECT_EQ(run({u"/Dir:"}), -1);
    EXPECT_EQ(console(), "Delete path too short (2 char minimum).\r\n");
    fake::system.console.clear();
    EXPECT_EQ(run({u"/Dir:/"}), -1);
    EXPECT_EQ(console(), "Delete path too short (2 char minimum).\r\n");
    fake::system.console.clear();
    fake::system.working_directory.clear();
    EXPECT_EQ(run({u"/Dir:folder/sub"}), -1);
    EXPECT_EQ(console(), no_working_directory);
    fake::system.console.clear();
    fake::system.working_directory = u"?";
    EXPECT_EQ(run({u"/Dir:folder/sub"}), -1);
    EXPECT_EQ(console(), expected::unreadable_working_directory);
    EXPECT_TRUE(fake::system.files.empty());
}

// A source path and the rooted path it gives, or the refusal it meets.
struct PathCase {
    const char16_t* source;
    const char16_t* rooted;  // null when refused
    const char* refusal = nullptr;
    const char16_t* opening = nullptr;  // where it is not the rooted path
};

// The message as the console shows it: its line end as CR LF.
std::string console_form(const char* message) {
    std::string text(message);
    if (text.ends_with('\n')) {
        text.pop_back();
        text += "\r\n";
    }
    return text;
}

void expect_paths(const std::function<scythe::PathCheck(std::u16string_view)>& check,
                  const std::vector<PathCase>& cases) {
    for (const PathCase& expected : cases) {
        scythe::PathCheck result = check(expected.source);
        std::string source(expected.source, expected.source + std::char_traits<char16_t>::length(expected.source));
        if (expected.rooted) {
            EXPECT_EQ(result.failure, nullptr) << source << ": " << result.failure;
            EXPECT_EQ(result.rooted_path, expected.rooted) << source;
            EXPECT_EQ(result.opening_path, expected.opening ? expected.opening : expected.rooted) << source;
        } else {
            ASSERT_NE(result.failure, nullptr) << source << " was accepted";
            EXPECT_EQ(console_form(result.failure), expected.refusal) << source;
        }
    }
}

TEST(WindowsPath, LocalAndNetworkPathsAreCleanedUpAsWindowsWouldThenPrefixed) {
    expect_paths(scythe::check_windows_path, {
        {u"c:\\Data\\Old", u"\\\\?\\c:\\Data\\Old"},
        {u"C:/tmp/tree", u"\\\\?\\C:\\tmp\\tree"},
        {u"9:/x", u"\\\\?\\9:\\x"},  // only the second unit tells a local path
        {u"C:\\tmp\\tree\\", u"\\\\?\\C:\\tmp\\tree"},
        {u"C:\\tmp\\\\\\", u"\\\\?\\C:\\tmp"},
        {u"C:\\a\\\\b\\.\\c\\..\\d", u"\\\\?\\C:\\a\\b\\d"},
        {u"C:\\a\\..\\b", u"\\\\?\\C:\\b"},
        {u"C:\\dots...\\space ", u"\\\\?\\C:\\dots...\\space "},  // real names under the prefix
        {u"\\\\server\\share\\dir", u"\\\\?\\UNC\\server\\share\\dir"},
        {u"//server/share/dir/", u"\\\\?\\UNC\\server\\share\\dir"},
        {u"\\\\server\\\\share\\\\dir", u"\\\\?\\UNC\\server\\share\\dir"},
        {u"\\\\?\\D:\\x\\y. ", u"\\\\?\\D:\\x\\y. "},
        {u"\\\\?\\UNC\\s\\sh\\x", u"\\\\?\\UNC\\s\\sh\\x"},
        {u"\\\\.\\D:\\x", u"\\\\?\\D:\\x"},
        {u"//?/Y:/tree", u"\\\\?\\Y:\\tree"},  // any other separators around "?" are cleaned up
        {u"\\\\?/D:/x/../y", u"\\\\?\\D:\\y"},
    });
}

TEST(WindowsPath, RootsDotsAndOtherKindsAreRefused) {
    expect_paths(scythe::check_windows_path, {
        {u"C:", nullptr, drive_root},
        {u"C:\\", nullptr, drive_root},
        {u"C:\\\\", nullptr, drive_root},
        {u"C:/", nullptr, drive_root},
        {u"\\\\?\\D:\\", nullptr, drive_root},
        {u"C:\\d\\..\\", nullptr, ends_in_dots},
        {u"C:\\d\\.", nullptr, ends_in_dots},
        {u"C:\\..\\x", nullptr, climbs},
        {u"\\\\server\\share", nullptr, share_root},
        {u"\\\\server\\share\\", nullptr, share_root},
        {u"\\\\server\\share\\..\\x", nullptr, climbs},
        {u"C:foo", nullptr, unknown_kind},  // relative to C:'s current directory
        {u"folder\\sub", nullptr, unknown_kind},
        {u"x\\server\\share", nullptr, unknown_kind},
        {u"\\\\server", nullptr, unknown_kind},
        {u"\\\\.\\PhysicalDrive0", nullptr, unknown_kind},
        {u"C:\\My Folder\" /WhatIf", nullptr, expected::quote_in_path},  // a batch line's trailing backslash
    });
}

// Relative paths are taken against the working directory "/work".
scythe::PathCheck check_posix_path_in_work(std::u16string_view source) {
    return scythe::check_posix_path(source, u"/work");
}

TEST(PosixPath, PathsLoseOnlyTheirTrailingSlashesAndRelativeOnesFollowTheWorkingDirectory) {
    expect_paths(check_posix_path_in_work, {
        {u"/tmp/tree/", u"/tmp/tree"},
        {u"/tmp/tree///", u"/tmp/tree"},
        {u"/tmp/../srv", u"/tmp/../srv"},
        {u"/tmp/x y. ", u"/tmp/x y. "},
        {u"tree//", u"/work/tree", nullptr, u"tree"},
        {u"t", u"/work/t", nullptr, u"t"},
        {u"./node_modules", u"/work/./node_modules", nullptr, u"./node_modules"},
        {u"../x/", u"/work/../x", nullptr, u"../x"},
        {u"C:\\tree", u"/work/C:\\tree", nullptr, u"C:\\tree"},
    });
    expect_paths([](std::u16string_view source) { return scythe::check_posix_path(source, u"/"); },
                 {{u"srv/old", u"/srv/old", nullptr, u"srv/old"}, {u"..", nullptr, file_system_root}});
    expect_paths([](std::u16string_view source) { return scythe::check_posix_path(source, u""); },
                 {{u"tree", nullptr, no_working_directory}, {u"/tmp/tree", u"/tmp/tree"}});
}

TEST(PosixPath, RootsAndDotsAreRefused) {
    expect_paths(check_posix_path_in_work, {
        {u"..", nullptr, file_system_root},
        {u"../..//", nullptr, file_system_root},
        {u"tree/..", nullptr, ends_in_dots},
        {u"./", nullptr, ends_in_dots},
        {u"//", nullptr, file_system_root},
        {u"/.", nullptr, file_system_root},
        {u"/..", nullptr, file_system_root},
        {u"/tmp/..", nullptr, file_system_root},
        {u"/a/b/../../", nullptr, file_system_root},
        {u"/../..", nullptr, file_system_root},
        {u"///./", nullptr, file_system_root},
        {u"/a/b/../", nullptr, ends_in_dots},
        {u"/x/.", nullptr, ends_in_dots},
        {u"/x/lnk/..", nullptr, ends_in_dots},
    });
}
