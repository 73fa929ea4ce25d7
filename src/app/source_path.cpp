// The /Dir: value made the rooted path every later step works on, under
// each build's rules. The hard cases:
// - Windows paths follow a grammar of their own, taken one step at a time:
//   the kind of path from its start (local "D:\", network "\\server\share",
//   the long form "\\?\" kept as typed, the device form "\\.\" taken as
//   long form, anything else refused: "C:foo" is relative to C:'s current
//   directory, "\\.\PhysicalDrive0" is no directory); then the names below
//   the drive or share, cleaned up as Windows cleans ordinary paths, since
//   the long-path prefix turns that clean-up off. A path that names a drive
//   or share root, climbs above it, or ends in "." or ".." is refused, and
//   so is one holding a double quote (a batch line's trailing backslash).
// - A POSIX path's two-character minimum is the resolved path's: a
//   relative "t" names a directory below the working directory.
// - A relative POSIX path is shown after the working directory's name
//   (given only where that name leads back to the working directory) and
//   opened from the working directory itself, so that what is shown and
//   what is opened cannot part. Any path that reaches "/" lexically is
//   refused here, links to it when the root is opened. A working directory
//   that cannot be read is told apart from one that has no name.
#include "app/source_path.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/platform.h"
#include "report/text.h"

namespace scythe {

const char* const unknown_kind_message =
    "Source path nor local neither UNC path, cannot identify long path prefix.";
const char* const file_system_root_message = "Source path is the file-system root, refusing to delete it.\n";
const char* const drive_root_message = "Source path is a drive root, refusing to delete it.\n";
const char* const share_root_message = "Source path is a share root, refusing to delete it.\n";
const char* const dot_message = "Source path ends in . or .., refusing to delete it.\n";
const char* const climbs_message = "Source path climbs above its drive or share root, refusing to delete it.\n";
const char* const quote_message =
    "Source path holds a double quote (a backslash before a closing quote keeps the quote, and the rest of the "
    "line becomes part of the path), refusing to delete it.\n";
const char* const unreadable_working_directory_message =
    "Source path is relative and the working directory cannot be read, refusing to delete it.\n";
const char* const no_working_directory_message =
    "Source path is relative and the working directory has no name, refusing to delete it.\n";


namespace {

PathCheck refused(const char* message) { return PathCheck{{}, message, {}}; }

std::vector<std::u16string_view> split(std::u16string_view text, char16_t separator) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos) return parts;
        start = end + 1;
    }
}

// True when a POSIX path, taken component by component, ends at "/".
bool names_root_lexically(std::u16string_view source) {
    std::size_t depth = 0;
    for (std::u16string_view part : split(source, u'/')) {
        if (part == u"..")
            depth = depth > 0 ? depth - 1 : 0;
        else if (!part.empty() && part != u".")
            ++depth;
    }
    return depth == 0;
}

bool is_dot_or_dot_dot(std::u16string_view name) { return name == u"." || name == u".."; }

bool starts_with_ignoring_case(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t unit = text[i];
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
        if (unit != prefix[i]) return false;
    }
    return true;
}

// A Windows path taken apart: where it is rooted and the names below.
struct WindowsPath {
    std::u16string rooted_prefix;  // "\\?\D:" or "\\?\UNC\server\share"
    std::vector<std::u16string_view> names;
};

// Windows cleans up an ordinary path before using it; the long-path prefix
// turns that off, so it is done here: "." goes, ".." takes the name before
// it, and doubled separators would otherwise stay doubled in every child.
// Names keep their trailing dots and spaces, which are real names under
// the prefix. A path given in long form is used as it is.
const char* resolve_names(std::vector<std::u16string_view> parts, bool long_form, WindowsPath& path) {
    while (!parts.empty() && parts.back().empty()) parts.pop_back();
    if (!parts.empty() && is_dot_or_dot_dot(parts.back())) return dot_message;
    for (std::u16string_view part : parts) {
        if (part.empty() || (!long_form && part == u".")) continue;
        if (!long_form && part == u"..") {
            if (path.names.empty()) return climbs_message;
            path.names.pop_back();
            continue;
        }
        path.names.push_back(part);
    }
    return nullptr;
}

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Where a path is rooted, from its start: the rest after the kind's
// prefix, or the refusal. Only "\\?\" exactly skips the clean-up; any other
// mix of separators around "." or "?" is a device path that Windows cleans
// up first.
struct PathStart {
    std::u16string_view rest;
    bool unc = false;
    const char* failure = nullptr;
};

PathStart start_of(std::u16string_view normalized, bool long_form) {
    bool device_form = !long_form && normalized.size() >= 4 && is_separator(normalized[0]) &&
                       is_separator(normalized[1]) && (normalized[2] == u'.' || normalized[2] == u'?') &&
                       is_separator(normalized[3]);
    PathStart start{normalized};
    std::u16string_view& rest = start.rest;
    if (long_form || device_form) {
        rest.remove_prefix(4);
        start.unc = starts_with_ignoring_case(rest, u"UNC\\");
        if (start.unc)
            rest.remove_prefix(4);
        else if (rest.size() < 2 || rest[1] != u':' || (rest.size() > 2 && rest[2] != u'\\'))
            start.failure = unknown_kind_message;  // a device or volume name, not a directory path
    } else if (rest[1] == u':') {
        if (rest.size() > 2 && rest[2] != u'\\') start.failure = unknown_kind_message;  // "C:foo": relative to C:'s current directory
    } else if (rest[0] == u'\\' && rest[1] == u'\\') {
        start.unc = true;
        rest.remove_prefix(2);
    } else {
        start.failure = unknown_kind_message;
    }
    return start;
}

// "\\?\UNC\server\share" from the parts, past the names it took. Doubled
// separators may stand before and between server and share.
bool take_share(const std::vector<std::u16string_view>& parts, std::size_t& next, WindowsPath& path) {
    auto next_name = [&] {
        while (next < parts.size() && parts[next].empty()) ++next;
        return next < parts.size() ? parts[next++] : std::u16string_view();
    };
    std::u16string_view server = next_name(), share = next_name();
    if (server.empty() || share.empty()) return false;
    path.rooted_prefix = u"\\\\?\\UNC\\" + std::u16string(server) + u"\\" + std::u16string(share);
    return true;
}

const char* parse_windows_path(std::u16string_view source, std::u16string& normalized, WindowsPath& path) {
    bool long_form = source.substr(0, 4) == u"\\\\?\\";
    normalized.assign(source);
    if (!long_form) std::replace(normalized.begin(), normalized.end(), u'/', u'\\');
    PathStart start = start_of(normalized, long_form);
    if (start.failure) return start.failure;
    std::vector<std::u16string_view> parts = split(start.rest, u'\\');
    std::size_t next = 0;  // the first part below the drive or share
    if (start.unc && !take_share(parts, next, path)) return unknown_kind_message;
    if (!start.unc) path.rooted_prefix = u"\\\\?\\" + std::u16string(parts[next++]);  // "D:"
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(next));
    if (const char* failure = resolve_names(std::move(parts), long_form, path)) return failure;
    if (!path.names.empty()) return nullptr;
    return start.unc ? share_root_message : drive_root_message;
}

}  // namespace

PathCheck check_path(std::u16string_view source) {
    bool relative_posix = !platform::windows_paths && !source.empty() && source[0] != u'/';
    if (source.size() < 2 && !relative_posix) return refused("Delete path too short (2 char minimum).\n");
    if (platform::windows_paths) return check_windows_path(source);
    std::u16string working_directory;
    if (platform::ErrorCode error = source[0] != u'/' ? platform::working_directory(working_directory) : 0) {
        if (platform::access_denied(error)) return refused(unreadable_working_directory_message);
        working_directory.clear();
    }
    return check_posix_path(source, working_directory);
}

PathCheck check_windows_path(std::u16string_view source) {
    // No Windows name holds a quote; one in a path is a batch line's slip.
    if (source.find(u'"') != std::u16string_view::npos) return refused(quote_message);
    std::u16string normalized;
    WindowsPath path;
    if (const char* failure = parse_windows_path(source, normalized, path)) return refused(failure);
    std::u16string rooted = path.rooted_prefix;
    for (std::u16string_view name : path.names) {
        rooted.push_back(u'\\');
        rooted += name;
    }
    return PathCheck{rooted, nullptr, rooted};
}

PathCheck check_posix_path(std::u16string_view source, std::u16string_view working_directory) {
    bool relative = source[0] != u'/';
    if (relative && working_directory.empty()) return refused(no_working_directory_message);
    std::u16string shown(relative ? working_directory : std::u16string_view());
    if (relative && shown.back() != u'/') shown.push_back(u'/');
    shown += source;
    // The working directory's name has no link or ".." in it, so the path
    // shown climbs exactly as far as the one typed.
    if (names_root_lexically(shown)) return refused(file_system_root_message);
    // A trailing slash would double in every child path.
    while (source.size() > 1 && source.back() == u'/') source.remove_suffix(1);
    while (shown.size() > 1 && shown.back() == u'/') shown.pop_back();
    // The system resolves ".." physically, through links: never what was meant.
    if (is_dot_or_dot_dot(source.substr(source.rfind(u'/') + 1))) return refused(dot_message);
    std::u16string opening(relative ? source : std::u16string_view(shown));
    return PathCheck{std::move(shown), nullptr, std::move(opening)};
}

bool check_source_path(RunSettings& settings, Report& report) {
    PathCheck check = settings.source_path ? check_path(*settings.source_path)
                                           : refused("Need path to delete, aborting.\n");
    if (check.failure) {
        report.write_console(ascii_text(check.failure));
        return false;
    }
    settings.rooted_path = std::move(check.rooted_path);
    settings.opening_path = std::move(check.opening_path);
    return true;
}

}  // namespace scythe
