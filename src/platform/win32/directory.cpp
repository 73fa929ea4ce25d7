// Directory listing and deletion on Windows: the platform's directory
// functions, on the native calls of native.cpp.
//
// The root is opened once by its rooted path; every entry below it is then
// opened relative to its parent's open handle (NtCreateFile with the parent
// as root directory and the entry's bare name), as the reparse point itself
// and never through it. Deleting, clearing the read-only bit and removing
// act on those handles; no full path is looked up again. The hard cases:
// - The directory-swap race: a directory the walk has entered is renamed
//   and replaced by a link. Working from handles, the walk stays in the
//   directory it opened; a child that turned into a link since it was
//   listed is refused when opened.
// - Reparse points: only name surrogates (links, junctions, mount points,
//   the tag read from the entry's own handle) are links; other reparse
//   points are walked and deleted as what they contain.
// - Read-only files: POSIX-semantics deletion ignoring the read-only bit
//   where the system has it (the walk learns once per run whether it does);
//   elsewhere the classic disposition, after the bit is cleared on the
//   deletion's own handle. The bit is set again if the deletion fails, and
//   before the handle closes on a file with other links, which share it.
//   Each deletion call decides this from the entry alone, so nothing passes
//   from one call to another.
// - Delete-pending entries: an entry already being deleted counts as gone;
//   opening one to act on it gives nothing to open (OpenedEntry).
// - Security access: asked for while the walk of the root may (the
//   privilege held); the first refusal for want of it, root or below,
//   teaches the walk to stop asking (asking_for_security).
// - A directory goes when the handle marked for its deletion closes, and
//   Wine says nothing when the system then refuses (an immutable directory):
//   one look after the close tells whether it went.
// - Under Wine (wine_names.cpp, wine_mounts.cpp): a handle may be a Unix
//   link's target, so each is checked to be the entry it was opened for,
//   and one that leads elsewhere is left alone. A bind mount shows as a
//   plain directory: the mount points below the root, from the system's
//   mount table read again as each subdirectory is listed and once it is
//   opened, are listed as mount points and never removed (one made on a
//   directory the walk is already in is not seen). A link that leads
//   nowhere is hidden from every listing, but Wine's server still sees it
//   when asked to remove the directory: a kept root is asked that, and the
//   request withdrawn at once.
// - Threads: a Directory is used by one thread at a time; what the walk of
//   a root learns once (the security privilege missing) is the root's,
//   shared atomically by every directory opened below it.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "platform/platform.h"
#include "platform/win32/native.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

// What the walk of one root learns or reads once, shared by every directory
// opened below it, on every thread.
struct Learned {
    // Reading security information needs the security privilege; a user
    // who does not hold it can still delete what the access lists allow.
    std::atomic<bool> ask_for_system_security{true};
    std::unique_ptr<WineMountTable> wine_mounts;  // under Wine, for the root
};

struct Directory {
    Handle handle;  // empty while released
    LARGE_INTEGER file_id{};
    // Under Wine: what Wine's names of its entries begin with.
    std::u16string wine_name;
    Learned* learned;  // the root's, which outlives it
};

struct Root {
    Learned learned;
    OwnedDirectory directory;  // opened with delete access, so that the root is removed through it
    bool link = false;
    std::u16string native_path;  // to look whether it is gone after its removal
};

void CloseDirectory::operator()(Directory* directory) const noexcept { delete directory; }

void CloseRoot::operator()(Root* root) const noexcept { delete root; }

namespace {

// ---- opening ----

// Opens (open is given the security access to add, or none) asking for
// security access while the walk may; a refusal for want of the privilege
// (the failure privilege_not_held) ends the asking, and the open is tried
// once more without it.
template <typename Failure, typename Open>
Failure asking_for_security(std::atomic<bool>& ask, Failure privilege_not_held, Open open) {
    bool asked = ask;
    Failure failure = open(asked ? ACCESS_SYSTEM_SECURITY : 0);
    if (asked && failure == privilege_not_held) {
        ask = false;
        failure = open(0);
    }
    return failure;
}

LONG open_for_listing(Directory& parent, const std::u16string& name, Handle& opened) {
    auto open = [&](ACCESS_MASK security) {
        return open_relative(parent.handle.get(), name, GENERIC_READ | security, option_directory, opened);
    };
    return asking_for_security(parent.learned->ask_for_system_security, status_privilege_not_held, open);
}

ErrorCode open_root_handle(const std::u16string& path, Learned& learned, Handle& opened) {
    auto open = [&](ACCESS_MASK security) {
        HANDLE handle = CreateFileW(wide(path), GENERIC_READ | DELETE | security, share_all, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        ErrorCode error = handle == INVALID_HANDLE_VALUE ? GetLastError() : no_error;
        opened.reset(handle);
        return error;
    };
    return asking_for_security(learned.ask_for_system_security, ErrorCode{ERROR_PRIVILEGE_NOT_HELD}, open);
}

ErrorCode leads_elsewhere(const Directory& parent, const DirectoryEntry& entry, HANDLE handle) {
    return wine_leads_elsewhere(parent.wine_name, entry.name, handle);
}

// Under Wine: the entry is a mount point, though Wine may show it as a
// plain directory (a bind mount of the same file system). Before a
// directory is listed the table is read again (read_first), for a mount
// made meanwhile; a directory already walked is judged as it was.
bool wine_mount_point(const Directory& parent, const DirectoryEntry& entry, bool read_first = false) {
    WineMountTable* mounts = parent.learned->wine_mounts.get();
    return mounts && mounts->contains(wine_name_of_entry(parent.wine_name, entry.name), read_first);
}

// An entry opened to change or delete it: its handle, or none with why.
// An entry already being deleted gives no handle and no error: nothing is
// left to open, nor to do.
struct OpenedEntry {
    Handle handle;
    ErrorCode error = no_error;
};

OpenedEntry open_entry(Directory& parent, const DirectoryEntry& entry, ACCESS_MASK access, ULONG options) {
    OpenedEntry opened;
    LONG status = open_relative(parent.handle.get(), entry.name, access, options, opened.handle);
    if (status == status_delete_pending) return opened;
    if (status < 0) {
        opened.error = error_of(status);
    } else if ((opened.error = leads_elsewhere(parent, entry, opened.handle.get()))) {
        opened.handle.reset();
    }
    return opened;
}

// Reads the tag of a listed reparse point from the entry itself. Where the
// system went through it instead (Wine), it counts as a link: a link is
// never entered.
std::uint32_t listed_reparse_tag(Directory& parent, const DirectoryEntry& entry) {
    Handle handle;
    std::uint32_t tag = 0;
    if (open_relative(parent.handle.get(), entry.name, FILE_READ_ATTRIBUTES, 0, handle) >= 0)
        tag = reparse_tag_of(handle.get());
    return tag ? tag : reparse_tag_mount_point;
}

// ---- what deletion leaves ----

// The read-only bit belongs to the file, not to the link: a file with other
// links gets it back before its handle closes where it was cleared.
void keep_read_only_for_other_links(HANDLE handle, const DirectoryEntry& entry) {
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) && link_count(handle) >= 2) set_read_only(handle, true);
}

// Sets the entry's read-only bit again, through a handle of its own.
void set_read_only_again(Directory& parent, const DirectoryEntry& entry, ULONG options) {
    OpenedEntry opened = open_entry(parent, entry, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, options);
    if (opened.handle) set_read_only(opened.handle.get(), true);
}

// The classic form wants a directory's read-only bit cleared first (the
// walk does that); one that then stays (not empty, held open) gets it back.
void put_read_only_back(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    if (form == DeletionForm::classic && (entry.attributes & FILE_ATTRIBUTE_READONLY))
        set_read_only_again(parent, entry, option_directory);
}

// An entry marked for deletion goes when its last handle closes, and
// Wine says nothing when the system then refuses (a directory someone
// added to, an immutable one, a mount point made since the run began): one
// look after the close tells. An entry that cannot be opened, or whose name
// now stands for another object, is gone; one still there is not empty,
// or was refused. (Wine shows no "delete pending": a directory that
// someone else holds open is still there too until they close it.)
// (parent is null for a full path.) The handle of the look is left in
// again.
ErrorCode left_in_place(HANDLE parent, const std::u16string& name, LARGE_INTEGER file_id, Handle& again) {
    if (open_relative(parent, name, FILE_READ_ATTRIBUTES, 0, again) < 0 ||
        file_id_of(again.get()).QuadPart != file_id.QuadPart)
        return no_error;
    return lists_entries(again.get()) ? ERROR_DIR_NOT_EMPTY : ERROR_ACCESS_DENIED;
}

// ---- the root ----

// The native layer's name for a rooted path ("\\?\D:\x" is "\??\D:\x").
std::u16string native_path(const std::u16string& rooted_path) {
    bool prefixed = rooted_path.compare(0, 4, u"\\\\?\\") == 0;
    return prefixed ? u"\\??\\" + rooted_path.substr(4) : rooted_path;
}

// Checks what was opened at path (a directory, or a link to remove as
// itself; under Wine, the object typed) and keeps it as the root.
ErrorCode take_root(const std::u16string& path, Handle handle, Root& root) {
    ULONG attributes = 0;
    std::uint32_t tag = 0;
    if (LONG status = attributes_of(handle.get(), attributes, tag); status < 0) return error_of(status);
    bool link = tag & reparse_tag_name_surrogate;
    if (!link && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    std::u16string wine_name;
    if (!link && running_under_wine()) {
        if (ErrorCode error = check_wine_root(path, handle.get(), wine_name)) return error;
    }
    root.link = link;
    root.native_path = native_path(path);
    LARGE_INTEGER id = file_id_of(handle.get());
    if (!wine_name.empty()) root.learned.wine_mounts = std::make_unique<WineMountTable>(wine_name);
    root.directory = OwnedDirectory(new Directory{std::move(handle), id, std::move(wine_name), &root.learned});
    return no_error;
}

RootKind kind_of(const Root& root) {
    if (root.link) return RootKind::link;
    return name_on_volume(root.directory->handle.get()) == u"\\" ? RootKind::file_system_root : RootKind::directory;
}

}  // namespace

// Protected output files need no list here: their own handles refuse the
// walk's deletion (see protect_output_file).
OpenedRoot open_root(const std::u16string& path, const Session*) {
    OpenedRoot opened;
    opened.root = OwnedRoot(new Root{});
    if (!file_entry_points_bound()) {
        opened.error = ERROR_PROC_NOT_FOUND;
        return opened;
    }
    Handle handle;
    if (ErrorCode error = open_root_handle(path, opened.root->learned, handle)) {
        opened.error = root_open_error(path, error);
        return opened;
    }
    if ((opened.error = take_root(path, std::move(handle), *opened.root))) return opened;
    opened.kind = kind_of(*opened.root);
    return opened;
}

Directory* root_directory(Root& root) { return root.link ? nullptr : root.directory.get(); }

bool names_directory(const std::u16string& path) {
    DWORD attributes = GetFileAttributesW(wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The handle was opened as the object itself, so a link goes as a link.
// The root's read-only bit is not cleared first.
// A fresh handle to the same object (an empty name relative to it) is used:
// the listing handle has read to its end, and Wine judges from that
// position whether the directory is empty.
ErrorCode remove_root(Root& root) {
    if (!root.directory) return ERROR_INVALID_HANDLE;
    Handle fresh;
    if (LONG status = open_relative(root.directory->handle.get(), u"", DELETE | FILE_READ_ATTRIBUTES, 0, fresh);
        status < 0)
        return error_of(status);
    if (ErrorCode error = set_delete_disposition(fresh.get(), DeletionForm::classic)) return error;
    LARGE_INTEGER id = root.directory->file_id;
    fresh.reset();
    root.directory->handle.reset();  // the last handles close: the name goes
    ErrorCode error = left_in_place(nullptr, root.native_path, id, root.directory->handle);
    if (!error) root.directory.reset();
    return error;  // a root still there stays open for another try
}

// Under Wine only: a directory whose listing showed nothing can still hold
// links Wine hides. Wine's server reads the directory itself when asked to
// mark it for deletion, and refuses if it is not empty; where it is empty,
// the mark is taken back at once, before any handle closes. (A process
// killed between the two would lose the empty root.)
ErrorCode confirm_emptied(Root& root) {
    if (!running_under_wine() || !root.directory || root.link) return no_error;
    Handle fresh;  // read from its start, as Wine judges from the handle's position
    if (open_relative(root.directory->handle.get(), u"", DELETE | FILE_READ_ATTRIBUTES, 0, fresh) < 0)
        return no_error;  // cannot tell
    LONG status = mark_for_deletion(fresh.get(), true);
    if (status == status_directory_not_empty) return ERROR_DIR_NOT_EMPTY;
    if (status < 0) return no_error;  // refused for another reason: cannot tell
    return error_of(mark_for_deletion(fresh.get(), false));
}

// Under Wine, what every action on an entry checks first: that its handle
// is the entry listed; and a mount point is never removed.
ErrorCode foreseen_refusal(Directory& parent, const DirectoryEntry& entry) {
    if (!running_under_wine()) return no_error;
    if (wine_mount_point(parent, entry)) return ERROR_BUSY;
    return open_entry(parent, entry, FILE_READ_ATTRIBUTES, 0).error;
}

ErrorCode open_subdirectory(Directory& parent, const DirectoryEntry& entry, OwnedDirectory& opened) {
    Handle handle;
    if (LONG status = open_for_listing(parent, entry.name, handle); status < 0)
        // Being deleted by someone else: gone, as far as this run goes.
        return status == status_delete_pending ? ERROR_FILE_NOT_FOUND : error_of(status);
    // A directory turned into a link since it was listed is not entered.
    if (reparse_tag_of(handle.get()) & reparse_tag_name_surrogate) return error_reparse_point_encountered;
    if (ErrorCode error = leads_elsewhere(parent, entry, handle.get())) return error;
    // Nor is one mounted on since: as a mount point is a reparse point.
    if (wine_mount_point(parent, entry, true)) return error_reparse_point_encountered;
    LARGE_INTEGER id = file_id_of(handle.get());
    opened = OwnedDirectory(
        new Directory{std::move(handle), id, wine_name_below(parent.wine_name, entry.name), parent.learned});
    return no_error;
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    LONG status = read_listing(directory.handle.get(), restart, entry);
    if (status < 0) return status;
    entry.reparse_tag = 0;
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        entry.reparse_tag = listed_reparse_tag(directory, entry);
    else if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) && wine_mount_point(directory, entry, true)) {
        entry.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;  // not entered, removed as itself
        entry.reparse_tag = reparse_tag_mount_point;
    }
    return status;
}

void complete_entry(Directory&, DirectoryEntry&) {}

// Handles are not scarce on Windows.
std::size_t directory_handle_budget() { return SIZE_MAX; }

bool out_of_handles(ErrorCode error) { return error == ERROR_TOO_MANY_OPEN_FILES; }

void release_directory(Directory& directory) { directory.handle.reset(); }

bool directory_released(const Directory& directory) { return !directory.handle; }

// A bare name relative to a handle cannot say "..".
ErrorCode reopen_from_child(Directory&, Directory&) { return ERROR_NOT_SUPPORTED; }

ErrorCode reopen_from_parent(Directory& directory, Directory& parent, const DirectoryEntry& entry) {
    Handle handle;
    if (LONG status = open_for_listing(parent, entry.name, handle); status < 0) return error_of(status);
    if (file_id_of(handle.get()).QuadPart != directory.file_id.QuadPart) return ERROR_FILE_INVALID;
    directory.handle = std::move(handle);
    return no_error;
}

bool already_gone(ErrorCode error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool listing_found_directory_gone(NativeStatus status) {
    constexpr LONG status_object_name_not_found = static_cast<LONG>(0xC0000034);
    constexpr LONG status_object_path_not_found = static_cast<LONG>(0xC000003A);
    constexpr LONG status_file_deleted = static_cast<LONG>(0xC0000123);
    return status == status_object_name_not_found || status == status_object_path_not_found ||
           status == status_file_deleted;
}

bool access_denied(ErrorCode error) { return error == ERROR_ACCESS_DENIED; }

bool worth_retrying(ErrorCode error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY; }

void pause_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

ErrorCode clear_read_only(Directory& parent, const DirectoryEntry& entry) {
    if (wine_mount_point(parent, entry)) return no_error;  // the bit is the mounted directory's
    OpenedEntry opened = open_entry(parent, entry, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0);
    if (!opened.handle) return opened.error;
    return set_read_only(opened.handle.get(), false);
}

// A file listed read-only may have had its bit cleared by the walk after a
// refusal, or by a failed attempt of this call put back since; the bit is
// shared by all the file's links, some perhaps outside the tree. So the
// classic form clears it on the deletion's own handle, and whatever the
// form, every way out of a deletion that fails sets it again, and a file
// with other links gets it back once it goes. Each call is whole: nothing
// is remembered from one to the next.
ErrorCode delete_file(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    bool read_only = entry.attributes & FILE_ATTRIBUTE_READONLY;
    OpenedEntry opened =
        open_entry(parent, entry, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, option_non_directory);
    if (opened.error && read_only) {  // say held open without delete sharing: the bit goes back through another
        set_read_only_again(parent, entry, option_non_directory);
        return opened.error;
    }
    if (!opened.handle) return opened.error;
    HANDLE handle = opened.handle.get();
    ErrorCode error = read_only && form == DeletionForm::classic ? set_read_only(handle, false) : no_error;
    if (!error) error = set_delete_disposition(handle, form);
    if (error && read_only)
        set_read_only(handle, true);
    else if (!error)
        keep_read_only_for_other_links(handle, entry);
    return error;
}

ErrorCode remove_directory(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    // The system refuses to remove a mount point, as it refuses POSIX.
    if (wine_mount_point(parent, entry)) return ERROR_BUSY;
    OpenedEntry opened = open_entry(parent, entry, DELETE | FILE_READ_ATTRIBUTES, option_directory);
    if (!opened.handle) return opened.error;
    // Removed as a link only if the handle is the link itself.
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !reparse_tag_of(opened.handle.get()))
        return ERROR_NOT_A_REPARSE_POINT;
    LARGE_INTEGER id = file_id_of(opened.handle.get());
    ErrorCode error = set_delete_disposition(opened.handle.get(), form);
    opened.handle.reset();  // the handle closes: the directory goes, or should
    Handle look;
    if (!error) error = left_in_place(parent.handle.get(), entry.name, id, look);
    if (error) put_read_only_back(parent, entry, form);
    return error;
}

}  // namespace scythe::platform
