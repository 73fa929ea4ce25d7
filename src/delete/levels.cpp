// The level stack: open, release, verified reopen; see levels.h.
#include "delete/levels.h"

#include <algorithm>

namespace scythe {

using platform::ErrorCode;
using platform::no_error;

void LevelStack::open_top(platform::OwnedDirectory owned, platform::Directory& directory) {
    levels_.emplace_back(std::move(owned), directory, path_.size());
    open_handles_ = 1;
}

const std::u16string& LevelStack::name_entry() {
    path_.resize(deepest().path_length);
    path_.push_back(platform::path_separator);
    path_ += deepest().entry.name;
    return path_;
}

ErrorCode LevelStack::open_child(platform::OwnedDirectory& child) {
    ErrorCode error;
    while ((error = platform::open_subdirectory(*deepest().directory, deepest().entry, child)) &&
           platform::out_of_handles(error) && release_one())
        continue;
    return error;
}

void LevelStack::push(platform::OwnedDirectory child) {
    platform::Directory& directory = *child;
    levels_.emplace_back(std::move(child), directory, path_.size());
    ++open_handles_;
    while (open_handles_ >= budget_ && release_one()) continue;
}

// The highest open level between the top and the deepest notes what it
// leaves behind: the entries its listing gave before the one being
// handled, each handled and still there (deleted ones are gone; one added
// by someone else meanwhile is then left alone).
bool LevelStack::release_one() {
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

// The parent is reopened through the deepest level's "..", which is still
// open unless it was released too. The released levels then end with the
// parent where it is still released, else above it.
ErrorCode LevelStack::pop(bool reopen_parent) {
    std::size_t parent = levels_.size() - 2;
    ErrorCode error = no_error;
    if (reopen_parent && released(parent))
        error = reopen(parent, released(parent + 1) ? nullptr : levels_.back().directory);
    path_.resize(levels_.back().path_length);
    if (!released(parent + 1)) --open_handles_;
    levels_.pop_back();
    released_end_ = std::max(kept_at_top, std::min(released_end_, parent + (released(parent) ? 1 : 0)));
    return error;
}

ErrorCode LevelStack::reopen(std::size_t index, platform::Directory* child) {
    Level& level = levels_[index];
    bool from_below = child && platform::reopen_from_child(*level.directory, *child) == no_error;
    ErrorCode error = from_below ? no_error : reopen_from_above(index);
    if (error) return error;
    ++open_handles_;
    level.restart = true;
    return no_error;
}

// By name from the one above, down from the top, holding only one of them
// at a time: every level between the top and index is released.
ErrorCode LevelStack::reopen_from_above(std::size_t index) {
    for (std::size_t k = kept_at_top; k <= index; ++k) {
        Level& above = levels_[k - 1];
        ErrorCode error = platform::reopen_from_parent(*levels_[k].directory, *above.directory, above.entry);
        if (k - 1 >= kept_at_top) platform::release_directory(*above.directory);
        if (error) return error;
    }
    return no_error;
}

}  // namespace scythe
