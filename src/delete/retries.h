// Retries for failures that pass by themselves. Windows keeps a deleted
// file that someone still holds open (an antivirus scanner, an indexer, a
// shell window) as "delete pending" until the last handle closes, so its
// directory is "not empty" for a moment; a file held open for a moment
// refuses deletion with a sharing violation. The run's budget of waiting is
// one, whichever threads spend it.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "report/output.h"

namespace scythe {

// Tries an operation again while its failure may pass a moment later,
// after growing waits: no item waits more than about half a second, and a
// run no more than a few seconds altogether; after that failures are
// reported at once.
class Retries {
public:
    explicit Retries(Report& report) : report_(report) {}

    template <typename Operation>
    platform::ErrorCode run(Operation operation) {
        platform::ErrorCode error = operation();
        for (unsigned wait : waits_milliseconds) {
            if (!error || !platform::worth_retrying(error) || !take(wait) || platform::interruption_requested())
                break;
            report_.flush_output();  // no line waits out the pause in a buffer
            platform::pause_milliseconds(wait);
            error = operation();
        }
        return error;
    }

private:
    // Doubling from 2 ms; the last wait is cut to 246 so that one item's
    // waits add up to exactly half a second (2 + 4 + ... + 128 = 254).
    static constexpr unsigned waits_milliseconds[] = {2, 4, 8, 16, 32, 64, 128, 246};
    // Takes a wait out of what is left, unless too little is.
    bool take(unsigned wait) {
        unsigned left = left_milliseconds_.load(std::memory_order_relaxed);
        while (left >= wait)
            if (left_milliseconds_.compare_exchange_weak(left, left - wait, std::memory_order_relaxed)) return true;
        return false;
    }

    Report& report_;
    std::atomic<unsigned> left_milliseconds_{3000};
};

}  // namespace scythe
