// What the walks of one run share, on one thread or several (made by
// delete_tree, passed down by reference), and the one outcome type the
// parts of a walk give one another.
#pragma once

#include <atomic>
#include <cstddef>

#include "delete/retries.h"
#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

class Crew;

// What handling one entry, or listing a level, came to.
enum class Outcome {
    lists_on,   // the entry was handled, or passed over where errors are ignored
    descended,  // a subdirectory was entered and is now the deepest level
    completed,  // the level's listing ended, every entry handled
    gave_up,
    stopped,  // cut short because a walk on another thread gave up
};

// Links and mount points stand for another name: removed as what they
// are, never entered, never scheduled for the next restart.
inline bool is_link(const platform::DirectoryEntry& entry) {
    return (entry.attributes & platform::attribute_reparse_point) &&
           (entry.reparse_tag & platform::reparse_tag_name_surrogate);
}

// Gave up outweighs stopped, which outweighs going on.
inline Outcome worse(Outcome first, Outcome second) {
    if (first == Outcome::gave_up || second == Outcome::gave_up) return Outcome::gave_up;
    if (first == Outcome::stopped || second == Outcome::stopped) return Outcome::stopped;
    return first;
}

// What the walk of a directory and everything below it came to, on this
// thread or another.
struct Subtree {
    Outcome end = Outcome::gave_up;  // completed, gave_up or stopped
    bool failed = false;             // something in it or below it failed
    // Something in it or below it stays even after the next restart: it
    // failed and was not scheduled for deletion then (/OnReboot).
    bool outlasts_restart = false;
    // Only then can its "not empty" be deleted entries someone still holds
    // open, worth waiting out, rather than an entry that stays.
    bool emptied() const { return end == Outcome::completed && !failed; }
};

struct Shared {
    Shared(const RunSettings& run_settings, Report& run_report, std::size_t handles)
        : settings(run_settings), report(run_report), budget(handles), retries(run_report, run_settings) {}

    // A walk that gives up stops every other walk before its next entry,
    // unless the run ignores errors and goes on after a directory that
    // gave up.
    void stop_other_walks() {
        if (crew && (!settings.ignore_errors || settings.stop_at_first_error))
            another_walk_gave_up.store(true, std::memory_order_relaxed);
    }

    const RunSettings& settings;
    Report& report;
    const std::size_t budget;  // directory handles each walk may hold
    Retries retries;           // the run's one budget of waiting
    Crew* crew = nullptr;      // the other threads; none for a walk on one
    std::atomic<bool> interrupted{false};  // its line is written: nothing more is deleted or removed
    std::atomic<bool> another_walk_gave_up{false};  // no new entry anywhere
    // Until the system refuses it; then the classic form for the rest of the run.
    std::atomic<platform::DeletionForm> form{platform::DeletionForm::ignoring_read_only};
    platform::Mutex scheduling;  // taken around each deletion scheduled for the next restart
};

}  // namespace scythe
