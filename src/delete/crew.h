// The threads of a walk on several threads, and the subtrees handed from
// one to another. The hard cases:
// - Work goes to a thread that is idle right now, and one subtree more
//   waits queued for the next thread to finish, so that a thread that is
//   done does not wait for the others to meet their next subdirectory;
//   beyond that a walk goes down itself: a chain is not passed back and
//   forth level by level, a flat directory stays with the thread that
//   lists it.
// - A thread that waits for the subtrees it handed out takes queued ones
//   meanwhile, and otherwise counts as idle, so the tail of a tree does not
//   run on one thread while the others wait.
// - Bounded: at most a given number of handed subtrees are under way at
//   once (queued, running, or waiting for their own), since each holds
//   directory handles; this also bounds how deeply helping nests.
// - The crew is ready only once every thread waits for work, so whether
//   the first subdirectory is handed out does not depend on how fast the
//   threads started.
// - Idle threads sleep: nothing wakes them but work queued, a job done
//   (which the thread that handed it out waits for) and the crew's end,
//   so a walk blocked on its output, or one thread listing a flat
//   directory, costs the others no processor time.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace scythe {

class Crew {
public:
    // Work handed to another thread; its owner keeps it until done().
    class Job {
    public:
        virtual ~Job() = default;
        virtual void run() = 0;
        bool done() const { return done_.load(std::memory_order_acquire); }

    private:
        friend class Crew;
        std::atomic<bool> done_{false};
    };

    // threads counts the one that creates the crew, which works too.
    Crew(unsigned threads, std::size_t most_jobs);
    ~Crew();  // every job is done by then: the threads end
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Whether a job would be taken now: a first look, without the lock.
    bool has_room() const;
    // Queues the job for a thread that is idle now, or for the next one to
    // finish, if there is room for another job; false leaves it to the
    // caller.
    bool hand_out(Job& job);
    // Runs queued jobs on this thread, or waits, until finished() holds;
    // finished is asked with the crew's lock held.
    void help_until(const std::function<bool()>& finished);

private:
    static constexpr std::size_t queued_for_the_next = 1;

    void work();
    Job* take();  // the first queued job, with the lock held
    void run(Job& job);  // called and returns with the lock held

    platform::Mutex mutex_;
    // Work queued, a job done, or the crew closing: what the idle wait for.
    platform::Condition changed_;
    // A thread became idle, while the crew starts (which waits for all).
    platform::Condition all_idle_;
    bool starting_ = true;
    std::deque<Job*> queue_;
    std::atomic<std::size_t> queued_{0};  // the queue's length, for a look without the lock
    std::atomic<std::size_t> idle_{0};  // changed under the lock, read without it for a first look
    // Queued or under way; changed under the lock, read without it for a
    // first look, so that a walk at the limit (deep in a chain) costs
    // nothing per subdirectory.
    std::atomic<std::size_t> jobs_{0};
    const std::size_t most_jobs_;
    bool closing_ = false;
    std::vector<platform::OwnedThread> threads_;
};

}  // namespace scythe
