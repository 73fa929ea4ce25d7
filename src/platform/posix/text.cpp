// UTF-8 bytes to UTF-16 and back, losslessly: a byte that is not part of
// valid UTF-8 becomes the lone surrogate U+DC80 + byte, and goes back to
// that byte. Valid UTF-8 never yields U+DC80..U+DCFF, so the mapping is
// one to one.
#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace scythe::platform {

namespace {

constexpr char16_t escaped_byte_base = 0xDC00;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at bytes[i] and its code point; 0 if
// the sequence is invalid (overlong, surrogate, beyond U+10FFFF, cut short).
std::size_t decode_sequence(std::string_view bytes, std::size_t i, std::uint32_t& code_point) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length;
    std::uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        unsigned char byte = static_cast<unsigned char>(bytes[i + k]);
        if (!is_continuation(byte)) return 0;
        code_point = (code_point << 6) | (byte & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF) return 0;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
    return length;
}

}  // namespace

std::u16string decode_native_bytes(std::string_view bytes) {
    std::u16string text;
    decode_native_bytes_into(text, bytes);
    return text;
}

void decode_native_bytes_into(std::u16string& text, std::string_view bytes) {
    text.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            text.push_back(byte);
            ++i;
            continue;
        }
        std::uint32_t code_point;
        std::size_t length = decode_sequence(bytes, i, code_point);
        if (length == 0) {
            text.push_back(static_cast<char16_t>(escaped_byte_base + byte));
            ++i;
        } else if (code_point < 0x10000) {
            text.push_back(static_cast<char16_t>(code_point));
            i += length;
        } else {
            code_point -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
            i += length;
        }
    }
}

std::string to_native_bytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        if (unit < 0x80) {
            bytes.push_back(static_cast<char>(unit));
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes.push_back(static_cast<char>(unit - escaped_byte_base));
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            append_utf8(bytes, 0x10000 + ((unit - 0xD800u) << 10) + (text[++i] - 0xDC00u));
        } else {
            append_utf8(bytes, unit);  // other lone surrogates as their three-byte form
        }
    }
    return bytes;
}

}  // namespace scythe::platform
