// The hand-out protocol of a walk on several threads, in one place. A
// level that meets a subdirectory while another thread is idle opens it
// itself, as always, writes its DIR line and hands the opened subtree
// over; the other thread walks it as a walk of its own; the level takes
// it back once it is done, as it takes back a subdirectory it walked
// itself (removing it through its own handle), and waits for every one it
// handed out before its own directory is finished. The hard cases:
// - No handle is shared: the parent keeps the record, the other thread
//   the subtree's handle.
// - A level waiting for its subtrees takes queued work meanwhile, and a
//   level that gives up says so first (the error policy may stop the
//   other walks), so that they end soon.
// - A level's hand-outs are held apart from it, made at its first
//   hand-out: the level stack knows nothing of threads.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "delete/crew.h"
#include "delete/outcome.h"
#include "platform/platform.h"

namespace scythe {

// A subdirectory handed to another thread: what its walk needs, and what
// it reports back to the level that handed it out. The job's run(), the
// walk of the subtree, is the walk's own (walk.cpp).
struct Handout : Crew::Job {
    Handout(const platform::DirectoryEntry& listed, const std::u16string& its_path, platform::OwnedDirectory opened)
        : entry(listed), path(its_path), directory(std::move(opened)) {}

    const platform::DirectoryEntry entry;  // as its parent listed it, for its removal there
    const std::u16string path;
    platform::OwnedDirectory directory;  // until its walk takes it
    Subtree walked;
};

// The subtrees one level handed out and has not yet taken back.
class Handouts {
public:
    // What taking a finished subtree back came to for the level.
    using TakeBack = std::function<Step(const Handout&)>;

    bool empty() const { return handed_.empty(); }

    // True when another thread has the subtree; false leaves the handout
    // (and its directory) with the caller.
    bool hand_out(Crew& crew, std::unique_ptr<Handout>& handout) {
        if (!crew.hand_out(*handout)) return false;
        handed_.push_back(std::move(handout));
        return true;
    }

    // Takes back every finished subtree: the worst end one of them came
    // to, if any ended the level.
    std::optional<End> take_back_finished(const TakeBack& take_back) {
        std::optional<End> ended;
        for (std::size_t i = 0; i < handed_.size();) {
            if (!handed_[i]->done()) {
                ++i;
                continue;
            }
            Step step = take_back(*handed_[i]);
            if (step.level_ends()) ended = worse(ended.value_or(End::completed), step.end());
            handed_.erase(handed_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return ended;
    }

    // Waits for every subtree, helping meanwhile, and takes each back; the
    // level's end comes back combined with theirs. gave_up is told once
    // the level gives up, so that the other walks end soon.
    End settle(Crew* crew, End end, const TakeBack& take_back, const std::function<void()>& gave_up) {
        if (end == End::gave_up) gave_up();
        while (!handed_.empty()) {
            crew->help_until([this] { return any_done(); });
            std::optional<End> taken = take_back_finished(take_back);
            if (!taken) continue;
            End settled = worse(end, *taken);
            if (settled == End::gave_up && end != End::gave_up) gave_up();
            end = settled;
        }
        return end;
    }

private:
    bool any_done() const {
        return std::any_of(handed_.begin(), handed_.end(), [](const auto& handout) { return handout->done(); });
    }

    std::vector<std::unique_ptr<Handout>> handed_;
};

}  // namespace scythe
