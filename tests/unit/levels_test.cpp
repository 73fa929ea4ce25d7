// The walk's level stack alone against the in-memory system: the handle
// budget kept on the way down, with or without handles to spare; each
// released level reopened on the way up as the directory it was, noting
// what it had handled; a level replaced meanwhile not reopened.
#include "delete/levels.h"

#include "fixture.h"

namespace {

using scythe::platform::no_error;

class Levels : public FakeSystemTest {
protected:
    // root, then a chain of "d" depth levels deep, with a file "a" listed
    // before "d" at every level.
    void SetUp() override {
        FakeSystemTest::SetUp();
        std::u16string path = u"/root";
        for (int level = 0; level < 8; ++level) {
            fake::add_file(path + u"/a");
            fake::add_directory(path += u"/d");
        }
        root = scythe::platform::open_root(u"/root");
    }

    // Opens the stack at the root and goes down the chain depth levels.
    scythe::LevelStack& go_down(int depth, std::size_t budget) {
        levels.emplace(u"/root", budget);
        levels->open_top(nullptr, *scythe::platform::root_directory(*root.root));
        return go_on_down(depth);
    }

    // From the deepest level, which lists again from where it stands.
    scythe::LevelStack& go_on_down(int depth) {
        for (int i = 0; i < depth; ++i) {
            scythe::Level& level = levels->deepest();
            while (scythe::platform::read_directory(*level.directory, level.restart, level.entry) >= 0 &&
                   level.entry.name != u"d")
                level.restart = false;
            levels->name_entry();
            scythe::platform::OwnedDirectory child;
            EXPECT_EQ(levels->open_child(child), no_error);
            levels->push(std::move(child));
        }
        return *levels;
    }

    scythe::platform::OpenedRoot root;
    std::optional<scythe::LevelStack> levels;
};

}  // namespace

TEST_F(Levels, KeepToTheBudgetAndAreReopenedAsThemselvesOnTheWayUp) {
    for (auto [budget, open_limit] : {std::pair<std::size_t, std::size_t>{4, SIZE_MAX}, {SIZE_MAX, 3}}) {
        fake::system.open_limit = open_limit;
        fake::system.most_open_directories = fake::system.open_directories;
        scythe::LevelStack& stack = go_down(8, budget);
        for (int depth = 8; depth > 4; --depth) ASSERT_EQ(stack.pop(true), no_error) << depth;
        stack.deepest().restart = true;  // to list "d" again
        go_on_down(4);
        EXPECT_EQ(stack.path(), u"/root/d/d/d/d/d/d/d/d");
        EXPECT_EQ(fake::system.most_open_directories, std::min(budget, open_limit));
        for (int depth = 7; depth > 0; --depth) {
            ASSERT_EQ(stack.pop(true), no_error) << depth;
            // Released highest first: those released noted what they had
            // handled before "d", and list again from the start.
            bool released = depth <= 6;
            auto noted = released ? std::optional(std::set<std::u16string>{u"a"}) : std::nullopt;
            EXPECT_EQ(stack.deepest().left_behind, noted) << depth;
            EXPECT_EQ(stack.deepest().restart, released) << depth;
        }
        EXPECT_EQ(stack.pop(true), no_error);
        EXPECT_TRUE(stack.at_top());
        EXPECT_EQ(fake::system.open_directories, 1u);  // the root's
        stack.deepest().restart = true;
        go_on_down(8);  // the top is never released
        EXPECT_FALSE(scythe::platform::directory_released(*scythe::platform::root_directory(*root.root)));
    }
}

TEST_F(Levels, ALevelReplacedWhileReleasedIsNotReopened) {
    scythe::LevelStack& stack = go_down(5, 3);
    fake::move_node(u"/root/d/d/d/d/d", u"/elsewhere");  // its ".." leads away
    fake::move_node(u"/root/d/d/d/d", u"/gone");
    fake::add_directory(u"/root/d/d/d/d");  // a stranger in its place
    EXPECT_EQ(stack.pop(true), fake::stale);
    EXPECT_EQ(stack.path_of(stack.deepest()), u"/root/d/d/d/d");
    // From the root, each level is let go once the next is open: one handle
    // beyond the budget for a moment.
    EXPECT_EQ(fake::system.most_open_directories, 4u);
    // Those above it are still the ones they were, and the walk goes on
    // into the stranger within its budget.
    EXPECT_EQ(stack.pop(true), no_error);
    for (std::u16string path = u"/root/d/d/d/d"; path.size() < 24;) fake::add_directory(path += u"/d");
    stack.deepest().restart = true;
    fake::system.most_open_directories = fake::system.open_directories;
    go_on_down(4);
    EXPECT_EQ(fake::system.most_open_directories, 3u);
    for (int depth = 7; depth > 0; --depth) EXPECT_EQ(stack.pop(true), no_error);
    EXPECT_EQ(fake::system.open_directories, 1u);
}
