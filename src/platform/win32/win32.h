// Shared by the Windows implementation files only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace scythe::platform {

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

bool running_under_wine();

// Under Wine: the names Wine gives the handles of the mount points below
// the directory it names root_name ("\??\Y:\tree"), sorted; read from the
// system's mount table when called.
std::vector<std::u16string> wine_mount_points_below(const std::u16string& root_name);

// Bound at run time from ntdll.dll.
extern QueryDirectoryFile query_directory_file;

// The one place ntdll.dll's entry points are looked up; false where the
// system lacks the name. GetProcAddress gives a generic function pointer;
// the cast through void (*)() tells the compiler the real signature is
// known here.
template <typename Function>
bool bind_ntdll(const char* name, Function& function) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    function = ntdll ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name))) : nullptr;
    return function != nullptr;
}

}  // namespace scythe::platform
