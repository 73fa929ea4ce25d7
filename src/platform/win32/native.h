// The native layer as the Windows directory operations use it: the calls,
// each on an open handle or relative to one, with the records they fill in
// kept inside native.cpp. Shared by the Windows implementation files only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

constexpr LONG status_delete_pending = static_cast<LONG>(0xC0000056);
constexpr LONG status_privilege_not_held = static_cast<LONG>(0xC0000061);
constexpr LONG status_directory_not_empty = static_cast<LONG>(0xC0000101);

constexpr ULONG option_directory = 0x1;
constexpr ULONG option_non_directory = 0x40;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// "The object manager encountered a reparse point while retrieving an
// object." (absent from the mingw-w64 headers)
constexpr DWORD error_reparse_point_encountered = 4395;

inline ErrorCode error_of(LONG status) { return status_to_error(status); }

// The ntdll.dll entry points the directory operations need are all there.
bool file_entry_points_bound();

// Opens name relative to the directory handle (a full native path where
// parent is null), as the entry itself: never through a reparse point.
LONG open_relative(HANDLE parent, const std::u16string& name, ACCESS_MASK access, ULONG options, Handle& opened);

// The next entry of the listing, "." and ".." passed over; with restart,
// from the listing's start. Fills in the attributes, size and name.
LONG read_listing(HANDLE listing, bool restart, DirectoryEntry& entry);
// True when the directory lists anything besides "." and ".." (a listing
// of its own, from the start, whatever the handle has read).
bool lists_entries(HANDLE directory);

// The handle's attributes and, for a reparse point, its tag.
LONG attributes_of(HANDLE handle, ULONG& attributes, std::uint32_t& reparse_tag);
// The reparse tag of what the handle is; 0 for no reparse point, or when
// the system cannot say.
std::uint32_t reparse_tag_of(HANDLE handle);
// The file ID; zero when the system cannot say.
LARGE_INTEGER file_id_of(HANDLE handle);
// The links the file has; 0 when the system cannot say.
ULONG link_count(HANDLE handle);
// The handle's path on its volume ("\dir\file"), as the system resolved it.
std::u16string name_on_volume(HANDLE handle);
// The handle's full name as the object manager gives it ("\??\Y:\dir").
ErrorCode object_name_of(HANDLE handle, std::u16string& name);

// Sets or clears the read-only bit; no call where it already is so.
ErrorCode set_read_only(HANDLE handle, bool read_only);
// Marks the handle's object for deletion when its last handle closes.
// The system may refuse the POSIX-semantics form itself:
// deletion_form_refused then.
ErrorCode set_delete_disposition(HANDLE handle, DeletionForm form);
// The classic mark, set or taken back, with the system's own status.
LONG mark_for_deletion(HANDLE handle, bool marked);

}  // namespace scythe::platform
