// An in-memory stand-in for the operating system, so that tests can drive
// failures a real disk does not easily give. Walks on several threads call
// it at once: every call holds one lock, and a test's hook (before_opening,
// before_deleting) may wait for another thread with wait_until, which lets
// the lock go meanwhile, so that which thread does what is the test's to
// decide, never the scheduler's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct Node {
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::vector<std::u16string> children;  // names, in listing order
    std::uint64_t id = 0;                   // stays with the node when it moves
    std::uint32_t reparse_tag = 0;
};

// The code a reopened directory that is no longer the same one fails with.
inline constexpr std::uint32_t stale = 116;
// What an entry someone else deleted fails with; a listing whose directory
// went; access refused.
inline constexpr std::uint32_t gone = 2;
inline constexpr std::int32_t listing_gone = static_cast<std::int32_t>(0xC0000034);
inline constexpr std::uint32_t denied = 13;
// The code an open fails with when the process has no handle left.
inline constexpr std::uint32_t too_many_open = 4;

struct System {
    std::map<std::u16string, Node> nodes;  // by full path
    std::map<std::uint64_t, std::u16string> path_of;  // node id to its path now
    std::uint64_t last_id = 0;
    std::size_t directory_handle_budget = SIZE_MAX;
    std::size_t open_limit = SIZE_MAX;  // directories open at once before opens fail
    std::size_t open_directories = 0, most_open_directories = 0;
    // Called with a subdirectory's path just before the walk opens it or
    // removes it, and with a file's before it is deleted.
    std::function<void(const std::u16string&)> before_opening, before_removing, before_deleting;
    // Called with an entry's path as a listing gives it.
    std::function<void(const std::u16string&)> on_listing;
    // The threads that listed a directory: a walk on several threads that
    // handed nothing out shows one.
    std::set<std::thread::id> listing_threads;
    unsigned logical_processors = 3;
    std::string console;
    bool utf8_files_begin_with_mark = false;
    // What the console takes before it blocks, and what happens then (the
    // interruption comes while it waits).
    std::size_t console_room = SIZE_MAX;
    std::function<void()> on_console_full;
    // The output files as they were when the output's grace began.
    std::optional<std::map<std::u16string, std::string>> output_grace_began_with;
    std::u16string console_redirected_to;  // the output file standard output is, if any
    std::map<std::u16string, std::string> files;  // output files by path
    std::set<std::u16string> uncreatable;

    // Failures by path: the error code the operation fails with.
    std::map<std::u16string, std::uint32_t> fail_open, fail_delete, fail_remove, fail_clear;
    // An injected failure happens only this many times where given.
    std::map<std::u16string, int> failures_left;
    std::set<std::uint32_t> transient_errors;
    // Who holds an entry open (32 and 33 say it is held), a lookup that
    // fails, and the deletions scheduled for the next restart, in order.
    std::map<std::u16string, std::vector<scythe::platform::Holder>> holders;
    std::map<std::u16string, std::uint32_t> fail_holders, fail_schedule;
    std::vector<std::u16string> scheduled;
    std::vector<unsigned> pauses;
    // A listing that ends with this status after all its entries.
    std::map<std::u16string, std::int32_t> listing_error;

    bool missing_query_entry_point = false;
    bool missing_status_entry_point = false;
    std::uint32_t fail_open_token = 0;
    std::map<std::string, std::uint32_t> fail_lookup, fail_adjust;
    std::set<std::string> not_held;  // privileges the account does not hold
    bool fail_close_token = false;
    std::vector<std::string> looked_up, enabled_privileges;
    std::vector<std::u16string> open_files, closed_files, closed_directories;
    std::map<std::u16string, std::uint32_t> fail_write;  // output files whose writes fail
    std::map<std::u16string, int> writes_before_failing;  // ... after this many have gone through
    bool interrupted = false;
    // Deletion forms: the one that ignores the read-only bit is refused
    // (as by Wine or a FAT volume) unless this is false.
    bool refuse_ignoring_read_only = true;
    std::vector<scythe::platform::DeletionForm> deletion_forms;
    std::uint64_t milliseconds = 0;  // the monotonic clock
    std::uint64_t milliseconds_per_entry = 0;  // added at every listing call
    std::int64_t clock = 1000;
    std::int64_t clock_step = 0;  // added at every reading
    std::u16string working_directory = u"/";  // empty: it has no name; "?": it cannot be read
    scythe::platform::LocalTime local_time{2026, 12, 9, 19, 20, 31, 60};
};

extern System system;
// Held by every call into the fake system, and by a test that looks at it
// while walks run; a thread may take it again.
struct Locked {
    Locked();
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// For hooks: waits until condition holds (asked with the lock held); the
// lock is let go while waiting. A wait that another thread was to end and
// that goes on for a minute (nothing was handed out, so the thread that
// waits is the one that was to end it) fails the test and returns, and so
// does every later wait of the test at once: a test that cannot pass ends
// instead of hanging.
void wait_until(const std::function<bool()>& condition);
// Wakes those waiting, for them to ask their condition again.
void announce();

// A fresh system with a root directory at the given path.
void reset(const std::u16string& root);
// A reparse point without a tag given is a link (a symbolic link's tag).
void add_directory(const std::u16string& path, std::uint32_t extra_attributes = 0,
                   std::uint32_t reparse_tag = 0xA000000C);
void add_file(const std::u16string& path, std::uint64_t size = 0, std::uint32_t extra_attributes = 0);
void remove_node(const std::u16string& path);
// Renames a node and everything below it, as a rename(2) would.
void move_node(const std::u16string& from, const std::u16string& to);
bool exists(const std::u16string& path);

}  // namespace fake
