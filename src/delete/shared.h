// What the walks of one run share, on one thread or several (made by
// delete_tree, passed down by reference).
#pragma once

#include <atomic>
#include <cstddef>

#include "delete/retries.h"
#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

class Crew;

// Links and mount points stand for another name: removed as what they
// are, never entered, never scheduled for the next restart.
inline bool is_link(const platform::DirectoryEntry& entry) {
    return (entry.attributes & platform::attribute_reparse_point) &&
           (entry.reparse_tag & platform::reparse_tag_name_surrogate);
}

struct Shared {
    Shared(const RunSettings& run_settings, Report& run_report, std::size_t handles)
        : settings(run_settings), report(run_report), budget(handles), retries(run_report, run_settings) {}

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
