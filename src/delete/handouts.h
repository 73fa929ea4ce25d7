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
//   level that gives up stops the other walks first, so that they end soon.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delete/crew.h"
#include "delete/shared.h"
#include "platform/platform.h"

namespace scythe {

// The walk of a subtree handed over, on the thread that took it (its top
// open, its DIR line written); in walk.cpp.
Subtree walk_handed(Shared& shared, const std::u16string& path, platform::OwnedDirectory top);

// A subdirectory handed to another thread: what its walk needs, and what
// it reports back to the level that handed it out.
struct Handout : Crew::Job {
    Handout(Shared& run_shared, const platform::DirectoryEntry& listed, const std::u16string& its_path,
            platform::OwnedDirectory opened)
        : shared(run_shared), entry(listed), path(its_path), directory(std::move(opened)) {}

    void run() override { walked = walk_handed(shared, path, std::move(directory)); }

    Shared& shared;
    const platform::DirectoryEntry entry;  // as its parent listed it, for its removal there
    const std::u16string path;
    platform::OwnedDirectory directory;  // until its walk takes it
    Subtree walked;
};

// The subtrees one level handed out and has not yet taken back.
class Handouts {
public:
    // What taking a finished subtree back came to for the level.
    using TakeBack = std::function<Outcome(const Handout&)>;

    bool empty() const { return handed_.empty(); }

    // Only where a thread is idle: true when the other thread has the
    // subtree; false leaves child with the caller.
    bool hand_out(Shared& shared, const platform::DirectoryEntry& entry, const std::u16string& path,
                  platform::OwnedDirectory& child) {
        if (!shared.crew || !shared.crew->has_room()) return false;
        auto handout = std::make_unique<Handout>(shared, entry, path, std::move(child));
        if (!shared.crew->hand_out(*handout)) {
            child = std::move(handout->directory);
            return false;
        }
        handed_.push_back(std::move(handout));
        return true;
    }

    // Takes back every finished subtree; outcome, as the level stands,
    // comes back as it stands then.
    Outcome take_back_finished(Outcome outcome, const TakeBack& take_back) {
        for (std::size_t i = 0; i < handed_.size();) {
            if (!handed_[i]->done()) {
                ++i;
                continue;
            }
            outcome = worse(outcome, take_back(*handed_[i]));
            handed_.erase(handed_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return outcome;
    }

    // Waits for every subtree, helping meanwhile, and takes each back.
    Outcome settle(Shared& shared, Outcome outcome, const TakeBack& take_back) {
        if (outcome == Outcome::gave_up) shared.stop_other_walks();
        while (!handed_.empty()) {
            shared.crew->help_until([&] {
                return std::any_of(handed_.begin(), handed_.end(), [](const auto& handout) { return handout->done(); });
            });
            Outcome settled = take_back_finished(outcome, take_back);
            if (settled == Outcome::gave_up && outcome != Outcome::gave_up) shared.stop_other_walks();
            outcome = settled;
        }
        return outcome;
    }

private:
    std::vector<std::unique_ptr<Handout>> handed_;
};

}  // namespace scythe
