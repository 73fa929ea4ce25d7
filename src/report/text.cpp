// Output text. The hard cases: code units above 255 and lone surrogates
// have no byte of their own (written as <U+XXXX>, surrogate pairs joined);
// in UTF-8 only lone surrogates (a Windows name's, or a POSIX name byte that
// is not UTF-8, carried as U+DC80 + byte) lack a form, and keep the same
// escape; paths may hold control characters that would break a line or
// drive a terminal, and Unicode line breaks and bidirectional controls.
#include "report/text.h"

#include "platform/platform.h"

namespace scythe {

constexpr char hex_digits[] = "0123456789ABCDEF";

void append_ascii(std::u16string& out, std::string_view ascii) {
    for (char c : ascii) out.push_back(static_cast<unsigned char>(c));
}

std::u16string ascii_text(std::string_view ascii) {
    std::u16string text;
    append_ascii(text, ascii);
    return text;
}

namespace {

// Characters that would let a name break its line, end it for readers
// that split on Unicode line breaks, drive a terminal (C1 controls: 0x9B
// is CSI) or reorder what is shown (bidirectional controls). "<" itself is
// escaped so that the form reads back to exactly one name.
bool needs_escape(char16_t unit) {
    if (unit < 0x80) return unit < 0x20 || unit == 0x7F || unit == u'<';
    return unit <= 0x9F || unit == 0x200E || unit == 0x200F || (unit >= 0x2028 && unit <= 0x202E) ||
           (unit >= 0x2066 && unit <= 0x2069);
}

}  // namespace

void append_path(std::u16string& out, std::u16string_view path) {
    for (char16_t unit : path) {
        if (!needs_escape(unit)) {
            out.push_back(unit);
            continue;
        }
        append_escape(out, unit);
    }
}

void append_escape(std::u16string& out, char16_t unit) {
    append_ascii(out, "<U+");
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(static_cast<char16_t>(hex_digits[(unit >> shift) & 0xF]));
    out.push_back(u'>');
}

void append_decimal(std::u16string& out, std::int64_t value, int min_digits) {
    char16_t digits[24];
    int count = 0;
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                        : static_cast<std::uint64_t>(value);
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) out.push_back(u'-');
    for (int pad = count; pad < min_digits; ++pad) out.push_back(u'0');
    while (count > 0) out.push_back(digits[--count]);
}

void append_hex(std::u16string& out, std::uint32_t value) {
    char16_t digits[8];
    int count = 0;
    do {
        digits[count++] = static_cast<char16_t>(hex_digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    while (count > 0) out.push_back(digits[--count]);
}

namespace {

void append_code_point(std::string& out, std::uint32_t code_point) {
    out += "<U+";
    int shift = code_point > 0xFFFF ? (code_point > 0xFFFFF ? 20 : 16) : 12;
    for (; shift >= 0; shift -= 4) out.push_back(hex_digits[(code_point >> shift) & 0xF]);
    out.push_back('>');
}

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

void encode_output(std::string& out, std::u16string_view text, TextForm form) {
    bool utf8 = form == TextForm::utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        if (unit == u'\n') {
            out += "\r\n";
        } else if (unit < (utf8 ? 0x80 : 256)) {
            out.push_back(static_cast<char>(unit));
        } else if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            std::uint32_t high = unit - 0xD800u, low = text[++i] - 0xDC00u;
            std::uint32_t code_point = 0x10000u + (high << 10) + low;
            utf8 ? platform::append_utf8(out, code_point) : append_code_point(out, code_point);
        } else if (utf8 && !is_high_surrogate(unit) && !is_low_surrogate(unit)) {
            platform::append_utf8(out, unit);
        } else {
            append_code_point(out, unit);
        }
    }
}

}  // namespace scythe
