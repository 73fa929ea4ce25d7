// Console texts the unit and scenario tests both expect, byte for byte.
// SCYTHE_VERSION comes from the build, as the program's does.
#pragma once

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
    "Returns         : -1 = Fatal Error, else number of errors logged in errorlogfile\r\n";

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
inline constexpr const char* climbs = "Source path climbs above its drive or share root, refusing to delete it.\r\n";

}  // namespace expected
