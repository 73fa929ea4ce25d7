// What becomes of one entry of a directory being walked, and of a
// subdirectory once its walk ended, on this thread or another: each comes
// to one Step for the level that lists it. The whole error policy (report
// a failure, then go on, pass over it or give up?) is here: for entries,
// for a subdirectory that cannot be opened, a parent that cannot be got
// back, a listing that fails, and whether a level that gives up stops the
// other walks; the walk only asks. Also here: the
// deletion forms and the dry run live here. The hard cases:
// - Windows keeps deleted files that someone still holds open as "delete
//   pending", so their directory is "not empty" for a moment, and a file
//   held open for a moment refuses deletion: such failures are retried
//   within bounds before they are reported. Whether a "not empty" is
//   waited out is decided by what happened below the directory
//   (Subtree::emptied), never by the run's error count: a log that cannot
//   be written says nothing about the tree.
// - The read-only bit: the form of deletion that ignores it is tried first;
//   once the system refuses that form, the run uses the classic one, which
//   wants the bit cleared, and the bit is looked at only once a deletion
//   is refused.
// - An interruption: nothing is deleted or removed after it; one ERR line
//   for the run names the directory being walked, and as under
//   /StopAtFirstError no directory above it is removed.
// - Entries that stay (failures under /IgnoreErrors, everything under a
//   dry run) are noted where their level was released, so that it lists on
//   past them once reopened.
// - Already gone is done: an entry that someone else deleted between its
//   listing and its deletion, opening or listing (another cleaner on the
//   same tree) gets no line and is no failure; the goal is reached.
// - An entry that stays because another program holds it gets a line
//   naming the holders after its ERR line. Under /OnReboot it is deleted
//   at the next restart, and the level lists on past it as if errors were
//   ignored (unless the run stops at its first error), so that its
//   directory, and each above it, can be scheduled after it once its
//   listing is complete (staying.h).
// - A dry run (/WhatIf) writes the lines a run would, with the same
//   numbers, as if every deletion succeeded, and changes nothing: no
//   deletion, no attribute. Only listing can fail there, and what the
//   platform refuses before acting (platform::foreseen_refusal: under Wine
//   a link, whose handle leads elsewhere; a mount point), written as the
//   run writes it; a directory that cannot be listed could not have been
//   emptied and removed either, so the error policy treats it as that
//   removal's failure.
// - An entry refused before anything changes keeps its read-only bit, and
//   gets one line, the deletion's: clearing the bit could not help.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "delete/levels.h"
#include "delete/outcome.h"
#include "delete/shared.h"
#include "delete/staying.h"
#include "platform/platform.h"
#include "report/errors.h"

namespace scythe {

class EntryHandler {
    using DirectoryEntry = platform::DirectoryEntry;
    using ErrorCode = platform::ErrorCode;

public:
    EntryHandler(Shared& shared, LevelStack& levels)
        : shared_(shared), settings_(shared.settings), report_(shared.report), levels_(levels) {}

    // The file the level's listing gave: its FILE line, then its deletion.
    Step delete_file(Level& parent, const std::u16string& path) {
        DirectoryEntry& entry = parent.entry;
        if (settings_.what_if) return list_file(parent, path);
        if (lines_wanted()) platform::complete_entry(*parent.directory, entry);
        if (!show(&entry, path)) return Step::ends(End::gave_up);
        auto remove = [&] {
            return in_learned_form(
                [&](platform::DeletionForm form) { return platform::delete_file(*parent.directory, entry, form); });
        };
        ErrorCode refused = shared_.retries.run(remove);
        if (!refused) return count_deleted(entry);
        if (platform::already_gone(refused)) return Step::lists_on();
        platform::complete_entry(*parent.directory, entry);
        if (entry.attributes & platform::attribute_read_only) {
            refused = clear_read_only(parent, entry, path);
            if (!refused) refused = shared_.retries.run(remove);
            if (!refused) return count_deleted(entry);
            if (platform::already_gone(refused)) return Step::lists_on();
        }
        return stays(parent, entry, {path, "DeleteFile()", refused, platform::held_open(refused) && !is_link(entry)});
    }

    // A link or mount point, removed as what it is, never entered.
    Step remove_link(Level& parent, const std::u16string& path) {
        if (settings_.what_if) return foresee(parent, path, "RemoveDirectory()");
        return remove_subdirectory(parent, parent.entry, path, false, false);
    }

    // A subdirectory of parent whose walk ended (or that could not be
    // opened): removed unless the run was interrupted, it was stopped, or
    // /StopAtFirstError gives up at once.
    Step take_back(Level& parent, const DirectoryEntry& entry, std::u16string_view path, const Subtree& walked) {
        parent.failed |= walked.failed;
        parent.outlasts_restart |= walked.outlasts_restart;
        if (interrupted() || report_if_interrupted()) return Step::ends(End::gave_up);
        if (walked.end == End::stopped) return Step::ends(End::stopped);
        if (walked.end == End::gave_up && settings_.stop_at_first_error) return Step::ends(End::gave_up);
        if (walked.end == End::gave_up && settings_.what_if) {
            parent.stays(entry.name);
            return unless_ignoring_errors();
        }
        bool whole = walked.end == End::completed && !walked.outlasts_restart;
        return remove_subdirectory(parent, entry, path, walked.emptied(), whole);
    }

    // A subdirectory that cannot be opened for its listing is offered for
    // removal before its failure is reported: an empty one the user may
    // not list goes as a plain rmdir would, with no line. Else the lines
    // are those of a walk that gave up at once.
    Step take_back_unopened(Level& parent, std::u16string_view path, ErrorCode error) {
        if (platform::already_gone(error)) return Step::lists_on();
        if (!settings_.what_if && !platform::interruption_requested() && !another_walk_gave_up()) {
            ErrorCode removal = in_learned_form([&](platform::DeletionForm form) {
                return platform::remove_directory(*parent.directory, parent.entry, form);
            });
            if (!removal || platform::already_gone(removal)) return Step::lists_on();
        }
        report_failure(path, "CreateFile(DIR)", error);
        return take_back(parent, parent.entry, path, Subtree{});
    }

    // A level's listing ended: complete, or gone with its directory (someone
    // else deleted it meanwhile), or failed, which gives the level up.
    Step listing_ended(Level& level, std::u16string_view path, platform::NativeStatus status) {
        if (status == platform::status_no_more_files || platform::listing_found_directory_gone(status))
            return Step::ends(End::completed);
        level.failed = level.outlasts_restart = true;
        report_native_status(report_, path, "NtQueryDirectoryFile()", status);
        return Step::ends(End::gave_up);
    }

    // The level above a finished one could not be got back as itself: it is
    // given up, and whatever it still held stays.
    Step lost_parent(std::u16string_view path, ErrorCode error) {
        report_failure(path, "CreateFile(DIR)", error);
        return Step::ends(End::gave_up);
    }

    // A level gave up: unless the run ignores errors and goes on after a
    // directory that gave up, every other walk stops before its next entry.
    void level_gave_up() {
        if (shared_.crew && (!settings_.ignore_errors || settings_.stop_at_first_error))
            shared_.another_walk_gave_up.store(true, std::memory_order_relaxed);
    }

    // Counts and shows a directory the walk enters; false once interrupted.
    bool show_directory(std::u16string_view path) { return show(nullptr, path); }

    // Every ERR line of the walk marks the deepest level as failed.
    void report_failure(std::u16string_view path, std::string_view label, ErrorCode error) {
        if (!levels_.empty()) levels_.deepest().failed = levels_.deepest().outlasts_restart = true;
        report_win32_error(report_, path, label, error);
    }

    // Writes the run's Interrupted line if the run is interrupted; true then.
    bool report_if_interrupted() {
        if (!platform::interruption_requested()) return false;
        note_interruption();
        return true;
    }

    // The interruption was seen and its line written: nothing more is
    // deleted or removed.
    bool interrupted() const { return shared_.interrupted.load(std::memory_order_relaxed); }
    bool another_walk_gave_up() const { return shared_.another_walk_gave_up.load(std::memory_order_relaxed); }

private:
    bool show(const DirectoryEntry* file, std::u16string_view path, bool listed = false) {
        EntryLine line{path, file != nullptr, file ? file->end_of_file : 0};
        if (count_and_show(report_, line, lines_wanted(), listed)) return true;
        note_interruption();
        return false;
    }

    // One line for the run, from the walk that saw the request first.
    void note_interruption() {
        if (shared_.interrupted.exchange(true)) return;
        report_failure(levels_.walked_path(), "Interrupted", platform::cancelled_error());
    }

    // A dry run reads every file's size, for its summary.
    Step list_file(Level& parent, const std::u16string& path) {
        platform::complete_entry(*parent.directory, parent.entry);
        if (!show(&parent.entry, path, true)) return Step::ends(End::gave_up);
        return foresee(parent, path, "DeleteFile()");
    }

    // A dry run's entry stays; the refusal the run would meet before
    // acting on it is written as the run writes it.
    Step foresee(Level& parent, const std::u16string& path, std::string_view label) {
        parent.stays(parent.entry.name);
        ErrorCode refused = platform::foreseen_refusal(*parent.directory, parent.entry);
        if (!refused) return Step::lists_on();
        report_failure(path, label, refused);
        return unless_ignoring_errors();
    }

    // Only an emptied directory's "not empty" is waited out. The classic
    // form wants the read-only bit cleared first. A dry run takes every
    // removal for done. Where everything below is gone or goes at the next
    // restart (whole), the restart removes the directory too.
    Step remove_subdirectory(Level& parent, const DirectoryEntry& entry, std::u16string_view path, bool emptied,
                                bool whole) {
        if (settings_.what_if) {
            parent.stays(entry.name);
            return Step::lists_on();
        }
        auto remove_in = [&](platform::DeletionForm form) {
            if (form == platform::DeletionForm::classic)
                if (ErrorCode error = clear_read_only(parent, entry, path)) return error;
            return platform::remove_directory(*parent.directory, entry, form);
        };
        auto remove = [&] { return in_learned_form(remove_in); };
        ErrorCode error = emptied ? shared_.retries.run(remove) : remove();
        if (!error || platform::already_gone(error)) return Step::lists_on();
        bool held = platform::held_open(error) || platform::not_empty(error);
        return stays(parent, entry, {path, "RemoveDirectory()", error, whole && held && !is_link(entry)});
    }

    // Its ERR line and who holds it; once it is scheduled for the next
    // restart, the level lists on past it unless the run stops at its
    // first error.
    Step stays(Level& parent, const DirectoryEntry& entry, const Staying& staying) {
        parent.failed = true;
        bool scheduled = report_stays(settings_, report_, &shared_.scheduling, staying);
        if (!scheduled) parent.outlasts_restart = true;
        if (!scheduled || settings_.stop_at_first_error) return leave_behind(parent, entry);
        parent.stays(entry.name);
        return Step::lists_on();
    }

    // The failure's entry stays where the run goes on past it.
    Step leave_behind(Level& parent, const DirectoryEntry& entry) {
        if (settings_.ignore_errors) parent.stays(entry.name);
        return unless_ignoring_errors();
    }

    Step unless_ignoring_errors() const { return settings_.ignore_errors ? Step::lists_on() : Step::ends(End::gave_up); }

    // What the status line of /Progress shows as deleted.
    Step count_deleted(const DirectoryEntry& entry) {
        report_.add_deleted(entry.end_of_file, entry.complete);
        return Step::lists_on();
    }

    // The listing already carries the attributes, so they are not read again.
    // A refusal foreseen is the caller's to write.
    ErrorCode clear_read_only(Level& parent, const DirectoryEntry& entry, std::u16string_view path) {
        if (!(entry.attributes & platform::attribute_read_only)) return platform::no_error;
        if (ErrorCode refused = platform::foreseen_refusal(*parent.directory, entry)) return refused;
        ErrorCode error = platform::clear_read_only(*parent.directory, entry);
        if (error && !platform::already_gone(error))
            report_failure(path, "SetFileAttributes(remove read only attribute)", error);
        return error;
    }

    template <typename Operation>
    ErrorCode in_learned_form(Operation operation) {
        platform::DeletionForm form = shared_.form.load(std::memory_order_relaxed);
        ErrorCode error = operation(form);
        if (error != platform::deletion_form_refused || form == platform::DeletionForm::classic) return error;
        shared_.form.store(platform::DeletionForm::classic, std::memory_order_relaxed);
        return operation(platform::DeletionForm::classic);
    }

    bool lines_wanted() const { return !settings_.silent || report_.run_log_open(); }

    Shared& shared_;
    const RunSettings& settings_;
    Report& report_;
    LevelStack& levels_;
};

}  // namespace scythe
