// Console texts the unit and scenario tests both expect, byte for byte.
// SCYTHE_VERSION comes from the build, as the program's does.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

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
    "                        /SubDirectories\r\n"
    "                        /Silent\r\n"
    "                        /StopAtFirstError\r\n"
    "                        /IgnoreErrors\r\n"
    "                        /Threads:<N>\r\n"
    "                        /KeepRoot\r\n"
    "                        /WhatIf\r\n"
    "                        /RetryFor:<Seconds>\r\n"
    "                        /Unicode\r\n"
    "                        /Progress\r\n"
    "Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\r\n";

inline constexpr const char* version = "Scythe " SCYTHE_VERSION "\r\n";

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
    if (options.find("/Unicode") != std::string::npos) lines += "Unicode                   : Yes\r\n";
    return lines;
}

// The start of every drawing of the status line of /Progress (after its
// carriage return), for sscanf.
inline constexpr const char* status_counts = "%d directories  %d files  %d errors";
// The status line's first drawing, before anything is counted, and the
// erasing of a line that wide.
inline constexpr const char* first_status = "\r0 directories  0 files  0 errors  00:00:00";
inline std::string erased_status(std::size_t width) { return "\r" + std::string(width, ' ') + "\r"; }

inline constexpr const char* privileges =
    "Try to set SeRestorePrivilege privilege for current process.\r\n"
    "Set privilege SeRestorePrivilege successfully.\r\n"
    "Try to set SeBackupPrivilege privilege for current process.\r\n"
    "Set privilege SeBackupPrivilege successfully.\r\n"
    "Try to set SeSecurityPrivilege privilege for current process.\r\n"
    "Set privilege SeSecurityPrivilege successfully.\r\n";

// Refused source paths, as the console shows them.
inline constexpr const char* unknown_kind = "Source path nor local neither UNC path, cannot identify long path prefix.";
inline constexpr const char* file_system_root = "Source path is the file-system root, refusing to delete it.\r\n";
inline constexpr const char* drive_root = "Source path is a drive root, refusing to delete it.\r\n";
inline constexpr const char* share_root = "Source path is a share root, refusing to delete it.\r\n";
inline constexpr const char* ends_in_dots = "Source path ends in . or .., refusing to delete it.\r\n";
inline constexpr const char* not_absolute = "Source path is not absolute, refusing to delete it.\r\n";
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
