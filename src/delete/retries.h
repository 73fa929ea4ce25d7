// Retries for failures that pass by themselves. Windows keeps a deleted
// file that someone still holds open (an antivirus scanner, an indexer, a
// shell window) as "delete pending" until the last handle closes, so its
// directory is "not empty" for a moment; a file held open for a moment
// refuses deletion with a sharing violation.
//
// The budget: each item is retried for a while (half a second unless the
// run settings give a number of seconds, 0 meaning never), and a run
// spends at most six items' worth altogether, so a tree full of held files
// is reported instead of waited out item by item. The waits grow from 2 ms
// but never pass a quarter of a second, and the output is pushed out
// before each one, so the console shows what the run is waiting on. The
// run's budget is one, whichever threads spend it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "report/output.h"
#include "run_settings.h"

namespace scythe {

class Retries {
public:
    Retries(Report& report, const RunSettings& settings)
        : report_(report),
          item_milliseconds_(settings.retry_for_seconds ? *settings.retry_for_seconds * 1000 : 500),
          left_milliseconds_(items_per_run * item_milliseconds_) {}

    template <typename Operation>
    platform::ErrorCode run(Operation operation) {
        platform::ErrorCode error = operation();
        std::uint32_t waited = 0;
        for (std::uint32_t wait = first_wait; error && platform::worth_retrying(error);
             wait = std::min(wait * 2, longest_wait)) {
            // The last wait is cut so that one item's waits add up to its budget.
            std::uint32_t pause = std::min(wait, item_milliseconds_ - waited);
            if (pause == 0 || !take(pause) || platform::interruption_requested()) break;
            waited += pause;
            report_.flush_output();  // no line waits out the pause in a buffer
            platform::pause_milliseconds(pause);
            error = operation();
        }
        return error;
    }

private:
    static constexpr std::uint32_t first_wait = 2;
    static constexpr std::uint32_t longest_wait = 250;
    static constexpr std::uint32_t items_per_run = 6;
    // Takes a pause out of what is left, unless too little is.
    bool take(std::uint32_t pause) {
        std::uint32_t left = left_milliseconds_.load(std::memory_order_relaxed);
        while (left >= pause)
            if (left_milliseconds_.compare_exchange_weak(left, left - pause, std::memory_order_relaxed)) return true;
        return false;
    }

    Report& report_;
    const std::uint32_t item_milliseconds_;
    std::atomic<std::uint32_t> left_milliseconds_;
};

}  // namespace scythe
