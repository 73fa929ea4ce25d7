// The deletion walk: a DIR line for every directory it enters, a FILE line
// for every file it meets; files deleted, each subdirectory removed once
// its own walk returns. Its parts: the level stack (levels.h), the handling
// of one entry (entry_handler.h), the hand-out protocol for several threads
// (handouts.h, crew.h), the lines (report/errors.h). The hard cases:
// - Links and mount points (reparse points that stand for another name) are
//   removed as what they are, never entered; other reparse points are
//   walked as the directories they are. The platform opens every child as
//   itself, never through a link.
// - Entries are deleted while their directory's listing is still open; the
//   listing goes on from where it stood. A level that cannot be got back as
//   itself (moved or replaced while released) is reported and given up.
// - An interruption stops the walk before its next operation. On several
//   threads each looks at it under the lock of the line it writes, so no
//   DIR or FILE line follows the Interrupted line, and no deletion but of a
//   file named before it.
// - A kept root (/KeepRoot) that its walk emptied (/SubDirectories) is
//   asked of the platform once more: listings may hide what it still holds.
// - Several threads (/Threads:N): each walk keeps to its share of the
//   handle budget. Unless the run ignores errors, the first directory to
//   give up stops every other walk before its next entry: those write no
//   further line and are not removed, while the directory that failed and
//   those above it report as a walk on one thread would.
#include "delete/walk.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "delete/crew.h"
#include "delete/entry_handler.h"
#include "delete/handouts.h"
#include "delete/levels.h"
#include "delete/outcome.h"
#include "delete/shared.h"
#include "report/errors.h"

namespace scythe {

namespace {

using platform::DirectoryEntry;
using platform::ErrorCode;

// A subtree handed to another thread: the crew's job, its walk the walk's own.
struct HandedWalk final : Handout {
    HandedWalk(Shared& run_shared, const DirectoryEntry& listed, const std::u16string& its_path,
               platform::OwnedDirectory opened)
        : Handout(listed, its_path, std::move(opened)), shared(run_shared) {}

    void run() override;

    Shared& shared;
};

class Walk {
public:
    Walk(const std::u16string& top_path, Shared& shared)
        : shared_(shared), levels_(top_path, shared.budget), entries_(shared, levels_) {}

    TreeOutcome run(platform::OpenedRoot& root) {
        if (!entries_.show_directory(levels_.path())) return {false, false};
        if (root.kind == platform::RootKind::link) return {true, true};
        platform::Directory* directory = root.root ? platform::root_directory(*root.root) : nullptr;
        if (!directory) {
            entries_.report_failure(levels_.path(), "CreateFile(DIR)", root.error);
            return {false, false};
        }
        Subtree walked = walk_from(nullptr, *directory);
        if (walked.emptied() && keeps_root()) {
            if (ErrorCode error = platform::confirm_emptied(*root.root)) {
                entries_.report_failure(levels_.walked_path(), "RemoveDirectory()", error);
                return {true, false};
            }
        }
        return {walked.end == End::completed, walked.emptied(), walked.outlasts_restart};
    }

    // The deepest level is listed until it ends or a child is entered; a
    // finished level takes back what it handed out, then its parent takes
    // it back.
    Subtree walk_from(platform::OwnedDirectory owned, platform::Directory& top) {
        levels_.open_top(std::move(owned), top);
        Step step = Step::lists_on();
        for (;;) {
            Level& level = levels_.deepest();
            if (!step.level_ends()) {
                step = list(level);
                continue;
            }
            End end = settle(step.end());
            Subtree walked{end, level.failed, level.outlasts_restart};
            if (levels_.at_top()) return walked;
            step = finish_deepest(walked);
        }
    }

private:
    // A root that stays holds nothing its walk could not list (Wine hides
    // links that lead nowhere): the walk confirms it emptied the root, where
    // it was to empty it (without /SubDirectories its subdirectories stay).
    bool keeps_root() const {
        const RunSettings& settings = shared_.settings;
        return settings.keep_root && settings.descend_into_subdirectories && !settings.what_if;
    }

    Shared& shared_;
    LevelStack levels_;
    EntryHandler entries_;
    // By depth: the subtrees each level handed out, made at its first.
    std::vector<std::unique_ptr<Handouts>> handouts_;

    // Lists one directory until it ends, gives up, or a child is entered.
    Step list(Level& level) {
        for (;;) {
            if (entries_.report_if_interrupted()) return Step::ends(End::gave_up);
            if (std::optional<End> ended = take_back_finished()) return Step::ends(*ended);
            if (entries_.another_walk_gave_up()) return Step::ends(End::stopped);
            platform::NativeStatus status = platform::read_directory(*level.directory, level.restart, level.entry);
            level.restart = false;
            if (status < 0) return entries_.listing_ended(level, levels_.path_of(level), status);
            shared_.report.keep_console_current();
            if (level.left_behind && level.left_behind->count(level.entry.name)) continue;
            if (Step step = handle(level, levels_.name_entry()); !step.goes_on()) return step;
        }
    }

    Step handle(Level& level, const std::u16string& path) {
        const DirectoryEntry& entry = level.entry;
        if (!(entry.attributes & platform::attribute_directory)) return entries_.delete_file(level, path);
        if (!shared_.settings.descend_into_subdirectories) return Step::lists_on();
        if (is_link(entry)) return entries_.remove_link(level, path);
        return enter(level, path);
    }

    // Counts and shows the directory, then opens it as a new level, or
    // hands it to an idle thread, past which a released parent lists on.
    Step enter(Level& parent, const std::u16string& path) {
        if (!entries_.show_directory(path)) return Step::ends(End::gave_up);
        platform::OwnedDirectory child;
        if (ErrorCode error = levels_.open_child(child)) return entries_.take_back_unopened(parent, path, error);
        if (hand_out(parent, path, child)) {
            parent.stays(parent.entry.name);
            return Step::lists_on();
        }
        levels_.push(std::move(child));
        return Step::descended();
    }

    // Once interrupted, nothing is reopened either.
    Step finish_deepest(const Subtree& walked) {
        std::u16string_view path = levels_.path_of(levels_.deepest());
        ErrorCode unreachable = levels_.pop(!entries_.interrupted());
        Level& parent = levels_.deepest();
        if (unreachable) return entries_.lost_parent(levels_.path_of(parent), unreachable);
        return entries_.take_back(parent, parent.entry, path, walked);
    }

    // Only where a thread is idle; false leaves child with the caller.
    bool hand_out(Level& parent, const std::u16string& path, platform::OwnedDirectory& child) {
        if (!shared_.crew || !shared_.crew->has_room()) return false;
        std::unique_ptr<Handout> handout = std::make_unique<HandedWalk>(shared_, parent.entry, path, std::move(child));
        if (handouts_here(true)->hand_out(*shared_.crew, handout)) return true;
        child = std::move(handout->directory);
        return false;
    }

    // The deepest level's hand-outs; made where asked for, else null where
    // it has handed nothing out.
    Handouts* handouts_here(bool make = false) {
        std::size_t depth = levels_.depth();
        if (handouts_.size() <= depth) handouts_.resize(depth + 1);
        if (!handouts_[depth] && make) handouts_[depth] = std::make_unique<Handouts>();
        return handouts_[depth].get();
    }

    // What the deepest level's subtrees that other threads finished come to.
    std::optional<End> take_back_finished() {
        Handouts* handed = handouts_here();
        if (!handed || handed->empty()) return std::nullopt;
        return handed->take_back_finished(take_back_in(levels_.deepest()));
    }

    // The deepest level's end, once every subtree it handed out is back.
    End settle(End end) {
        Handouts* handed = handouts_here();
        if (!handed) {
            if (end == End::gave_up) entries_.level_gave_up();
            return end;
        }
        return handed->settle(shared_.crew, end, take_back_in(levels_.deepest()), [this] { entries_.level_gave_up(); });
    }

    Handouts::TakeBack take_back_in(Level& level) {
        return [this, &level](const Handout& handout) {
            return entries_.take_back(level, handout.entry, handout.path, handout.walked);
        };
    }
};

// A subtree handed to this thread is walked as a walk of its own.
void HandedWalk::run() {
    platform::Directory& top = *directory;
    walked = Walk(path, shared).walk_from(std::move(directory), top);
}

// How many walks may be under way: one per thread and one queued, each
// with room for the least budget of handles. Fewer walks give each a
// larger share of the budget, which a deep chain, walked by one of them,
// needs to release and reopen levels less often.
std::size_t walks_at_most(std::size_t budget, unsigned threads) {
    return std::max<std::size_t>(1, std::min<std::size_t>(std::size_t{threads} + 1, budget / LevelStack::least_budget));
}

}  // namespace

TreeOutcome delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings,
                        Report& report) {
    std::size_t budget = std::max(platform::directory_handle_budget(), LevelStack::least_budget);
    if (settings.threads <= 1) {
        Shared shared(settings, report, budget);
        return Walk(path, shared).run(root);
    }
    std::size_t walks = walks_at_most(budget, settings.threads);
    Shared shared(settings, report, budget / walks);
    report.share_between_threads();
    // Jobs are the walks besides the root's.
    Crew crew(settings.threads, walks - 1);
    shared.crew = &crew;
    return Walk(path, shared).run(root);
}

}  // namespace scythe
