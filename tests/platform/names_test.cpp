// The POSIX platform layer's names and exit statuses: file names as bytes
// to UTF-16 and back without loss (invalid UTF-8 included), and the exit
// status a run's result becomes.
#include <gtest/gtest.h>

#include "platform/platform.h"

using scythe::platform::decode_native_bytes;
using scythe::platform::to_native_bytes;

TEST(NativeNames, ValidUtf8BecomesUtf16) {
    EXPECT_EQ(decode_native_bytes("abc"), u"abc");
    EXPECT_EQ(decode_native_bytes("\xc3\xa9"), u"\u00e9");
    EXPECT_EQ(decode_native_bytes("\xe4\xb8\xad"), u"\u4e2d");
    EXPECT_EQ(decode_native_bytes("\xf0\x9f\x98\x80"), u"\U0001F600");
}

TEST(NativeNames, InvalidBytesBecomeEscapedSurrogates) {
    EXPECT_EQ(decode_native_bytes("a\xff"), (std::u16string{u'a', 0xDCFF}));
    EXPECT_EQ(decode_native_bytes("\xc3"), std::u16string{0xDCC3});                        // cut short
    EXPECT_EQ(decode_native_bytes("\xc0\xaf"), (std::u16string{0xDCC0, 0xDCAF}));          // overlong
    EXPECT_EQ(decode_native_bytes("\xed\xa0\x80"), (std::u16string{0xDCED, 0xDCA0, 0xDC80}));  // surrogate
    EXPECT_EQ(decode_native_bytes("\xf4\x90\x80\x80"),
              (std::u16string{0xDCF4, 0xDC90, 0xDC80, 0xDC80}));  // beyond U+10FFFF
}

TEST(NativeNames, EveryByteStringComesBackExactly) {
    // All one- and two-byte strings, and three-byte ones around the
    // multi-byte lead bytes.
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            std::string bytes{static_cast<char>(first), static_cast<char>(second)};
            ASSERT_EQ(to_native_bytes(decode_native_bytes(bytes)), bytes) << first << "," << second;
            for (int third : {0x00, 0x41, 0x80, 0x9f, 0xa0, 0xbf, 0xc0, 0xff}) {
                std::string longer = bytes + static_cast<char>(third);
                ASSERT_EQ(to_native_bytes(decode_native_bytes(longer)), longer);
            }
        }
    }
    std::string mixed = "caf\xc3\xa9 \xff\xfe\xf0\x9f\x98\x80\xf0\x9f\x98";
    EXPECT_EQ(to_native_bytes(decode_native_bytes(mixed)), mixed);
}

TEST(ExitStatus, FatalIs255AndErrorCountsStopAt254) {
    EXPECT_EQ(scythe::platform::exit_status(-1), 255);
    EXPECT_EQ(scythe::platform::exit_status(0), 0);
    EXPECT_EQ(scythe::platform::exit_status(5), 5);
    EXPECT_EQ(scythe::platform::exit_status(254), 254);
    // 256 errors must not look like a clean run.
    EXPECT_EQ(scythe::platform::exit_status(256), 254);
    EXPECT_EQ(scythe::platform::exit_status(100000), 254);
}
