// Shared by the POSIX implementation files only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scythe::platform {

// A failed listing reports 0xE0000000 | errno as its native status.
inline constexpr std::uint32_t errno_status_base = 0xE0000000u;

// What a file is, however it is named.
struct FileIdentity {
    std::uint64_t device, inode;
};

struct Session {
    // Standard output is a pipe or socket: a write may wait for a reader.
    bool console_may_block = false;
    // When the output's grace ends; 0 until it begins. Read and set under
    // the Report's lock, as every write.
    std::uint64_t output_grace_deadline = 0;
    // The run's output files, by what they are (device and inode from
    // statx), not by the listing's inode number, which overlay file systems
    // give differently. Filled before the walk begins, only read during it.
    std::vector<FileIdentity> protected_files;
};

// decode_native_bytes into a string whose storage is reused.
void decode_native_bytes_into(std::u16string& text, std::string_view bytes);

}  // namespace scythe::platform
