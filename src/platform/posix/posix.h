// Shared by the POSIX implementation files only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scythe::platform {

// A failed listing reports 0xE0000000 | errno as its native status.
inline constexpr std::uint32_t errno_status_base = 0xE0000000u;

// decode_native_bytes into a string whose storage is reused.
void decode_native_bytes_into(std::u16string& text, std::string_view bytes);

}  // namespace scythe::platform
