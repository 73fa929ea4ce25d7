// The run settings: what the command line asked for. The front end fills
// one record per run and hands it down as const RunSettings& to every part
// that reads it (the walk, the header and summary, privilege enabling);
// nothing keeps a copy of its own.
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
    // Threads the walk runs on (/Threads:), already resolved where 0 was
    // given; 1 is the walk on one thread that the program has always had.
    unsigned threads = 1;
    std::u16string rooted_path;
};

}  // namespace scythe
