// The deletion walk: empties the root of a run, depth first.
#pragma once

#include <string>

#include "app/settings.h"
#include "platform/platform.h"

namespace scythe {

enum class TreeResult {
    completed,  // every entry was handled, or passed over under /IgnoreErrors
    gave_up,    // the walk stopped early; the root is left in place
};

// Empties the root that was opened for path under the run settings. The
// root itself is left for the caller to remove; a root that is a link is
// shown but never entered.
TreeResult delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings);

}  // namespace scythe
