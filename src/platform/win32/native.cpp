// The native layer: ntdll.dll's entry points, bound once, the records its
// calls fill in, and the calls the directory operations make through them.
//
// The hard cases:
// - Layouts: the records are the system's, not the headers' (mingw-w64
//   lacks most of them); each is pinned by static_asserts that hold for the
//   32-bit build as for the 64-bit one, since only the 64-bit one runs here.
// - A listing gives "." and ".." like any entry; they are passed over here,
//   once, for the walk's listings and for the look into a directory left
//   in place alike.
// - Listing buffers live on the stack for one call: deep trees cost no
//   buffer per level. The buffer for a handle's object name, up to 64 KiB,
//   is each thread's own cache of memory, not the run's state.
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <vector>

#include "platform/win32/native.h"

namespace scythe::platform {

// Function-local constants, bound by whichever thread asks first.
// GetProcAddress gives a generic function pointer; the cast through
// void (*)() tells the compiler the real signature is known here.
const NtdllEntryPoints& ntdll() {
    static const HMODULE module = GetModuleHandleA("ntdll.dll");
    auto bind = [](const char* name, auto typed_null) {
        FARPROC found = module ? GetProcAddress(module, name) : nullptr;
        return reinterpret_cast<decltype(typed_null)>(reinterpret_cast<void (*)()>(found));
    };
    static const NtdllEntryPoints bound{
        .query_directory_file = bind("NtQueryDirectoryFile", QueryDirectoryFile{}),
        .status_to_dos_error = bind("RtlNtStatusToDosError", StatusToDosError{}),
        .create_file = bind("NtCreateFile", NativeCreateFile{}),
        .query_information_file = bind("NtQueryInformationFile", InformationFile{}),
        .set_information_file = bind("NtSetInformationFile", InformationFile{}),
        .query_object = bind("NtQueryObject", QueryObject{})};
    return bound;
}

const char* missing_entry_point() {
    if (!ntdll().query_directory_file) return "NtQueryDirectoryFile";
    if (!ntdll().status_to_dos_error) return "RtlNtStatusToDosError";
    return nullptr;
}

ErrorCode status_to_error(NativeStatus status) { return ntdll().status_to_dos_error(status); }

bool file_entry_points_bound() {
    const NtdllEntryPoints& bound = ntdll();
    return bound.create_file && bound.query_information_file && bound.set_information_file && bound.query_object;
}

namespace {

// ---- records ----

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
constexpr ULONG option_synchronous = 0x20;
constexpr ULONG option_backup_intent = 0x4000;
constexpr ULONG option_open_reparse_point = 0x200000;

constexpr LONG status_not_implemented = static_cast<LONG>(0xC0000002);
constexpr LONG status_invalid_info_class = static_cast<LONG>(0xC0000003);
constexpr LONG status_invalid_device_request = static_cast<LONG>(0xC0000010);
constexpr LONG status_invalid_parameter = static_cast<LONG>(0xC000000D);
constexpr LONG status_not_supported = static_cast<LONG>(0xC00000BB);

// The room for the longest name a handle can have.
constexpr std::size_t longest_name_bytes = 65536 * sizeof(WCHAR);

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

bool is_dot_or_dot_dot(std::u16string_view name) { return name == u"." || name == u".."; }

// One record of the listing, taken out of the buffer at once.
LONG read_record(HANDLE listing, bool restart, DirectoryEntry& entry) {
    ULONGLONG buffer[512];  // 4,096 bytes, 8-byte aligned
    IoStatus io_status{};
    LONG status = ntdll().query_directory_file(listing, nullptr, nullptr, nullptr, &io_status, buffer, sizeof buffer,
                                               file_directory_information, TRUE, nullptr, restart ? TRUE : FALSE);
    if (status < 0) return status;
    auto* record = reinterpret_cast<const DirectoryInformation*>(buffer);
    entry.attributes = record->file_attributes;
    entry.end_of_file = static_cast<std::uint64_t>(record->end_of_file.QuadPart);
    entry.name.assign(reinterpret_cast<const char16_t*>(record->file_name), record->file_name_length / 2);
    return status;
}

ErrorCode set_attributes(HANDLE handle, ULONG attributes) {
    BasicInformation basic{};  // times left at zero stay as they are
    basic.file_attributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    LONG status = set(handle, basic, file_basic_information);
    return status >= 0 ? no_error : error_of(status);
}

}  // namespace

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

LONG read_listing(HANDLE listing, bool restart, DirectoryEntry& entry) {
    LONG status = read_record(listing, restart, entry);
    while (status >= 0 && is_dot_or_dot_dot(entry.name)) status = read_record(listing, false, entry);
    return status;
}

bool lists_entries(HANDLE directory) {
    Handle listing;
    if (open_relative(directory, u"", FILE_LIST_DIRECTORY, option_directory, listing) < 0) return false;
    DirectoryEntry entry;
    return read_listing(listing.get(), true, entry) >= 0;
}

LONG attributes_of(HANDLE handle, ULONG& attributes, std::uint32_t& reparse_tag) {
    AttributeTagInformation tag{};
    LONG status = query(handle, tag, file_attribute_tag_information);
    attributes = tag.file_attributes;
    reparse_tag = (tag.file_attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.reparse_tag : 0;
    return status;
}

std::uint32_t reparse_tag_of(HANDLE handle) {
    ULONG attributes = 0;
    std::uint32_t tag = 0;
    return attributes_of(handle, attributes, tag) < 0 ? 0 : tag;
}

LARGE_INTEGER file_id_of(HANDLE handle) {
    InternalInformation internal{};
    query(handle, internal, file_internal_information);
    return internal.index_number;
}

ULONG link_count(HANDLE handle) {
    StandardInformation standard{};
    return query(handle, standard, file_standard_information) < 0 ? 0 : standard.number_of_links;
}

std::u16string name_on_volume(HANDLE handle) {
    std::vector<unsigned char> buffer(sizeof(NameInformation) + longest_name_bytes);
    IoStatus io_status{};
    if (ntdll().query_information_file(handle, &io_status, buffer.data(), static_cast<ULONG>(buffer.size()),
                                       file_name_information) < 0)
        return {};
    auto* information = reinterpret_cast<const NameInformation*>(buffer.data());
    return std::u16string(reinterpret_cast<const char16_t*>(information->file_name),
                          information->file_name_length / sizeof(WCHAR));
}

ErrorCode object_name_of(HANDLE handle, std::u16string& name) {
    thread_local std::vector<unsigned char> buffer(sizeof(ObjectNameInformation) + longest_name_bytes);
    ULONG returned = 0;
    if (LONG status = ntdll().query_object(handle, object_name_information, buffer.data(),
                                           static_cast<ULONG>(buffer.size()), &returned);
        status < 0)
        return error_of(status);
    const UNICODE_STRING& text = reinterpret_cast<const ObjectNameInformation*>(buffer.data())->name;
    name.assign(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / sizeof(WCHAR));
    return no_error;
}

ErrorCode set_read_only(HANDLE handle, bool read_only) {
    BasicInformation basic{};
    if (LONG status = query(handle, basic, file_basic_information); status < 0) return error_of(status);
    ULONG attributes = read_only ? basic.file_attributes | FILE_ATTRIBUTE_READONLY
                                 : basic.file_attributes & ~static_cast<ULONG>(FILE_ATTRIBUTE_READONLY);
    return attributes == basic.file_attributes ? no_error : set_attributes(handle, attributes);
}

// The system (Windows before 10 1809, a FAT volume, Wine) may refuse the
// POSIX-semantics class; the walk then learns to use the classic form.
ErrorCode set_delete_disposition(HANDLE handle, DeletionForm form) {
    if (form == DeletionForm::classic) {
        LONG status = mark_for_deletion(handle, true);
        return status >= 0 ? no_error : error_of(status);
    }
    DispositionInformationEx disposition{disposition_delete | disposition_posix_semantics |
                                         disposition_ignore_read_only};
    LONG status = set(handle, disposition, file_disposition_information_ex);
    if (status >= 0) return no_error;
    bool class_refused = status == status_not_implemented || status == status_invalid_info_class ||
                         status == status_invalid_device_request || status == status_invalid_parameter ||
                         status == status_not_supported;
    return class_refused ? deletion_form_refused : error_of(status);
}

LONG mark_for_deletion(HANDLE handle, bool marked) {
    DispositionInformation disposition{static_cast<BOOLEAN>(marked ? TRUE : FALSE)};
    return set(handle, disposition, file_disposition_information);
}

}  // namespace scythe::platform
