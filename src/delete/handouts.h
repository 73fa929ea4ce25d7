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

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delete/crew.h"
#include "delete/shared.h"
#include "platform/platform.h"

namespace scythe {

// A subdirectory handed to another thread: what its walk needs, and what
// it reports back to the level that handed it out.
struct Handout : Crew::Job {
    Handout(Shared& run_shared, const platform::DirectoryEntry& listed, const std::u16string& its_path,
            platform::OwnedDirectory opened)
        : shared(run_shared), entry(listed), path(its_path), directory(std::move(opened)) {}

    void run() override;

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
                  platform::OwnedDirectory& child);
    // Takes back every finished subtree; outcome, as the level stands,
    // comes back as it stands then.
    Outcome take_back_finished(Outcome outcome, const TakeBack& take_back);
    // Waits for every subtree, helping meanwhile, and takes each back.
    Outcome settle(Shared& shared, Outcome outcome, const TakeBack& take_back);

private:
    std::vector<std::unique_ptr<Handout>> handed_;
};

// The walk of a subtree handed over, on the thread that took it (its top
// open, its DIR line written).
Subtree walk_handed(Shared& shared, const std::u16string& path, platform::OwnedDirectory top);

}  // namespace scythe
