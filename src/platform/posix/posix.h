// Shared by the POSIX implementation files only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scythe::platform {

// A failed listing reports 0xE0000000 | errno as its native status.
inline constexpr std::uint32_t errno_status_base = 0xE0000000u;

struct FileIdentity {
    std::uint64_t device, inode;
};

// Used under the Report's lock, as every write; the protected files are
// filled before the walk begins and only read during it.
struct Session {
    bool console_may_block = false;  // standard output is a pipe, socket or terminal
    std::uint64_t output_grace_deadline = 0;  // 0 until the grace begins
    std::vector<FileIdentity> protected_files;
};

// decode_native_bytes into a string whose storage is reused.
void decode_native_bytes_into(std::u16string& text, std::string_view bytes);

}  // namespace scythe::platform
