// Under Wine: whether a handle is the entry it was opened for, judged by
// the name Wine gives it.
//
// Wine cannot open a Unix symbolic link itself and acts on its target
// instead, so each handle is checked against the name the walk expects from
// the names it listed, and an entry whose handle leads elsewhere is left
// alone. The hard cases:
// - Wine names a handle after its Unix path: the drive that maps the
//   longest prefix of it, then the rest, with one trailing dot cut off each
//   directory on the way and all trailing dots and spaces off the last
//   name. The check compares that whole name, drive included.
// - The root is opened by a path the user typed (Wine looks its last name
//   up ignoring case); it is taken only if its name and its parent's lead
//   back to them, since a name Wine cut fits two directories.
// - Wine builds a full Unix path for every call and gives no true name for
//   one past its limit: such an entry is too long, not elsewhere.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/win32/native.h"
#include "platform/win32/win32.h"

namespace scythe::platform {

namespace {

// 4,096 bytes, the drive's own Unix path included.
constexpr std::size_t wine_name_limit = 3900;

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

// The name leads back to the handle when opening it again gives the same
// file. A name Wine cut a dot from may lead elsewhere.
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

// The root's parent as typed, and Wine's name for it.
ErrorCode wine_name_of_parent(const std::u16string& path, Handle& parent, std::u16string& parent_name) {
    std::u16string parent_path = path.substr(0, path.rfind(u'\\'));
    if (parent_path.back() == u':') parent_path.push_back(u'\\');  // the drive's root, not its volume
    parent.reset(CreateFileW(wide(parent_path), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent) return GetLastError();
    return object_name_of(parent.get(), parent_name);
}

}  // namespace

bool running_under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::u16string wine_name_of_entry(const std::u16string& directory, std::u16string_view name) {
    return joined(directory, as_wine_shows_last(name));
}

std::u16string wine_name_below(const std::u16string& directory, std::u16string_view name) {
    return running_under_wine() ? joined(directory, as_wine_shows_on_the_way(name)) : std::u16string();
}

ErrorCode wine_leads_elsewhere(const std::u16string& directory, std::u16string_view name, HANDLE handle) {
    if (!running_under_wine()) return no_error;
    std::u16string found;
    if (ErrorCode error = object_name_of(handle, found)) return error;
    std::u16string expected = wine_name_of_entry(directory, name);
    if (found == expected) return no_error;
    return expected.size() > wine_name_limit ? ERROR_FILENAME_EXCED_RANGE : ERROR_CANT_ACCESS_FILE;
}

// The root is taken when its name is its parent's name and the last name
// as typed, and both names lead back to what was opened.
ErrorCode check_wine_root(const std::u16string& path, HANDLE handle, std::u16string& wine_name) {
    Handle parent;
    std::u16string parent_name;
    if (ErrorCode error = wine_name_of_parent(path, parent, parent_name)) return error;
    if (ErrorCode error = object_name_of(handle, wine_name)) return error;
    std::u16string_view found_last = std::u16string_view(wine_name).substr(wine_name.rfind(u'\\') + 1);
    std::u16string_view typed_last = std::u16string_view(path).substr(path.rfind(u'\\') + 1);
    bool named_as_typed = wine_name == joined(parent_name, found_last) &&
                          equal_ignoring_case(found_last, as_wine_shows_last(typed_last));
    if (!named_as_typed || !leads_back(parent_name, parent.get()) || !leads_back(wine_name, handle))
        return ERROR_CANT_ACCESS_FILE;
    return no_error;
}

ErrorCode root_open_error(const std::u16string& path, ErrorCode error) {
    // Wine fails a path past its limit as a device failure.
    bool too_long = running_under_wine() && error == ERROR_GEN_FAILURE && path.size() > wine_name_limit;
    return too_long ? ERROR_FILENAME_EXCED_RANGE : error;
}

}  // namespace scythe::platform
