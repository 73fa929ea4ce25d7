// The stack of levels a walk holds instead of recursing, so that no depth
// exhausts the call stack, and the path they spell. The hard cases:
// - The handle budget: a walk holds at most its share of directory
//   handles. The levels between its top (never released) and the deepest
//   are released on the way down, highest first, and reopened on the way
//   back up: through the child's "..", else by name from the nearest open
//   ancestor, and only if each is still the directory it was. One handle
//   is kept free, for a level reopened while its child is open.
// - Handles others took meanwhile: an open that finds none left releases
//   one more level and tries again.
// - A reopened level lists again from the start: it passes over what it
//   handled and left behind, which it noted when it was released. Levels
//   never released note nothing, so failures cost no memory.
// - Released levels are those from the top's child up to a boundary that
//   moves up one level as one is released and down to the deepest open one
//   as a level is closed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace scythe {

struct Level {
    Level(platform::OwnedDirectory owned_directory, platform::Directory& opened, std::size_t length)
        : owned(std::move(owned_directory)), directory(&opened), path_length(length) {}

    // Where the level has been released, the entry is one that is still
    // there when it lists again.
    void stays(const std::u16string& name) {
        if (left_behind) left_behind->insert(name);
    }

    platform::OwnedDirectory owned;  // empty for the run's root, which the run holds open
    platform::Directory* directory;
    std::size_t path_length;  // this directory's path, in the stack's path
    // Something failed here or below: the directory cannot be empty, so a
    // "not empty" on its removal is not worth waiting out.
    bool failed = false;
    // Something failed here or below that the next restart will not
    // remove (see Subtree).
    bool outlasts_restart = false;
    platform::DirectoryEntry entry;  // the entry being handled
    bool restart = true;
    // Once released: the entries handled here that are still there.
    std::optional<std::set<std::u16string>> left_behind;
};

class LevelStack {
    using ErrorCode = platform::ErrorCode;

public:
    // The top stays open: reopening from above starts there.
    static constexpr std::size_t kept_at_top = 1;
    // The top, one level below it, and the handle kept free.
    static constexpr std::size_t least_budget = kept_at_top + 2;

    // top_path is the path of the walk's top directory.
    LevelStack(const std::u16string& top_path, std::size_t budget) : path_(top_path), budget_(budget) {}

    // The walk's top: the run's root (owned by the run) or a subtree
    // handed over.
    void open_top(platform::OwnedDirectory owned, platform::Directory& directory) {
        levels_.emplace_back(std::move(owned), directory, path_.size());
        open_handles_ = 1;
    }

    // Opens the entry the deepest level is handling.
    ErrorCode open_child(platform::OwnedDirectory& child) {
        ErrorCode error;
        while ((error = platform::open_subdirectory(*deepest().directory, deepest().entry, child)) &&
               platform::out_of_handles(error) && release_one())
            continue;
        return error;
    }

    // The child opened becomes the deepest level.
    void push(platform::OwnedDirectory child) {
        platform::Directory& directory = *child;
        levels_.emplace_back(std::move(child), directory, path_.size());
        ++open_handles_;
        while (open_handles_ >= budget_ && release_one()) continue;
    }

    // Closes the deepest level; its parent gets its handle back first if it
    // was released (through the deepest level's "..", which is still open
    // unless it was released too), unless reopen is false. The error says
    // why it could not. The released levels then end with the parent where
    // it is still released, else above it.
    ErrorCode pop(bool reopen_parent) {
        std::size_t parent = levels_.size() - 2;
        ErrorCode error = platform::no_error;
        if (reopen_parent && released(parent))
            error = reopen(parent, released(parent + 1) ? nullptr : levels_.back().directory);
        if (!released(parent + 1)) --open_handles_;
        levels_.pop_back();
        released_end_ = std::max(kept_at_top, std::min(released_end_, parent + (released(parent) ? 1 : 0)));
        return error;
    }

    Level& deepest() { return levels_.back(); }
    // The deepest level's depth below the top (0 for the top).
    std::size_t depth() const { return levels_.size() - 1; }
    bool at_top() const { return levels_.size() == 1; }
    bool empty() const { return levels_.empty(); }

    // The path of the deepest level's entry, from here until the next: the
    // one place the path changes, so each level's path stays its prefix.
    const std::u16string& name_entry() {
        path_.resize(deepest().path_length);
        path_.push_back(platform::path_separator);
        path_ += deepest().entry.name;
        return path_;
    }
    // The top's path until an entry is named.
    const std::u16string& path() const { return path_; }
    std::u16string_view path_of(const Level& level) const {
        return std::u16string_view(path_).substr(0, level.path_length);
    }
    // The directory being walked: the deepest level, or the top before it
    // is one.
    std::u16string_view walked_path() const { return levels_.empty() ? path_ : path_of(levels_.back()); }

private:
    // The highest open level between the top and the deepest notes what it
    // leaves behind: the entries its listing gave before the one being
    // handled, each handled and still there (deleted ones are gone; one
    // added by someone else meanwhile is then left alone).
    bool release_one() {
        if (released_end_ + 1 >= levels_.size()) return false;
        Level& level = levels_[released_end_++];
        if (!level.left_behind) {
            level.left_behind.emplace();
            platform::DirectoryEntry listed;
            for (bool restart = true; platform::read_directory(*level.directory, restart, listed) >= 0 &&
                                      listed.name != level.entry.name;
                 restart = false)
                level.left_behind->insert(listed.name);
        }
        platform::release_directory(*level.directory);
        --open_handles_;
        return true;
    }

    ErrorCode reopen(std::size_t index, platform::Directory* child) {
        Level& level = levels_[index];
        bool from_below = child && platform::reopen_from_child(*level.directory, *child) == platform::no_error;
        if (ErrorCode error = from_below ? platform::no_error : reopen_from_above(index)) return error;
        ++open_handles_;
        level.restart = true;
        return platform::no_error;
    }

    // By name from the one above, down from the top, holding only one of
    // them at a time: every level between the top and index is released.
    ErrorCode reopen_from_above(std::size_t index) {
        for (std::size_t k = kept_at_top; k <= index; ++k) {
            Level& above = levels_[k - 1];
            ErrorCode error = platform::reopen_from_parent(*levels_[k].directory, *above.directory, above.entry);
            if (k - 1 >= kept_at_top) platform::release_directory(*above.directory);
            if (error) return error;
        }
        return platform::no_error;
    }

    bool released(std::size_t index) const { return platform::directory_released(*levels_[index].directory); }

    std::u16string path_;  // each level's path is a prefix of it
    const std::size_t budget_;
    std::deque<Level> levels_;
    std::size_t open_handles_ = 0;
    // Levels from kept_at_top up to here have released their handles.
    std::size_t released_end_ = kept_at_top;
};

}  // namespace scythe
