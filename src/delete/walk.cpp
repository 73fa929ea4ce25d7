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
//   deleted or removed after it.
// - A dry run (/WhatIf) lists exactly what a run would, with the same
//   lines and numbers, as if every deletion succeeded, and changes nothing:
//   no deletion, no attribute. Only listing can fail there; a directory
//   that cannot be listed could not have been emptied and removed either,
//   so the error policy treats it as that removal's failure. Everything it
//   handled is still there, so a released level that lists again passes
//   over all of it, as a real run passes over its failures.
#include "delete/walk.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <set>

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
};

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
    // still there (failures under /IgnoreErrors), passed over when it is
    // reopened and lists again. Levels never released remember nothing, so
    // failures cost no memory.
    std::optional<std::set<std::u16string>> left_behind;
};

// The root stays open: reopening from above starts there.
constexpr std::size_t levels_kept_at_top = 1;

// What follows once the deepest level is finished.
enum class Then {
    parent_lists_on,
    parent_gives_up,  // and is finished in turn
};

class Walk {
public:
    Walk(const std::u16string& root_path, const RunSettings& settings, Report& report)
        : path_(root_path),
          settings_(settings),
          report_(report),
          budget_(std::max<std::size_t>(platform::directory_handle_budget(), levels_kept_at_top + 2)),
          retries_(report, settings) {}

    TreeOutcome run(platform::OpenedRoot& root) {
        count_and_show_directory();
        if (root.kind == platform::RootKind::link) return {true, true};
        platform::Directory* directory = root.root ? platform::root_directory(*root.root) : nullptr;
        if (!directory) {
            report_win32_error(report_, path_, "CreateFile(DIR)", root.error);
            return {false, false};
        }
        levels_.emplace_back(nullptr, directory, path_.size());
        open_handles_ = 1;
        // One level at a time: the deepest is listed until it ends or a
        // child is entered; a finished level hands its result up.
        Step step = list(levels_.back());
        for (;;) {
            if (step == Step::descended) {
                step = list(levels_.back());
            } else if (levels_.size() == 1) {
                return {step == Step::completed, step == Step::completed && !levels_.back().failed};
            } else {
                step = finish_deepest(step) == Then::parent_lists_on ? list(levels_.back()) : Step::gave_up;
            }
        }
    }

private:
    std::u16string path_;  // appended on the way down, cut on the way up
    const RunSettings& settings_;
    Report& report_;
    const std::size_t budget_;
    std::deque<Level> levels_;
    std::size_t open_handles_ = 0;
    bool stopping_ = false;  // interrupted: nothing more is deleted or removed
    // Levels from levels_kept_at_top up to here have released their handles.
    std::size_t released_end_ = levels_kept_at_top;
    std::u16string line_;
    Retries retries_;
    // Until the system refuses it; then the classic form for the rest of the run.
    platform::DeletionForm form_ = platform::DeletionForm::ignoring_read_only;

    template <typename Operation>
    ErrorCode in_learned_form(Operation operation) {
        ErrorCode error = operation(form_);
        if (error != platform::deletion_form_refused) return error;
        form_ = platform::DeletionForm::classic;
        return operation(form_);
    }

    static bool is_link(const DirectoryEntry& entry) {
        return (entry.attributes & platform::attribute_reparse_point) &&
               (entry.reparse_tag & platform::reparse_tag_name_surrogate);
    }

    // Counts and shows the directory at path_, then opens it as a new level.
    // Handles that others took meanwhile are made up for by releasing one
    // more level of the walk's own.
    bool enter(Level& parent) {
        count_and_show_directory();
        platform::OwnedDirectory child;
        ErrorCode error;
        while ((error = platform::open_subdirectory(*parent.directory, parent.entry, child)) &&
               platform::out_of_handles(error) && release_one())
            continue;
        if (error) {
            report_failure("CreateFile(DIR)", error);
            return false;
        }
        platform::Directory* directory = child.get();
        levels_.emplace_back(std::move(child), directory, path_.size());
        ++open_handles_;
        keep_within_budget();
        return true;
    }

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
        ErrorCode unreachable = stopping_ ? no_error : reopen_parent_of_deepest();
        bool emptied = result == Step::completed && !levels_.back().failed;
        close_deepest();
        Level& parent = levels_.back();
        if (unreachable) {
            // Moved or replaced meanwhile: nothing more is done in it.
            path_.resize(parent.path_length);
            report_failure("CreateFile(DIR)", unreachable);
            return Then::parent_gives_up;
        }
        if (stopping_ || interrupted(parent)) return Then::parent_gives_up;
        return remove_walked_subdirectory(parent, result, emptied) ? Then::parent_lists_on : Then::parent_gives_up;
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
        levels_.back().failed = true;
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
                    handled = remove_subdirectory(level, false);
                } else {
                    if (enter(level)) return Step::descended;
                    if (!remove_walked_subdirectory(level, Step::gave_up, false)) return Step::gave_up;
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
        if (!stopping_) {
            stopping_ = true;
            path_.resize(level.path_length);
            report_failure("Interrupted", platform::cancelled_error());
        }
        return true;
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
    bool remove_walked_subdirectory(Level& parent, Step result, bool emptied) {
        if (result == Step::gave_up && settings_.stop_at_first_error) return false;
        if (result == Step::gave_up && settings_.what_if) {
            stays(parent);
            return settings_.ignore_errors;
        }
        return remove_subdirectory(parent, emptied) || settings_.ignore_errors;
    }

    // Notes the parent's current entry as one that stays, so that a
    // released and reopened parent lists on past it (/IgnoreErrors); false,
    // for the caller's failure.
    bool leave_behind(Level& parent) {
        if (settings_.ignore_errors) stays(parent);
        return false;
    }

    // Where the parent has been released, its current entry is one that is
    // still there when it lists again. A dry run leaves every entry there.
    static void stays(Level& parent) {
        if (parent.left_behind) parent.left_behind->insert(parent.entry.name);
    }

    // Only a directory whose walk deleted everything can be "not empty" for a moment
    // (deleted children someone still holds open) rather than for good.
    // The classic form wants the read-only bit cleared first. A dry run
    // takes every removal for done.
    bool remove_subdirectory(Level& parent, bool emptied) {
        if (settings_.what_if) {
            stays(parent);
            return true;
        }
        auto remove_in = [&](platform::DeletionForm form) {
            if (form == platform::DeletionForm::classic)
                if (ErrorCode error = clear_read_only(parent)) return error;
            return platform::remove_directory(*parent.directory, parent.entry, form);
        };
        auto remove = [&] { return in_learned_form(remove_in); };
        ErrorCode error = emptied ? retries_.run(remove) : remove();
        if (!error) return true;
        report_failure("RemoveDirectory()", error);
        return leave_behind(parent);
    }

    bool delete_file(Level& parent) {
        DirectoryEntry& entry = parent.entry;
        std::int32_t number = ++report_.counters.files;
        if (settings_.what_if) return list_file(parent, number);
        if (entry_lines_wanted()) {
            platform::complete_entry(*parent.directory, entry);
            write_entry_line("FILE ", number, &entry);
        }
        // The read-only bit is looked at only once the deletion is refused,
        // which saves reading it for every file where none is read-only.
        auto remove = [&] {
            return in_learned_form(
                [&](platform::DeletionForm form) { return platform::delete_file(*parent.directory, entry, form); });
        };
        ErrorCode refused = retries_.run(remove);
        if (!refused) return true;
        platform::complete_entry(*parent.directory, entry);
        if (entry.attributes & platform::attribute_read_only) {
            refused = clear_read_only(parent);
            if (!refused) refused = retries_.run(remove);
            if (!refused) return true;
        }
        report_failure("DeleteFile()", refused);
        return leave_behind(parent);
    }

    // A dry run reads every file's size, for its summary.
    bool list_file(Level& parent, std::int32_t number) {
        platform::complete_entry(*parent.directory, parent.entry);
        report_.counters.file_bytes += parent.entry.end_of_file;
        write_entry_line("FILE ", number, &parent.entry);
        stays(parent);
        return true;
    }

    // The listing already carries the attributes, so they are not read again.
    ErrorCode clear_read_only(Level& parent) {
        const DirectoryEntry& entry = parent.entry;
        if (!(entry.attributes & platform::attribute_read_only)) return no_error;
        ErrorCode error = platform::clear_read_only(*parent.directory, entry);
        if (error) report_failure("SetFileAttributes(remove read only attribute)", error);
        return error;
    }

    bool entry_lines_wanted() const { return !settings_.silent || report_.run_log_open(); }

    void count_and_show_directory() { write_entry_line("DIR  ", ++report_.counters.directories, nullptr); }

    // "DIR  000001: path" or "FILE 000001: path (n KB)".
    void write_entry_line(std::string_view kind, std::int32_t number, const DirectoryEntry* file) {
        if (!entry_lines_wanted()) return;
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
    }
};

}  // namespace

TreeOutcome delete_tree(platform::OpenedRoot& root, const std::u16string& path, const RunSettings& settings,
                        Report& report) {
    return Walk(path, settings, report).run(root);
}

}  // namespace scythe
