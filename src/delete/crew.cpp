// The crew of a walk on several threads: the threads, the queue of handed
// subtrees and the waiting. See crew.h for the rules it keeps.
#include "delete/crew.h"

namespace scythe {

Crew::Crew(unsigned threads, std::size_t most_jobs) : most_jobs_(most_jobs) {
    for (unsigned i = 1; i < threads; ++i)
        if (platform::OwnedThread thread = platform::start_thread([this] { work(); }))
            threads_.push_back(std::move(thread));
    platform::Holding held(&mutex_);
    while (idle_.load(std::memory_order_relaxed) < threads_.size()) all_idle_.wait(mutex_);
    starting_ = false;
}

Crew::~Crew() {
    {
        platform::Holding held(&mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    threads_.clear();  // joins them
}

bool Crew::has_room() const {
    return jobs_.load(std::memory_order_relaxed) < most_jobs_ &&
           queued_.load(std::memory_order_relaxed) < idle_.load(std::memory_order_relaxed) + queued_for_the_next;
}

bool Crew::hand_out(Job& job) {
    platform::Holding held(&mutex_);
    if (!has_room()) return false;
    queue_.push_back(&job);
    queued_.store(queue_.size(), std::memory_order_relaxed);
    ++jobs_;
    changed_.notify_all();
    return true;
}

Crew::Job* Crew::take() {
    Job* job = queue_.front();
    queue_.pop_front();
    queued_.store(queue_.size(), std::memory_order_relaxed);
    return job;
}

void Crew::run(Job& job) {
    mutex_.unlock();
    job.run();
    mutex_.lock();
    --jobs_;
    job.done_.store(true, std::memory_order_release);  // the owner may let it go from here on
    changed_.notify_all();
}

void Crew::help_until(const std::function<bool()>& finished) {
    platform::Holding held(&mutex_);
    while (!finished()) {
        if (!queue_.empty()) {
            run(*take());
            continue;
        }
        ++idle_;
        changed_.wait(mutex_);
        --idle_;
    }
}

// An idle thread sleeps until work is queued or the crew closes. Only the
// crew's start is told that a thread became idle, on a condition of its
// own: a thread that woke the others each time it went idle would keep
// them all waking each other for as long as the walk lasts.
void Crew::work() {
    platform::Holding held(&mutex_);
    for (;;) {
        while (queue_.empty() && !closing_) {
            ++idle_;
            if (starting_) all_idle_.notify_all();
            changed_.wait(mutex_);
            --idle_;
        }
        if (queue_.empty()) return;
        run(*take());
    }
}

}  // namespace scythe
