// Shared by the Windows implementation files only.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

namespace scythe::platform {

// A kernel handle with one owner (NtCreateFile leaves a failed one null,
// CreateFileW gives INVALID_HANDLE_VALUE: neither is closed).
using Handle = Owned<FileHandleKind>;

inline const wchar_t* wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

struct IoStatus {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};

using QueryDirectoryFile = LONG(NTAPI*)(HANDLE file, HANDLE event, void* apc_routine, void* apc_context,
                                        IoStatus* io_status, void* buffer, ULONG length, int information_class,
                                        BOOLEAN return_single_entry, void* file_name, BOOLEAN restart_scan);
using StatusToDosError = ULONG(NTAPI*)(LONG status);
using NativeCreateFile = LONG(NTAPI*)(HANDLE* file, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                                      IoStatus* io_status, LARGE_INTEGER* allocation_size, ULONG file_attributes,
                                      ULONG share_access, ULONG disposition, ULONG options, void* ea_buffer,
                                      ULONG ea_length);
using InformationFile = LONG(NTAPI*)(HANDLE file, IoStatus* io_status, void* information, ULONG length,
                                     int information_class);
using QueryObject = LONG(NTAPI*)(HANDLE handle, int information_class, void* information, ULONG length,
                                 ULONG* returned);
// The entry points follow the system's calling convention (stdcall on x86).
static_assert(std::is_same_v<QueryDirectoryFile, LONG(__stdcall*)(HANDLE, HANDLE, void*, void*, IoStatus*, void*, ULONG,
                                                                  int, BOOLEAN, void*, BOOLEAN)>);
static_assert(std::is_same_v<StatusToDosError, ULONG(__stdcall*)(LONG)>);
static_assert(std::is_same_v<NativeCreateFile, LONG(__stdcall*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IoStatus*,
                                                                LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, void*, ULONG)>);
static_assert(std::is_same_v<InformationFile, LONG(__stdcall*)(HANDLE, IoStatus*, void*, ULONG, int)>);
static_assert(std::is_same_v<QueryObject, LONG(__stdcall*)(HANDLE, int, void*, ULONG, ULONG*)>);

// The ntdll.dll entry points the program uses, each null where the system
// lacks it. Bound once, at first use, in one place, and constant from then
// on: a table of what the system offers, the same for every run.
struct NtdllEntryPoints {
    QueryDirectoryFile query_directory_file;
    StatusToDosError status_to_dos_error;
    NativeCreateFile create_file;
    InformationFile query_information_file;
    InformationFile set_information_file;
    QueryObject query_object;
};
const NtdllEntryPoints& ntdll();

// ---- under Wine (wine_names.cpp) ----

bool running_under_wine();
// Wine's name for an entry of the directory Wine names directory.
std::u16string wine_name_of_entry(const std::u16string& directory, std::u16string_view name);
// What Wine's names of a subdirectory's entries begin with; empty where
// Wine does not run us.
std::u16string wine_name_below(const std::u16string& directory, std::u16string_view name);
// Under Wine: why the handle cannot be trusted to be the entry name of
// directory it was opened for, or no_error.
ErrorCode wine_leads_elsewhere(const std::u16string& directory, std::u16string_view name, HANDLE handle);
// Under Wine a root that is a Unix link opens as its target, named after
// the target's path: no_error where the root at path is what handle holds,
// with Wine's name for it in wine_name.
ErrorCode check_wine_root(const std::u16string& path, HANDLE handle, std::u16string& wine_name);
// Why opening the root at path failed, the system's error as Wine gives it
// told apart from a path too long for Wine.
ErrorCode root_open_error(const std::u16string& path, ErrorCode error);

// ---- the mount table under Wine (wine_mounts.cpp) ----

using UnixToDos = WCHAR*(CDECL*)(const char* unix_path);
static_assert(std::is_same_v<UnixToDos, WCHAR*(__cdecl*)(const char*)>);

// Under Wine: the mount points below the directory Wine names root_name
// ("\??\Y:\tree"), from the system's mount table, kept open for the run.
// Empty where Wine cannot name the table. Used by every thread of a run.
class WineMountTable {
public:
    explicit WineMountTable(const std::u16string& root_name);
    WineMountTable(const WineMountTable&) = delete;
    WineMountTable& operator=(const WineMountTable&) = delete;
    // True when Wine's name for a handle (name) is a mount point's; with
    // read_first, after the table is read again.
    bool contains(const std::u16string& name, bool read_first);

private:
    void read_again();  // with the lock held

    const std::u16string prefix_;
    UnixToDos to_dos_ = nullptr;
    Handle file_;
    SRWLOCK lock_;
    std::string text_;                 // as last read
    std::vector<std::u16string> below_;  // from text_, sorted
};

}  // namespace scythe::platform
