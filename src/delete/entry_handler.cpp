// Handling one entry of a directory being walked; see entry_handler.h.
#include "delete/entry_handler.h"

#include <atomic>

#include "report/errors.h"

namespace scythe {

using platform::DirectoryEntry;
using platform::ErrorCode;
using platform::no_error;

Outcome EntryHandler::delete_file(Level& parent, const std::u16string& path) {
    DirectoryEntry& entry = parent.entry;
    if (settings_.what_if) return list_file(parent, path);
    if (lines_wanted()) platform::complete_entry(*parent.directory, entry);
    if (!show(&entry, path)) return Outcome::gave_up;
    auto remove = [&] {
        return in_learned_form(
            [&](platform::DeletionForm form) { return platform::delete_file(*parent.directory, entry, form); });
    };
    ErrorCode refused = shared_.retries.run(remove);
    if (!refused) return count_deleted(entry);
    platform::complete_entry(*parent.directory, entry);
    if (entry.attributes & platform::attribute_read_only) {
        refused = clear_read_only(parent, entry, path);
        if (!refused) refused = shared_.retries.run(remove);
        if (!refused) return count_deleted(entry);
    }
    report_failure(path, "DeleteFile()", refused);
    return leave_behind(parent, entry);
}

// What the status line of /Progress shows as deleted: counted without the
// lock, as the file count of a walk that writes no line is.
Outcome EntryHandler::count_deleted(const DirectoryEntry& entry) {
    if (entry.complete)
        std::atomic_ref(report_.counters.deleted_bytes).fetch_add(entry.end_of_file, std::memory_order_relaxed);
    else
        std::atomic_ref(report_.counters.deleted_bytes_short).store(true, std::memory_order_relaxed);
    return Outcome::lists_on;
}

// A dry run reads every file's size, for its summary.
Outcome EntryHandler::list_file(Level& parent, const std::u16string& path) {
    platform::complete_entry(*parent.directory, parent.entry);
    if (!count_and_show(report_, {path, true, parent.entry.end_of_file}, lines_wanted(), true)) {
        note_interruption();
        return Outcome::gave_up;
    }
    parent.stays(parent.entry.name);
    return Outcome::lists_on;
}

Outcome EntryHandler::remove_link(Level& parent, const std::u16string& path) {
    return remove_subdirectory(parent, parent.entry, path, false);
}

Outcome EntryHandler::take_back(Level& parent, const DirectoryEntry& entry, std::u16string_view path,
                                const Subtree& walked) {
    parent.failed |= walked.failed;
    if (interrupted() || report_if_interrupted()) return Outcome::gave_up;
    if (walked.end == Outcome::stopped) return Outcome::stopped;
    return remove_walked_subdirectory(parent, entry, path, walked);
}

Outcome EntryHandler::remove_walked_subdirectory(Level& parent, const DirectoryEntry& entry,
                                                 std::u16string_view path, const Subtree& walked) {
    if (walked.end == Outcome::gave_up && settings_.stop_at_first_error) return Outcome::gave_up;
    if (walked.end == Outcome::gave_up && settings_.what_if) {
        parent.stays(entry.name);
        return unless_ignoring_errors();
    }
    return remove_subdirectory(parent, entry, path, walked.emptied());
}

// Only an emptied directory's "not empty" is waited out. The classic form
// wants the read-only bit cleared first. A dry run takes every removal for
// done.
Outcome EntryHandler::remove_subdirectory(Level& parent, const DirectoryEntry& entry, std::u16string_view path,
                                          bool emptied) {
    if (settings_.what_if) {
        parent.stays(entry.name);
        return Outcome::lists_on;
    }
    auto remove_in = [&](platform::DeletionForm form) {
        if (form == platform::DeletionForm::classic)
            if (ErrorCode error = clear_read_only(parent, entry, path)) return error;
        return platform::remove_directory(*parent.directory, entry, form);
    };
    auto remove = [&] { return in_learned_form(remove_in); };
    ErrorCode error = emptied ? shared_.retries.run(remove) : remove();
    if (!error) return Outcome::lists_on;
    report_failure(path, "RemoveDirectory()", error);
    return leave_behind(parent, entry);
}

// The failure's entry stays where the run goes on past it.
Outcome EntryHandler::leave_behind(Level& parent, const DirectoryEntry& entry) {
    if (settings_.ignore_errors) parent.stays(entry.name);
    return unless_ignoring_errors();
}

// The listing already carries the attributes, so they are not read again.
ErrorCode EntryHandler::clear_read_only(Level& parent, const DirectoryEntry& entry, std::u16string_view path) {
    if (!(entry.attributes & platform::attribute_read_only)) return no_error;
    ErrorCode error = platform::clear_read_only(*parent.directory, entry);
    if (error) report_failure(path, "SetFileAttributes(remove read only attribute)", error);
    return error;
}

bool EntryHandler::show_directory(std::u16string_view path) { return show(nullptr, path); }

bool EntryHandler::show(const DirectoryEntry* file, std::u16string_view path) {
    if (count_and_show(report_, {path, file != nullptr, file ? file->end_of_file : 0}, lines_wanted())) return true;
    note_interruption();
    return false;
}

void EntryHandler::report_failure(std::u16string_view path, std::string_view label, ErrorCode error) {
    if (!levels_.empty()) levels_.deepest().failed = true;
    report_win32_error(report_, path, label, error);
}

bool EntryHandler::report_if_interrupted() {
    if (!platform::interruption_requested()) return false;
    note_interruption();
    return true;
}

// One line for the run, from the walk that saw the request first.
void EntryHandler::note_interruption() {
    if (shared_.interrupted.exchange(true)) return;
    report_failure(levels_.walked_path(), "Interrupted", platform::cancelled_error());
}

}  // namespace scythe
