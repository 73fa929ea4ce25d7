// What becomes of one entry of a directory being walked, and of a
// subdirectory once its walk ended, on this thread or another: each comes
// to one Outcome for the level that lists it. The error policy, the
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
// - A dry run (/WhatIf) writes the lines a run would, with the same
//   numbers, as if every deletion succeeded, and changes nothing: no
//   deletion, no attribute. Only listing can fail there; a directory that
//   cannot be listed could not have been emptied and removed either, so the
//   error policy treats it as that removal's failure.
#pragma once

#include <string>
#include <string_view>

#include "delete/levels.h"
#include "delete/shared.h"
#include "platform/platform.h"

namespace scythe {

class EntryHandler {
public:
    EntryHandler(Shared& shared, LevelStack& levels)
        : shared_(shared), settings_(shared.settings), report_(shared.report), levels_(levels) {}

    // The file the level's listing gave, at path: its FILE line, then its
    // deletion.
    Outcome delete_file(Level& parent, const std::u16string& path);
    // A link or mount point, removed as what it is, never entered.
    Outcome remove_link(Level& parent, const std::u16string& path);
    // A subdirectory of parent whose walk ended (or that could not be
    // opened): removed unless the run was interrupted, it was stopped, or
    // /StopAtFirstError gives up at once.
    Outcome take_back(Level& parent, const platform::DirectoryEntry& entry, std::u16string_view path,
                      const Subtree& walked);

    // Counts and shows a directory the walk enters; false once interrupted.
    bool show_directory(std::u16string_view path);
    // Every ERR line of the walk marks the deepest level as failed.
    void report_failure(std::u16string_view path, std::string_view label, platform::ErrorCode error);
    // Writes the run's Interrupted line if the run is interrupted; true then.
    bool report_if_interrupted();

    // The Interrupted line is written: nothing more is deleted or removed.
    bool interrupted() const { return shared_.interrupted.load(std::memory_order_relaxed); }
    bool another_walk_gave_up() const { return shared_.another_walk_gave_up.load(std::memory_order_relaxed); }

private:
    bool show(const platform::DirectoryEntry* file, std::u16string_view path);
    void note_interruption();
    Outcome list_file(Level& parent, const std::u16string& path);
    Outcome remove_walked_subdirectory(Level& parent, const platform::DirectoryEntry& entry,
                                       std::u16string_view path, const Subtree& walked);
    Outcome remove_subdirectory(Level& parent, const platform::DirectoryEntry& entry, std::u16string_view path,
                                bool emptied);
    Outcome leave_behind(Level& parent, const platform::DirectoryEntry& entry);
    Outcome count_deleted(const platform::DirectoryEntry& entry);
    platform::ErrorCode clear_read_only(Level& parent, const platform::DirectoryEntry& entry,
                                        std::u16string_view path);
    bool lines_wanted() const { return !settings_.silent || report_.run_log_open(); }
    Outcome unless_ignoring_errors() const { return settings_.ignore_errors ? Outcome::lists_on : Outcome::gave_up; }

    template <typename Operation>
    platform::ErrorCode in_learned_form(Operation operation) {
        platform::DeletionForm form = shared_.form.load(std::memory_order_relaxed);
        platform::ErrorCode error = operation(form);
        if (error != platform::deletion_form_refused || form == platform::DeletionForm::classic) return error;
        shared_.form.store(platform::DeletionForm::classic, std::memory_order_relaxed);
        return operation(platform::DeletionForm::classic);
    }

    Shared& shared_;
    const RunSettings& settings_;
    Report& report_;
    LevelStack& levels_;
};

}  // namespace scythe
