#include "app/command_line.h"

#include <optional>

#include "app/settings.h"
#include "platform/platform.h"
#include "report/blocks.h"
#include "report/output.h"
#include "report/text.h"

namespace scythe {

RunSettings settings;

void write_usage() {
    std::u16string text = banner();
    append_ascii(text,
                 "Usage           : Scythe [<Parameter> ...]\n"
                 "                        /Dir:<Source path>\n"
                 "                        /Log:<Logfile path and name>\n"
                 "                        /ErrorLog:<Logfile path and name>\n"
                 "                        /SubDirectories\n"
                 "                        /Silent\n"
                 "                        /StopAtFirstError\n"
                 "                        /IgnoreErrors\n"
                 "Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\n");
    write_console(text);
}

namespace {

std::u16string ascii_upper_case(std::u16string_view text) {
    std::u16string upper(text);
    for (char16_t& unit : upper)
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    return upper;
}

bool starts_with(std::u16string_view text, std::string_view key) {
    if (text.size() < key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
        if (text[i] != static_cast<unsigned char>(key[i])) return false;
    return true;
}

void parse_option(std::u16string_view argument) {
    std::u16string upper = ascii_upper_case(argument);
    // Every key is tried, so one argument may match more than one of them.
    if (starts_with(upper, "/DIR:")) settings.source_path = std::u16string(argument.substr(5));
    if (starts_with(upper, "/LOG:")) settings.run_log_path = std::u16string(argument.substr(5));
    if (starts_with(upper, "/ERRORLOG:")) settings.error_log_path = std::u16string(argument.substr(10));
    if (starts_with(upper, "/SUBDIRECTORIES")) settings.descend_into_subdirectories = true;
    if (starts_with(upper, "/SILENT")) settings.silent = true;
    if (starts_with(upper, "/STOPATFIRSTERROR")) settings.stop_at_first_error = true;
    if (starts_with(upper, "/IGNOREERRORS")) settings.ignore_errors = true;
}

PathCheck refused(const char* message) { return PathCheck{{}, message}; }

const char* const unknown_kind_message =
    "Source path nor local neither UNC path, cannot identify long path prefix.";
const char* const file_system_root_message =
    "Source path is the file-system root, refusing to delete it.\n";

// True when a POSIX path, taken component by component, ends at "/".
bool names_root_lexically(std::u16string_view source) {
    std::vector<std::u16string_view> components;
    std::size_t start = 0;
    while (start <= source.size()) {
        std::size_t end = source.find(u'/', start);
        if (end == std::u16string_view::npos) end = source.size();
        std::u16string_view part = source.substr(start, end - start);
        if (part == u"..") {
            if (!components.empty()) components.pop_back();
        } else if (!part.empty() && part != u".") {
            components.push_back(part);
        }
        start = end + 1;
    }
    return components.empty();
}

// The long-path prefix turns off the system's own path clean-up, so a
// trailing backslash would double in every child path and make it invalid.
// A drive root keeps its backslash: "C:" alone means a current directory.
std::u16string_view without_trailing_backslashes(std::u16string_view source) {
    auto is_drive_root = [](std::u16string_view path) { return path.size() == 3 && path[1] == u':'; };
    while (source.size() > 2 && source.back() == u'\\' && !is_drive_root(source)) source.remove_suffix(1);
    return source;
}

}  // namespace

void parse_arguments(const std::vector<std::u16string>& arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (argument.empty() || argument[0] != u'/') {
            std::u16string line = ascii_text("Ignoring parameter ");
            line += ascii_upper_case(argument);
            append_ascii(line, "\n");
            write_console(line);
            continue;
        }
        parse_option(argument);
    }
}

PathCheck check_windows_path(std::u16string_view source) {
    source = without_trailing_backslashes(source);
    if (source[1] == u':') return PathCheck{u"\\\\?\\" + std::u16string(source)};
    if (source[1] == u'\\') return PathCheck{u"\\\\?\\UNC\\" + std::u16string(source.substr(2))};
    return refused(unknown_kind_message);
}

PathCheck check_posix_path(std::u16string_view source) {
    if (source[0] != u'/') return refused(unknown_kind_message);
    if (names_root_lexically(source))
        return refused(file_system_root_message);
    return PathCheck{std::u16string(source)};
}

int check_source_path() {
    PathCheck check;
    if (!settings.source_path) {
        check = refused("Need path to delete, aborting.\n");
    } else if (settings.source_path->size() < 2) {
        check = refused("Delete path too short (2 char minimum).\n");
    } else if (platform::windows_paths) {
        check = check_windows_path(*settings.source_path);
    } else {
        check = check_posix_path(*settings.source_path);
        // A link to "/" is as much the root as "/" itself.
        if (!check.failure && platform::is_file_system_root(check.rooted_path))
            check = refused(file_system_root_message);
    }
    if (check.failure) {
        write_console(ascii_text(check.failure));
        return 0;
    }
    settings.rooted_path = std::move(check.rooted_path);
    return 1;
}

}  // namespace scythe
