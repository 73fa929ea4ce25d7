// The deletion walk: empties the root of a run, depth first.
#pragma once

#include <string>

#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

// What the walk of the root came to.
struct TreeOutcome {
    // Every entry was handled, or passed over under /IgnoreErrors; false when
    // the walk stopped early and the root is to be left in place.
    bool completed = false;
    // Nothing at all failed below the root: a root that is "not empty" now
    // can only hold deleted entries someone still has open.
    bool emptied = false;
    // Something below the root stays even after the next restart, so the
    // root is not scheduled for deletion then.
    bool outlasts_restart = false;
};

// Empties the root that was opened for path under the run settings,
// writing its lines and counting in report. The root itself is left for
// the caller to remove; a root that is a link is shown but never entered.
TreeOutcome delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings,
                        Report& report);

}  // namespace scythe
