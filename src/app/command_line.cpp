// The command line: help and version, options into the run settings, and
// the source path into the rooted path. The hard cases:
// - Option names match in any letter case and on their prefix, every key
//   is tried against every argument, values keep their case. Help and
//   version are looked for before anything else, so that no other argument
//   can turn them into a fatal stop; POSIX also takes the usual dash forms
//   there, as typed.
// - What was typed is what runs: a misspelled or mangled "/WhatIf" must
//   never become a real deletion. An argument that starts like an option
//   (any slash, backslash or dash, the typographic ones autocorrect makes
//   included, behind any spaces or invisible characters) or, once those
//   are dropped, with an option's name ("WhatIf") and is no option stops
//   the run before anything is opened. A flag's name followed by more
//   letters is still that flag (/SILENTLY), unless those letters name
//   another option (/SilentWhatIf); followed by anything else
//   (/Silent/WhatIf, /IgnoreErrors,) it is no option. A value option given
//   twice is refused rather than one of its values dropped.
// - A refusal says how to mend a common slip: a directory given without
//   "/Dir:", a value given as the next argument ("/Threads 4"), a path
//   that swallowed the rest of a batch line through a backslash before
//   its closing quote.
// - The usage text shown without arguments is kept as it always was; the
//   help text is the same lines, each followed by what the option does.
// - A retry time is a whole number of seconds as typed: no sign, no
//   fraction, no spaces, and digits beyond the limit are refused rather
//   than wrapped around. So is a thread count: 1 to 64, or 0 for one per
//   logical processor.
// - Windows paths follow a grammar of their own, taken one step at a time:
//   the kind of path from its start (local "D:\", network "\\server\share",
//   the long form "\\?\" kept as typed, the device form "\\.\" taken as
//   long form, anything else refused: "C:foo" is relative to C:'s current
//   directory, "\\.\PhysicalDrive0" is no directory); then the names below
//   the drive or share, cleaned up as Windows cleans ordinary paths, since
//   the long-path prefix turns that clean-up off. A path that names a drive
//   or share root, climbs above it, or ends in "." or ".." is refused.
// - A POSIX path's two-character minimum is the resolved path's: a
//   relative "t" names a directory below the working directory.
// - A relative POSIX path is shown after the working directory's name
//   (given only where that name leads back to the working directory) and
//   opened from the working directory itself, so that what is shown and
//   what is opened cannot part. Any path that reaches "/" lexically is
//   refused here, links to it when the root is opened.
#include "app/command_line.h"

#include <algorithm>
#include <optional>

#include "platform/platform.h"
#include "report/blocks.h"
#include "report/text.h"

namespace scythe {

namespace {

// One option as the usage text shows it, and what it does.
struct OptionText {
    const char* usage;
    const char* what;
};

// The usage text's order: the first options, then those that change how a
// run works, in the header's order.
constexpr OptionText option_texts[] = {
    {"/Dir:<Source path>", platform::windows_paths ? "the directory to delete (local or \\\\server\\share)"
                                                   : "the directory to delete (absolute or relative)"},
    {"/Log:<Logfile path and name>", "run log: header, DIR, FILE and ERR lines, summary"},
    {"/ErrorLog:<Logfile path and name>", "ERR lines only, written through at once"},
    {"/SubDirectories", "also delete subdirectories (else only the files)"},
    {"/Silent", "nothing on the console but fatal messages"},
    {"/StopAtFirstError", "give up at the first failure"},
    {"/IgnoreErrors", "go on after failures"},
    {"/Threads:<N>", "delete on N threads (1 to 64, 0: one per processor)"},
    {"/KeepRoot", "empty the directory but keep it"},
    {"/WhatIf", "dry run: list what would be deleted, change nothing"},
    {"/RetryFor:<Seconds>", "how long to retry a file held open (0 to 3600)"},
    {"/OnReboot", platform::windows_paths ? "what a program holds open is deleted at the next restart"
                                          : "Windows only (here a file held open is deleted at once)"},
    {"/Unicode", "console and logs in UTF-8, every name readable"},
    {"/Progress", "a status line on a terminal while the run works"},
};

// The help text's own rows, after the options.
constexpr OptionText help_texts[] = {
    {platform::windows_paths ? "/? or /Help" : "/?, /Help, --help or -h", "this text"},
    {platform::windows_paths ? "/Version" : "/Version or --version", "the version"},
};

constexpr const char* option_indent = "                        ";
constexpr const char* what_indent = "                            ";

constexpr const char* help_rules =
    "Options         : names in any letter case, and a name followed by letters\n"
    "                  is the same option (/SILENTLY is /Silent); anything else\n"
    "                  that begins with a slash or dash, or with an option's\n"
    "                  name, stops the run before it starts; so does a value\n"
    "                  option given twice\n";

constexpr const char* help_returns =
    platform::windows_paths
        ? "Returns         : 0   everything deleted (with /WhatIf: listed)\n"
          "                  n   n errors reported\n"
          "                  -1  fatal error before the work: a bad option or path,\n"
          "                      a log that cannot be created, a privilege not enabled\n"
          "                      (in a batch file: if %ERRORLEVEL% NEQ 0, since\n"
          "                      if errorlevel 1 misses -1)\n"
        : "Returns         : 0   everything deleted (with /WhatIf: listed)\n"
          "                  n   n errors reported (at most 254)\n"
          "                  255 fatal error before the work: a bad option or path,\n"
          "                      a log that cannot be created, a privilege not enabled\n";

constexpr const char* help_examples =
    platform::windows_paths
        ? "Examples        : a dry run lists what would be deleted, then the run:\n"
          "                  scythe /Dir:D:\\build\\old /SubDirectories /WhatIf\n"
          "                  scythe /Dir:D:\\build\\old /SubDirectories /Log:C:\\logs\\run.log\n"
        : "Examples        : a dry run lists what would be deleted, then the run:\n"
          "                  scythe /Dir:/srv/old /SubDirectories /WhatIf\n"
          "                  scythe /Dir:/srv/old /SubDirectories /Log:/tmp/scythe.log\n";

// "Usage ..." and the options, each followed by what it does where asked.
std::u16string usage_lines(bool with_what) {
    std::u16string text = ascii_text("Usage           : Scythe [<Parameter> ...]\n");
    auto add = [&](const OptionText& option) {
        append_ascii(text, option_indent);
        append_ascii(text, option.usage);
        append_ascii(text, "\n");
        if (!with_what) return;
        append_ascii(text, what_indent);
        append_ascii(text, option.what);
        append_ascii(text, "\n");
    };
    for (const OptionText& option : option_texts) add(option);
    if (with_what)
        for (const OptionText& row : help_texts) add(row);
    return text;
}

}  // namespace

void write_usage(Report& report) {
    std::u16string text = banner() + usage_lines(false);
    append_ascii(text, "Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\n");
    report.write_console(text);
}

void write_help(Report& report) {
    std::u16string text = banner() + usage_lines(true);
    append_ascii(text, help_rules);
    append_ascii(text, help_returns);
    append_ascii(text, help_examples);
    report.write_console(text);
}

void write_version(Report& report) { report.write_console(version_line()); }

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
const char* const on_reboot_refusal =
    "Option /OnReboot is for Windows only (here a file held open is deleted at once), aborting.\n";
const char* const no_working_directory_message =
    "Source path is relative and the working directory has no name, refusing to delete it.\n";

namespace {

constexpr std::uint32_t longest_retry_seconds = 3600;

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

bool asks_for_help(std::u16string_view argument) {
    std::u16string upper = ascii_upper_case(argument);
    if (starts_with(upper, "/?") || starts_with(upper, "/HELP")) return true;
    return !platform::windows_paths && (argument == u"--help" || argument == u"-h");
}

// Looked for before anything is written, as well as where it is parsed.
constexpr std::string_view unicode_key = "/UNICODE";

bool asks_for_version(std::u16string_view argument) {
    if (starts_with(ascii_upper_case(argument), "/VERSION")) return true;
    return !platform::windows_paths && argument == u"--version";
}

// An option's key as arguments are compared with it, upper case: the usage
// text up to its value ("/DIR:", "/SUBDIRECTORIES").
std::string key_of(const OptionText& option) {
    std::string key(std::string_view(option.usage).substr(0, std::string_view(option.usage).find('<')));
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

bool takes_value(std::string_view key) { return key.back() == ':'; }

// An option's name without its slash and colon ("WHATIF").
std::string_view name_of(std::string_view key) { return key.substr(1, key.size() - 1 - (takes_value(key) ? 1 : 0)); }

bool names_an_option_at(std::u16string_view upper, std::size_t at) {
    return std::any_of(std::begin(option_texts), std::end(option_texts), [&](const OptionText& option) {
        return starts_with(upper.substr(at), name_of(key_of(option)));
    });
}

// Spaces, controls and characters that show as nothing, which a copied
// command line may carry in front of an option.
bool is_blank(char16_t unit) {
    return unit <= 0x20 || (unit >= 0x7F && unit <= 0xA0) || unit == 0xAD || unit == 0x034F ||
           unit == 0x061C || unit == 0x180E || (unit >= 0x2000 && unit <= 0x200F) ||
           (unit >= 0x2028 && unit <= 0x202F) || (unit >= 0x205F && unit <= 0x206F) || unit == 0x3000 ||
           unit == 0xFEFF;
}

// Every slash, backslash and dash a keyboard, autocorrect or a copied
// document may put where "/" or "-" was meant.
bool is_slash_or_dash(char16_t unit) {
    constexpr char16_t others[] = {u'/',    u'\\',   u'-',    0x2044, 0x2212, 0x2215, 0x2216, 0x2796, 0x29F8,
                                   0x29F9, 0x2E3A, 0x2E3B, 0xFE58, 0xFE63, 0xFF0D, 0xFF0F, 0xFF3C};
    return (unit >= 0x2010 && unit <= 0x2015) || std::find(std::begin(others), std::end(others), unit) != std::end(others);
}

// True where an argument that is no option must stop the run rather than
// be ignored: it begins like an option, or with an option's name.
bool looks_like_option(std::u16string_view argument) {
    std::size_t start = 0;
    while (start < argument.size() && is_blank(argument[start])) ++start;
    if (start < argument.size() && is_slash_or_dash(argument[start])) return true;
    return names_an_option_at(ascii_upper_case(argument), start);
}

// After a flag's key, letters only, and none that name another option.
bool is_flag_tail(std::u16string_view upper_tail) {
    for (std::size_t i = 0; i < upper_tail.size(); ++i)
        if (upper_tail[i] < u'A' || upper_tail[i] > u'Z' || names_an_option_at(upper_tail, i)) return false;
    return true;
}

// What the arguments gave, by key, before the values are checked.
struct Given {
    std::vector<std::pair<std::string, std::u16string_view>> values;
    std::vector<std::string> flags;
    const OptionText* twice = nullptr;  // the value option given a second time

    const std::u16string_view* value(std::string_view key) const {
        for (const auto& [given, text] : values)
            if (given == key) return &text;
        return nullptr;
    }
    bool flag(std::string_view key) const { return std::find(flags.begin(), flags.end(), key) != flags.end(); }
};

// False when the argument is none of the options, or repeats a value option.
bool parse_option(std::u16string_view argument, Given& given) {
    std::u16string upper = ascii_upper_case(argument);
    for (const OptionText& option : option_texts) {
        std::string key = key_of(option);
        if (!starts_with(upper, key)) continue;
        if (!takes_value(key)) {
            if (!is_flag_tail(std::u16string_view(upper).substr(key.size()))) return false;
            given.flags.push_back(key);
            return true;
        }
        if (given.value(key)) {
            given.twice = &option;
            return false;
        }
        given.values.emplace_back(key, argument.substr(key.size()));
        return true;
    }
    return false;
}

// A whole number from 0 to the limit, digits only: no sign, no spaces, and
// digits beyond the limit refused rather than wrapped around.
std::optional<std::uint32_t> whole_number_up_to(std::u16string_view text, std::uint32_t limit) {
    if (text.empty()) return std::nullopt;
    std::uint32_t number = 0;
    for (char16_t unit : text) {
        if (unit < u'0' || unit > u'9') return std::nullopt;
        number = number * 10 + static_cast<std::uint32_t>(unit - u'0');
        if (number > limit) return std::nullopt;
    }
    return number;
}

// "Cannot <what> <value> <unit> (a whole number from 0 to <limit> is needed), aborting."
bool refuse_number(Report& report, std::string_view what, std::u16string_view text, std::string_view unit,
                   std::uint32_t limit) {
    std::u16string line = ascii_text("Cannot ");
    append_ascii(line, what);
    append_path(line, text);
    append_ascii(line, unit);
    append_ascii(line, " (a whole number from 0 to ");
    append_decimal(line, limit);
    append_ascii(line, " is needed), aborting.\n");
    report.write_console(line);
    return false;
}

bool check_retry_for(std::u16string_view text, RunSettings& settings, Report& report) {
    settings.retry_for_seconds = whole_number_up_to(text, longest_retry_seconds);
    if (settings.retry_for_seconds) return true;
    return refuse_number(report, "retry for ", text, " seconds", longest_retry_seconds);
}

constexpr std::uint32_t most_threads = 64;

bool check_threads(std::u16string_view text, RunSettings& settings, Report& report) {
    std::optional<std::uint32_t> count = whole_number_up_to(text, most_threads);
    if (!count) return refuse_number(report, "run on ", text, " threads", most_threads);
    settings.threads = *count ? *count : std::min<unsigned>(platform::logical_processors(), most_threads);
    return true;
}

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
    return text.size() >= prefix.size() && ascii_upper_case(text.substr(0, prefix.size())) == prefix;
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

const char* parse_windows_path(std::u16string_view source, std::u16string& normalized, WindowsPath& path) {
    // Only "\\?\" exactly skips the clean-up; any other mix of separators
    // around "." or "?" is a device path that Windows cleans up first.
    bool long_form = source.substr(0, 4) == u"\\\\?\\";
    auto is_separator = [](char16_t unit) { return unit == u'\\' || unit == u'/'; };
    bool device_form = !long_form && source.size() >= 4 && is_separator(source[0]) && is_separator(source[1]) &&
                       (source[2] == u'.' || source[2] == u'?') && is_separator(source[3]);
    normalized.assign(source);
    if (!long_form)
        for (char16_t& unit : normalized)
            if (unit == u'/') unit = u'\\';
    std::u16string_view rest = normalized;
    bool unc;
    if (long_form || device_form) {
        rest.remove_prefix(4);
        unc = starts_with_ignoring_case(rest, u"UNC\\");
        if (unc) {
            rest.remove_prefix(4);
        } else if (rest.size() < 2 || rest[1] != u':' || (rest.size() > 2 && rest[2] != u'\\')) {
            return unknown_kind_message;  // a device or volume name, not a directory path
        }
    } else if (rest[1] == u':') {
        unc = false;
        if (rest.size() > 2 && rest[2] != u'\\') return unknown_kind_message;  // "C:foo": relative to C:'s current directory
    } else if (rest[0] == u'\\' && rest[1] == u'\\') {
        unc = true;
        rest.remove_prefix(2);
    } else {
        return unknown_kind_message;
    }
    std::vector<std::u16string_view> parts = split(rest, u'\\');
    std::size_t next = 0;  // the first part below the drive or share
    const char* root_message = drive_root_message;
    if (unc) {
        // Doubled separators may stand before and between server and share.
        auto next_name = [&] {
            while (next < parts.size() && parts[next].empty()) ++next;
            return next < parts.size() ? parts[next++] : std::u16string_view();
        };
        std::u16string_view server = next_name(), share = next_name();
        if (server.empty() || share.empty()) return unknown_kind_message;
        path.rooted_prefix = u"\\\\?\\UNC\\" + std::u16string(server) + u"\\" + std::u16string(share);
        root_message = share_root_message;
    } else {
        path.rooted_prefix = u"\\\\?\\" + std::u16string(parts[next++]);  // "D:"
    }
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(next));
    if (const char* failure = resolve_names(std::move(parts), long_form, path)) return failure;
    return path.names.empty() ? root_message : nullptr;
}

// The checks of a /Dir: value under this build's rules.
PathCheck check_path(std::u16string_view source) {
    bool relative_posix = !platform::windows_paths && !source.empty() && source[0] != u'/';
    if (source.size() < 2 && !relative_posix) return refused("Delete path too short (2 char minimum).\n");
    if (platform::windows_paths) return check_windows_path(source);
    std::u16string working_directory;
    if (source[0] != u'/' && platform::working_directory(working_directory)) working_directory.clear();
    return check_posix_path(source, working_directory);
}

// "/Threads 4" or "/Threads=4": the colon form, with the value where it
// was given, else as the usage text names it.
bool add_value_hint(std::u16string_view argument, std::u16string_view next, std::u16string& line) {
    std::u16string upper = ascii_upper_case(argument);
    for (const OptionText& option : option_texts) {
        std::string key = key_of(option);
        std::string_view bare = std::string_view(key).substr(0, key.size() - 1);
        if (!takes_value(key) || !starts_with(upper, bare)) continue;
        std::u16string_view rest = std::u16string_view(argument).substr(bare.size());
        if (!rest.empty() && rest[0] != u'=') continue;
        std::u16string_view value = rest.empty() ? next : rest.substr(1);
        std::string_view usage = option.usage;
        append_ascii(line, " (the value follows a colon: ");
        append_ascii(line, usage.substr(0, key.size()));
        Given scratch;
        if (value.empty() || parse_option(value, scratch))
            append_ascii(line, usage.substr(key.size()));
        else
            append_path(line, value);
        append_ascii(line, ")");
        return true;
    }
    return false;
}

// A directory given without "/Dir:" ("scythe /srv/build") gets a hint, but
// only one this build would take as a path to delete.
void add_directory_hint(std::u16string_view argument, std::u16string& line) {
    PathCheck as_path = check_path(argument);
    if (as_path.failure || !platform::names_directory(as_path.rooted_path)) return;
    append_ascii(line, " (a directory to delete is given as /Dir:");
    append_path(line, argument);
    append_ascii(line, ")");
}

// As a path is shown, with the invisible characters that can make a typed
// option unknown made visible too.
void append_argument(std::u16string& line, std::u16string_view argument) {
    for (char16_t unit : argument) {
        if (unit >= 0x80 && is_blank(unit))
            append_escape(line, unit);
        else
            append_path(line, std::u16string_view(&unit, 1));
    }
}

bool refuse_unknown_option(std::u16string_view argument, std::u16string_view next, Report& report) {
    std::u16string line = ascii_text("Unknown option ");
    append_argument(line, argument);
    if (!add_value_hint(argument, next, line)) add_directory_hint(argument, line);
    append_ascii(line, ", aborting.\n");
    report.write_console(line);
    return false;
}

bool refuse_twice(const OptionText& option, Report& report) {
    std::u16string line = ascii_text("Option ");
    append_ascii(line, std::string_view(option.usage).substr(0, key_of(option).size()));
    append_ascii(line, " given twice, aborting.\n");
    report.write_console(line);
    return false;
}

void ignore_parameter(std::u16string_view argument, Report& report) {
    std::u16string line = ascii_text("Ignoring parameter ");
    append_path(line, ascii_upper_case(argument));
    append_ascii(line, "\n");
    report.write_console(line);
}

std::optional<std::u16string> value_text(const Given& given, std::string_view key) {
    const std::u16string_view* value = given.value(key);
    return value ? std::optional<std::u16string>(*value) : std::nullopt;
}

// The settings from what was given; the numbers are checked here, once
// every argument is read.
bool apply(const Given& given, RunSettings& settings, Report& report) {
    settings.source_path = value_text(given, "/DIR:");
    settings.run_log_path = value_text(given, "/LOG:");
    settings.error_log_path = value_text(given, "/ERRORLOG:");
    settings.descend_into_subdirectories = given.flag("/SUBDIRECTORIES");
    settings.silent = given.flag("/SILENT");
    settings.stop_at_first_error = given.flag("/STOPATFIRSTERROR");
    settings.ignore_errors = given.flag("/IGNOREERRORS");
    settings.keep_root = given.flag("/KEEPROOT");
    settings.what_if = given.flag("/WHATIF");
    settings.unicode = given.flag(unicode_key);
    settings.progress = given.flag("/PROGRESS");
    settings.on_reboot = given.flag("/ONREBOOT");
    if (settings.on_reboot && !platform::windows_paths) {
        report.write_console(ascii_text(on_reboot_refusal));
        return false;
    }
    if (const std::u16string_view* retry_for = given.value("/RETRYFOR:"))
        if (!check_retry_for(*retry_for, settings, report)) return false;
    const std::u16string_view* threads = given.value("/THREADS:");
    return !threads || check_threads(*threads, settings, report);
}

}  // namespace

Request requested(const std::vector<std::u16string>& arguments) {
    Request request = Request::run;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (asks_for_help(arguments[i])) return Request::help;
        if (asks_for_version(arguments[i])) request = Request::version;
    }
    return request;
}

bool asks_for_unicode(const std::vector<std::u16string>& arguments) {
    return arguments.size() > 1 &&
           std::any_of(arguments.begin() + 1, arguments.end(),
                       [](const std::u16string& argument) { return starts_with(ascii_upper_case(argument), unicode_key); });
}

bool parse_arguments(const std::vector<std::u16string>& arguments, RunSettings& settings, Report& report) {
    Given given;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        if (!looks_like_option(argument)) {
            ignore_parameter(argument, report);
            continue;
        }
        if (parse_option(argument, given)) continue;
        if (given.twice) return refuse_twice(*given.twice, report);
        return refuse_unknown_option(argument, i + 1 < arguments.size() ? arguments[i + 1] : u"", report);
    }
    return apply(given, settings, report);
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
