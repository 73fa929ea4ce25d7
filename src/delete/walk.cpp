// The deletion walk. It writes a DIR line for every directory it enters and
// a FILE line for every file it meets, deletes files, removes each
// subdirectory once its own walk returns, and applies the error policy.
//
// The hard cases:
// - Depth: the walk keeps its own stack of levels instead of recursing, so
//   no depth exhausts the call stack, and it holds at most the platform's
//   budget of directory handles: the levels between the root and the
//   deepest ones are released and reopened on the way back up (from the
//   child's "..", else by name from the nearest open ancestor), and only if
//   they are still the directory they were. A reopened level lists again
//   from the start, passing over what it already handled and left behind,
//   so no entry is handled twice.
// - Links and mount points (reparse points that stand for another name) are
//   removed as what they are, never entered; other reparse points are
//   walked as the directories they are. The platform opens every child as
//   itself, never through a link.
// - Windows keeps deleted files that someone still holds open as "delete
//   pending", so their directory is "not empty" for a moment, and a file
//   held open for a moment refuses deletion: such failures are retried
//   within bounds before they are reported.
// - Whether a "not empty" is waited out is decided by what happened below
//   the directory (each level knows whether anything in it or under it
//   failed), never by the run's error count: a log that cannot be written
//   says nothing about the tree.
// - Entries are deleted while their directory's listing is still open; the
//   listing goes on from where it stood.
// - An interruption stops the walk before its next operation; nothing is
//   deleted or removed after it. On several threads each looks at it under
//   the lock of the line it writes, so no DIR or FILE line follows the
//   Interrupted line, and no deletion but of a file named before it.
// - Several threads (/Threads:N): a walk that meets a subdirectory while
//   another thread is idle opens it itself, as always, writes its DIR line
//   and hands the opened subtree over; it removes that subdirectory once
//   the other thread reports back, through its own handle, and waits for
//   every subtree it handed out before its own directory is finished. No
//   handle is shared between threads. Each walk keeps to its share of the
//   handle budget. Unless the run ignores errors, the first directory to
//   give up stops every other walk before its next entry: those write no
//   further line and are not removed, while the directory that failed and
//   those above it report as a walk on one thread would.
// - A dry run (/WhatIf) lists exactly what a run would, with the same
//   lines and numbers, as if every deletion succeeded, and changes nothing:
//   no deletion, no attribute. Only listing can fail there; a directory
//   that cannot be listed could not have been emptied and removed either,
//   so the error policy treats it as that removal's failure. Everything it
//   handled is still there, so a released level that lists again passes
//   over all of it, as a real run passes over its failures.
#include "delete/walk.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "delete/crew.h"
#include "delete/retries.h"
#include "report/errors.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

namespace {

using platform::DirectoryEntry;
using platform::ErrorCode;
using platform::no_error;

// What one step of listing a directory came to.
enum class Step {
    descended,  // a subdirectory was entered and is now the deepest level
    completed,
    gave_up,
    stopped,  // cut short because a walk on another thread gave up
};

// What the walks of one run share, on one thread or several.
struct Shared {
    Shared(const RunSettings& run_settings, Report& run_report, std::size_t handles)
        : settings(run_settings), report(run_report), budget(handles), retries(run_report, run_settings) {}

    const RunSettings& settings;
    Report& report;
    const std::size_t budget;  // directory handles each walk may hold
    Retries retries;           // the run's one budget of waiting
    Crew* crew = nullptr;      // the other threads; none for a walk on one
    std::atomic<bool> interrupted{false};  // nothing more is deleted or removed
    std::atomic<bool> stop{false};         // some walk gave up: no new entry anywhere
    // Until the system refuses it; then the classic form for the rest of the run.
    std::atomic<platform::DeletionForm> form{platform::DeletionForm::ignoring_read_only};
};

struct Handout;

struct Level {
    Level(platform::OwnedDirectory owned_directory, platform::Directory* opened, std::size_t length)
        : owned(std::move(owned_directory)), directory(opened), path_length(length) {}

    platform::OwnedDirectory owned;  // empty for the root, which the run holds open
    platform::Directory* directory;
    std::size_t path_length;  // this directory's path in the walk's path buffer
    // Something failed here or below: the directory cannot be empty, so a
    // "not empty" on its removal is not worth waiting out.
    bool failed = false;
    DirectoryEntry entry;     // the entry being handled
    bool restart = true;
    // Once the level has been released: the entries handled here that are
    // still there (failures under /IgnoreErrors, subtrees handed out),
    // passed over when it is reopened and lists again. Levels never
    // released remember nothing, so failures cost no memory.
    std::optional<std::set<std::u16string>> left_behind;
    // Subdirectories handed to other threads and not yet taken back.
    std::vector<std::unique_ptr<Handout>> handed;
};

// The root stays open: reopening from above starts there.
constexpr std::size_t levels_kept_at_top = 1;

// What follows once the deepest level is finished.
enum class Then {
    parent_lists_on,
    parent_gives_up,  // and is finished in turn
    parent_stops,     // the subdirectory was stopped, and so is its parent
};

// What a walk came to: the result of its top level, and whether anything
// in it or below it failed.
struct WalkResult {
    Step step = Step::gave_up;
    bool failed = false;
};

class Walk {
public:
    Walk(const std::u16string& top_path, Shared& shared)
        : path_(top_path),
          shared_(shared),
          settings_(shared.settings),
          report_(shared.report),
          budget_(shared.budget) {}

    TreeOutcome run(platform::OpenedRoot& root) {
        if (!count_and_show_directory()) return {false, false};
        if (root.kind == platform::RootKind::link) return {true, true};
        platform::Directory* directory = root.root ? platform::root_directory(*root.root) : nullptr;
        if (!directory) {
            report_win32_error(report_, path_, "CreateFile(DIR)", root.error);
            return {false, false};
        }
        levels_.emplace_back(nullptr, directory, path_.size());
        WalkResult result = walk_from_top();
        return {result.step == Step::completed, result.step == Step::completed && !result.failed};
    }

    // A subtree handed over by another thread: its top is open, its DIR
    // line written.
    WalkResult run_handed(platform::OwnedDirectory top) {
        platform::Directory* directory = top.get();
        levels_.emplace_back(std::move(top), directory, path_.size());
        return walk_from_top();
    }

private:
    std::u16string path_;  // appended on the way down, cut on the way up
    Shared& shared_;
    const RunSettings& settings_;
    Report& report_;
    const std::size_t budget_;
    std::deque<Level> levels_;
    std::size_t open_handles_ = 0;
    // Levels from levels_kept_at_top up to here have released their handles.
    std::size_t released_end_ = levels_kept_at_top;
    std::u16string line_;

    // One level at a time: the deepest is listed until it ends or a child
    // is entered; a finished level takes back what it handed out and hands
    // its result up.
    WalkResult walk_from_top() {
        open_handles_ = 1;
        Step step = list(levels_.back());
        for (;;) {
            if (step == Step::descended) {
                step = list(levels_.back());
                continue;
            }
            step = settle(levels_.back(), step);
            if (levels_.size() == 1) return {step, levels_.back().failed};
            Then then = finish_deepest(step);
            step = then == Then::parent_lists_on ? list(levels_.back())
                   : then == Then::parent_stops  ? Step::stopped
                                                 : Step::gave_up;
        }
    }

    bool stopping() const { return shared_.interrupted.load(std::memory_order_relaxed); }
    bool stopped() const { return shared_.stop.load(std::memory_order_relaxed); }

    // A level that gives up stops every other walk, unless the run ignores
    // errors and goes on after a directory that gave up.
    void stop_others() {
        if (shared_.crew && (!settings_.ignore_errors || settings_.stop_at_first_error))
            shared_.stop.store(true, std::memory_order_relaxed);
    }

    template <typename Operation>
    ErrorCode in_learned_form(Operation operation) {
        platform::DeletionForm form = shared_.form.load(std::memory_order_relaxed);
        ErrorCode error = operation(form);
        if (error != platform::deletion_form_refused || form == platform::DeletionForm::classic) return error;
        shared_.form.store(platform::DeletionForm::classic, std::memory_order_relaxed);
        return operation(platform::DeletionForm::classic);
    }

    static bool is_link(const DirectoryEntry& entry) {
        return (entry.attributes & platform::attribute_reparse_point) &&
               (entry.reparse_tag & platform::reparse_tag_name_surrogate);
    }

    enum class Entered { descended, handed_out, failed, interrupted };

    // Counts and shows the directory at path_, then opens it as a new level,
    // or hands it to an idle thread. Handles that others took meanwhile are
    // made up for by releasing one more level of the walk's own.
    Entered enter(Level& parent) {
        if (!count_and_show_directory()) return Entered::interrupted;
        platform::OwnedDirectory child;
        ErrorCode error;
        while ((error = platform::open_subdirectory(*parent.directory, parent.entry, child)) &&
               platform::out_of_handles(error) && release_one())
            continue;
        if (error) {
            report_failure("CreateFile(DIR)", error);
            return Entered::failed;
        }
        if (shared_.crew && shared_.crew->has_room() && hand_out(parent, child)) return Entered::handed_out;
        descend(std::move(child));
        return Entered::descended;
    }

    void descend(platform::OwnedDirectory child) {
        platform::Directory* directory = child.get();
        levels_.emplace_back(std::move(child), directory, path_.size());
        ++open_handles_;
        keep_within_budget();
    }

    bool hand_out(Level& parent, platform::OwnedDirectory& child);
    Step settle(Level& level, Step step);
    Step take_back_finished(Level& level, Step step);

    // One handle is kept free: a level is reopened while its child is open.
    void keep_within_budget() {
        while (open_handles_ >= budget_ && release_one()) continue;
    }

    // Releases the highest open level between the root and the deepest,
    // noting first what it leaves behind; false when there is none.
    bool release_one() {
        if (released_end_ + 1 >= levels_.size()) return false;
        Level& level = levels_[released_end_++];
        if (!level.left_behind) level.left_behind = entries_before_current(level);
        platform::release_directory(*level.directory);
        --open_handles_;
        return true;
    }

    // The entries a level's listing gave before the one being handled: each
    // is handled and still there (deleted ones are gone). An entry added by
    // someone else meanwhile may be among them; it is then left alone.
    std::set<std::u16string> entries_before_current(Level& level) {
        std::set<std::u16string> before;
        DirectoryEntry listed;
        bool restart = true;
        while (platform::read_directory(*level.directory, restart, listed) >= 0 && listed.name != level.entry.name) {
            before.insert(listed.name);
            restart = false;
        }
        return before;
    }

    bool released(std::size_t index) const { return platform::directory_released(*levels_[index].directory); }

    // Finishes the deepest level with its listing's result: its parent gets
    // its handle back if it was released, the level closes, and the parent
    // removes the finished directory and says whether it lists on.
    Then finish_deepest(Step result) {
        ErrorCode unreachable = stopping() ? no_error : reopen_parent_of_deepest();
        bool emptied = result == Step::completed && !levels_.back().failed;
        close_deepest();
        Level& parent = levels_.back();
        if (unreachable) {
            // Moved or replaced meanwhile: nothing more is done in it.
            path_.resize(parent.path_length);
            report_failure("CreateFile(DIR)", unreachable);
            return Then::parent_gives_up;
        }
        return take_back(parent, parent.entry, result, emptied);
    }

    // What becomes of a subdirectory whose walk ended (path_ is its path):
    // removed unless the run was interrupted, it was stopped, or
    // /StopAtFirstError gives up at once.
    Then take_back(Level& parent, const DirectoryEntry& entry, Step result, bool emptied) {
        if (stopping() || interrupted(parent)) return Then::parent_gives_up;
        if (result == Step::stopped) return Then::parent_stops;
        return remove_walked_subdirectory(parent, entry, result, emptied) ? Then::parent_lists_on
                                                                          : Then::parent_gives_up;
    }

    // Reopens the deepest level's parent where it was released: through the
    // deepest one's "..", which is still open unless it was released too.
    ErrorCode reopen_parent_of_deepest() {
        std::size_t parent_index = levels_.size() - 2;
        if (!released(parent_index)) return no_error;
        return reopen(parent_index, released(parent_index + 1) ? nullptr : levels_.back().directory);
    }

    // Closes the deepest level; path_ is left as its path, the parent's
    // current entry, and the parent learns whether anything failed in it.
    void close_deepest() {
        Level& finished = levels_.back();
        path_.resize(finished.path_length);
        if (!released(levels_.size() - 1)) --open_handles_;
        bool failed = finished.failed;
        levels_.pop_back();
        levels_.back().failed |= failed;
        released_end_ = std::min(released_end_, levels_.size());
    }

    // Every ERR line of the walk marks the deepest level as failed.
    void report_failure(std::string_view label, ErrorCode error) {
        if (!levels_.empty()) levels_.back().failed = true;
        report_win32_error(report_, path_, label, error);
    }

    // Gets a released level's handle back, from its child where it can.
    ErrorCode reopen(std::size_t index, platform::Directory* child) {
        Level& level = levels_[index];
        bool from_below = child && platform::reopen_from_child(*level.directory, *child) == no_error;
        ErrorCode error = from_below ? no_error : reopen_from_above(index);
        if (error) {
            released_end_ = index + 1;
            return error;
        }
        ++open_handles_;
        released_end_ = index;
        level.restart = true;
        return no_error;
    }

    // Opens each released level by name from the one above, down from the
    // root, holding only one of them at a time. All levels between the root
    // and index are released when this is called.
    ErrorCode reopen_from_above(std::size_t index) {
        for (std::size_t k = levels_kept_at_top; k <= index; ++k) {
            Level& above = levels_[k - 1];
            ErrorCode error = platform::reopen_from_parent(*levels_[k].directory, *above.directory, above.entry);
            if (k - 1 >= levels_kept_at_top) platform::release_directory(*above.directory);
            if (error) return error;
        }
        return no_error;
    }

    // Lists one directory until it ends, gives up, or a child is entered.
    Step list(Level& level) {
        for (;;) {
            if (interrupted(level)) return Step::gave_up;
            if (!level.handed.empty())
                if (Step step = take_back_finished(level, Step::completed); step != Step::completed) return step;
            if (stopped()) return Step::stopped;
            platform::NativeStatus status = platform::read_directory(*level.directory, level.restart, level.entry);
            level.restart = false;
            if (status < 0) return listing_ended(level, status);

            report_.keep_console_current();
            const DirectoryEntry& entry = level.entry;
            if (level.left_behind && level.left_behind->count(entry.name)) continue;
            path_.resize(level.path_length);
            path_.push_back(platform::path_separator);
            path_ += entry.name;

            bool handled;
            if (entry.attributes & platform::attribute_directory) {
                if (entry.name == u"." || entry.name == u".." || !settings_.descend_into_subdirectories) continue;
                // A link or mount point is removed as what it is, never entered.
                if (is_link(entry)) {
                    handled = remove_subdirectory(level, entry, false);
                } else {
                    Entered entered = enter(level);
                    if (entered == Entered::descended) return Step::descended;
                    if (entered == Entered::interrupted) return Step::gave_up;
                    if (entered == Entered::handed_out) continue;
                    if (!remove_walked_subdirectory(level, entry, Step::gave_up, false)) return Step::gave_up;
                    continue;
                }
            } else {
                handled = delete_file(level);
            }
            if (!handled && !settings_.ignore_errors) return Step::gave_up;
        }
    }

    // An interruption stops the walk before its next operation, with one
    // ERR line for the directory being walked; as under /StopAtFirstError
    // no directory above it is removed.
    bool interrupted(Level& level) {
        if (!platform::interruption_requested()) return false;
        report_interruption(level.path_length);
        return true;
    }

    // One line for the run, from the walk that saw the request first; path_
    // is cut to the directory being walked.
    void report_interruption(std::size_t path_length) {
        if (shared_.interrupted.exchange(true)) return;
        path_.resize(path_length);
        report_failure("Interrupted", platform::cancelled_error());
    }

    Step listing_ended(Level& level, platform::NativeStatus status) {
        if (status == platform::status_no_more_files) return Step::completed;
        path_.resize(level.path_length);
        level.failed = true;
        report_native_status(report_, path_, "NtQueryDirectoryFile()", status);
        return Step::gave_up;
    }

    // After a subdirectory's walk, removes it unless /StopAtFirstError
    // gives up at once: true when the parent goes on listing.
    bool remove_walked_subdirectory(Level& parent, const DirectoryEntry& entry, Step result, bool emptied) {
        if (result == Step::gave_up && settings_.stop_at_first_error) return false;
        if (result == Step::gave_up && settings_.what_if) {
            stays(parent, entry);
            return settings_.ignore_errors;
        }
        return remove_subdirectory(parent, entry, emptied) || settings_.ignore_errors;
    }

    // Notes an entry as one that stays, so that a released and reopened
    // parent lists on past it (/IgnoreErrors); false, for the caller's
    // failure.
    bool leave_behind(Level& parent, const DirectoryEntry& entry) {
        if (settings_.ignore_errors) stays(parent, entry);
        return false;
    }

    // Where the parent has been released, the entry is one that is still
    // there when it lists again. A dry run leaves every entry there.
    static void stays(Level& parent, const DirectoryEntry& entry) {
        if (parent.left_behind) parent.left_behind->insert(entry.name);
    }

    // Only a directory whose walk deleted everything can be "not empty" for a moment
    // (deleted children someone still holds open) rather than for good.
    // The classic form wants the read-only bit cleared first. A dry run
    // takes every removal for done.
    bool remove_subdirectory(Level& parent, const DirectoryEntry& entry, bool emptied) {
        if (settings_.what_if) {
            stays(parent, entry);
            return true;
        }
        auto remove_in = [&](platform::DeletionForm form) {
            if (form == platform::DeletionForm::classic)
                if (ErrorCode error = clear_read_only(parent, entry)) return error;
            return platform::remove_directory(*parent.directory, entry, form);
        };
        auto remove = [&] { return in_learned_form(remove_in); };
        ErrorCode error = emptied ? shared_.retries.run(remove) : remove();
        if (!error) return true;
        report_failure("RemoveDirectory()", error);
        return leave_behind(parent, entry);
    }

    bool delete_file(Level& parent) {
        DirectoryEntry& entry = parent.entry;
        if (settings_.what_if) return list_file(parent);
        if (entry_lines_wanted()) platform::complete_entry(*parent.directory, entry);
        if (!count_and_show("FILE ", report_.counters.files, &entry)) return false;
        // The read-only bit is looked at only once the deletion is refused,
        // which saves reading it for every file where none is read-only.
        auto remove = [&] {
            return in_learned_form(
                [&](platform::DeletionForm form) { return platform::delete_file(*parent.directory, entry, form); });
        };
        ErrorCode refused = shared_.retries.run(remove);
        if (!refused) return count_deleted(entry);
        platform::complete_entry(*parent.directory, entry);
        if (entry.attributes & platform::attribute_read_only) {
            refused = clear_read_only(parent, entry);
            if (!refused) refused = shared_.retries.run(remove);
            if (!refused) return count_deleted(entry);
        }
        report_failure("DeleteFile()", refused);
        return leave_behind(parent, entry);
    }

    // What the status line of /Progress shows as deleted: counted without
    // the lock, as the file count of a walk that writes no line is.
    bool count_deleted(const DirectoryEntry& entry) {
        if (entry.complete)
            std::atomic_ref(report_.counters.deleted_bytes).fetch_add(entry.end_of_file, std::memory_order_relaxed);
        else
            std::atomic_ref(report_.counters.deleted_bytes_short).store(true, std::memory_order_relaxed);
        return true;
    }

    // A dry run reads every file's size, for its summary.
    bool list_file(Level& parent) {
        platform::complete_entry(*parent.directory, parent.entry);
        {
            platform::Holding held = report_.hold();
            if (!count_and_show("FILE ", report_.counters.files, &parent.entry)) return false;
            report_.counters.file_bytes += parent.entry.end_of_file;
        }
        stays(parent, parent.entry);
        return true;
    }

    // The listing already carries the attributes, so they are not read again.
    ErrorCode clear_read_only(Level& parent, const DirectoryEntry& entry) {
        if (!(entry.attributes & platform::attribute_read_only)) return no_error;
        ErrorCode error = platform::clear_read_only(*parent.directory, entry);
        if (error) report_failure("SetFileAttributes(remove read only attribute)", error);
        return error;
    }

    bool entry_lines_wanted() const { return !settings_.silent || report_.run_log_open(); }

    bool count_and_show_directory() { return count_and_show("DIR  ", report_.counters.directories, nullptr); }

    // Counts the entry and writes its line, "DIR  000001: path" or
    // "FILE 000001: path (n KB)", under the one lock, so that the line
    // carries the count it made. The interruption is looked at under the
    // same lock: once the Interrupted line is written no thread writes a
    // DIR or FILE line, so every deletion that follows it belongs to a line
    // written before it. False, with nothing counted, once interrupted.
    bool count_and_show(std::string_view kind, std::int32_t& counter, const DirectoryEntry* file) {
        if (!entry_lines_wanted()) {
            // Counted only: no line, so no lock (the count is read once the walk is over).
            if (platform::interruption_requested()) return interruption_noted();
            std::atomic_ref<std::int32_t>(counter).fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        platform::Holding held = report_.hold();
        if (platform::interruption_requested()) return interruption_noted();
        std::int32_t number = ++counter;
        line_.clear();
        append_ascii(line_, kind);
        append_decimal(line_, number, 6);
        append_ascii(line_, ": ");
        append_path(line_, path_);
        if (file) {
            append_ascii(line_, " (");
            append_decimal(line_, static_cast<std::int64_t>(file->end_of_file >> 10));
            append_ascii(line_, " KB)");
        }
        append_ascii(line_, "\n");
        report_.write_progress(line_);
        return true;
    }

    // The Interrupted line names the directory being walked: the deepest
    // level, or the root before it is one.
    bool interruption_noted() {
        report_interruption(levels_.empty() ? path_.size() : levels_.back().path_length);
        return false;
    }
};

// A subdirectory handed to another thread: what its walk needs, and what
// it reports back to the level that handed it out.
struct Handout : Crew::Job {
    Handout(Shared& run_shared, const DirectoryEntry& listed, const std::u16string& its_path,
            platform::OwnedDirectory opened)
        : shared(run_shared), entry(listed), path(its_path), directory(std::move(opened)) {}

    void run() override { result = Walk(path, shared).run_handed(std::move(directory)); }

    Shared& shared;
    const DirectoryEntry entry;  // as its parent listed it, for its removal there
    const std::u16string path;
    platform::OwnedDirectory directory;  // until its walk takes it
    WalkResult result;
};

// Only when a thread is idle: the parent keeps the record, the other
// thread the handle, and a released parent lists on past it.
bool Walk::hand_out(Level& parent, platform::OwnedDirectory& child) {
    auto handout = std::make_unique<Handout>(shared_, parent.entry, path_, std::move(child));
    if (!shared_.crew->hand_out(*handout)) {
        child = std::move(handout->directory);
        return false;
    }
    if (parent.left_behind) parent.left_behind->insert(parent.entry.name);
    parent.handed.push_back(std::move(handout));
    return true;
}

// Takes back every handed-out subdirectory that has finished, as the
// level's own would be; the level's step, given as it stands, comes back as
// it stands then (a level that lists on is "completed").
Step Walk::take_back_finished(Level& level, Step step) {
    for (std::size_t i = 0; i < level.handed.size();) {
        Handout& handout = *level.handed[i];
        if (!handout.done()) {
            ++i;
            continue;
        }
        level.failed |= handout.result.failed;
        path_.resize(level.path_length);
        path_.push_back(platform::path_separator);
        path_ += handout.entry.name;
        bool emptied = handout.result.step == Step::completed && !handout.result.failed;
        Then then = take_back(level, handout.entry, handout.result.step, emptied);
        if (then == Then::parent_gives_up) step = Step::gave_up;
        if (then == Then::parent_stops && step != Step::gave_up) step = Step::stopped;
        level.handed.erase(level.handed.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return step;
}

// A finished level waits for what it handed out, and helps meanwhile. A
// level that gives up stops the other walks first, so that they end soon.
Step Walk::settle(Level& level, Step step) {
    if (step == Step::gave_up) stop_others();
    while (!level.handed.empty()) {
        shared_.crew->help_until([&] {
            return std::any_of(level.handed.begin(), level.handed.end(), [](const auto& h) { return h->done(); });
        });
        Step settled = take_back_finished(level, step);
        if (settled == Step::gave_up && step != Step::gave_up) stop_others();
        step = settled;
    }
    return step;
}

// How many walks may be under way: one per thread and one queued, each
// with room for three handles at least. Fewer walks give each a larger
// share of the budget, which a deep chain, walked by one of them, needs
// to release and reopen levels less often.
std::size_t walks_at_most(std::size_t budget, unsigned threads) {
    return std::max<std::size_t>(1, std::min<std::size_t>(std::size_t{threads} + 1, budget / (levels_kept_at_top + 2)));
}

}  // namespace

TreeOutcome delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings,
                        Report& report) {
    std::size_t budget = std::max<std::size_t>(platform::directory_handle_budget(), levels_kept_at_top + 2);
    if (settings.threads <= 1) {
        Shared shared(settings, report, budget);
        return Walk(path, shared).run(root);
    }
    std::size_t walks = walks_at_most(budget, settings.threads);
    Shared shared(settings, report, budget / walks);
    report.share_between_threads();
    // Jobs are the walks besides the root's.
    Crew crew(settings.threads, walks - 1);
    shared.crew = &crew;
    return Walk(path, shared).run(root);
}

}  // namespace scythe
