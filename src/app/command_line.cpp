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
// - The source path's grammars are source_path.cpp's.
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
    {"/Log+:<Logfile path and name>", "the run log, appended to: each run dated"},
    {"/ErrorLog+:<Logfile path and name>", "the error log, appended to: each run dated"},
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
    {"/IfExists", "a missing directory is nothing to delete, no error"},
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
    "                  option given twice (/Log: and /Log+: are one option)\n";

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
          "                  a nightly task whose log keeps every night:\n"
          "                  scythe /Dir:D:\\tmp /SubDirectories /Log+:C:\\logs\\nightly.log\n"
          "                  a CI step that may find the directory gone already:\n"
          "                  scythe /Dir:D:\\build\\out /SubDirectories /IfExists\n"
        : "Examples        : a dry run lists what would be deleted, then the run:\n"
          "                  scythe /Dir:/srv/old /SubDirectories /WhatIf\n"
          "                  scythe /Dir:/srv/old /SubDirectories /Log:/tmp/scythe.log\n"
          "                  a nightly task whose log keeps every night:\n"
          "                  scythe /Dir:/srv/tmp /SubDirectories /Log+:/tmp/scythe.log\n"
          "                  a CI step that may find the directory gone already:\n"
          "                  scythe /Dir:/srv/build/out /SubDirectories /IfExists\n";

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

const char* const on_reboot_refusal =
    "Option /OnReboot is for Windows only (here a file held open is deleted at once), aborting.\n";

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

// "/LOG+:" is "/LOG:" appending: one option in two forms, its key without
// the "+".
std::string plain_key(std::string_view key) {
    std::string plain(key);
    if (plain.size() > 2 && plain[plain.size() - 2] == '+') plain.erase(plain.size() - 2, 1);
    return plain;
}

const OptionText& option_keyed(std::string_view key) {
    return *std::find_if(std::begin(option_texts), std::end(option_texts),
                         [&](const OptionText& option) { return key_of(option) == key; });
}

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
    const OptionText* twice = nullptr;        // the value option given a second time
    const OptionText* twice_first = nullptr;  // the form it was given in the first time

    const std::u16string_view* value(std::string_view key) const {
        for (const auto& [given, text] : values)
            if (given == key) return &text;
        return nullptr;
    }
    // The key of the form the option was given in, if it was, in either form.
    const std::string* form_of(std::string_view key) const {
        for (const auto& [given, text] : values)
            if (plain_key(given) == plain_key(key)) return &given;
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
        if (const std::string* first = given.form_of(key)) {
            given.twice = &option;
            given.twice_first = &option_keyed(*first);
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

// Where the system's command line would split an argument or read one of
// its characters as its own. POSIX: a shell, unless the argument holds
// only letters, digits, characters beyond ASCII and @%+=:,./_- . Windows:
// the C runtime's splitting at spaces and tabs, its quotes, and cmd.exe's
// & | < > ^, which it takes as they are between quotes.
bool needs_quotes(std::u16string_view argument) {
    constexpr std::u16string_view windows_special = u" \t\"&|<>^";
    constexpr std::u16string_view posix_plain = u"@%+=:,./_-";
    auto plain = [&](char16_t unit) {
        if (platform::windows_paths) return windows_special.find(unit) == std::u16string_view::npos;
        bool letter_or_digit = (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
                               (unit >= u'0' && unit <= u'9');
        return letter_or_digit || unit >= 0x80 || posix_plain.find(unit) != std::u16string_view::npos;
    };
    return argument.empty() || !std::all_of(argument.begin(), argument.end(), plain);
}

// The argument as the system reads it back. POSIX: between single quotes,
// a quote as '\''. Windows: between double quotes, as CommandLineToArgvW
// reads them: a quote escaped with a backslash, and the backslashes before
// a quote (the closing one too) doubled.
std::u16string quoted(std::u16string_view argument) {
    if (!needs_quotes(argument)) return std::u16string(argument);
    std::u16string text;
    if (!platform::windows_paths) {
        text.push_back(u'\'');
        for (char16_t unit : argument) text += unit == u'\'' ? u"'\\''" : std::u16string(1, unit);
        text.push_back(u'\'');
        return text;
    }
    text.push_back(u'"');
    std::size_t backslashes = 0;
    for (char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        text.append(unit == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
        backslashes = 0;
        text.push_back(unit);
    }
    text.append(2 * backslashes, u'\\');
    text.push_back(u'"');
    return text;
}

// The arguments after the program's name, each quoted where needed and
// shown as a refused argument is, joined by spaces.
std::u16string shown_command_line(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (i > 1) line.push_back(u' ');
        append_argument(line, quoted(arguments[i]));
    }
    return line;
}

bool refuse_unknown_option(std::u16string_view argument, std::u16string_view next, Report& report) {
    std::u16string line = ascii_text("Unknown option ");
    append_argument(line, argument);
    if (!add_value_hint(argument, next, line)) add_directory_hint(argument, line);
    append_ascii(line, ", aborting.\n");
    report.write_console(line);
    return false;
}

// "/Log:" as the usage text spells it.
std::string_view usage_key(const OptionText& option) {
    return std::string_view(option.usage).substr(0, key_of(option).size());
}

// The form given first is named where the second was the other one.
bool refuse_twice(const Given& given, Report& report) {
    std::u16string line = ascii_text("Option ");
    append_ascii(line, usage_key(*given.twice));
    append_ascii(line, " given twice");
    if (given.twice_first != given.twice) {
        append_ascii(line, " (first as ");
        append_ascii(line, usage_key(*given.twice_first));
        append_ascii(line, ")");
    }
    append_ascii(line, ", aborting.\n");
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

// A log's path from whichever of its two forms was given.
std::optional<std::u16string> log_path(const Given& given, std::string_view key, bool& appends) {
    const std::string* form = given.form_of(key);
    appends = form && *form != key;
    return form ? value_text(given, *form) : std::nullopt;
}

// The settings from what was given; the numbers are checked here, once
// every argument is read.
bool apply(const Given& given, RunSettings& settings, Report& report) {
    settings.source_path = value_text(given, "/DIR:");
    settings.run_log_path = log_path(given, "/LOG:", settings.append_run_log);
    settings.error_log_path = log_path(given, "/ERRORLOG:", settings.append_error_log);
    settings.descend_into_subdirectories = given.flag("/SUBDIRECTORIES");
    settings.silent = given.flag("/SILENT");
    settings.stop_at_first_error = given.flag("/STOPATFIRSTERROR");
    settings.ignore_errors = given.flag("/IGNOREERRORS");
    settings.keep_root = given.flag("/KEEPROOT");
    settings.what_if = given.flag("/WHATIF");
    settings.unicode = given.flag(unicode_key);
    settings.progress = given.flag("/PROGRESS");
    settings.if_exists = given.flag("/IFEXISTS");
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
        if (given.twice) return refuse_twice(given, report);
        return refuse_unknown_option(argument, i + 1 < arguments.size() ? arguments[i + 1] : u"", report);
    }
    settings.command_line = shown_command_line(arguments);
    return apply(given, settings, report);
}

}  // namespace scythe
