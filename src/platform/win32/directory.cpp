// Directory listing and deletion on Windows, through the native layer.
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
// - Delete-pending entries: an entry already being deleted counts as gone.
// - A directory goes when the handle marked for its deletion closes, and
//   Wine says nothing when the system then refuses (an immutable directory):
//   one look after the close tells whether it went.
// - Wine shows a bind mount of the same file system as a plain directory:
//   the mount points below the root are read from the system's mount table
//   (wine_mounts.cpp), listed as mount points, and never removed. A mount
//   made while the run goes is seen where the table is read again: as each
//   subdirectory is listed, and once it is opened, before it is listed
//   itself. One made on a directory the walk is already in is not seen.
// - Wine hides a link that leads nowhere (dangling, looping) from every
//   listing; its server still sees it when asked to remove the directory,
//   so a kept root is asked that, and the request withdrawn at once.
// - Wine: it cannot open a Unix symbolic link itself and acts on its
//   target instead, so under Wine each handle is checked to be the entry it
//   was opened for, and an entry whose handle leads elsewhere is left alone.
//   Wine names a handle after its Unix path: the drive that maps the longest
//   prefix of it, then the rest, with one trailing dot cut off each
//   directory on the way and all trailing dots and spaces off the last
//   name. The check compares that whole name, drive included, with the
//   name the walk expects from the names it listed; the root is taken only
//   if its name and its parent's lead back to them, since a name Wine cut
//   fits two directories.
// - Threads: a Directory is used by one thread at a time; the name buffer
//   is each thread's own, and what the walk of a root learns once (the
//   security privilege missing) is the root's, shared atomically by every
//   directory opened below it.
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

namespace {

// ---- native records and entry points ----

// The record FileDirectoryInformation (class 1) fills in.
struct DirectoryInformation {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER creation_time;
    LARGE_INTEGER last_access_time;
    LARGE_INTEGER last_write_time;
    LARGE_INTEGER change_time;
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG file_attributes;
    ULONG file_name_length;
    WCHAR file_name[1];
};
static_assert(offsetof(DirectoryInformation, end_of_file) == 40);
static_assert(offsetof(DirectoryInformation, file_attributes) == 56);
static_assert(offsetof(DirectoryInformation, file_name_length) == 60);
static_assert(offsetof(DirectoryInformation, file_name) == 64);

struct BasicInformation {  // class 4
    LARGE_INTEGER creation_time;
    LARGE_INTEGER last_access_time;
    LARGE_INTEGER last_write_time;
    LARGE_INTEGER change_time;
    ULONG file_attributes;
};
static_assert(offsetof(BasicInformation, file_attributes) == 32 && sizeof(BasicInformation) == 40);

struct StandardInformation {  // class 5
    LARGE_INTEGER allocation_size;
    LARGE_INTEGER end_of_file;
    ULONG number_of_links;
    BOOLEAN delete_pending;
    BOOLEAN directory;
};
static_assert(offsetof(StandardInformation, number_of_links) == 16 && sizeof(StandardInformation) == 24);

struct InternalInformation {  // class 6: the file ID
    LARGE_INTEGER index_number;
};
static_assert(sizeof(InternalInformation) == 8);

struct NameInformation {  // class 9
    ULONG file_name_length;
    WCHAR file_name[1];
};
static_assert(offsetof(NameInformation, file_name) == 4);

struct ObjectNameInformation {  // NtQueryObject class 1; the name's text follows
    UNICODE_STRING name;
};
static_assert(sizeof(ObjectNameInformation) == 2 * sizeof(void*));

struct DispositionInformation {  // class 13
    BOOLEAN delete_file;
};
static_assert(sizeof(DispositionInformation) == 1);

struct AttributeTagInformation {  // class 35
    ULONG file_attributes;
    ULONG reparse_tag;
};
static_assert(sizeof(AttributeTagInformation) == 8);

struct DispositionInformationEx {  // class 64
    ULONG flags;
};
static_assert(sizeof(DispositionInformationEx) == 4);

static_assert(sizeof(UNICODE_STRING) == 2 * sizeof(void*) && offsetof(UNICODE_STRING, Buffer) == sizeof(void*));
static_assert(sizeof(OBJECT_ATTRIBUTES) == 6 * sizeof(void*));
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == sizeof(void*));
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 2 * sizeof(void*));
static_assert(sizeof(IoStatus) == 2 * sizeof(void*));

constexpr int object_name_information = 1;
constexpr int file_directory_information = 1;
constexpr int file_basic_information = 4;
constexpr int file_standard_information = 5;
constexpr int file_internal_information = 6;
constexpr int file_name_information = 9;
constexpr int file_disposition_information = 13;
constexpr int file_attribute_tag_information = 35;
constexpr int file_disposition_information_ex = 64;

constexpr ULONG disposition_delete = 0x1;
constexpr ULONG disposition_posix_semantics = 0x2;
constexpr ULONG disposition_ignore_read_only = 0x10;

constexpr ULONG open_existing = 1;  // FILE_OPEN
constexpr ULONG option_directory = 0x1;
constexpr ULONG option_synchronous = 0x20;
constexpr ULONG option_non_directory = 0x40;
constexpr ULONG option_backup_intent = 0x4000;
constexpr ULONG option_open_reparse_point = 0x200000;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr LONG status_not_implemented = static_cast<LONG>(0xC0000002);
constexpr LONG status_invalid_info_class = static_cast<LONG>(0xC0000003);
constexpr LONG status_invalid_device_request = static_cast<LONG>(0xC0000010);
constexpr LONG status_invalid_parameter = static_cast<LONG>(0xC000000D);
constexpr LONG status_delete_pending = static_cast<LONG>(0xC0000056);
constexpr LONG status_privilege_not_held = static_cast<LONG>(0xC0000061);
constexpr LONG status_not_supported = static_cast<LONG>(0xC00000BB);
constexpr LONG status_directory_not_empty = static_cast<LONG>(0xC0000101);

// "The object manager encountered a reparse point while retrieving an
// object." (absent from the mingw-w64 headers)
constexpr DWORD error_reparse_point_encountered = 4395;

bool file_entry_points_bound() {
    const NtdllEntryPoints& bound = ntdll();
    return bound.create_file && bound.query_information_file && bound.set_information_file && bound.query_object;
}

ErrorCode error_of(LONG status) { return status_to_error(status); }

// ---- handles ----

// An owned handle: closed on every way out.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~Handle() { reset(); }
    HANDLE get() const { return handle_; }
    HANDLE* put() {
        reset();
        return &handle_;
    }
    void reset(HANDLE handle = nullptr) {
        if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = nullptr;
};

template <typename Record>
LONG query(HANDLE handle, Record& record, int information_class) {
    IoStatus io_status{};
    return ntdll().query_information_file(handle, &io_status, &record, sizeof record, information_class);
}

template <typename Record>
LONG set(HANDLE handle, Record& record, int information_class) {
    IoStatus io_status{};
    return ntdll().set_information_file(handle, &io_status, &record, sizeof record, information_class);
}

// Opens name relative to the directory handle, as the entry itself.
LONG open_relative(HANDLE parent, const std::u16string& name, ACCESS_MASK access, ULONG options, Handle& opened) {
    UNICODE_STRING object_name{};
    object_name.Buffer = const_cast<PWSTR>(wide(name));
    object_name.Length = object_name.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &object_name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IoStatus io_status{};
    return ntdll().create_file(opened.put(), access | SYNCHRONIZE, &attributes, &io_status, nullptr, 0, share_all,
                               open_existing,
                               options | option_synchronous | option_backup_intent | option_open_reparse_point,
                               nullptr, 0);
}


// The handle's path on its volume ("\dir\file"), as the system resolved it.
std::u16string name_on_volume(HANDLE handle) {
    // Room for the longest path a handle can have.
    std::vector<unsigned char> buffer(sizeof(NameInformation) + 65536 * sizeof(WCHAR));
    IoStatus io_status{};
    if (ntdll().query_information_file(handle, &io_status, buffer.data(), static_cast<ULONG>(buffer.size()),
                                       file_name_information) < 0)
        return {};
    auto* information = reinterpret_cast<const NameInformation*>(buffer.data());
    return std::u16string(reinterpret_cast<const char16_t*>(information->file_name),
                          information->file_name_length / sizeof(WCHAR));
}

// The handle's full name as Wine gives it ("\??\Y:\dir\file").
// The buffer is each thread's own cache of memory, not the run's state.
ErrorCode wine_name_of(HANDLE handle, std::u16string& name) {
    thread_local std::vector<unsigned char> buffer(sizeof(ObjectNameInformation) + 65536 * sizeof(WCHAR));
    ULONG returned = 0;
    if (LONG status = ntdll().query_object(handle, object_name_information, buffer.data(),
                                           static_cast<ULONG>(buffer.size()), &returned);
        status < 0)
        return error_of(status);
    const UNICODE_STRING& text = reinterpret_cast<const ObjectNameInformation*>(buffer.data())->name;
    name.assign(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / sizeof(WCHAR));
    return no_error;
}

bool ends_in_dot_or_space(std::u16string_view name) {
    return !name.empty() && (name.back() == u'.' || name.back() == u' ');
}

// A name as Wine shows it as the last component of a handle's name.
std::u16string_view as_wine_shows_last(std::u16string_view name) {
    while (ends_in_dot_or_space(name)) name.remove_suffix(1);
    return name;
}

// A name as Wine shows it as a directory on the way: one trailing dot less.
std::u16string_view as_wine_shows_on_the_way(std::u16string_view name) {
    if (!name.empty() && name.back() == u'.') name.remove_suffix(1);
    return name;
}

std::u16string joined(const std::u16string& directory, std::u16string_view name) {
    std::u16string path = directory;
    if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
    path += name;
    return path;
}

}  // namespace

bool running_under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

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

namespace {

// Wine builds a full Unix path for every call and gives no true name for
// one past its limit (4,096 bytes, the drive's own Unix path included).
constexpr std::size_t wine_name_limit = 3900;

// Under Wine: why the handle cannot be trusted to be the entry it was
// opened for, or no_error.
ErrorCode leads_elsewhere(const Directory& parent, const DirectoryEntry& entry, HANDLE handle) {
    if (!running_under_wine()) return no_error;
    std::u16string found;
    if (ErrorCode error = wine_name_of(handle, found)) return error;
    std::u16string expected = joined(parent.wine_name, as_wine_shows_last(entry.name));
    if (found == expected) return no_error;
    return expected.size() > wine_name_limit ? ERROR_FILENAME_EXCED_RANGE : ERROR_CANT_ACCESS_FILE;
}

// Under Wine: the entry is a mount point, though Wine may show it as a
// plain directory (a bind mount of the same file system). Before a
// directory is listed the table is read again (read_first), for a mount
// made meanwhile; a directory already walked is judged as it was.
bool wine_mount_point(const Directory& parent, const DirectoryEntry& entry, bool read_first = false) {
    WineMountTable* mounts = parent.learned->wine_mounts.get();
    return mounts && mounts->contains(joined(parent.wine_name, as_wine_shows_last(entry.name)), read_first);
}

LONG open_for_listing(Directory& parent, const std::u16string& name, Handle& opened) {
    std::atomic<bool>& ask_for_system_security = parent.learned->ask_for_system_security;
    ACCESS_MASK access = GENERIC_READ | (ask_for_system_security ? ACCESS_SYSTEM_SECURITY : 0);
    LONG status = open_relative(parent.handle.get(), name, access, option_directory, opened);
    if (status == status_privilege_not_held && ask_for_system_security) {
        ask_for_system_security = false;
        status = open_relative(parent.handle.get(), name, GENERIC_READ, option_directory, opened);
    }
    return status;
}

// What Wine's names of a subdirectory's entries begin with.
std::u16string wine_name_below(const Directory& parent, const DirectoryEntry& entry) {
    return running_under_wine() ? joined(parent.wine_name, as_wine_shows_on_the_way(entry.name)) : std::u16string();
}

// Opens an entry to change or delete it. An entry already being deleted
// leaves opened empty without an error: there is nothing left to do.
ErrorCode open_entry(Directory& parent, const DirectoryEntry& entry, ACCESS_MASK access, ULONG options,
                     Handle& opened) {
    LONG status = open_relative(parent.handle.get(), entry.name, access, options, opened);
    if (status == status_delete_pending) return no_error;
    if (status < 0) return error_of(status);
    return leads_elsewhere(parent, entry, opened.get());
}

// The system (Windows before 10 1809, a FAT volume, Wine) may refuse the
// POSIX-semantics class; the walk then learns to use the classic form.
ErrorCode set_delete_disposition(HANDLE handle, DeletionForm form) {
    if (form == DeletionForm::ignoring_read_only) {
        DispositionInformationEx disposition{disposition_delete | disposition_posix_semantics |
                                             disposition_ignore_read_only};
        LONG status = set(handle, disposition, file_disposition_information_ex);
        if (status >= 0) return no_error;
        bool class_refused = status == status_not_implemented || status == status_invalid_info_class ||
                             status == status_invalid_device_request || status == status_invalid_parameter ||
                             status == status_not_supported;
        return class_refused ? deletion_form_refused : error_of(status);
    }
    DispositionInformation disposition{TRUE};
    LONG status = set(handle, disposition, file_disposition_information);
    return status >= 0 ? no_error : error_of(status);
}

ErrorCode set_attributes(HANDLE handle, ULONG attributes) {
    BasicInformation basic{};  // times left at zero stay as they are
    basic.file_attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    LONG status = set(handle, basic, file_basic_information);
    return status >= 0 ? no_error : error_of(status);
}

// The read-only bit belongs to the file, not to the link: a file with other
// links gets it back before its handle closes where it was cleared.
void keep_read_only_for_other_links(HANDLE handle, const DirectoryEntry& entry) {
    if (!(entry.attributes & FILE_ATTRIBUTE_READONLY)) return;
    StandardInformation standard{};
    BasicInformation basic{};
    if (query(handle, standard, file_standard_information) < 0 || standard.number_of_links < 2) return;
    if (query(handle, basic, file_basic_information) < 0 || (basic.file_attributes & FILE_ATTRIBUTE_READONLY)) return;
    set_attributes(handle, basic.file_attributes | FILE_ATTRIBUTE_READONLY);
}

LARGE_INTEGER file_id_of(HANDLE handle) {
    InternalInformation internal{};
    query(handle, internal, file_internal_information);
    return internal.index_number;
}

// The reparse tag of what the handle is; 0 for no reparse point, or when
// the system cannot say.
std::uint32_t reparse_tag_of(HANDLE handle) {
    AttributeTagInformation tag{};
    if (query(handle, tag, file_attribute_tag_information) < 0 || !(tag.file_attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    return tag.reparse_tag;
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

// True when the directory lists anything besides "." and "..".
bool lists_entries(HANDLE directory) {
    Handle listing;
    if (open_relative(directory, u"", FILE_LIST_DIRECTORY, option_directory, listing) < 0) return false;
    ULONGLONG buffer[512];  // 8-byte aligned
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IoStatus io_status{};
        if (ntdll().query_directory_file(listing.get(), nullptr, nullptr, nullptr, &io_status, buffer, sizeof buffer,
                                         file_directory_information, TRUE, nullptr, restart) < 0)
            return false;
        auto* record = reinterpret_cast<const DirectoryInformation*>(buffer);
        std::u16string_view name(reinterpret_cast<const char16_t*>(record->file_name), record->file_name_length / 2);
        if (name != u"." && name != u"..") return true;
    }
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

}  // namespace

void CloseDirectory::operator()(Directory* directory) const noexcept { delete directory; }

void CloseRoot::operator()(Root* root) const noexcept { delete root; }

namespace {

HANDLE open_root_handle(const std::u16string& path, Learned& learned, DWORD& error) {
    auto open = [&](DWORD access) {
        return CreateFileW(wide(path), access, share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE handle = open(GENERIC_READ | DELETE | ACCESS_SYSTEM_SECURITY);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
        learned.ask_for_system_security = false;
        handle = open(GENERIC_READ | DELETE);
    }
    error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return handle;
}

// The native layer's name for a rooted path ("\\?\D:\x" is "\??\D:\x").
std::u16string native_path(const std::u16string& rooted_path) {
    bool prefixed = rooted_path.compare(0, 4, u"\\\\?\\") == 0;
    return prefixed ? u"\\??\\" + rooted_path.substr(4) : rooted_path;
}

// Under Wine: the name leads back to the handle when opening it again
// gives the same file. A name Wine cut a dot from may lead elsewhere.
bool leads_back(const std::u16string& name, HANDLE handle) {
    Handle again;
    return open_relative(nullptr, name, FILE_READ_ATTRIBUTES, 0, again) >= 0 &&
           file_id_of(again.get()).QuadPart == file_id_of(handle).QuadPart;
}

bool equal_ignoring_case(std::u16string_view one, std::u16string_view other) {
    return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(one.data()), static_cast<int>(one.size()),
                                reinterpret_cast<const wchar_t*>(other.data()), static_cast<int>(other.size()),
                                TRUE) == CSTR_EQUAL;
}

// Under Wine a root that is a Unix link opens as its target, named after
// the target's path. The root is taken when its name is its parent's name
// and the last name as typed (which Wine looked up ignoring case), and
// both names lead back to what was opened; wine_name is then its name.
ErrorCode check_wine_root(const std::u16string& path, HANDLE handle, std::u16string& wine_name) {
    std::size_t last = path.rfind(u'\\');
    std::u16string parent_path = path.substr(0, last);
    if (parent_path.back() == u':') parent_path.push_back(u'\\');  // the drive's root, not its volume
    Handle parent(CreateFileW(wide(parent_path), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent) return GetLastError();
    std::u16string parent_name;
    if (ErrorCode error = wine_name_of(parent.get(), parent_name)) return error;
    if (ErrorCode error = wine_name_of(handle, wine_name)) return error;
    std::u16string_view found_last = std::u16string_view(wine_name).substr(wine_name.rfind(u'\\') + 1);
    bool named_as_typed = wine_name == joined(parent_name, found_last) &&
                          equal_ignoring_case(found_last, as_wine_shows_last(std::u16string_view(path).substr(last + 1)));
    if (!named_as_typed || !leads_back(parent_name, parent.get()) || !leads_back(wine_name, handle))
        return ERROR_CANT_ACCESS_FILE;
    return no_error;
}

}  // namespace

// Protected output files need no list here: their own handles refuse the
// walk's deletion (see protect_output_file).
OpenedRoot open_root(const std::u16string& path, const Session*) {
    OpenedRoot opened;
    opened.root = OwnedRoot(new Root{});
    Learned& learned = opened.root->learned;
    if (!file_entry_points_bound()) {
        opened.error = ERROR_PROC_NOT_FOUND;
        return opened;
    }
    DWORD error = 0;
    Handle handle(open_root_handle(path, learned, error));
    if (!handle) {
        // Wine fails a path past its limit as a device failure.
        bool too_long = running_under_wine() && error == ERROR_GEN_FAILURE && path.size() > wine_name_limit;
        opened.error = too_long ? ERROR_FILENAME_EXCED_RANGE : error;
        return opened;
    }
    AttributeTagInformation tag{};
    if (LONG status = query(handle.get(), tag, file_attribute_tag_information); status < 0) {
        opened.error = error_of(status);
        return opened;
    }
    bool link = (tag.file_attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag.reparse_tag & reparse_tag_name_surrogate);
    if (!link && !(tag.file_attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        opened.error = ERROR_DIRECTORY;
        return opened;
    }
    std::u16string wine_name;
    if (!link && running_under_wine()) {
        if ((opened.error = check_wine_root(path, handle.get(), wine_name))) return opened;
    }
    opened.root->link = link;
    opened.root->native_path = native_path(path);
    LARGE_INTEGER id = file_id_of(handle.get());
    if (!wine_name.empty()) learned.wine_mounts = std::make_unique<WineMountTable>(wine_name);
    opened.root->directory = OwnedDirectory(new Directory{std::move(handle), id, std::move(wine_name), &learned});
    if (link) {
        opened.kind = RootKind::link;
    } else if (name_on_volume(opened.root->directory->handle.get()) == u"\\") {
        opened.kind = RootKind::file_system_root;
    } else {
        opened.kind = RootKind::directory;
    }
    return opened;
}

bool names_nothing(ErrorCode error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

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
    DispositionInformation mark{TRUE};
    LONG status = set(fresh.get(), mark, file_disposition_information);
    if (status == status_directory_not_empty) return ERROR_DIR_NOT_EMPTY;
    if (status < 0) return no_error;  // refused for another reason: cannot tell
    DispositionInformation unmark{FALSE};
    return error_of(set(fresh.get(), unmark, file_disposition_information));
}

// Under Wine, what every action on an entry checks first: that its handle
// is the entry listed; and a mount point is never removed.
ErrorCode foreseen_refusal(Directory& parent, const DirectoryEntry& entry) {
    if (!running_under_wine()) return no_error;
    if (wine_mount_point(parent, entry)) return ERROR_BUSY;
    Handle handle;
    return open_entry(parent, entry, FILE_READ_ATTRIBUTES, 0, handle);
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
    opened = OwnedDirectory(new Directory{std::move(handle), id, wine_name_below(parent, entry), parent.learned});
    return no_error;
}

// One entry per call, taken out of the buffer at once: the buffer lives
// on the stack for the call alone, so deep trees cost no buffer per level.
NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    ULONGLONG entry_buffer[512];  // 4,096 bytes, 8-byte aligned
    IoStatus io_status{};
    LONG status = ntdll().query_directory_file(directory.handle.get(), nullptr, nullptr, nullptr, &io_status,
                                               entry_buffer, sizeof entry_buffer, file_directory_information, TRUE,
                                               nullptr, restart ? TRUE : FALSE);
    if (status < 0) return status;
    auto* record = reinterpret_cast<const DirectoryInformation*>(entry_buffer);
    entry.attributes = record->file_attributes;
    entry.end_of_file = static_cast<std::uint64_t>(record->end_of_file.QuadPart);
    entry.name.assign(reinterpret_cast<const char16_t*>(record->file_name), record->file_name_length / 2);
    entry.reparse_tag = 0;
    if (entry.name == u"." || entry.name == u"..") return status;
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

namespace {

ErrorCode set_read_only(HANDLE handle, bool read_only) {
    BasicInformation basic{};
    if (LONG status = query(handle, basic, file_basic_information); status < 0) return error_of(status);
    ULONG attributes = read_only ? basic.file_attributes | FILE_ATTRIBUTE_READONLY
                                 : basic.file_attributes & ~static_cast<ULONG>(FILE_ATTRIBUTE_READONLY);
    return attributes == basic.file_attributes ? no_error : set_attributes(handle, attributes);
}

}  // namespace

ErrorCode clear_read_only(Directory& parent, const DirectoryEntry& entry) {
    if (wine_mount_point(parent, entry)) return no_error;  // the bit is the mounted directory's
    Handle handle;
    if (ErrorCode error = open_entry(parent, entry, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, handle);
        error || !handle)
        return error;
    return set_read_only(handle.get(), false);
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
    Handle handle;
    ErrorCode error =
        open_entry(parent, entry, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, option_non_directory, handle);
    if (error && read_only) {  // say held open without delete sharing: the bit goes back through another
        if (!open_entry(parent, entry, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, option_non_directory, handle) &&
            handle)
            set_read_only(handle.get(), true);
        return error;
    }
    if (error || !handle) return error;
    if (read_only && form == DeletionForm::classic) error = set_read_only(handle.get(), false);
    if (!error) error = set_delete_disposition(handle.get(), form);
    if (error && read_only)
        set_read_only(handle.get(), true);
    else if (!error)
        keep_read_only_for_other_links(handle.get(), entry);
    return error;
}

namespace {

// The classic form wants a directory's read-only bit cleared first (the
// walk does that); one that then stays (not empty, held open) gets it back.
void put_read_only_back(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    if (form != DeletionForm::classic || !(entry.attributes & FILE_ATTRIBUTE_READONLY)) return;
    Handle handle;
    if (!open_entry(parent, entry, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, option_directory, handle) && handle)
        set_read_only(handle.get(), true);
}

}  // namespace

ErrorCode remove_directory(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    // The system refuses to remove a mount point, as it refuses POSIX.
    if (wine_mount_point(parent, entry)) return ERROR_BUSY;
    LARGE_INTEGER id{};
    {
        Handle handle;
        if (ErrorCode error = open_entry(parent, entry, DELETE | FILE_READ_ATTRIBUTES, option_directory, handle);
            error || !handle)
            return error;
        // Removed as a link only if the handle is the link itself.
        if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !reparse_tag_of(handle.get()))
            return ERROR_NOT_A_REPARSE_POINT;
        id = file_id_of(handle.get());
        if (ErrorCode error = set_delete_disposition(handle.get(), form)) {
            put_read_only_back(parent, entry, form);
            return error;
        }
    }  // the handle closes: the directory goes, or should
    Handle look;
    ErrorCode error = left_in_place(parent.handle.get(), entry.name, id, look);
    if (error) put_read_only_back(parent, entry, form);
    return error;
}

}  // namespace scythe::platform
