// Console texts the unit and scenario tests both expect, byte for byte.
// SCYTHE_VERSION comes from the build, as the program's does.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace expected {

// The banner that opens the usage text and the console's header.
inline constexpr const char* banner =
    "-------------------------------------------\r\n"
    "Scythe " SCYTHE_VERSION "\r\n"
    "-------------------------------------------\r\n";

inline constexpr const char* usage =
    "-------------------------------------------\r\n"
    "Scythe " SCYTHE_VERSION "\r\n"
    "-------------------------------------------\r\n"
    "Usage           : Scythe [<Parameter> ...]\r\n"
    "                        /Dir:<Source path>\r\n"
    "                        /Log:<Logfile path and name>\r\n"
    "                        /ErrorLog:<Logfile path and name>\r\n"
    "                        /Log+:<Logfile path and name>\r\n"
    "                        /ErrorLog+:<Logfile path and name>\r\n"
    "                        /SubDirectories\r\n"
    "                        /Silent\r\n"
    "                        /StopAtFirstError\r\n"
    "                        /IgnoreErrors\r\n"
    "                        /Threads:<N>\r\n"
    "                        /KeepRoot\r\n"
    "                        /WhatIf\r\n"
    "                        /RetryFor:<Seconds>\r\n"
    "                        /OnReboot\r\n"
    "                        /Unicode\r\n"
    "                        /Progress\r\n"
    "                        /IfExists\r\n"
    "Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\r\n";

inline constexpr const char* version = "Scythe " SCYTHE_VERSION "\r\n";

// What /? and the other help arguments show on each build.
inline std::string help(bool windows) {
    std::string text =
        "-------------------------------------------\r\n"
        "Scythe " SCYTHE_VERSION "\r\n"
        "-------------------------------------------\r\n"
        "Usage           : Scythe [<Parameter> ...]\r\n"
        "                        /Dir:<Source path>\r\n";
    text += windows ? "                            the directory to delete (local or \\\\server\\share)\r\n"
                    : "                            the directory to delete (absolute or relative)\r\n";
    text +=
        "                        /Log:<Logfile path and name>\r\n"
        "                            run log: header, DIR, FILE and ERR lines, summary\r\n"
        "                        /ErrorLog:<Logfile path and name>\r\n"
        "                            ERR lines only, written through at once\r\n"
        "                        /Log+:<Logfile path and name>\r\n"
        "                            the run log, appended to: each run dated\r\n"
        "                        /ErrorLog+:<Logfile path and name>\r\n"
        "                            the error log, appended to: each run dated\r\n"
        "                        /SubDirectories\r\n"
        "                            also delete subdirectories (else only the files)\r\n"
        "                        /Silent\r\n"
        "                            nothing on the console but fatal messages\r\n"
        "                        /StopAtFirstError\r\n"
        "                            give up at the first failure\r\n"
        "                        /IgnoreErrors\r\n"
        "                            go on after failures\r\n"
        "                        /Threads:<N>\r\n"
        "                            delete on N threads (1 to 64, 0: one per processor)\r\n"
        "                        /KeepRoot\r\n"
        "                            empty the directory but keep it\r\n"
        "                        /WhatIf\r\n"
        "                            dry run: list what would be deleted, change nothing\r\n"
        "                        /RetryFor:<Seconds>\r\n"
        "                            how long to retry a file held open (0 to 3600)\r\n"
        "                        /OnReboot\r\n";
    text += windows ? "                            what a program holds open is deleted at the next restart\r\n"
                    : "                            Windows only (here a file held open is deleted at once)\r\n";
    text +=
        "                        /Unicode\r\n"
        "                            console and logs in UTF-8, every name readable\r\n"
        "                        /Progress\r\n"
        "                            a status line on a terminal while the run works\r\n"
        "                        /IfExists\r\n"
        "                            a missing directory is nothing to delete, no error\r\n";
    text += windows ? "                        /? or /Help\r\n" : "                        /?, /Help, --help or -h\r\n";
    text += "                            this text\r\n";
    text += windows ? "                        /Version\r\n" : "                        /Version or --version\r\n";
    text +=
        "                            the version\r\n"
        "Options         : names in any letter case, and a name followed by letters\r\n"
        "                  is the same option (/SILENTLY is /Silent); anything else\r\n"
        "                  that begins with a slash or dash, or with an option's\r\n"
        "                  name, stops the run before it starts; so does a value\r\n"
        "                  option given twice (/Log: and /Log+: are one option)\r\n"
        "Returns         : 0   everything deleted (with /WhatIf: listed)\r\n";
    text += windows ? "                  n   n errors reported\r\n"
                      "                  -1  fatal error before the work: a bad option or path,\r\n"
                    : "                  n   n errors reported (at most 254)\r\n"
                      "                  255 fatal error before the work: a bad option or path,\r\n";
    text += "                      a log that cannot be created, a privilege not enabled\r\n";
    if (windows)
        text +=
            "                      (in a batch file: if %ERRORLEVEL% NEQ 0, since\r\n"
            "                      if errorlevel 1 misses -1)\r\n";
    text += "Examples        : a dry run lists what would be deleted, then the run:\r\n";
    text += windows ? "                  scythe /Dir:D:\\build\\old /SubDirectories /WhatIf\r\n"
                      "                  scythe /Dir:D:\\build\\old /SubDirectories /Log:C:\\logs\\run.log\r\n"
                      "                  a nightly task whose log keeps every night:\r\n"
                      "                  scythe /Dir:D:\\tmp /SubDirectories /Log+:C:\\logs\\nightly.log\r\n"
                      "                  a CI step that may find the directory gone already:\r\n"
                      "                  scythe /Dir:D:\\build\\out /SubDirectories /IfExists\r\n"
                    : "                  scythe /Dir:/srv/old /SubDirectories /WhatIf\r\n"
                      "                  scythe /Dir:/srv/old /SubDirectories /Log:/tmp/scythe.log\r\n"
                      "                  a nightly task whose log keeps every night:\r\n"
                      "                  scythe /Dir:/srv/tmp /SubDirectories /Log+:/tmp/scythe.log\r\n"
                      "                  a CI step that may find the directory gone already:\r\n"
                      "                  scythe /Dir:/srv/build/out /SubDirectories /IfExists\r\n";
    return text;
}

// Arguments that ask for the usage text or the version, whatever else is
// given; the POSIX build also takes the dash forms.
inline constexpr const char* help_arguments[] = {"/?", "/HELP", "/help", "/Help-me", "/?x"};
inline constexpr const char* posix_help_arguments[] = {"--help", "-h"};
inline constexpr const char* version_arguments[] = {"/VERSION", "/version", "/Versions"};
inline constexpr const char* posix_version_arguments[] = {"--version"};

// /RetryFor: values that are refused, and the line that refuses each.
inline constexpr const char* bad_retry_times[] = {"", "-1", "+5", "1.5", " 5", "3601", "99999999999", "5s", "x"};
inline std::string retry_refusal(const std::string& value) {
    return "Cannot retry for " + value + " seconds (a whole number from 0 to 3600 is needed), aborting.\r\n";
}

// The header lines of the options shown only when given, for options
// written as on a command line ("/WhatIf /RetryFor:5").
inline std::string given_option_lines(const std::string& options) {
    std::string lines;
    std::size_t threads = options.find("/Threads:");
    if (threads != std::string::npos) {
        std::size_t value = threads + 9;
        std::string count = options.substr(value, options.find(' ', value) - value);
        if (count != "1") lines += "Threads                   : " + count + "\r\n";
    }
    if (options.find("/KeepRoot") != std::string::npos) lines += "KeepRoot                  : Yes\r\n";
    if (options.find("/WhatIf") != std::string::npos) lines += "WhatIf                    : Yes\r\n";
    std::size_t retry = options.find("/RetryFor:");
    if (retry != std::string::npos) {
        std::size_t value = retry + 10;
        lines += "RetryFor                  : " + options.substr(value, options.find(' ', value) - value) + " s\r\n";
    }
    if (options.find("/OnReboot") != std::string::npos) lines += "OnReboot                  : Yes\r\n";
    if (options.find("/Unicode") != std::string::npos) lines += "Unicode                   : Yes\r\n";
    if (options.find("/IfExists") != std::string::npos) lines += "IfExists                  : Yes\r\n";
    return lines;
}

// The start of every drawing of the status line of /Progress (after its
// carriage return), for sscanf.
inline constexpr const char* status_counts = "%d directories  %d files  %d errors";
// The status line's first drawing, before anything is counted, and the
// erasing of a line that wide.
inline constexpr const char* first_status = "\r0 directories  0 files  0 errors  00:00:00";
inline std::string erased_status(std::size_t width) {
    std::string erased(width + 2, ' ');
    erased.front() = erased.back() = '\r';
    return erased;
}

inline constexpr const char* privileges =
    "Try to set SeRestorePrivilege privilege for current process.\r\n"
    "Set privilege SeRestorePrivilege successfully.\r\n"
    "Try to set SeBackupPrivilege privilege for current process.\r\n"
    "Set privilege SeBackupPrivilege successfully.\r\n"
    "Try to set SeSecurityPrivilege privilege for current process.\r\n"
    "Set privilege SeSecurityPrivilege successfully.\r\n";

// The privilege lines where the account does not hold those named.
inline std::string privileges_not_held(const std::vector<std::string>& names) {
    std::string lines = privileges;
    for (const std::string& name : names) {
        std::string set = "Set privilege " + name + " successfully.\r\n";
        lines.replace(lines.find(set), set.size(), "Privilege " + name + " is not held, going on without it.\r\n");
    }
    return lines;
}
inline const std::vector<std::string> all_privileges{"SeRestorePrivilege", "SeBackupPrivilege", "SeSecurityPrivilege"};

// Arguments that look like options but are none: each stops the run. A
// dry run typed a little wrong among them: glued to another flag, without
// its slash, behind a backslash or a space.
inline constexpr const char* unknown_options[] = {
    "/What-If", "/SubDir", "/Verbose", "/DirX:/tmp", "-WhatIf", "--whatif", "--dry-run", "-", "--", "/",
    "/SubDirectories/WhatIf", "/Silent/WhatIf", "/KeepRoot/WhatIf", "/UnicodeWhatIf", "/Silent-WhatIf",
    "/IgnoreErrors,/WhatIf", "/SubDirectories/KeepRoot", "WhatIf", "subdirectories", "\\WhatIf", " /WhatIf"};
// The refusal of such an argument; hint where it names a directory.
inline std::string unknown_option(const std::string& argument, bool hint = false) {
    return "Unknown option " + argument + (hint ? " (a directory to delete is given as /Dir:" + argument + ")" : "") +
           ", aborting.\r\n";
}

// The refusal of a value given as the next argument ("/Log file"), with the
// colon form it names.
inline std::string unknown_value_option(const std::string& argument, const std::string& colon_form) {
    return "Unknown option " + argument + " (the value follows a colon: " + colon_form + "), aborting.\r\n";
}
// The other form (/Log: against /Log+:) is named where it was given first.
inline std::string given_twice(const std::string& option, const std::string& first = "") {
    return "Option " + option + " given twice" + (first.empty() ? "" : " (first as " + first + ")") + ", aborting.\r\n";
}

// An appended log's line of its run's start, the date as a regular expression.
inline constexpr const char* started_line =
    "Started                   : [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}\r\n";
// The line of /IfExists where the root is not there.
inline std::string nothing_to_delete(const std::string& path) { return "Nothing to delete, not found: " + path + "\r\n"; }
inline constexpr const char* on_reboot_refusal =
    "Option /OnReboot is for Windows only (here a file held open is deleted at once), aborting.\r\n";
// The lines that may follow an ERR line: who holds the entry, and its
// deletion at the next restart.
inline std::string in_use_by(const std::string& holders) { return "             in use by " + holders + "\r\n"; }
inline constexpr const char* scheduled = "             scheduled for deletion at the next restart\r\n";

// Refused source paths, as the console shows them.
inline constexpr const char* unknown_kind = "Source path nor local neither UNC path, cannot identify long path prefix.";
inline constexpr const char* file_system_root = "Source path is the file-system root, refusing to delete it.\r\n";
inline constexpr const char* drive_root = "Source path is a drive root, refusing to delete it.\r\n";
inline constexpr const char* share_root = "Source path is a share root, refusing to delete it.\r\n";
inline constexpr const char* ends_in_dots = "Source path ends in . or .., refusing to delete it.\r\n";
inline constexpr const char* unreadable_working_directory =
    "Source path is relative and the working directory cannot be read, refusing to delete it.\r\n";
inline constexpr const char* no_working_directory =
    "Source path is relative and the working directory has no name, refusing to delete it.\r\n";
inline constexpr const char* quote_in_path =
    "Source path holds a double quote (a backslash before a closing quote keeps the quote, and the rest of the "
    "line becomes part of the path), refusing to delete it.\r\n";
inline constexpr const char* climbs = "Source path climbs above its drive or share root, refusing to delete it.\r\n";

// The lines of a console or log text that begin with one of the kinds
// given ("DIR  ", "FILE ", "ERR  "), in order, line ends included.
inline std::string lines_of(const std::string& text, std::initializer_list<std::string_view> kinds) {
    std::string lines;
    for (std::size_t start = 0, end; start < text.size(); start = end) {
        end = text.find("\r\n", start);
        end = end == std::string::npos ? text.size() : end + 2;
        for (std::string_view kind : kinds)
            if (text.compare(start, kind.size(), kind) == 0) lines += text.substr(start, end - start);
    }
    return lines;
}

}  // namespace expected
