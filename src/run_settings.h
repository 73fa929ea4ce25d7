// The run settings: what the command line asked for. The front end fills
// one record per run and hands it down as const RunSettings& to every part
// that reads it (the walk, the header and summary, privilege enabling);
// nothing keeps a copy of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace scythe {

struct RunSettings {
    std::optional<std::u16string> source_path;
    std::optional<std::u16string> run_log_path;
    std::optional<std::u16string> error_log_path;
    // The logs are appended to rather than emptied (/Log+:, /ErrorLog+:).
    bool append_run_log = false;
    bool append_error_log = false;
    bool descend_into_subdirectories = false;
    bool silent = false;
    bool stop_at_first_error = false;
    bool ignore_errors = false;
    // Threads the walk runs on (/Threads:), already resolved where 0 was
    // given; 1 is the walk on one thread that the program has always had.
    unsigned threads = 1;
    // The root is emptied but kept.
    bool keep_root = false;
    // A dry run: the tree is listed as a run would walk it, nothing changed.
    bool what_if = false;
    // How long one item's passing failure is retried; the default budget
    // when not given.
    std::optional<std::uint32_t> retry_for_seconds;
    // What stays because another program holds it is deleted at the next
    // restart, with the directories above it (/OnReboot, Windows only).
    bool on_reboot = false;
    // Every channel writes UTF-8 (/Unicode).
    bool unicode = false;
    // A status line while the run works, where the console is a terminal
    // (/Progress).
    bool progress = false;
    // A root that is not there is nothing to delete, not an error (/IfExists).
    bool if_exists = false;
    // The arguments after the program's name as an appended run log shows
    // them: quoted where the system's command line would split them, and
    // escaped as paths are.
    std::u16string command_line;
    // The root as every line shows it.
    std::u16string rooted_path;
    // The root as it is opened: the rooted path, except that a POSIX path
    // given relative is opened as typed (without trailing slashes) from the
    // working directory, whose name the rooted path begins with.
    std::u16string opening_path;
};

}  // namespace scythe
