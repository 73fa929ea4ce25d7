// Building output text: lines are formed as UTF-16 and written as 8-bit
// text, or as UTF-8 where the run asks for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scythe {

// Appends an ASCII literal (format strings, labels, privilege names).
void append_ascii(std::u16string& out, std::string_view ascii);
// Signed decimal, zero-filled to at least min_digits.
void append_decimal(std::u16string& out, std::int64_t value, int min_digits = 1);
// Upper-case hexadecimal without leading zeros.
void append_hex(std::u16string& out, std::uint32_t value);

// The channels' byte forms. A line feed is CR LF in both. The 8-bit text
// of a POSIX system is UTF-8, so there every run writes the UTF-8 form.
enum class TextForm {
    // A code unit below 256 is that byte; anything else is written as
    // <U+XXXX> (surrogate pairs joined into one code point, lone surrogates
    // as themselves), so no information is lost.
    eight_bit,
    // Every character as UTF-8 (/Unicode); a lone surrogate, which has no
    // UTF-8 form, is written as <U+XXXX> as in the eight-bit form, so the
    // output is always valid UTF-8 and a name always gives the same bytes.
    utf8,
};
void encode_output(std::string& out, std::u16string_view text, TextForm form = TextForm::eight_bit);

std::u16string ascii_text(std::string_view ascii);

// Appends a path so that its line stays one line, whoever reads it, and
// reads back to the exact name: C0 and C1 controls, DEL, U+2028 and U+2029,
// the bidirectional controls and "<" itself (which would make the form
// ambiguous) are written as <U+XXXX>.
void append_path(std::u16string& out, std::u16string_view path);
// One code unit as <U+XXXX>.
void append_escape(std::u16string& out, char16_t unit);

}  // namespace scythe
