// UTF-16 formatting and text helpers: every other module builds its messages, paths and trace
// lines with them, so a wrong width or a lost terminator shows up everywhere.
#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "tests/support/test_env.h"

using platform::FormatText;
using testenv::Narrow;

namespace {

std::string F(const char16_t* format, ...) {
  char16_t out[256];
  va_list args;
  va_start(args, format);
  platform::FormatTextV(out, 256, format, args);
  va_end(args);
  return Narrow(out);
}

}  // namespace

TEST(FormatText, ConversionsTheProgramUses) {
  EXPECT_EQ(F(u"\\\\.\\PhysicalDrive%d", 3), "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(F(u"%s\\%I64d", u"C:\\Temp\\Quorvela", 123456789012LL), "C:\\Temp\\Quorvela\\123456789012");
  EXPECT_EQ(F(u"%04X", 0x7C63u), "7C63");
  EXPECT_EQ(F(u"%04X", 0xAu), "000A");
  EXPECT_EQ(F(u"%04X", 0x12345u), "12345");
  EXPECT_EQ(F(u"%d GB", 512), "512 GB");
  EXPECT_EQ(F(u"%s x %d", u"", 4), " x 4");
  EXPECT_EQ(F(u";%s;", u"3.2.F.2A"), ";3.2.F.2A;");
  EXPECT_EQ(F(u"%02x%02X", 0xabu, 0xcdu), "abCD");
  EXPECT_EQ(F(u"%-5d|%5d|%05d", 42, 42, -42), "42   |   42|-0042");
  EXPECT_EQ(F(u"%u %lu %llu", 4294967295u, 7ul, 18446744073709551615ull), "4294967295 7 18446744073709551615");
  EXPECT_EQ(F(u"%lld", -9223372036854775807LL - 1), "-9223372036854775808");
  EXPECT_EQ(F(u"%hs|%c|%%", "ansi", u'Z'), "ansi|Z|%");
  EXPECT_EQ(F(u"%.3s|%5s|%-5s|", u"abcdef", u"ab", u"ab"), "abc|   ab|ab   |");
  EXPECT_EQ(F(u"%s", static_cast<const char16_t*>(nullptr)), "(null)");
}

TEST(FormatText, CutsAtCapacityAndAlwaysTerminates) {
  char16_t out[6];
  std::fill(std::begin(out), std::end(out), u'#');
  int n = FormatText(out, 6, u"%s-%d", u"abcdef", 12);
  EXPECT_EQ(n, 9);  // the full length, as snprintf reports it
  EXPECT_EQ(Narrow(out), "abcde");
  char16_t one[1] = {u'#'};
  FormatText(one, 1, u"xyz");
  EXPECT_EQ(one[0], 0);
  EXPECT_EQ(FormatText(nullptr, 0, u"%d", 12345), 5);
  EXPECT_EQ(FormatText(out, 6, u"%q"), -1);
  EXPECT_EQ(out[0], 0);
}

TEST(TextHelpers, CopyAppendCompareFind) {
  char16_t buffer[8];
  EXPECT_EQ(platform::TextCopy(buffer, 8, u"0123456789"), 7u);
  EXPECT_EQ(Narrow(buffer), "0123456");
  platform::TextCopy(buffer, 8, u"ab");
  platform::TextAppend(buffer, 8, u"cdefghij");
  EXPECT_EQ(Narrow(buffer), "abcdefg");
  EXPECT_TRUE(platform::TextEqualNoCase(u"\\\\.\\PHYSICALDRIVE2", u"\\\\.\\PhysicalDrive2"));
  EXPECT_FALSE(platform::TextEqual(u"KEEP", u"keep"));
  EXPECT_EQ(platform::TextFind(u"a<BR>b<BR>", u"<BR>"), 1);
  EXPECT_EQ(platform::TextFind(u"a<br>b", u"<BR>"), -1);
}

TEST(TextHelpers, Utf8RoundTripAndMalformedInput) {
  const char* utf8 = "微軟正黑體 fw/Ünïcode 😀";
  char16_t wide[64];
  platform::Utf8ToWide(utf8, -1, wide, 64);
  char back[128];
  platform::WideToUtf8(wide, back, sizeof back);
  EXPECT_STREQ(back, utf8);
  // A lone continuation byte and a cut sequence become U+FFFD, nothing is read past the length.
  const char bad[] = {'a', char(0x80), 'b', char(0xE6), char(0x88)};
  size_t n = platform::Utf8ToWide(bad, sizeof bad, wide, 64);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(wide[1], 0xFFFD);
  EXPECT_EQ(wide[3], 0xFFFD);
}

TEST(TextHelpers, AnsiConversionKeepsAsciiAndBounds) {
  char16_t wide[5];
  EXPECT_EQ(platform::AnsiToWide("QUORVELA 1TB", 12, wide, 5), 4u);
  EXPECT_EQ(Narrow(wide), "QUOR");
  // A field without a terminator is read only up to its length.
  const char field[4] = {'A', 'B', 'C', 'D'};
  char16_t w2[16];
  EXPECT_EQ(platform::AnsiToWide(field, 4, w2, 16), 4u);
  char narrow[4];
  EXPECT_EQ(platform::WideToAnsi(u"3.2.F.2A", narrow, 4), 3u);
  EXPECT_STREQ(narrow, "3.2");
}
