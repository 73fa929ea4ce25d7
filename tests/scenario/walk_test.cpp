// The deletion walk on real trees: lines written, what is left on disk.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <tuple>

#include "expected_output.h"
#include "harness.h"

using namespace scenario;

namespace {

class Walk : public Scenario {
protected:
    // The same failure on both builds: a read-only file that cannot be
    // changed, two levels below the root, with a sibling at every level.
    void build_tree_with_a_failure_two_levels_down() {
        fs::create_directories(path("tree/a/b"));
        write_file(path("tree/r1"));
        write_file(path("tree/a/a1"));
        write_file(path("tree/a/b/b1"));
        write_file(path("tree/a/b/bad"));
        fs::permissions(path("tree/a/b/bad"), fs::perms::owner_read | fs::perms::group_read);
        make_immutable("tree/a/b/bad");
    }

    void remove_tree() {
        std::system(("chattr -R -i '" + path("tree").string() + "' 2>/dev/null; chmod -R u+rwx '" +
                     path("tree").string() + "' 2>/dev/null; rm -rf '" + path("tree").string() + "'")
                        .c_str());
    }

    std::string err(int number, const std::string& relative, const std::string& message, const std::string& label) const {
        return "ERR  " + six_digits(number) + ": " + shown(relative) + ": " + message + " at " + label + "\r\n";
    }

    // The failure of the tree above: on Windows clearing read-only, then
    // the deletion; on POSIX, where a file's mode never stands in the way
    // and is never changed, the deletion only.
    std::string failure_lines() const {
        std::string denied = text("Operation not permitted", "Access denied.");
        std::string code = text("(1)", "(5)");
        std::string clearing = err(1, "a/b/bad", denied, "SetFileAttributes(remove read only attribute) " + code);
        return (target_->windows() ? clearing : "") + err(failures(), "a/b/bad", denied, "DeleteFile() " + code);
    }
    int failures() const { return target_->windows() ? 2 : 1; }

    std::string not_empty(int number, const std::string& relative, const std::string& label) const {
        return err(number, relative, text("Directory not empty", "Directory is not empty."),
                   label + text(" (39)", " (145)"));
    }

    // A mount point's removal refused.
    std::string busy(int number, const std::string& relative) const {
        return err(number, relative, text("Device or resource busy", "Resource in use."),
                   text("RemoveDirectory() (16)", "RemoveDirectory() (170)"));
    }

    static std::string six_digits(int number) {
        std::string digits = std::to_string(number);
        return std::string(6 - digits.size(), '0') + digits;
    }

    // The helper that holds a file open, built beside the Windows program.
    std::string hold_open_helper() const {
        return (fs::path(target_->program).parent_path() / "hold_open.exe").string();
    }

    std::vector<std::string> with_logs(std::vector<std::string> options) const {
        options.push_back("/Dir:" + argument("tree"));
        options.push_back("/Log:" + argument("run.log"));
        options.push_back("/ErrorLog:" + argument("error.log"));
        return options;
    }
    Result run_with_logs(std::vector<std::string> options, int uid = -1) { return run(with_logs(options), uid); }

    // The ERR lines of the run log are those of the error log, in order.
    void expect_logs_agree() {
        EXPECT_EQ(expected::lines_of(read_file(path("run.log")), {"ERR  "}), read_file(path("error.log")));
    }
};

// Builds a chain of directories through descriptors, so that its full
// path may exceed what one system call takes; with a file per level if wanted.
void build_chain(const fs::path& top, const std::string& component, int depth, const std::string& leaf_file,
                 bool file_per_level = false) {
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < depth; ++level) {
        if (file_per_level) ::close(openat(fd, "file", O_CREAT | O_WRONLY, 0644));
        mkdirat(fd, component.c_str(), 0755);
        int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(openat(fd, leaf_file.c_str(), O_CREAT | O_WRONLY, 0644));
    ::close(fd);
}

// The DIR, FILE and ERR lines of a log without their numbers, sorted, and
// the summary: what a run on several threads writes as one thread does.
std::pair<std::vector<std::string>, std::string> lines_and_summary(const std::string& log) {
    std::vector<std::string> lines;
    std::string numbered = expected::lines_of(log, {"DIR  ", "FILE ", "ERR  "});
    for (std::size_t start = 0, end; start < numbered.size(); start = end + 2) {
        end = numbered.find("\r\n", start);
        lines.push_back(numbered.substr(start, 5) + numbered.substr(start + 13, end - start - 13));
    }
    std::sort(lines.begin(), lines.end());
    return {lines, without_elapsed_digits(log.substr(log.rfind("\r\n\r\n") + 2))};
}

// The runs of a scenario: on one thread, and on four.
const char* const thread_rows[] = {"/Threads:1", "/Threads:4"};

}  // namespace

// On several threads the first failure stops the other walks, and the
// failure and the directories above it report as on one.
TEST_F(Walk, WithoutOptionsEveryAncestorFailsToRemoveItsChild) {
  for (const char* threads : thread_rows) {
    SCOPED_TRACE(threads);
    remove_tree();
    build_tree_with_a_failure_two_levels_down();
    if (IsSkipped()) return;
    Result result = run_with_logs({"/SubDirectories", "/Silent", threads});
    EXPECT_EQ(read_file(path("error.log")), failure_lines() + not_empty(failures() + 1, "a/b", "RemoveDirectory()") +
                                               not_empty(failures() + 2, "a", "RemoveDirectory()"));
    expect_logs_agree();
    EXPECT_EQ(result.exit_code, failures() + 2);
    EXPECT_TRUE(fs::exists(path("tree/a/b/bad")));
  }
}

TEST_F(Walk, StopAtFirstErrorWritesTheFailureOnly) {
  for (const char* threads : thread_rows) {
    SCOPED_TRACE(threads);
    remove_tree();
    build_tree_with_a_failure_two_levels_down();
    if (IsSkipped()) return;
    Result result = run_with_logs({"/SubDirectories", "/StopAtFirstError", threads});
    EXPECT_EQ(read_file(path("error.log")), failure_lines());
    expect_logs_agree();
    EXPECT_EQ(result.exit_code, failures());
    EXPECT_NE(result.output.find("Errors         : " + std::to_string(failures()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(path("tree/a/b")));
  }
}

TEST_F(Walk, IgnoreErrorsDeletesEverythingElse) {
    build_tree_with_a_failure_two_levels_down();
    if (IsSkipped()) return;
    Result result = run_with_logs({"/SubDirectories", "/IgnoreErrors", "/Silent"});
    EXPECT_EQ(read_file(path("error.log")), failure_lines() + not_empty(failures() + 1, "a/b", "RemoveDirectory()") +
                                               not_empty(failures() + 2, "a", "RemoveDirectory()") +
                                               not_empty(failures() + 3, "", "RemoveDirectory() failed"));
    expect_logs_agree();
    EXPECT_EQ(result.exit_code, failures() + 4);
    EXPECT_NE(without_elapsed_digits(read_file(path("run.log"))).find(log_summary(3, 4, failures() + 4)),
              std::string::npos);
    for (const char* gone : {"tree/r1", "tree/a/a1", "tree/a/b/b1"}) EXPECT_FALSE(fs::exists(path(gone))) << gone;
    EXPECT_TRUE(fs::exists(path("tree/a/b/bad")));
}

TEST_F(Walk, BothOptionsActAsIgnoreErrorsWhenEveryListingCompletes) {
    build_tree_with_a_failure_two_levels_down();
    if (IsSkipped()) return;
    Result result = run_with_logs({"/SubDirectories", "/IgnoreErrors", "/StopAtFirstError"});
    EXPECT_EQ(read_file(path("error.log")), failure_lines() + not_empty(failures() + 1, "a/b", "RemoveDirectory()") +
                                               not_empty(failures() + 2, "a", "RemoveDirectory()") +
                                               not_empty(failures() + 3, "", "RemoveDirectory() failed"));
    EXPECT_EQ(result.exit_code, failures() + 4);
    EXPECT_FALSE(fs::exists(path("tree/a/b/b1")));
}

TEST_F(Walk, ReadOnlyFilesAndDirectoriesAreDeleted) {
    fs::create_directories(path("tree/locked/inner"));
    write_file(path("tree/locked/inner/file"), "abc");
    write_file(path("tree/readonly"));
    fs::permissions(path("tree/readonly"), fs::perms::owner_read);
    fs::permissions(path("tree/locked/inner/file"), fs::perms::owner_read);
    fs::permissions(path("tree/locked/inner"), fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(path("tree/locked"), fs::perms::owner_read | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, WithoutSubdirectoriesOnlyTheRootsFilesGo) {
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/kept"));
    write_file(path("tree/gone"), std::string(2500, 'x'));
    Result result = run({"/Dir:" + argument("tree"), "/Log:" + argument("run.log")});
    EXPECT_EQ(without_elapsed_digits(read_file(path("run.log"))),
              log_header() + "DIR  000001: " + shown() + "\r\n" + "FILE 000001: " + shown("gone") + " (2 KB)\r\n" +
                  not_empty(1, "", "RemoveDirectory() failed") + log_summary(1, 1, 2));
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_TRUE(fs::exists(path("tree/sub/kept")));
}

TEST_F(Walk, SparseFileSizeIsTheFull64BitSize) {
    fs::resize_file((write_file(path("tree/five-gib")), path("tree/five-gib")), 5ull << 30);
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/Log:" + argument("run.log")});
    EXPECT_NE(read_file(path("run.log")).find("FILE 000001: " + shown("five-gib") + " (5242880 KB)\r\n"),
              std::string::npos);
    EXPECT_EQ(result.exit_code, 0);
}

TEST_F(Walk, PathsLongerThanTheSystemLimit) {
    // Wine builds a full Unix path for every call, so the Windows build is
    // shown past the Windows limit of 260 but short of PATH_MAX.
    int depth = target_->windows() ? 35 : 100;
    build_chain(path("tree"), std::string(100, 'd'), depth, "leaf");
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", "/Log:" + argument("run.log")});
    EXPECT_EQ(result.exit_code, 0) << read_file(path("run.log"));
    EXPECT_NE(read_file(path("run.log")).find("Directories    : " + std::to_string(depth + 1) + "\r\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, SixteenThousandLevelsDeep) {
    if (target_->windows()) GTEST_SKIP() << "Wine takes full Unix paths, limited to 4096 bytes";
    build_chain(path("tree"), "d", 16384, "leaf");
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, LinksAreNeverFollowed) {
  for (const char* threads : thread_rows) {
    SCOPED_TRACE(threads);
    std::system(("rm -rf '" + path("tree").string() + "'").c_str());
    fs::create_directories(path("outside/dir"));
    write_file(path("outside/dir/keep"), "keep");
    write_file(path("outside/file"), "keep");
    fs::permissions(path("outside/dir"), fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(path("outside/file"), fs::perms::owner_read);
    fs::create_directories(path("tree/sub"));
    fs::create_directory_symlink(path("outside/dir"), path("tree/sub/dir-link"));
    fs::create_symlink(path("outside/file"), path("tree/sub/file-link"));
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/IgnoreErrors", "/Silent", threads,
                         "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("outside/dir/keep")), "keep");
    EXPECT_EQ(read_file(path("outside/file")), "keep");
    EXPECT_EQ(fs::status(path("outside/dir")).permissions(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(fs::status(path("outside/file")).permissions(), fs::perms::owner_read);
    if (target_->windows()) {
        // Wine cannot open a Unix link itself, so the links stay.
        std::string errors = read_file(path("error.log"));
        EXPECT_NE(errors.find(shown("sub/dir-link") + ": "), std::string::npos) << errors;
        EXPECT_NE(errors.find(shown("sub/file-link") + ": "), std::string::npos) << errors;
        EXPECT_TRUE(fs::is_symlink(path("tree/sub/dir-link")));
        EXPECT_TRUE(fs::is_symlink(path("tree/sub/file-link")));
    } else {
        EXPECT_EQ(read_file(path("error.log")), "");
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_FALSE(fs::exists(path("tree")));
    }
  }
}

TEST_F(Walk, NamesThatAreNotPlainText) {
    if (target_->windows()) GTEST_SKIP() << "POSIX names";
    fs::create_directories(path("tree/dir\xff"));
    write_file(path("tree/dir\xff/line\nfeed"));
    write_file(path("tree/dir\xff/back\\slash\r"));
    write_file(path("tree/dir\xff/<U+0041>\x7f"));
    write_file(path("tree/dir\xff/caf\xc3\xa9"));
    write_file(path("tree/dir\xff/c1\xc2\x9b\xc2\x85" "x\xe2\x80\xa8" "ERR  000778: forged\xe2\x80\xae"));
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Log:" + argument("run.log")});
    std::string log = read_file(path("run.log"));
    EXPECT_NE(log.find("DIR  000002: " + shown("dir<U+DCFF>") + "\r\n"), std::string::npos);
    // Each line stays one line, and reads back to the exact name.
    EXPECT_NE(log.find(": " + shown("dir<U+DCFF>/line<U+000A>feed") + " (0 KB)\r\n"), std::string::npos);
    EXPECT_NE(log.find(": " + shown("dir<U+DCFF>/back\\slash<U+000D>") + " (0 KB)\r\n"), std::string::npos);
    EXPECT_NE(log.find(": " + shown("dir<U+DCFF>/<U+003C>U+0041><U+007F>") + " (0 KB)\r\n"), std::string::npos);
    // Valid UTF-8 as it is on disk; controls and line breaks that would
    // drive a terminal or forge a line are escaped.
    EXPECT_NE(log.find(": " + shown("dir<U+DCFF>/caf\xc3\xa9") + " (0 KB)\r\n"), std::string::npos);
    EXPECT_NE(log.find(": " + shown("dir<U+DCFF>/c1<U+009B><U+0085>x<U+2028>ERR  000778: forged<U+202E>") + " (0 KB)\r\n"),
              std::string::npos);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, FileThatCannotBeDeletedGivesOneLine) {
    if (target_->windows()) GTEST_SKIP() << "Wine reports the deletion of an immutable file as done";
    fs::create_directories(path("tree/a"));
    write_file(path("tree/a/stuck"));
    make_immutable("tree/a/stuck");
    if (IsSkipped()) return;
    Result result = run_with_logs({"/SubDirectories"});
    EXPECT_EQ(read_file(path("error.log")),
              err(1, "a/stuck", "Operation not permitted", "DeleteFile() (1)") + not_empty(2, "a", "RemoveDirectory()"));
    EXPECT_EQ(result.exit_code, 2);
}

TEST_F(Walk, FailuresUnderIgnoreErrorsCostNoMemory) {
    if (target_->windows()) GTEST_SKIP() << "the native build's peak memory";
    fs::create_directories(path("tree/locked"));
    int locked = ::open(path("tree/locked").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 60000; ++i) ::close(openat(locked, std::string("f").append(std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    ::close(locked);
    make_immutable("tree/locked");
    if (IsSkipped()) return;
    Result result = run_command({"/usr/bin/time", "-o", path("peak").string(), "-f", "%M", target_->program,
                                 "/Dir:" + argument("tree"), "/SubDirectories", "/IgnoreErrors", "/Silent"});
    EXPECT_EQ(result.exit_code, 254);
    // 60,000 failed files at a level that is never released are not
    // remembered: the peak stays what deleting them would take.
    std::string peak = read_file(path("peak"));
    EXPECT_LT(std::stoi(peak.substr(peak.find_last_of('\n', peak.size() - 2) + 1)), 5 * 1024) << peak;
}

TEST_F(Walk, AFileThatStaysKeepsItsModeAndSoDoesWhatSharesIt) {
    if (target_->windows()) GTEST_SKIP() << "POSIX modes";
    const fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  for (const char* threads : thread_rows) {
    SCOPED_TRACE(threads);
    std::system(("chattr -R -i '" + path("tree").string() + "' 2>/dev/null; rm -rf '" + path("tree").string() + "'").c_str());
    for (const char* name : {"outside-linked", "outside-mounted"}) {
        write_file(path(name), "keep");
        fs::permissions(path(name), read_only);
    }
    // A hard link in a directory that refuses its deletion, and a file
    // mounted over one of the tree's: neither can go, and both are the
    // outside files themselves.
    fs::create_directories(path("tree/locked"));
    fs::create_hard_link(path("outside-linked"), path("tree/locked/linked"));
    write_file(path("tree/mounted"));
    if (mount(path("outside-mounted").c_str(), path("tree/mounted").c_str(), nullptr, MS_BIND, nullptr) != 0)
        SKIP_FOR_WANT_OF("cannot bind-mount here");
    make_immutable("tree/locked");
    Result result = run_with_logs({"/SubDirectories", "/IgnoreErrors", threads});
    umount(path("tree/mounted").c_str());
    std::string errors = read_file(path("error.log"));
    EXPECT_NE(errors.find(shown("locked/linked") + ": Operation not permitted at DeleteFile() (1)\r\n"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find(shown("mounted") + ": Device or resource busy at DeleteFile() (16)\r\n"), std::string::npos);
    EXPECT_EQ(errors.find("SetFileAttributes"), std::string::npos);
    for (const char* name : {"outside-linked", "outside-mounted"}) {
        EXPECT_EQ(fs::status(path(name)).permissions(), read_only) << name;
        EXPECT_EQ(read_file(path(name)), "keep");
    }
    EXPECT_NE(result.exit_code, 0);
  }
}

// Under Wine too, where a bind mount of the same file system shows as a
// plain directory; there also one made while the run goes, once it waits
// for a file held open (listed before the directory: Wine sorts listings).
TEST_F(Walk, MountPointsAreNotEntered) {
  for (bool during_the_run : {false, true})
  for (const char* threads : thread_rows) {
    if (during_the_run && !target_->windows()) continue;  // files held open are a Windows matter
    SCOPED_TRACE(std::string(threads) + (during_the_run ? " mounted during the run" : ""));
    std::system(("rm -rf '" + path("tree").string() + "'").c_str());
    fs::create_directories(path("outside"));
    write_file(path("outside/keep"), "keep");
    fs::create_directories(path("tree/mnt"));
    auto mounted = [&] { return mount(path("outside").c_str(), path("tree/mnt").c_str(), nullptr, MS_BIND, nullptr) == 0; };
    Result result;
    if (!during_the_run) {
        if (!mounted()) SKIP_FOR_WANT_OF("cannot bind-mount here");
        result = run_with_logs({"/SubDirectories", "/IgnoreErrors", threads});
    } else {
        write_file(path("tree/held"));
        Background holder =
            start_background({target_->wine, hold_open_helper(), argument("tree/held"), "without-delete-sharing"});
        ASSERT_EQ(holder.read_line(), "ready");
        result = run_stopping_at(*target_, with_logs({"/SubDirectories", "/IgnoreErrors", "/RetryFor:120", threads}),
                                 "FILE 000001: " + shown("held") + " (0 KB)\r\n", [&](int) {
                                     EXPECT_TRUE(mounted());
                                     EXPECT_EQ(holder.finish(), 0);
                                 });
        EXPECT_FALSE(fs::exists(path("tree/held")));
    }
    umount(path("tree/mnt").c_str());
    EXPECT_EQ(read_file(path("outside/keep")), "keep");
    EXPECT_EQ(read_file(path("error.log")), busy(1, "mnt") + not_empty(2, "", "RemoveDirectory() failed"));
    EXPECT_EQ(result.exit_code, 3);
  }
}

// What stays in a root that stays: links that lead nowhere, which Wine
// hides from every listing; an empty mount point, and an empty immutable
// directory, whose removal Wine lets fail as its handle closes, saying
// nothing. The lines and the count say so.
TEST_F(Walk, SubdirectoriesThatStayInAKeptRootAreReported) {
    fs::create_directories(path("tree"));
    fs::create_symlink(path("nowhere"), path("tree/dangling"));
    fs::create_symlink("looping", path("tree/looping"));
    Result hidden = run_with_logs({"/SubDirectories", "/KeepRoot"});
    EXPECT_EQ(read_file(path("error.log")), target_->windows() ? not_empty(1, "", "RemoveDirectory()") : "");
    EXPECT_EQ(hidden.exit_code, target_->windows() ? 1 : 0);
    EXPECT_EQ(fs::is_symlink(path("tree/looping")), target_->windows());
    remove_tree();

    fs::create_directories(path("empty"));
    fs::create_directories(path("tree/mnt"));
    write_file(path("tree/file"));
    if (mount(path("empty").c_str(), path("tree/mnt").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "skipped: cannot bind-mount here";
    Result result = run_with_logs({"/SubDirectories", "/KeepRoot"});
    bool stayed = fs::is_directory(path("tree/mnt"));
    umount(path("tree/mnt").c_str());
    EXPECT_EQ(read_file(path("error.log")), busy(1, "mnt"));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(stayed);
    EXPECT_FALSE(fs::exists(path("tree/file")));

    fs::create_directories(path("tree/locked"));
    make_immutable("tree/locked");
    result = run_with_logs({"/SubDirectories", "/KeepRoot"});
    EXPECT_EQ(read_file(path("error.log")), err(1, "locked", text("Operation not permitted", "Access denied."),
                                                  text("RemoveDirectory() (1)", "RemoveDirectory() (5)")));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(fs::is_directory(path("tree/locked")));
}

// Directories the owner cannot list: its own go, as a plain rmdir of an
// empty one would (mode 0 as the root, mode 0300 empty, mode 0 with a file
// inside); one it does not own is named and stays, as does what holds it,
// with its mode.
TEST_F(Walk, DirectoriesTheOwnerCannotListGoUnlessItDoesNotOwnThem) {
    if (target_->windows()) GTEST_SKIP() << "needs an unprivileged run";
    if (geteuid() != 0) SKIP_FOR_WANT_OF("needs root to switch to an unprivileged user");
    fs::create_directories(path("tree/closed"));
    fs::create_directories(path("tree/write_only"));
    fs::create_directories(path("tree/unreadable"));
    fs::create_directories(path("empty"));
    write_file(path("tree/closed/inside"));
    write_file(path("tree/unreadable/inside"));
    std::system(("chown -R 65534:65534 '" + path("tree").string() + "' '" + path("empty").string() + "'").c_str());
    std::system(("chown root '" + path("tree/closed").string() + "'").c_str());
    for (const char* closed : {"tree/closed", "tree/unreadable", "empty"}) fs::permissions(path(closed), fs::perms::none);
    fs::permissions(path("tree/write_only"), fs::perms::owner_write | fs::perms::owner_exec);
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/IgnoreErrors", "/Silent",
                         "/ErrorLog:" + argument("error.log")},
                        65534);
    EXPECT_EQ(read_file(path("error.log")), err(1, "closed", "Permission denied", "CreateFile(DIR) (13)") +
                                                not_empty(2, "closed", "RemoveDirectory()") +
                                                "ERR  000003: " + shown() + ": Directory not empty at RemoveDirectory() failed (39)\r\n");
    EXPECT_EQ(result.exit_code, 4);
    EXPECT_EQ(fs::status(path("tree/closed")).permissions(), fs::perms::none);
    EXPECT_FALSE(fs::exists(path("tree/write_only")));
    EXPECT_FALSE(fs::exists(path("tree/unreadable")));
    EXPECT_EQ(run({"/Dir:" + argument("empty"), "/Silent"}, 65534).exit_code, 0);
    EXPECT_FALSE(fs::exists(path("empty")));
}

// Two cleaners on one tree at once (a scheduled cleanup beside a CI step):
// what one took is done for the other, and both say the tree is gone.
TEST_F(Walk, TwoRunsOnOneTreeAtOnceBothEndClean) {
    if (target_->windows())
        GTEST_SKIP() << "Wine keeps a directory that another process holds open, and shows no delete-pending";
    for (int directory = 0; directory < 40; ++directory) {
        std::string name = "tree/d" + std::to_string(directory);
        fs::create_directories(path(name + "/sub"));
        for (int file = 0; file < 40; ++file) write_file(path(name + (file % 2 ? "/sub/f" : "/f") + std::to_string(file)));
    }
    std::vector<std::string> command{target_->program, "/Dir:" + argument("tree"), "/SubDirectories", "/Threads:4",
                                     "/Silent"};
    if (target_->windows()) command.insert(command.begin(), target_->wine);
    Background first = start_background(command), second = start_background(command);
    EXPECT_EQ(first.finish(), 0);
    EXPECT_EQ(second.finish(), 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, RootPathLongerThanTheSystemLimit) {
    if (target_->windows()) GTEST_SKIP() << "Wine takes full Unix paths, limited to 4096 bytes";
    std::string component(100, 'd');
    build_chain(path("tree"), component, 50, "leaf");
    std::string root = "tree";
    for (int level = 0; level < 45; ++level) root += "/" + component;
    ASSERT_GT(path(root).string().size(), 4096u);
    Result result = run({"/Dir:" + argument(root), "/SubDirectories", "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    // The named directory went with everything below it, and nothing above.
    int fd = ::open(path("tree").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 44; ++level) {
        int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        ASSERT_GE(fd, 0) << "level " << level << " went";
    }
    EXPECT_NE(faccessat(fd, component.c_str(), F_OK, AT_SYMLINK_NOFOLLOW), 0);
    ::close(fd);
}

TEST_F(Walk, DeepChainUnderALowOpenFileLimitGivesTheLinesOfAnUnlimitedRun) {
    if (target_->windows()) GTEST_SKIP() << "the POSIX open-file limit";
    std::string stuck = "tree";
    for (int level = 0; level < 100; ++level) stuck += "/d";
    stuck += "/stuck";
    auto run_on_a_fresh_chain = [&](std::vector<std::string> command) {
        std::system(("chattr -i '" + path(stuck).string() + "' 2>/dev/null; rm -rf '" + path("tree").string() + "'").c_str());
        fs::create_directory(path("tree"));
        build_chain(path("tree"), "d", 3000, "leaf", true);
        write_file(path(stuck));
        make_immutable(stuck);  // left behind at a level that is reopened
        for (const char* option : {"/SubDirectories", "/IgnoreErrors", "/Silent"}) command.push_back(option);
        command.push_back("/Dir:" + argument("tree"));
        command.push_back("/Log:" + argument("run.log"));
        Result result = run_command(command);
        return std::make_pair(result.exit_code, without_elapsed_digits(read_file(path("run.log"))));
    };
    auto unlimited = run_on_a_fresh_chain({target_->program});
    if (HasFatalFailure() || IsSkipped()) return;
    auto limited = run_on_a_fresh_chain({"/usr/bin/prlimit", "--nofile=256:256", target_->program});
    EXPECT_EQ(limited.first, 103);  // the file, each of the 100 levels above it and the root twice
    EXPECT_EQ(limited.first, unlimited.first);
    EXPECT_TRUE(limited.second == unlimited.second) << "the logs differ";
    EXPECT_NE(limited.second.find(log_summary(3001, 3002, 103)), std::string::npos);
    EXPECT_EQ(limited.second.find(shown(stuck.substr(5)) + ": Operation not permitted at DeleteFile()"),
              limited.second.rfind(shown(stuck.substr(5)) + ": Operation not permitted at DeleteFile()"));
    // Fewer still, or most of them taken by descriptors the program was
    // given: the budget is what is free, not half the limit.
    std::string inherit_twenty = "for fd in $(seq 3 22); do eval \"exec $fd</dev/null\"; done; exec \"$@\"";
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"/usr/bin/prlimit", "--nofile=10:10", target_->program},
             {"/usr/bin/prlimit", "--nofile=32:32", "/bin/bash", "-c", inherit_twenty, "bash", target_->program}}) {
        auto run = run_on_a_fresh_chain(command);
        EXPECT_TRUE(run.second == unlimited.second) << command[1] << ": " << run.second.substr(run.second.size() - 300);
        EXPECT_EQ(run.first, unlimited.first) << command[1];
    }
    // On four threads, all of them together within the same low limits.
    for (const char* limit : {"--nofile=10:10", "--nofile=24:24", "--nofile=256:256"}) {
        auto run = run_on_a_fresh_chain({"/usr/bin/prlimit", limit, target_->program, "/Threads:4"});
        EXPECT_EQ(run.first, unlimited.first) << limit;
        EXPECT_TRUE(lines_and_summary(run.second) == lines_and_summary(unlimited.second)) << limit;
    }
    // A dry run deletes nothing, so each released level meets all it has
    // handled again when it lists again: still one line an entry.
    auto dry = run_on_a_fresh_chain({"/usr/bin/prlimit", "--nofile=10:10", target_->program, "/WhatIf"});
    EXPECT_TRUE(expected::lines_of(dry.second, {"DIR  ", "FILE "}) == expected::lines_of(unlimited.second, {"DIR  ", "FILE "}))
        << "the dry run's lines differ";
    EXPECT_EQ(dry.first, 0);
}

TEST_F(Walk, ADirectorySwappedForALinkAfterTheWalkEnteredItLeadsNowhere) {
    for (int round = 0; round < 4; ++round) {
        const char* threads = thread_rows[round % 2];
        fs::create_directories(path("tree/a"));
        fs::create_directories(path("outside"));
        for (int i = 0; i < 3000; ++i) {
            std::string name = "file-" + std::to_string(i);
            write_file(path("tree/a/" + name));
            write_file(path("outside/" + name), "keep");
        }
        // Inside a, the walk has 3,000 lines to write to a pipe that is not
        // read: it is still in there when a is moved and replaced.
        Result result = run_stopping_at(*target_, {"/Dir:" + argument("tree"), "/SubDirectories", threads},
                                        "DIR  000002: " + shown("a") + "\r\n", [&](int) {
                                            fs::rename(path("tree/a"), path("tree/a-moved"));
                                            fs::create_directory_symlink(path("outside"), path("tree/a"));
                                        });
        EXPECT_NE(result.exit_code, 0);
        EXPECT_EQ(std::distance(fs::directory_iterator(path("outside")), {}), 3000) << "round " << round << threads;
        EXPECT_EQ(read_file(path("outside/file-0")), "keep");
        std::system(("rm -rf '" + path("tree").string() + "' '" + path("outside").string() + "'").c_str());
    }
}

TEST_F(Walk, HardLinksAndNamesThatWindowsWouldTrim) {
  for (const char* threads : thread_rows) {
    SCOPED_TRACE(threads);
    fs::remove(path("outside"));
    fs::create_directories(path("tree"));
    write_file(path("outside"), "keep");
    fs::permissions(path("outside"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_hard_link(path("outside"), path("tree/linked"));
    fs::create_directories(path("tree/dir. "));
    for (const char* name : {"tree/dots...", "tree/space ", "tree/dir. /in. .", "tree/dir. /plain"})
        write_file(path(name));
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", threads,
                         "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
    // The read-only bit belongs to the file: its other link keeps it.
    EXPECT_EQ(fs::status(path("outside")).permissions(),
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(read_file(path("outside")), "keep");
  }
}

TEST_F(Walk, PathsBeyondWhatWineCanReachAreRefusedNotPretended) {
    if (!target_->windows()) GTEST_SKIP() << "a limit of Wine";
    build_chain(path("tree"), std::string(100, 'd'), 50, "leaf");
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_NE(read_file(path("error.log")).find(": File name is too long. at CreateFile(DIR) (206)\r\n"), std::string::npos);
    EXPECT_NE(result.exit_code, 0);
    EXPECT_TRUE(fs::exists(path("tree")));
    // A root that deep says the same, not that the path is invalid.
    std::string deep = "tree";
    for (int level = 0; level < 50; ++level) deep += "/" + std::string(100, 'd');
    result = run({"/Dir:" + argument(deep), "/Silent", "/ErrorLog:" + argument("root.log")});
    EXPECT_NE(read_file(path("root.log")).find(": File name is too long. at CreateFile(DIR) (206)\r\n"), std::string::npos);
    EXPECT_NE(result.exit_code, 0);
}

TEST_F(Walk, AFileHeldOpenByAnotherProgramGivesOneErrorLine) {
    if (!target_->windows()) GTEST_SKIP() << "delete-pending files are a Windows matter";
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/held"));
    Background holder = start_background({target_->wine, hold_open_helper(), argument("tree/sub/held")});
    ASSERT_EQ(holder.read_line(), "ready");
    Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/Silent", "/ErrorLog:" + argument("error.log")});
    // Deleted, but pending while held: its directory is not empty, after
    // the retries, and only that is reported.
    EXPECT_EQ(read_file(path("error.log")),
              "ERR  000001: " + shown("sub") + ": Directory is not empty. at RemoveDirectory() (145)\r\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_FALSE(fs::exists(path("tree/sub/held")));  // gone with the last handle
}

// Wine opens a Unix link as its target, whatever the program asks; each
// row is a link whose target Wine names nearly as it names the link.
TEST_F(Walk, UnderWineALinkIsLeftAloneHoweverItsTargetIsNamed) {
    if (!target_->windows()) GTEST_SKIP() << "how Wine names what it opened";
    fs::path drive_c = wine_drives() / "c:";
    struct Row {
        std::string root;        // as the program is told it
        std::string refused;     // the path of the ERR line (1920), relative to the test's folder
        std::string canary;      // outside: must keep its bytes and mode
        std::string link;        // inside: the link to the canary, or to its directory
        std::string link_target;
    };
    std::vector<Row> rows{
        // The same path below another drive letter, and below the prefix's C:.
        {"tree", "tree/file", "x-drive/tree/file", "tree/file", "x-drive/tree/file"},
        {"tree", "tree/c-file", (drive_c / "tree/c-file").string(), "tree/c-file", (drive_c / "tree/c-file").string()},
        {"rooted", "rooted", "w-drive/rooted/keep", "rooted", "w-drive/rooted"},
        // Wine cuts one trailing dot off each directory of a name.
        {"a.\\x", "a./x", "a/x/vfile", "a./x/vfile", "a/x/vfile"},
        {"p.\\x", "p./x", "p/x/keep", "p./x", "p/x"},
    };
    map_drive("x:", path("x-drive"));
    map_drive("w:", path("w-drive"));
    for (const Row& row : rows) {
        fs::path canary = fs::path(row.canary).is_absolute() ? fs::path(row.canary) : path(row.canary);
        fs::create_directories(canary.parent_path());
        write_file(canary, "keep");
        fs::permissions(canary, fs::perms::owner_read);
        fs::create_directories(path(row.link).parent_path());
        fs::path target = fs::path(row.link_target).is_absolute() ? fs::path(row.link_target) : path(row.link_target);
        fs::create_symlink(target, path(row.link));
    }
    for (const Row& row : rows)
        for (const char* threads : thread_rows) {
            Result result = run({"/Dir:" + argument(row.root), "/SubDirectories", "/IgnoreErrors", "/Silent", threads,
                                 "/ErrorLog:" + argument("error.log")});
            std::string errors = read_file(path("error.log"));
            EXPECT_NE(errors.find("\\\\?\\" + argument(row.refused) + ": The file cannot be accessed."),
                      std::string::npos)
                << row.refused << threads << ": " << errors;
            EXPECT_NE(result.exit_code, 0) << row.refused << threads;
        }
    for (const Row& row : rows) {
        fs::path canary = fs::path(row.canary).is_absolute() ? fs::path(row.canary) : path(row.canary);
        EXPECT_EQ(read_file(canary), "keep") << row.canary;
        EXPECT_EQ(fs::status(canary).permissions(), fs::perms::owner_read) << row.canary;
    }
    std::error_code ignored;
    fs::remove_all(drive_c / "tree", ignored);
}

// Wine names the root as the program typed it, the tree as it is on disk.
TEST_F(Walk, UnderWineARootTypedInAnotherCaseIsNoLink) {
    if (!target_->windows()) GTEST_SKIP() << "how Wine names what it opened";
    fs::create_directories(path("tree/sub"));
    write_file(path("tree/sub/file"));
    Result result = run({"/Dir:" + argument("TREE"), "/SubDirectories", "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(read_file(path("error.log")), "");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(Walk, AReadOnlyFileThatCannotBeDeletedKeepsItsBitForItsOtherLinks) {
    if (!target_->windows()) GTEST_SKIP() << "files held open without delete sharing are a Windows matter";
    fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    write_file(path("outside"), "keep");
    fs::permissions(path("outside"), read_only);
    fs::create_hard_link(path("outside"), path("tree/held"));
    Background holder = start_background({target_->wine, hold_open_helper(), argument("tree/held"), "without-delete-sharing"});
    ASSERT_EQ(holder.read_line(), "ready");
    Result result = run({"/Dir:" + argument("tree"), "/Silent", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(holder.finish(), 0);
    std::string errors = read_file(path("error.log"));
    EXPECT_EQ(errors.rfind("ERR  000001: " + shown("held") + ": Sharing violation. at DeleteFile() (32)", 0), 0u) << errors;
    EXPECT_NE(result.exit_code, 0);
    EXPECT_EQ(fs::status(path("outside")).permissions(), read_only);
    EXPECT_EQ(read_file(path("outside")), "keep");
}

namespace {

// Every name below a folder with its mode, size and link target: what a
// dry run must leave as it found it (read-only bits are modes under Wine).
std::string state_below(const fs::path& folder) {
    return run_command({"/bin/sh", "-c", "find '" + folder.string() + "' -printf '%P %M %s %l\\n' | sort"}).output;
}

}  // namespace

// A tree with read-only files and a read-only directory, a link out of it
// and a subdirectory that cannot be opened (natively one the unprivileged
// run may not enter, under Wine one deeper than Wine reaches).
TEST_F(Walk, ADryRunChangesNothingAndListsWhatTheRunThenDeletes) {
    if (!target_->windows() && geteuid() != 0) SKIP_FOR_WANT_OF("needs root to switch to an unprivileged user");
    fs::perms read_only = fs::perms::owner_read | fs::perms::group_read;
    fs::create_directories(path("outside"));
    write_file(path("outside/canary"), "canary");
    fs::create_directories(path("tree/sub/closed"));
    write_file(path("tree/read-only"), "ro");
    write_file(path("tree/sub/read-only"), std::string(3000, 'x'));
    write_file(path("tree/sub/closed/inside"));
    fs::create_directory_symlink(path("outside"), path("tree/link"));
    fs::create_symlink("../outside/canary", path("tree/file-link"));
    int uid = -1;
    if (target_->windows()) {
        build_chain(path("tree/sub/closed"), std::string(100, 'd'), 50, "leaf");
    } else {
        uid = 65534;
        std::system(("chown -R 65534:65534 '" + path("tree").string() + "'").c_str());
        std::system(("chown root '" + path("tree/sub/closed").string() + "'").c_str());
        fs::permissions(path("tree/sub/closed"), fs::perms::none);
    }
    fs::permissions(path("tree/read-only"), read_only);
    fs::permissions(path("tree/sub/read-only"), read_only);
    fs::permissions(path("tree/sub"), fs::perms::owner_read | fs::perms::owner_exec);
    std::string before = state_below(path("tree"));

    Result dry = run_with_logs({"/SubDirectories", "/IgnoreErrors", "/WhatIf"}, uid);
    EXPECT_EQ(state_below(path("tree")), before);
    EXPECT_EQ(read_file(path("tree/read-only")), "ro");
    std::string dry_log = read_file(path("run.log"));
    std::string dry_errors = read_file(path("error.log"));
    EXPECT_EQ(expected::lines_of(dry_errors, {"ERR  "}), dry_errors);
    EXPECT_EQ(dry_errors.find(" at CreateFile(DIR) ("), dry_errors.rfind(" at CreateFile(DIR) (")) << dry_errors;
    EXPECT_NE(dry_errors.find(" at CreateFile(DIR) ("), std::string::npos) << dry_errors;
    // Under Wine the links are refused, in the dry run as in the run.
    std::vector<std::string> refused_links;
    if (target_->windows())
        refused_links = {shown("file-link") + ": The file cannot be accessed. at DeleteFile() (1920)\r\n",
                         shown("link") + ": The file cannot be accessed. at RemoveDirectory() (1920)\r\n"};
    for (const std::string& line : refused_links) EXPECT_NE(dry_errors.find(line), std::string::npos) << dry_errors;
    int dry_errors_counted = 1 + static_cast<int>(refused_links.size());
    EXPECT_EQ(dry.exit_code, dry_errors_counted);
    EXPECT_NE(without_elapsed_digits(dry_log).find("Size           : 2 KB\r\nErrors         : " +
                                                   std::to_string(dry_errors_counted) + "\r\n"),
              std::string::npos)
        << dry_log;

    Result real = run_with_logs({"/SubDirectories", "/IgnoreErrors"}, uid);
    EXPECT_GT(real.exit_code, dry_errors_counted);
    for (const std::string& line : refused_links)
        EXPECT_NE(read_file(path("error.log")).find(line), std::string::npos);
    EXPECT_FALSE(fs::exists(path("tree/read-only")));
    EXPECT_EQ(expected::lines_of(dry_log, {"DIR  ", "FILE "}),
              expected::lines_of(read_file(path("run.log")), {"DIR  ", "FILE "}));
    EXPECT_EQ(read_file(path("outside/canary")), "canary");
}

// The file's line is on the console before the run waits for it, so the
// test lets go of it only then. Two minutes outlast any release, and a
// run that does not wait still ends in them.
TEST_F(Walk, AFileHeldOpenIsWaitedForAsLongAsTheRetryTimeSays) {
    if (!target_->windows()) GTEST_SKIP() << "on POSIX nothing refuses to delete a file held open";
    struct Row {
        std::string held;     // relative to the tree
        std::string sharing;  // how the helper holds it
    };
    for (const Row& row : {Row{"held", "without-delete-sharing"}, Row{"sub/held", ""}}) {
        fs::create_directories(path("tree/sub"));
        write_file(path("tree/" + row.held));
        std::vector<std::string> hold{target_->wine, hold_open_helper(), argument("tree/" + row.held)};
        if (!row.sharing.empty()) hold.push_back(row.sharing);
        Background holder = start_background(hold);
        ASSERT_EQ(holder.read_line(), "ready");
        std::vector<std::string> options{"/Dir:" + argument("tree"), "/SubDirectories", "/RetryFor:120",
                                         "/ErrorLog:" + argument("error.log")};
        Result result = run_stopping_at(*target_, options, "FILE 000001: " + shown(row.held) + " (0 KB)\r\n",
                                        [&](int) { EXPECT_EQ(holder.finish(), 0); });
        EXPECT_NE(result.output.find(header("/SubDirectories /RetryFor:120")), std::string::npos) << result.output;
        EXPECT_EQ(read_file(path("error.log")), "") << row.held;
        EXPECT_EQ(result.exit_code, 0) << row.held;
        EXPECT_FALSE(fs::exists(path("tree"))) << row.held;
    }
}

// With no retries the held file is reported at once, while it is held.
TEST_F(Walk, AFileHeldOpenIsReportedAtOnceWithoutRetries) {
    if (!target_->windows()) GTEST_SKIP() << "on POSIX nothing refuses to delete a file held open";
    write_file(path("tree/held"));
    Background holder = start_background({target_->wine, hold_open_helper(), argument("tree/held"), "without-delete-sharing"});
    ASSERT_EQ(holder.read_line(), "ready");
    Result result = run({"/Dir:" + argument("tree"), "/RetryFor:0", "/ErrorLog:" + argument("error.log")});
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_EQ(result.output.substr(0, header("/RetryFor:0").size()), header("/RetryFor:0"));
    EXPECT_EQ(read_file(path("error.log")), err(1, "held", "Sharing violation.", "DeleteFile() (32)"));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(fs::exists(path("tree/held")));
}

// /OnReboot (given twice: one flag): a file held open is scheduled, and so
// is each directory above it, the root last unless kept; Wine's restart
// (wineboot -r) carries the schedule out. Wine's Restart Manager names
// nobody, so no holder line follows the ERR lines.
TEST_F(Walk, OnRebootTheRestartRemovesAHeldFileAndTheDirectoriesAboveIt) {
    if (!target_->windows()) GTEST_SKIP() << "/OnReboot is refused on POSIX, where a file held open is deleted at once";
    for (bool keep_root : {false, true}) {
        SCOPED_TRACE(keep_root ? "/KeepRoot" : "");
        fs::create_directories(path("tree/sub/deeper"));
        write_file(path("tree/sub/deeper/held"));
        write_file(path("tree/sub/other"));
        write_file(path("tree/gone"));
        Background holder = start_background(
            {target_->wine, hold_open_helper(), argument("tree/sub/deeper/held"), "without-delete-sharing"});
        ASSERT_EQ(holder.read_line(), "ready");
        std::vector<std::string> options{"/SubDirectories", "/OnReboot", "/onreboot", "/RetryFor:0"};
        if (keep_root) options.push_back("/KeepRoot");
        Result result = run_with_logs(options);
        EXPECT_EQ(holder.finish(), 0);
        std::string scheduled = expected::scheduled;
        std::string not_empty = "Directory is not empty.";
        EXPECT_EQ(read_file(path("error.log")),
                  err(1, "sub/deeper/held", "Sharing violation.", "DeleteFile() (32)") + scheduled +
                      err(2, "sub/deeper", not_empty, "RemoveDirectory() (145)") + scheduled +
                      err(3, "sub", not_empty, "RemoveDirectory() (145)") + scheduled +
                      (keep_root ? "" : err(4, "", not_empty, "RemoveDirectory() failed (145)") + scheduled));
        EXPECT_EQ(result.exit_code, keep_root ? 3 : 5);
        std::string log = read_file(path("run.log"));
        std::string header =
            log_header(std::string("/SubDirectories /OnReboot /RetryFor:0") + (keep_root ? " /KeepRoot" : ""));
        EXPECT_EQ(log.substr(0, header.size()), header);  // one OnReboot line
        EXPECT_NE(log.find(keep_root ? "Errors         : 3\r\nScheduled      : 3\r\n"
                                     : "Errors         : 5\r\nScheduled      : 4\r\n"),
                  std::string::npos)
            << log;
        EXPECT_TRUE(fs::exists(path("tree/sub/deeper/held")));
        EXPECT_FALSE(fs::exists(path("tree/gone")));
        run_command({"/usr/bin/env", "WINEDEBUG=-all", target_->wine, "wineboot", "-r"});
        EXPECT_EQ(fs::exists(path("tree")), keep_root);
        EXPECT_TRUE(!keep_root || fs::is_empty(path("tree")));
    }
}

TEST_F(Walk, OnFourThreadsTheSameEntriesGoAndTheSameLinesAreWritten) {
    std::string helper = (fs::path(target_->program).parent_path() / "hold_open.exe").string();
    auto run_on_a_fresh_tree = [&](const std::string& threads) {
        std::system(("chattr -R -i '" + path("tree").string() + "' 2>/dev/null; chmod -R u+rwx '" + path().string() +
                     "'; rm -rf '" + path("tree").string() + "' '" + path("outside").string() + "'")
                        .c_str());
        fs::create_directories(path("outside/dir"));
        write_file(path("outside/canary"), "keep");
        write_file(path("outside/dir/keep"), "keep");
        fs::permissions(path("outside/canary"), fs::perms::owner_read);
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 3; ++j) {
                std::string dir = "tree/d" + std::to_string(i) + "/s" + std::to_string(j);
                fs::create_directories(path(dir + "/inner"));
                for (int k = 0; k < 6; ++k) write_file(path(dir + "/f" + std::to_string(k)), std::string(k * 700, 'x'));
                write_file(path(dir + "/inner/leaf"));
            }
        write_file(path("tree/d1/s1/read-only"));
        fs::permissions(path("tree/d1/s1/read-only"), fs::perms::owner_read);
        fs::permissions(path("tree/d2/s0"), fs::perms::owner_read | fs::perms::owner_exec);
        write_file(path("tree/d3/s2/inner/stuck"));
        fs::create_symlink(path("outside/canary"), path("tree/d4/s1/canary-link"));
        fs::create_directory_symlink(path("outside/dir"), path("tree/d5/dir-link"));
        std::optional<Background> holder;
        if (target_->windows()) {
            holder.emplace(
                start_background({target_->wine, helper, argument("tree/d3/s2/inner/stuck"), "without-delete-sharing"}));
            EXPECT_EQ(holder->read_line(), "ready");
        } else {
            make_immutable("tree/d3/s2/inner/stuck");
        }
        Result result = run({"/Dir:" + argument("tree"), "/SubDirectories", "/IgnoreErrors", threads, "/Silent",
                             "/Log:" + argument("run.log")});
        if (holder) {
            EXPECT_EQ(holder->finish(), 0);
        }
        EXPECT_EQ(read_file(path("outside/canary")), "keep");
        EXPECT_EQ(fs::status(path("outside/canary")).permissions(), fs::perms::owner_read);
        EXPECT_EQ(read_file(path("outside/dir/keep")), "keep");
        if (threads != "/Threads:1") {
            EXPECT_NE(read_file(path("run.log")).find("Threads                   : 4\r\n"), std::string::npos);
        }
        return std::make_tuple(result.exit_code, state_below(path("tree")) + state_below(path("outside")),
                               lines_and_summary(read_file(path("run.log"))));
    };
    auto one = run_on_a_fresh_tree("/Threads:1");
    if (IsSkipped()) return;
    auto four = run_on_a_fresh_tree("/Threads:4");
    EXPECT_EQ(std::get<0>(four), std::get<0>(one));
    EXPECT_EQ(std::get<1>(four), std::get<1>(one));
    EXPECT_EQ(std::get<2>(four).first, std::get<2>(one).first);
    EXPECT_EQ(std::get<2>(four).second, std::get<2>(one).second);
    EXPECT_NE(std::get<0>(one), 0);  // the stuck file and every directory above it
    EXPECT_GT(std::get<2>(one).first.size(), 200u);
}
