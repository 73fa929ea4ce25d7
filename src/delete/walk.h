// The deletion walk: empties the root of a run, depth first.
#pragma once

#include <string>

#include "app/settings.h"
#include "platform/platform.h"
#include "report/output.h"

namespace scythe {

// Tries an operation again while its failure may pass a moment later,
// after growing waits: no item waits more than about half a second, and a
// run no more than a few seconds altogether; after that failures are
// reported at once.
class Retries {
public:
    template <typename Operation>
    platform::ErrorCode run(Operation operation) {
        platform::ErrorCode error = operation();
        for (unsigned wait : waits_milliseconds) {
            if (!error || !platform::worth_retrying(error) || left_milliseconds_ < wait ||
                platform::interruption_requested())
                break;
            left_milliseconds_ -= wait;
            flush_output();  // no line waits out the pause in a buffer
            platform::pause_milliseconds(wait);
            error = operation();
        }
        return error;
    }

private:
    static constexpr unsigned waits_milliseconds[] = {2, 4, 8, 16, 32, 64, 128, 246};
    unsigned left_milliseconds_ = 3000;
};

enum class TreeResult {
    completed,  // every entry was handled, or passed over under /IgnoreErrors
    gave_up,    // the walk stopped early; the root is left in place
};

// Empties the root that was opened for path under the run settings. The
// root itself is left for the caller to remove; a root that is a link is
// shown but never entered.
TreeResult delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings);

}  // namespace scythe
