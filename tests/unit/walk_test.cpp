// The deletion walk against the in-memory system: lines and counts under
// each error option, read-only entries and links, the handle budget and
// levels reopened, retries, and the walk on several threads (made to wait
// at chosen points, so that no case depends on which thread is quicker).
#include "delete/walk.h"

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "expected_output.h"
#include "delete/outcome.h"
#include "fixture.h"

using scythe::platform::attribute_read_only;
using scythe::platform::attribute_reparse_point;

namespace {

class Walk : public FakeSystemTest {
protected:
    // 1 when the walk completed, 0 when it gave up.
    int delete_tree(const std::u16string& path) {
        scythe::platform::OpenedRoot root = scythe::platform::open_root(path);
        return scythe::delete_tree(root, path, settings, report).completed;
    }

    void SetUp() override {
        FakeSystemTest::SetUp();
        settings.descend_into_subdirectories = true;
    }

    // root: f1, a/{b/{bad, after}, a2}, z
    static void build_tree_with_a_failure_two_levels_down() {
        fake::add_file(u"/root/f1", 10);
        fake::add_directory(u"/root/a");
        fake::add_directory(u"/root/a/b");
        fake::add_file(u"/root/a/b/bad", 2048);
        fake::add_file(u"/root/a/b/after");
        fake::add_file(u"/root/a/a2");
        fake::add_file(u"/root/z");
        fake::system.fail_delete[u"/root/a/b/bad"] = 5;
    }

    static std::vector<std::u16string> left() {
        std::vector<std::u16string> paths;
        for (const auto& [path, node] : fake::system.nodes) paths.push_back(path);
        return paths;
    }
};

const std::string first_lines =
    "DIR  000001: /root\r\n"
    "FILE 000001: /root/f1 (0 KB)\r\n"
    "DIR  000002: /root/a\r\n"
    "DIR  000003: /root/a/b\r\n"
    "FILE 000002: /root/a/b/bad (2 KB)\r\n"
    "ERR  000001: /root/a/b/bad: Access is denied. at DeleteFile() (5)\r\n";

}  // namespace

TEST_F(Walk, EmptyDirectoryIsOneDirLine) {
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(), "DIR  000001: /root\r\n");
    EXPECT_EQ(fake::system.closed_directories, std::vector<std::u16string>{u"/root"});
}

TEST_F(Walk, WholeTreeIsDeletedDepthFirstButNotTheDirectoryItself) {
    fake::add_file(u"/root/one", 1023);
    fake::add_directory(u"/root/sub");
    fake::add_file(u"/root/sub/two", 1024);
    fake::add_directory(u"/root/sub/deeper", attribute_read_only);
    fake::add_file(u"/root/three", 0, attribute_read_only);
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/one (0 KB)\r\n"
              "DIR  000002: /root/sub\r\n"
              "FILE 000002: /root/sub/two (1 KB)\r\n"
              "DIR  000003: /root/sub/deeper\r\n"
              "FILE 000003: /root/three (0 KB)\r\n");
    EXPECT_EQ(left(), std::vector<std::u16string>{u"/root"});
    EXPECT_EQ(counters.directories, 3);
    EXPECT_EQ(counters.files, 3);
    EXPECT_EQ(counters.errors, 0);
}

TEST_F(Walk, WithoutSubdirectoriesOnlyTheRootsFilesGo) {
    settings.descend_into_subdirectories = false;
    fake::add_directory(u"/root/sub");
    fake::add_file(u"/root/sub/kept");
    fake::add_file(u"/root/gone");
    for (int i = 0; i < 300; ++i) {
        std::string number = std::to_string(i);
        fake::add_directory(u"/root/passed-over-" + std::u16string(number.begin(), number.end()));
    }
    fake::system.milliseconds_per_entry = 1;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    // Out on the console while the walk passes over what it does not enter.
    EXPECT_EQ(fake::system.console, "DIR  000001: /root\r\nFILE 000001: /root/gone (0 KB)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/sub/kept"));
    EXPECT_EQ(counters.directories, 1);
}

TEST_F(Walk, SizesAreWholeKibibytesOfTheFull64BitSize) {
    fake::add_file(u"/root/four", 4ull << 30);
    fake::add_file(u"/root/five", 5ull << 30);
    delete_tree(u"/root");
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/four (4194304 KB)\r\n"
              "FILE 000002: /root/five (5242880 KB)\r\n");
}

TEST_F(Walk, WithoutOptionsEachAncestorFailsToRemoveItsChildAndGivesUp) {
    build_tree_with_a_failure_two_levels_down();
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(), first_lines +
                             "ERR  000002: /root/a/b: The directory is not empty. at RemoveDirectory() (145)\r\n"
                             "ERR  000003: /root/a: The directory is not empty. at RemoveDirectory() (145)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/a/b/after"));
    EXPECT_TRUE(fake::exists(u"/root/z"));
}

TEST_F(Walk, StopAtFirstErrorGivesUpEverywhereWithOneLine) {
    settings.stop_at_first_error = true;
    build_tree_with_a_failure_two_levels_down();
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(), first_lines);
    EXPECT_EQ(counters.errors, 1);
    EXPECT_TRUE(fake::exists(u"/root/a/a2"));
}

TEST_F(Walk, IgnoreErrorsDeletesEverythingElse) {
    settings.ignore_errors = true;
    build_tree_with_a_failure_two_levels_down();
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(), first_lines +
                             "FILE 000003: /root/a/b/after (0 KB)\r\n"
                             "ERR  000002: /root/a/b: The directory is not empty. at RemoveDirectory() (145)\r\n"
                             "FILE 000004: /root/a/a2 (0 KB)\r\n"
                             "ERR  000003: /root/a: The directory is not empty. at RemoveDirectory() (145)\r\n"
                             "FILE 000005: /root/z (0 KB)\r\n");
    EXPECT_EQ(left(), (std::vector<std::u16string>{u"/root", u"/root/a", u"/root/a/b", u"/root/a/b/bad"}));
}

TEST_F(Walk, IgnoreErrorsGoesOnAfterADirectoryThatCannotBeOpened) {
    settings.ignore_errors = true;
    build_tree_with_a_failure_two_levels_down();
    fake::system.fail_open[u"/root/a/b"] = 5;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/f1 (0 KB)\r\n"
              "DIR  000002: /root/a\r\n"
              "DIR  000003: /root/a/b\r\n"
              "ERR  000001: /root/a/b: Access is denied. at CreateFile(DIR) (5)\r\n"
              "ERR  000002: /root/a/b: The directory is not empty. at RemoveDirectory() (145)\r\n"
              "FILE 000002: /root/a/a2 (0 KB)\r\n"
              "ERR  000003: /root/a: The directory is not empty. at RemoveDirectory() (145)\r\n"
              "FILE 000003: /root/z (0 KB)\r\n");
}

TEST_F(Walk, BothOptionsGiveUpWhenASubdirectoryWalkFails) {
    settings.ignore_errors = true;
    settings.stop_at_first_error = true;
    build_tree_with_a_failure_two_levels_down();
    fake::system.fail_open[u"/root/a/b"] = 5;
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/f1 (0 KB)\r\n"
              "DIR  000002: /root/a\r\n"
              "DIR  000003: /root/a/b\r\n"
              "ERR  000001: /root/a/b: Access is denied. at CreateFile(DIR) (5)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/z"));
}

TEST_F(Walk, BothOptionsGoOnPastAFileThatCannotBeDeleted) {
    settings.ignore_errors = true;
    settings.stop_at_first_error = true;
    build_tree_with_a_failure_two_levels_down();
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(counters.errors, 3);
    EXPECT_FALSE(fake::exists(u"/root/z"));
}

TEST_F(Walk, ReadOnlyThatCannotBeClearedGivesTwoLinesAndNoDeletion) {
    settings.ignore_errors = true;
    fake::add_file(u"/root/locked", 0, attribute_read_only);
    fake::add_directory(u"/root/dir", attribute_read_only);
    fake::system.fail_clear[u"/root/locked"] = 5;
    fake::system.fail_clear[u"/root/dir"] = 5;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/locked (0 KB)\r\n"
              "ERR  000001: /root/locked: Access is denied. at SetFileAttributes(remove read only attribute) (5)\r\n"
              "ERR  000002: /root/locked: Access is denied. at DeleteFile() (5)\r\n"
              "DIR  000002: /root/dir\r\n"
              "ERR  000003: /root/dir: Access is denied. at SetFileAttributes(remove read only attribute) (5)\r\n"
              "ERR  000004: /root/dir: Access is denied. at RemoveDirectory() (5)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/locked"));
    EXPECT_TRUE(fake::exists(u"/root/dir"));
}

TEST_F(Walk, ReadOnlyFileThatStillCannotBeDeletedGivesOneLine) {
    fake::add_file(u"/root/held", 0, attribute_read_only);
    fake::system.fail_delete[u"/root/held"] = 32;
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/held (0 KB)\r\n"
              "ERR  000001: /root/held: Unknown error 32 at DeleteFile() (32)\r\n");
    // The bit was cleared on the way, as before any deletion on Windows.
    EXPECT_EQ(fake::system.nodes[u"/root/held"].attributes & attribute_read_only, 0u);
}

// Another cleaner on the same tree: what it took between the listing and
// the deletion, opening or listing is done. An empty directory that cannot
// be opened goes as a plain rmdir would. Neither is a line or an error.
TEST_F(Walk, WhatIsAlreadyGoneIsDoneAndAnEmptyDirectoryThatCannotBeOpenedGoes) {
    // Each row: where another cleaner takes an entry, and what the system then says.
    using Hook = std::function<void(const std::u16string&)> fake::System::*;
    auto take = [](Hook hook, std::u16string taken) {
        fake::system.*hook = [taken](const std::u16string& path) {
            if (path == taken && fake::exists(path)) fake::remove_node(path);
        };
    };
    const std::vector<std::function<void()>> rows{
        [&] {
            take(&fake::System::before_deleting, u"/root/d/f");
            fake::system.fail_delete[u"/root/d/f"] = fake::gone;
        },
        [&] { take(&fake::System::before_opening, u"/root/d"); },
        [&] { take(&fake::System::before_removing, u"/root/d"); },
        [&] {
            take(&fake::System::before_removing, u"/root/d");
            fake::system.listing_error[u"/root/d"] = fake::listing_gone;
        },
        [] { fake::system.fail_open[u"/root/e"] = fake::denied; },
    };
    for (std::size_t row = 0; row < rows.size(); ++row) {
        fake::reset(u"/root");
        fake::add_directory(u"/root/d");
        fake::add_file(u"/root/d/f");
        fake::add_directory(u"/root/e");
        rows[row]();
        scythe::Report fresh;
        scythe::platform::OpenedRoot root = scythe::platform::open_root(u"/root");
        EXPECT_TRUE(scythe::delete_tree(root, u"/root", settings, fresh).completed) << row;
        fresh.flush_output();
        EXPECT_EQ(fake::system.console.find("ERR"), std::string::npos) << row << fake::system.console;
        EXPECT_EQ(fresh.counted().errors, 0) << row;
        EXPECT_FALSE(fake::exists(u"/root/e")) << row;
    }
}

TEST_F(Walk, ListingErrorIsReportedInNativeForm) {
    fake::add_file(u"/root/f");
    fake::system.listing_error[u"/root"] = static_cast<std::int32_t>(0xC0000022u);
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "FILE 000001: /root/f (0 KB)\r\n"
              "ERR  000001: /root: Access is denied. at NtQueryDirectoryFile() (NT:0xC0000022,DOS:5)\r\n");
    EXPECT_EQ(fake::system.closed_directories, std::vector<std::u16string>{u"/root"});
}

TEST_F(Walk, LinksAreRemovedWithoutBeingEnteredOtherReparsePointsAreWalked) {
    fake::add_directory(u"/root/link", attribute_reparse_point);
    fake::add_file(u"/root/link/behind");
    fake::system.fail_open[u"/root/link"] = 5;  // entering it would show
    // The fake removes only empty directories: take the link's content away
    // as the system would see only the link itself.
    fake::system.nodes[u"/root/link"].children.clear();
    fake::add_directory(u"/root/junction", attribute_reparse_point, scythe::platform::reparse_tag_mount_point);
    fake::system.nodes[u"/root/junction"].children.clear();
    fake::add_directory(u"/root/placeholder", attribute_reparse_point, 0x9000601Au);  // a cloud file's folder
    fake::add_file(u"/root/placeholder/content");
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(),
              "DIR  000001: /root\r\n"
              "DIR  000002: /root/placeholder\r\n"
              "FILE 000001: /root/placeholder/content (0 KB)\r\n");
    EXPECT_FALSE(fake::exists(u"/root/link"));
    EXPECT_FALSE(fake::exists(u"/root/junction"));
    EXPECT_TRUE(fake::exists(u"/root/link/behind"));
    EXPECT_FALSE(fake::exists(u"/root/placeholder"));
}

TEST_F(Walk, DotEntriesArePassedOver) {
    fake::add_directory(u"/root/.");
    fake::add_directory(u"/root/..");
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(), "DIR  000001: /root\r\n");
}

// A subdirectory that cannot be opened is taken back as one whose walk gave
// up: once the run is interrupted, it is not removed either.
TEST_F(Walk, AnInterruptionWhileASubdirectoryFailsToOpenRemovesNothing) {
    fake::add_directory(u"/root/empty");
    fake::system.fail_open[u"/root/empty"] = 5;
    fake::system.before_opening = [](const std::u16string&) { fake::system.interrupted = true; };
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(), "DIR  000001: /root\r\n"
                         "DIR  000002: /root/empty\r\n"
                         "ERR  000001: /root/empty: Access is denied. at CreateFile(DIR) (5)\r\n"
                         "ERR  000002: /root: The operation was canceled by the user. at Interrupted (1223)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/empty"));
}

TEST_F(Walk, EveryOpenedDirectoryIsClosedOnEveryWayOut) {
    settings.stop_at_first_error = true;
    build_tree_with_a_failure_two_levels_down();
    delete_tree(u"/root");
    EXPECT_EQ(fake::system.closed_directories,
              (std::vector<std::u16string>{u"/root/a/b", u"/root/a", u"/root"}));
}

TEST_F(Walk, DeepTreesAreWalkedToTheBottom) {
    std::u16string path = u"/root";
    for (int level = 0; level < 3000; ++level) {
        path += u"/d";
        fake::add_directory(path);
    }
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(counters.directories, 3001);
    EXPECT_EQ(left(), std::vector<std::u16string>{u"/root"});
}

namespace {
// A chain of directories "d" below /root, with a file at every level.
void build_chain(int depth) {
    std::u16string path = u"/root";
    for (int level = 0; level < depth; ++level) {
        fake::add_file(path + u"/f", 2048);
        path += u"/d";
        fake::add_directory(path);
    }
}
}  // namespace

TEST_F(Walk, SmallHandleBudgetGivesTheLinesOfAnUnlimitedRun) {
    settings.ignore_errors = true;
    auto run_chain = [this](std::size_t budget, std::size_t open_limit = SIZE_MAX) {
        fake::reset(u"/root");
        build_chain(40);
        // Left behind at a level that is released and reopened: one listed
        // after the level below, one before it.
        fake::add_file(u"/root/d/d/d/d/d/d/d/d/d/d/stuck");
        fake::system.fail_delete[u"/root/d/d/d/d/d/d/d/d/d/d/stuck"] = 5;
        fake::system.fail_delete[u"/root/d/d/d/d/d/d/d/d/d/d/f"] = 5;
        fake::system.directory_handle_budget = budget;
        fake::system.open_limit = open_limit;
        counters = {};
        fake::system.console.clear();
        EXPECT_EQ(delete_tree(u"/root"), 1);
        return console();
    };
    std::string unlimited = run_chain(SIZE_MAX);
    EXPECT_EQ(fake::system.most_open_directories, 41u);
    std::string limited = run_chain(4);
    EXPECT_EQ(limited, unlimited);
    EXPECT_EQ(counters.errors, 12);  // the two files, and each directory above them
    EXPECT_LE(fake::system.most_open_directories, 4u);
    EXPECT_EQ(left().size(), 13u);  // the root, ten levels and the files
    // Handles others hold: an open that finds none left releases a level.
    EXPECT_EQ(run_chain(SIZE_MAX, 5), unlimited);
    EXPECT_EQ(fake::system.most_open_directories, 5u);
}

// A dry run deletes nothing, so a released level that lists again meets
// every entry it already handled: each is still listed once.
TEST_F(Walk, DryRunWithASmallHandleBudgetListsEveryEntryOnce) {
    build_chain(40);
    fake::add_directory(u"/root/d/d/d/later");  // listed after the chain's next level
    fake::add_file(u"/root/d/d/d/later/g");
    std::size_t entries = fake::system.nodes.size();
    fake::system.directory_handle_budget = 4;
    settings.what_if = true;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    std::string dry = console();
    EXPECT_EQ(fake::system.nodes.size(), entries);

    fake::system.console.clear();
    counters = {};
    settings.what_if = false;
    fake::system.directory_handle_budget = SIZE_MAX;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(console(), dry);
    EXPECT_EQ(counters.directories, 42);
}

TEST_F(Walk, LevelMovedOutOfTheTreeIsNotFollowedOut) {
    build_chain(6);
    fake::add_directory(u"/away");
    fake::add_file(u"/away/canary");
    fake::system.directory_handle_budget = 3;
    fake::system.before_opening = [](const std::u16string& path) {
        if (path == u"/root/d/d/d/d/d") fake::move_node(u"/root/d/d", u"/away/d");
    };
    // What was moved out is gone from the tree, as if another cleaner took
    // it: no line, no error.
    EXPECT_EQ(delete_tree(u"/root"), 1);
    // /root/d, released while the walk was below, is not reopened through
    // its moved child (that leads to /away) but from the root.
    EXPECT_TRUE(fake::exists(u"/away/canary"));
    EXPECT_EQ(console().find("ERR"), std::string::npos);
}

TEST_F(Walk, LevelThatCannotBeReopenedAsItselfGivesUp) {
    build_chain(6);
    fake::system.directory_handle_budget = 3;
    fake::system.before_opening = [](const std::u16string& path) {
        if (path != u"/root/d/d/d/d/d") return;
        fake::move_node(u"/root/d/d", u"/away/d");
        fake::move_node(u"/root/d", u"/elsewhere/d");
        fake::add_directory(u"/root/d");  // a stranger in its place
        fake::add_file(u"/root/d/stranger");
    };
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_TRUE(fake::exists(u"/root/d/stranger"));
    std::string output = console();
    EXPECT_EQ(output.substr(output.find("ERR")),
              "ERR  000001: /root/d: Unknown error 116 at CreateFile(DIR) (116)\r\n"
              "ERR  000002: /root/d: The directory is not empty. at RemoveDirectory() (145)\r\n");
}

TEST_F(Walk, TransientFailuresAreRetriedWithinBounds) {
    fake::system.transient_errors = {32, 145};
    fake::add_file(u"/root/briefly-held");
    fake::system.fail_delete[u"/root/briefly-held"] = 32;
    fake::system.failures_left[u"/root/briefly-held"] = 2;
    fake::add_directory(u"/root/pending");
    fake::system.fail_remove[u"/root/pending"] = 145;
    fake::system.failures_left[u"/root/pending"] = 1;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(counters.errors, 0);
    EXPECT_EQ(fake::system.pauses, (std::vector<unsigned>{2, 4, 2}));

    fake::system.pauses.clear();
    fake::add_file(u"/root/held");
    fake::system.fail_delete[u"/root/held"] = 32;
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(counters.errors, 1);  // one line, after every wait
    unsigned waited = 0;
    for (unsigned pause : fake::system.pauses) waited += pause;
    EXPECT_EQ(waited, 500u);
}

TEST_F(Walk, NotEmptyIsNotRetriedWhereTheWalkBelowGaveUp) {
    fake::system.transient_errors = {145};
    fake::add_directory(u"/root/sub");
    fake::add_file(u"/root/sub/stuck");
    fake::system.fail_delete[u"/root/sub/stuck"] = 5;
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_TRUE(fake::system.pauses.empty());
}

// A held file (32), a locked one (33) and a directory held open: the
// holders named after the ERR line, escaped as paths, never counted;
// nothing where nobody is named, the lookup fails, or nothing is held.
TEST_F(Walk, TheProgramsHoldingAnEntryAreNamedAfterItsErrLine) {
    settings.ignore_errors = true;
    std::vector<scythe::platform::Holder> named{{u"notepad.exe", 4242}, {u"Search\nIndexer", 1180}};
    std::string line = expected::in_use_by("notepad.exe (4242), Search<U+000A>Indexer (1180)");
    for (auto [holders, lookup_failure] : {std::pair{named, 0}, {{}, 0}, {named, 1168}}) {
        fake::reset(u"/root");
        fake::system.console.clear();
        for (const char16_t* file : {u"/root/held", u"/root/locked", u"/root/other"}) fake::add_file(file);
        fake::add_directory(u"/root/open");
        fake::system.fail_delete = {{u"/root/held", 32}, {u"/root/locked", 33}, {u"/root/other", 5}};
        fake::system.fail_remove[u"/root/open"] = 32;
        for (const char16_t* entry : {u"/root/held", u"/root/locked", u"/root/other", u"/root/open"}) {
            fake::system.holders[entry] = holders;
            if (lookup_failure) fake::system.fail_holders[entry] = lookup_failure;
        }
        counters = {};
        delete_tree(u"/root");
        std::string shown = holders.empty() || lookup_failure ? "" : line;
        EXPECT_EQ(expected::lines_of(console(), {"ERR  ", " "}),
                  "ERR  000001: /root/held: Unknown error 32 at DeleteFile() (32)\r\n" + shown +
                      "ERR  000002: /root/locked: Unknown error 33 at DeleteFile() (33)\r\n" + shown +
                      "ERR  000003: /root/other: Access is denied. at DeleteFile() (5)\r\n"
                      "ERR  000004: /root/open: Unknown error 32 at RemoveDirectory() (32)\r\n" + shown);
        EXPECT_EQ(counters.errors, 4);
        EXPECT_TRUE(fake::system.scheduled.empty());  // not without /OnReboot
    }
}

// /OnReboot: a held file, and each directory above it once everything in
// it is gone or scheduled, children before parents, on one thread and on
// several; the walk lists on past what it scheduled. Not what stays for
// another reason, nor anything above it; a scheduling refused is an ERR
// line of its own.
TEST_F(Walk, OnRebootSchedulesWhatIsHeldAndTheDirectoriesAboveItChildrenFirst) {
    struct Row {
        unsigned threads;
        bool ignore_errors, stop_at_first_error;
        const char16_t* refused;  // its scheduling fails
        std::vector<std::u16string> scheduled;
        int errors;
    };
    std::vector<std::u16string> all{u"/root/a/b/held", u"/root/a/b", u"/root/a/pending", u"/root/a/c/held",
                                    u"/root/a/c",      u"/root/a"};
    for (const Row& row : {Row{1, false, false, nullptr, all, 8}, Row{3, true, false, nullptr, all, 8},
                           Row{1, false, true, nullptr, {all[0]}, 1},
                           Row{1, false, false, u"/root/a/c", {all.begin(), all.end() - 2}, 7}}) {
        fake::reset(u"/root");
        // root: a/{b/{held, gone}, pending, c/{held}}, z/{stuck}
        for (const char16_t* directory : {u"/root/a", u"/root/a/b", u"/root/a/pending", u"/root/a/c", u"/root/z"})
            fake::add_directory(directory);
        for (const char16_t* file : {u"/root/a/b/held", u"/root/a/b/gone", u"/root/a/c/held", u"/root/z/stuck"})
            fake::add_file(file);
        fake::system.fail_delete = {{u"/root/a/b/held", 32}, {u"/root/a/c/held", 33}, {u"/root/z/stuck", 5}};
        fake::system.fail_remove[u"/root/a/pending"] = 145;  // what was deleted in it is still held
        if (row.refused) fake::system.fail_schedule[row.refused] = 5;
        settings.on_reboot = true;
        settings.ignore_errors = row.ignore_errors;
        settings.threads = row.threads;
        settings.stop_at_first_error = row.stop_at_first_error;
        counters = {};
        delete_tree(u"/root");
        const std::vector<std::u16string>& scheduled = fake::system.scheduled;
        for (std::size_t i = 0; i < scheduled.size(); ++i)  // nothing below an entry comes after it
            for (std::size_t later = i + 1; later < scheduled.size(); ++later)
                EXPECT_NE(scheduled[later].rfind(scheduled[i] + u"/", 0), 0u) << row.threads;
        // On several threads, siblings may come in either order.
        EXPECT_TRUE(row.threads > 1 ? std::is_permutation(scheduled.begin(), scheduled.end(), row.scheduled.begin(),
                                                          row.scheduled.end())
                                    : scheduled == row.scheduled)
            << row.threads << row.stop_at_first_error;
        EXPECT_EQ(counters.errors, row.errors);
        EXPECT_EQ(counters.scheduled, static_cast<int>(row.scheduled.size()));
        EXPECT_TRUE(fake::exists(u"/root/z/stuck"));
        EXPECT_EQ(fake::exists(u"/root/a/b/gone"), row.stop_at_first_error);  // listed on past the held file
        if (!row.refused) continue;
        EXPECT_NE(console().find("ERR  000005: /root/a/c: The directory is not empty. at RemoveDirectory() (145)\r\n"
                                 "ERR  000006: /root/a/c: Access is denied. at MoveFileEx(delete at restart) (5)\r\n"
                                 "ERR  000007: /root/a: The directory is not empty. at RemoveDirectory() (145)\r\n"),
                  std::string::npos);
    }
}

TEST_F(Walk, ReadOnlyEntriesGoWithoutAttributeChangesWhereTheSystemAllows) {
    fake::add_file(u"/root/locked", 0, attribute_read_only);
    fake::add_directory(u"/root/dir", attribute_read_only);
    fake::add_file(u"/root/plain");
    fake::system.fail_clear[u"/root/locked"] = 5;  // any attempt to clear would show
    fake::system.fail_clear[u"/root/dir"] = 5;
    fake::system.refuse_ignoring_read_only = false;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(counters.errors, 0);
    EXPECT_EQ(left(), std::vector<std::u16string>{u"/root"});

    // Where it refuses that form, the run learns it at once and clears bits.
    fake::system.fail_clear.clear();
    fake::system.deletion_forms.clear();
    fake::system.refuse_ignoring_read_only = true;
    fake::add_file(u"/root/first");
    fake::add_file(u"/root/locked", 0, attribute_read_only);
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_EQ(counters.errors, 0);
    using Form = scythe::platform::DeletionForm;
    EXPECT_EQ(fake::system.deletion_forms,
              (std::vector<Form>{Form::ignoring_read_only, Form::classic, Form::classic, Form::classic}));
}

// ---- several threads ----

namespace {

class ParallelWalk : public Walk {
protected:
    void SetUp() override {
        Walk::SetUp();
        settings.threads = 2;
    }

    // The run's lines, each without its number, sorted: the order of lines
    // from several threads is the scheduler's, the set of them is not.
    std::vector<std::string> lines_without_numbers() {
        std::vector<std::string> lines;
        std::string output = console();
        for (std::size_t start = 0; start < output.size();) {
            std::size_t end = output.find("\r\n", start);
            std::string line = output.substr(start, end - start);
            lines.push_back(line.substr(0, 5) + line.substr(13));
            start = end + 2;
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    // Each kind of line is numbered 1, 2, 3... in the order written.
    void expect_consecutive_numbers() {
        std::map<std::string, int> last;
        std::string output = console();
        for (std::size_t start = 0; start < output.size(); start = output.find("\r\n", start) + 2)
            EXPECT_EQ(std::stoi(output.substr(start + 5, 6)), ++last[output.substr(start, 4)]) << output;
    }

    // Hooks that make one thread wait at a point until another has passed one.
    static void arrive(const char* point) {
        fake::Locked held;
        reached().insert(point);
        fake::announce();
    }
    static void wait_for(const char* point) {
        fake::wait_until([point] { return reached().count(point) != 0; });
    }
    // The file failing is deleted only once another thread waits just
    // before opening waiting_in, which it does until the failing file's
    // directory is removed: after that directory gave up, and so after
    // every walk was told to stop.
    static void fail_while_another_waits(const std::u16string& failing, const std::u16string& waiting_in) {
        fake::system.fail_delete[failing] = 5;
        fake::system.before_opening = [waiting_in](const std::u16string& path) {
            if (path == waiting_in) arrive("waiting"), wait_for("stopped");
        };
        fake::system.before_deleting = [failing](const std::u16string& path) {
            if (path == failing) wait_for("waiting");
        };
        fake::system.before_removing = [failing](const std::u16string& path) {
            if (path == failing.substr(0, failing.rfind(u'/'))) arrive("stopped");
        };
    }

    // /root/q (see add_queued_directory) is met only once the other thread
    // has taken its subtree and opens reached_by_other in it: q is then
    // queued, never walked by this thread before the failure.
    static void queue_once_taken(const std::u16string& reached_by_other) {
        fake::system.before_opening = [earlier = fake::system.before_opening,
                                       reached_by_other](const std::u16string& path) {
            if (path == reached_by_other) arrive("taken");
            if (path == u"/root/q") wait_for("taken");
            if (earlier) earlier(path);
        };
    }

    // The thread that handed a subtree out meets later_in_parent only once
    // another thread lists first_inside in that subtree: it cannot take the
    // subtree back itself while it still lists, so another thread works.
    static void met_once_taken(const std::u16string& first_inside, const std::u16string& later_in_parent) {
        fake::system.on_listing = [earlier = fake::system.on_listing, first_inside,
                                   later_in_parent](const std::u16string& path) {
            if (path == first_inside) arrive("listed by another");
            if (path == later_in_parent) wait_for("listed by another");
            if (earlier) earlier(path);
        };
    }
    // A subtree went to another thread: with nothing handed out, the
    // parallel tests must fail.
    static void expect_another_thread_worked() {
        EXPECT_GE(fake::system.listing_threads.size(), 2u) << "nothing was handed out";
    }

    static std::set<std::string>& reached() {
        static std::set<std::string> points;
        return points;
    }
    void TearDown() override { reached().clear(); }
};

}  // namespace

// With two threads, the first subdirectory met goes to the other thread,
// the second waits queued for whichever finishes first, the third is
// walked by the thread that met it.
void add_queued_directory() {
    fake::add_directory(u"/root/q");
    fake::add_file(u"/root/q/kept");
}

// root: a/{x/{f}, y} is handed to the other thread, which waits just after
// the DIR line of a/x; q is queued; b/bad fails on this thread meanwhile; c
// is never reached.
TEST_F(ParallelWalk, TheFirstFailureStopsTheOtherWalksBeforeTheirNextEntry) {
    fake::add_directory(u"/root/a");
    fake::add_directory(u"/root/a/x");
    fake::add_file(u"/root/a/x/f");
    fake::add_directory(u"/root/a/y");
    add_queued_directory();
    fake::add_directory(u"/root/b");
    fake::add_file(u"/root/b/bad");
    fake::add_file(u"/root/c");
    fail_while_another_waits(u"/root/b/bad", u"/root/a/x");
    queue_once_taken(u"/root/a/x");
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(lines_without_numbers(),
              (std::vector<std::string>{
                  "DIR  /root", "DIR  /root/a", "DIR  /root/a/x", "DIR  /root/b", "DIR  /root/q",
                  "ERR  /root/b/bad: Access is denied. at DeleteFile() (5)",
                  "ERR  /root/b: The directory is not empty. at RemoveDirectory() (145)", "FILE /root/b/bad (0 KB)"}));
    expect_consecutive_numbers();
    // What was only stopped stays, and writes nothing more.
    EXPECT_EQ(left(), (std::vector<std::u16string>{u"/root", u"/root/a", u"/root/a/x", u"/root/a/x/f", u"/root/a/y",
                                                   u"/root/b", u"/root/b/bad", u"/root/c", u"/root/q",
                                                   u"/root/q/kept"}));
    EXPECT_EQ(counters.errors, 2);
    expect_another_thread_worked();
}

TEST_F(ParallelWalk, UnderStopAtFirstErrorTheFailureIsTheOnlyErrLine) {
    settings.stop_at_first_error = true;
    fake::add_directory(u"/root/a");
    fake::add_directory(u"/root/a/x");
    add_queued_directory();
    fake::add_directory(u"/root/b");
    fake::add_file(u"/root/b/bad");
    fake::system.fail_delete[u"/root/b/bad"] = 5;
    fake::system.before_opening = [](const std::u16string& path) {
        if (path == u"/root/a/x") arrive("in a/x"), wait_for("failed");
    };
    queue_once_taken(u"/root/a/x");
    fake::system.before_deleting = [](const std::u16string& path) {
        if (path == u"/root/b/bad") wait_for("in a/x");
    };
    std::thread release([] {
        // b gives up at once and is not removed: it is closed once every
        // walk was told to stop.
        fake::wait_until([] {
            auto& closed = fake::system.closed_directories;
            return std::find(closed.begin(), closed.end(), u"/root/b") != closed.end();
        });
        arrive("failed");
    });
    EXPECT_EQ(delete_tree(u"/root"), 0);
    release.join();
    EXPECT_EQ(lines_without_numbers(),
              (std::vector<std::string>{"DIR  /root", "DIR  /root/a", "DIR  /root/a/x", "DIR  /root/b", "DIR  /root/q",
                                        "ERR  /root/b/bad: Access is denied. at DeleteFile() (5)",
                                        "FILE /root/b/bad (0 KB)"}));
    EXPECT_TRUE(fake::exists(u"/root/a/x"));
    EXPECT_TRUE(fake::exists(u"/root/b"));
    expect_another_thread_worked();
}

// root: a/{b/{bad}} is handed out and fails there; this thread meanwhile
// walks c and waits in c/x until the failure's walk has given up.
TEST_F(ParallelWalk, AFailureInAHandedOutSubtreeIsReportedUpToTheRoot) {
    fake::add_directory(u"/root/a");
    fake::add_directory(u"/root/a/b");
    fake::add_file(u"/root/a/b/bad");
    fake::add_directory(u"/root/c");
    fake::add_directory(u"/root/c/x");
    fake::add_file(u"/root/c/x/f");
    fail_while_another_waits(u"/root/a/b/bad", u"/root/c/x");
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(lines_without_numbers(),
              (std::vector<std::string>{
                  "DIR  /root", "DIR  /root/a", "DIR  /root/a/b", "DIR  /root/c", "DIR  /root/c/x",
                  "ERR  /root/a/b/bad: Access is denied. at DeleteFile() (5)",
                  "ERR  /root/a/b: The directory is not empty. at RemoveDirectory() (145)",
                  "ERR  /root/a: The directory is not empty. at RemoveDirectory() (145)",
                  "FILE /root/a/b/bad (0 KB)"}));
    expect_consecutive_numbers();
    EXPECT_TRUE(fake::exists(u"/root/c/x/f"));  // stopped: neither walked on nor removed
    EXPECT_EQ(counters.errors, 3);
    expect_another_thread_worked();
}

namespace {
// A tree of width and depth, with failures and read-only entries spread in it.
void build_wide_tree_with_failures() {
    for (int i = 0; i < 6; ++i) {
        std::u16string top = u"/root/d" + std::u16string(1, static_cast<char16_t>(u'0' + i));
        fake::add_directory(top, i == 2 ? attribute_read_only : 0);
        for (int j = 0; j < 4; ++j) {
            std::u16string sub = top + u"/s" + std::u16string(1, static_cast<char16_t>(u'0' + j));
            fake::add_directory(sub);
            for (int k = 0; k < 5; ++k)
                fake::add_file(sub + u"/f" + std::u16string(1, static_cast<char16_t>(u'0' + k)), 3000,
                               k == 1 ? attribute_read_only : 0);
        }
    }
    fake::system.fail_delete[u"/root/d1/s2/f3"] = 5;
    fake::system.fail_open[u"/root/d4/s0"] = 5;
    fake::system.fail_clear[u"/root/d5/s3/f1"] = 5;
}
}  // namespace

TEST_F(ParallelWalk, UnderIgnoreErrorsTheLinesCountsAndWhatIsLeftAreThoseOfOneThread) {
    settings.ignore_errors = true;
    auto run_with = [this](unsigned threads, std::size_t budget) {
        fake::reset(u"/root");
        build_wide_tree_with_failures();
        fake::system.directory_handle_budget = budget;
        settings.threads = threads;
        reached().clear();
        if (threads > 1) met_once_taken(u"/root/d0/s0", u"/root/d1");
        counters = {};
        fake::system.console.clear();
        EXPECT_EQ(delete_tree(u"/root"), 1);
        return std::make_tuple(lines_without_numbers(), counters.directories, counters.files, counters.errors, left());
    };
    auto one = run_with(1, SIZE_MAX);
    EXPECT_EQ(std::get<3>(one), 10);
    for (unsigned threads : {2u, 4u, 64u}) {
        EXPECT_EQ(run_with(threads, SIZE_MAX), one) << threads;
        expect_consecutive_numbers();
        expect_another_thread_worked();
    }
    // All walks together keep to the handle budget.
    EXPECT_EQ(run_with(4, 12), one);
    EXPECT_LE(fake::system.most_open_directories, 12u);
    expect_another_thread_worked();
}

TEST_F(ParallelWalk, ADeepChainUnderASmallBudgetOnSeveralThreads) {
    settings.ignore_errors = true;
    build_chain(60);
    fake::add_file(u"/root/z");
    met_once_taken(u"/root/d/f", u"/root/z");
    fake::add_file(u"/root/d/d/d/d/d/d/d/d/d/d/stuck");
    fake::system.fail_delete[u"/root/d/d/d/d/d/d/d/d/d/d/stuck"] = 5;
    fake::system.directory_handle_budget = 9;
    settings.threads = 3;
    EXPECT_EQ(delete_tree(u"/root"), 1);
    EXPECT_LE(fake::system.most_open_directories, 9u);
    EXPECT_EQ(counters.errors, 11);  // the file and each directory above it
    EXPECT_EQ(counters.directories, 61);
    expect_another_thread_worked();
}

TEST_F(ParallelWalk, AnInterruptionWritesOneLineAndRemovesNothingMore) {
    fake::add_directory(u"/root/a");
    fake::add_file(u"/root/a/f");
    fake::add_directory(u"/root/b");
    fake::add_file(u"/root/b/g");
    fake::system.before_deleting = [](const std::u16string&) { fake::system.interrupted = true; };
    met_once_taken(u"/root/a/f", u"/root/b");
    EXPECT_EQ(delete_tree(u"/root"), 0);
    std::string output = console();
    EXPECT_EQ(output.find("Interrupted"), output.rfind("Interrupted")) << output;
    EXPECT_EQ(counters.errors, 1);
    EXPECT_TRUE(fake::exists(u"/root/a"));
    EXPECT_TRUE(fake::exists(u"/root/b"));
    expect_another_thread_worked();
}

// root: a/{f} goes to the other thread, which stops just after its listing
// gave f, past its look at the interruption; this thread then meets g, the
// interruption comes and its line is written. The other thread writes no
// FILE line for f and does not delete it.
TEST_F(ParallelWalk, NoLineAndNoDeletionFollowTheInterruptedLineOnAnyThread) {
    fake::add_directory(u"/root/a");
    fake::add_file(u"/root/a/f");
    fake::add_file(u"/root/g");
    settings.error_log_path = u"/errors.log";
    ASSERT_EQ(report.open_logs(settings), 1);
    fake::system.on_listing = [](const std::u16string& path) {
        if (path == u"/root/a/f")
            fake::wait_until([] { return fake::system.files[u"/errors.log"].find("Interrupted") != std::string::npos; });
        if (path == u"/root/g") fake::system.interrupted = true;
    };
    met_once_taken(u"/root/a/f", u"/root/g");
    EXPECT_EQ(delete_tree(u"/root"), 0);
    EXPECT_EQ(console(), "DIR  000001: /root\r\n"
                         "DIR  000002: /root/a\r\n"
                         "ERR  000001: /root: The operation was canceled by the user. at Interrupted (1223)\r\n");
    EXPECT_TRUE(fake::exists(u"/root/a/f"));
    EXPECT_TRUE(fake::exists(u"/root/g"));
    expect_another_thread_worked();
}

// A level's own end and its subtrees' combine by one rule, in any order:
// gave up outweighs stopped, which outweighs completed.
TEST(LevelEnds, TheWorseOfTwoEndsWins) {
    using scythe::End;
    const End ends[] = {End::completed, End::stopped, End::gave_up};
    for (int first = 0; first < 3; ++first)
        for (int second = 0; second < 3; ++second)
            EXPECT_EQ(scythe::worse(ends[first], ends[second]), ends[std::max(first, second)]) << first << second;
}
