// The run settings: filled from the command line, read by every part of a run.
#pragma once

#include <optional>
#include <string>

namespace scythe {

struct RunSettings {
    std::optional<std::u16string> source_path;
    std::optional<std::u16string> run_log_path;
    std::optional<std::u16string> error_log_path;
    bool descend_into_subdirectories = false;
    bool silent = false;
    bool stop_at_first_error = false;
    bool ignore_errors = false;
    std::u16string rooted_path;
};

extern RunSettings settings;

}  // namespace scythe
