#include "delete/walk.h"

#include <vector>

#include "app/settings.h"
#include "platform/platform.h"
#include "report/errors.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

namespace {

using platform::DirectoryEntry;

// One directory being listed. The walk keeps its own stack of these instead
// of recursing, so no tree depth can exhaust the call stack.
struct Level {
    platform::Directory* directory;
    std::size_t path_length;  // this directory's path in the walk's path buffer
    DirectoryEntry entry;     // the entry being handled
    bool restart = true;
};

constexpr int descended = -1;

class Walk {
public:
    explicit Walk(const std::u16string& root) : path_(root) {}

    int run() {
        if (!enter(nullptr)) return 0;
        for (;;) {
            int result = list(levels_.back());
            if (result == descended) continue;
            if (!leave(result)) return result;
        }
    }

private:
    std::u16string path_;  // appended on the way down, cut on the way up
    std::vector<Level> levels_;

    // Counts and shows the directory at path_, then opens it as a new level.
    bool enter(Level* parent) {
        ++counters.directories;
        write_entry_line("DIR  ", counters.directories, nullptr);
        platform::Directory* directory = parent
            ? platform::open_subdirectory(*parent->directory, parent->entry, path_)
            : platform::open_directory(path_);
        if (!directory) {
            report_win32_error(path_, "CreateFile(DIR)", platform::last_error());
            return false;
        }
        levels_.push_back(Level{directory, path_.size(), {}, true});
        return true;
    }

    // Closes finished levels and hands each result to its parent, until a
    // parent goes on listing (true) or the root's result is known (false).
    bool leave(int& result) {
        for (;;) {
            Level& finished = levels_.back();
            platform::close_directory(finished.directory);
            path_.resize(finished.path_length);
            levels_.pop_back();
            if (levels_.empty()) return false;
            if (subdirectory_done(levels_.back(), result)) return true;
            result = 0;
        }
    }

    // Lists one directory until it ends, gives up, or a child is entered.
    int list(Level& level) {
        for (;;) {
            platform::NativeStatus status = platform::read_directory(*level.directory, level.restart, level.entry);
            level.restart = false;
            if (status < 0) return listing_ended(level, status);

            const DirectoryEntry& entry = level.entry;
            path_.resize(level.path_length);
            path_.push_back(platform::path_separator);
            path_ += entry.name;

            bool handled;
            if (entry.attributes & platform::attribute_directory) {
                if (entry.name == u"." || entry.name == u".." || !settings.descend_into_subdirectories)
                    continue;
                // A link or mount point is removed as what it is, never entered.
                if (entry.attributes & platform::attribute_reparse_point) {
                    handled = remove_subdirectory(level);
                } else {
                    if (enter(&level)) return descended;
                    if (!subdirectory_done(level, 0)) return 0;
                    continue;
                }
            } else {
                handled = delete_file(level);
            }
            if (!handled && !settings.ignore_errors) return 0;
        }
    }

    int listing_ended(Level& level, platform::NativeStatus status) {
        if (status == platform::status_no_more_files) return 1;
        path_.resize(level.path_length);
        report_native_status(path_, "NtQueryDirectoryFile()", status);
        return 0;
    }

    // After a subdirectory's walk: true when the parent goes on listing.
    bool subdirectory_done(Level& parent, int result) {
        if (result == 0 && settings.stop_at_first_error) return false;
        return remove_subdirectory(parent) || settings.ignore_errors;
    }

    bool remove_subdirectory(Level& parent) {
        const DirectoryEntry& entry = parent.entry;
        bool removed = clear_read_only(parent) &&
                       platform::remove_directory(*parent.directory, entry, path_);
        if (!removed) report_win32_error(path_, "RemoveDirectory()", platform::last_error());
        return removed;
    }

    bool delete_file(Level& parent) {
        DirectoryEntry& entry = parent.entry;
        ++counters.files;
        if (entry_lines_wanted()) {
            platform::complete_entry(*parent.directory, entry);
            write_entry_line("FILE ", counters.files, &entry);
        }
        // The read-only bit is looked at only once the deletion is refused,
        // which saves reading it for every file where none is read-only.
        if (platform::delete_file(*parent.directory, entry, path_)) return true;
        platform::ErrorCode refused = platform::last_error();
        platform::complete_entry(*parent.directory, entry);
        if (entry.attributes & platform::attribute_read_only) {
            if (!clear_read_only(parent)) refused = platform::last_error();
            else if (platform::delete_file(*parent.directory, entry, path_)) return true;
            else refused = platform::last_error();
        }
        report_win32_error(path_, "DeleteFile()", refused);
        return false;
    }

    // The listing already carries the attributes, so they are not read again.
    bool clear_read_only(Level& parent) {
        const DirectoryEntry& entry = parent.entry;
        if (!(entry.attributes & platform::attribute_read_only)) return true;
        if (platform::clear_read_only(*parent.directory, entry, path_)) return true;
        report_win32_error(path_, "SetFileAttributes(remove read only attribute)", platform::last_error());
        return false;
    }

    // "DIR  000001: path" or "FILE 000001: path (n KB)".
    static bool entry_lines_wanted() { return !settings.silent || run_log_open(); }

    void write_entry_line(std::string_view kind, std::int32_t number, const DirectoryEntry* file) {
        if (!entry_lines_wanted()) return;
        line_.clear();
        append_ascii(line_, kind);
        append_decimal(line_, number, 6);
        append_ascii(line_, ": ");
        line_ += path_;
        if (file) {
            append_ascii(line_, " (");
            append_decimal(line_, static_cast<std::int64_t>(file->end_of_file >> 10));
            append_ascii(line_, " KB)");
        }
        append_ascii(line_, "\n");
        write_progress(line_);
    }

    std::u16string line_;
};

}  // namespace

int delete_tree(const std::u16string& path) {
    return Walk(path).run();
}

}  // namespace scythe
