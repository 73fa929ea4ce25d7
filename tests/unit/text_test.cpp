// Text as the program writes it: UTF-16 to the console's bytes with CR LF,
// numbers in decimal and hex, the elapsed time, paths kept on one line.
#include <gtest/gtest.h>

#include "report/blocks.h"
#include "report/text.h"

using scythe::encode_output;

namespace {

std::string encoded(std::u16string_view text, scythe::TextForm form = scythe::TextForm::eight_bit) {
    std::string out;
    encode_output(out, text, form);
    return out;
}

}  // namespace

TEST(Encoding, UnitsBelow256AreOneByteAndLineFeedIsCrLf) {
    EXPECT_EQ(encoded(u"a\nb"), "a\r\nb");
    EXPECT_EQ(encoded(u"\u00e9\u00ff\u0001"), "\xe9\xff\x01");
    EXPECT_EQ(encoded(u"\r\n"), "\r\r\n");
}

TEST(Encoding, WideUnitsAreWrittenAsCodePoints) {
    EXPECT_EQ(encoded(u"\u0100"), "<U+0100>");
    EXPECT_EQ(encoded(u"x\u4e2dy"), "x<U+4E2D>y");
    EXPECT_EQ(encoded(u"\U0001F600"), "<U+1F600>");
    EXPECT_EQ(encoded(u"\U0010FFFF"), "<U+10FFFF>");
}

TEST(Encoding, LoneSurrogatesAreWrittenAsThemselves) {
    EXPECT_EQ(encoded(std::u16string{0xDC80}), "<U+DC80>");
    EXPECT_EQ(encoded(std::u16string{0xD800, u'a'}), "<U+D800>a");
    EXPECT_EQ(encoded(std::u16string{0xDC00, 0xD800}), "<U+DC00><U+D800>");
}

TEST(Encoding, Utf8FormWritesEveryCharacterAndEscapesOnlyLoneSurrogates) {
    constexpr auto utf8 = scythe::TextForm::utf8;
    EXPECT_EQ(encoded(u"a\u00e9\n\u007f\u0080", utf8), "a\xc3\xa9\r\n\x7f\xc2\x80");
    EXPECT_EQ(encoded(u"\u041f\u07ff\u0800\u4e2d\uffff", utf8), "\xd0\x9f\xdf\xbf\xe0\xa0\x80\xe4\xb8\xad\xef\xbf\xbf");
    EXPECT_EQ(encoded(u"\U0001F600\U00010000\U0010FFFF", utf8),
              "\xf0\x9f\x98\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf");
    // What has no UTF-8 form is written as in the eight-bit form.
    for (std::u16string lone : {std::u16string{0xDCFF}, std::u16string{0xD800, u'a'}, std::u16string{0xDC00, 0xD800}})
        EXPECT_EQ(encoded(lone, utf8), encoded(lone));
}

TEST(Numbers, DecimalIsZeroFilledAndSigned) {
    std::u16string text;
    scythe::append_decimal(text, 7, 6);
    scythe::append_decimal(text, -1);
    scythe::append_decimal(text, 1234567, 6);
    scythe::append_decimal(text, 0);
    EXPECT_EQ(text, u"000007-112345670");
}

TEST(Numbers, HexIsUpperCaseWithoutLeadingZeros) {
    std::u16string text;
    scythe::append_hex(text, 0xC0000022u);
    text += u",";
    scythe::append_hex(text, 0x1A);
    text += u",";
    scythe::append_hex(text, 0);
    EXPECT_EQ(text, u"C0000022,1A,0");
}

TEST(ElapsedTime, HoursMinutesSecondsWithTwoDigitsAtLeast) {
    EXPECT_EQ(scythe::format_elapsed(0), u"00:00:00");
    EXPECT_EQ(scythe::format_elapsed(3725), u"01:02:05");
    EXPECT_EQ(scythe::format_elapsed(59), u"00:00:59");
    EXPECT_EQ(scythe::format_elapsed(360000), u"100:00:00");
}

TEST(Encoding, PathsStayOneLineAndReadBackToTheExactName) {
    std::u16string line;
    scythe::append_path(line, u"a\nb\rc\x01\x1f d\x7f<U+0041>\u00e9>");
    EXPECT_EQ(encoded(line), "a<U+000A>b<U+000D>c<U+0001><U+001F> d<U+007F><U+003C>U+0041>\xe9>");
    // C1 controls, Unicode line breaks and bidirectional controls, in both
    // forms; their neighbours go out as themselves.
    line.clear();
    scythe::append_path(line, u"\u0080\u0085\u009B\u009F\u00A0\u200D\u200E\u200F\u2027\u2028\u2029\u202A\u202E"
                              u"\u202F\u2065\u2066\u2069\u206A");
    const std::string escaped = "<U+0080><U+0085><U+009B><U+009F>";
    const std::string bidi = "<U+200E><U+200F>";
    const std::string breaks = "<U+2028><U+2029><U+202A><U+202E>";
    EXPECT_EQ(encoded(line), escaped + "\xa0<U+200D>" + bidi + "<U+2027>" + breaks + "<U+202F><U+2065><U+2066><U+2069><U+206A>");
    EXPECT_EQ(encoded(line, scythe::TextForm::utf8),
              escaped + "\xc2\xa0\xe2\x80\x8d" + bidi + "\xe2\x80\xa7" + breaks +
                  "\xe2\x80\xaf\xe2\x81\xa5<U+2066><U+2069>\xe2\x81\xaa");
}
