#include "app/command_line.h"

#include "expected_output.h"
#include "fixture.h"

using scythe::check_posix_path;
using scythe::check_windows_path;
using scythe::settings;

namespace {

class CommandLine : public FakeSystemTest {
protected:
    static void parse(std::vector<std::u16string> arguments) {
        arguments.insert(arguments.begin(), u"scythe");
        scythe::parse_arguments(arguments);
    }
};

const char* const unknown_kind = "Source path nor local neither UNC path, cannot identify long path prefix.";

}  // namespace

TEST_F(CommandLine, KeysMatchInAnyCaseAndValuesKeepTheirCase) {
    parse({u"/dir:/Some/Path", u"/lOg:Run.Log", u"/errorLOG:Err.Log", u"/subdirectories", u"/Silent",
           u"/stopatfirsterror", u"/IGNOREERRORS"});
    EXPECT_EQ(settings.source_path, u"/Some/Path");
    EXPECT_EQ(settings.run_log_path, u"Run.Log");
    EXPECT_EQ(settings.error_log_path, u"Err.Log");
    EXPECT_TRUE(settings.descend_into_subdirectories);
    EXPECT_TRUE(settings.silent);
    EXPECT_TRUE(settings.stop_at_first_error);
    EXPECT_TRUE(settings.ignore_errors);
    EXPECT_EQ(console(), "");
}

TEST_F(CommandLine, FlagsMatchOnTheirPrefixAndValuesKeepTheLastOne) {
    parse({u"/SILENTLY", u"/Dir:/a", u"/Dir:/b", u"/SubDirectoriesPlease"});
    EXPECT_TRUE(settings.silent);
    EXPECT_TRUE(settings.descend_into_subdirectories);
    EXPECT_FALSE(settings.ignore_errors);
    EXPECT_EQ(settings.source_path, u"/b");
}

TEST_F(CommandLine, ArgumentsWithoutSlashAreIgnoredAloudEvenWhenSilent) {
    parse({u"/Silent", u"hello", u"/Verbose", u"wOrld\u00e9"});
    EXPECT_EQ(console(), "Ignoring parameter HELLO\r\nIgnoring parameter WORLD\xe9\r\n");
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
    EXPECT_EQ(run({u"/Dir:x"}), -1);
    EXPECT_EQ(console(), "Delete path too short (2 char minimum).\r\n");
    fake::system.console.clear();
    EXPECT_EQ(run({u"/Dir:folder/sub"}), -1);
    EXPECT_EQ(console(), unknown_kind);
    EXPECT_TRUE(fake::system.files.empty());
}

TEST(WindowsPath, LocalPathGetsTheLongPathPrefix) {
    EXPECT_EQ(check_windows_path(u"C:").rooted_path, u"\\\\?\\C:");
    EXPECT_EQ(check_windows_path(u"c:\\Data\\Old").rooted_path, u"\\\\?\\c:\\Data\\Old");
    // Only the second unit decides; the first is not examined.
    EXPECT_EQ(check_windows_path(u"9:/x").rooted_path, u"\\\\?\\9:/x");
}

TEST(WindowsPath, NetworkPathGetsTheUncPrefix) {
    EXPECT_EQ(check_windows_path(u"\\\\server\\share\\dir").rooted_path, u"\\\\?\\UNC\\server\\share\\dir");
}

TEST(WindowsPath, TrailingBackslashesAreDroppedButADriveRootKeepsOne) {
    EXPECT_EQ(check_windows_path(u"C:\\tmp\\tree\\").rooted_path, u"\\\\?\\C:\\tmp\\tree");
    EXPECT_EQ(check_windows_path(u"C:\\tmp\\\\\\").rooted_path, u"\\\\?\\C:\\tmp");
    EXPECT_EQ(check_windows_path(u"C:\\").rooted_path, u"\\\\?\\C:\\");
    EXPECT_EQ(check_windows_path(u"C:\\\\").rooted_path, u"\\\\?\\C:\\");
    EXPECT_EQ(check_windows_path(u"\\\\server\\share\\").rooted_path, u"\\\\?\\UNC\\server\\share");
}

TEST(WindowsPath, OtherPathsAreRefused) {
    EXPECT_STREQ(check_windows_path(u"folder\\sub").failure, unknown_kind);
    EXPECT_STREQ(check_windows_path(u"/tmp/x").failure, unknown_kind);
}

TEST(PosixPath, AbsolutePathIsItsOwnRootedPath) {
    scythe::PathCheck check = check_posix_path(u"/tmp/tree/");
    EXPECT_EQ(check.failure, nullptr);
    EXPECT_EQ(check.rooted_path, u"/tmp/tree/");
    EXPECT_EQ(check_posix_path(u"/tmp/../srv").rooted_path, u"/tmp/../srv");
}

TEST(PosixPath, RelativePathIsRefused) {
    EXPECT_STREQ(check_posix_path(u"tmp/tree").failure, unknown_kind);
    EXPECT_STREQ(check_posix_path(u"./tree").failure, unknown_kind);
    EXPECT_STREQ(check_posix_path(u"C:\\tree").failure, unknown_kind);
}

TEST(PosixPath, TheFileSystemRootIsRefused) {
    for (const char16_t* root : {u"//", u"/.", u"/..", u"/tmp/..", u"/a/b/../../", u"/../..", u"///./"}) {
        scythe::PathCheck check = check_posix_path(root);
        ASSERT_NE(check.failure, nullptr) << "accepted a root path";
        EXPECT_STREQ(check.failure, "Source path is the file-system root, refusing to delete it.\n");
    }
    EXPECT_EQ(check_posix_path(u"/a/b/../").failure, nullptr);
}
