#include "util/stringutil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using stringutil::url_decode;
using stringutil::url_encode;

TEST(CaseInsensitiveCompare, FoldsLettersAndHonoursTheLimit) {
  EXPECT_EQ(stringutil::stricmp("Hello", "hELLO"), 0);
  EXPECT_LT(stringutil::stricmp("abc", "abd"), 0);
  EXPECT_GT(stringutil::stricmp("abc", "AB"), 0);
  EXPECT_EQ(stringutil::strnicmp("HeLLo world", "hello there", 5), 0);
  EXPECT_NE(stringutil::strnicmp("HeLLo world", "hello there", 7), 0);
  EXPECT_EQ(stringutil::strnicmp("x", "y", 0), 0);
  EXPECT_EQ(stringutil::strnicmp("same", "same", 100), 0);  // stops at the end, not at n
  EXPECT_EQ(stringutil::stricmp("[", "{"), '[' - '{');      // only A..Z fold
}

TEST(Split, WholeDelimiterStringAndEmptyPiecesCount) {
  std::vector<std::string> pieces{"kept"};
  EXPECT_EQ(stringutil::split("a::b:c::", "::", pieces), 4u);
  EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b:c", ""}));

  std::vector<std::string> one;
  EXPECT_EQ(stringutil::split("", ",", one), 1u);
  EXPECT_EQ(one, std::vector<std::string>{""});

  std::vector<std::string> none;
  EXPECT_EQ(stringutil::split("abc", ",", none), 1u);
  EXPECT_EQ(none, std::vector<std::string>{"abc"});
}

TEST(Split, ReentrantTokeniserWalksEveryPiece) {
  char text[] = "one--two----three";
  char* save = nullptr;
  std::vector<std::string> pieces;
  for (char* piece = stringutil::strsplit_r(text, "--", &save); piece != nullptr;
       piece = stringutil::strsplit_r(nullptr, "--", &save)) {
    pieces.push_back(piece);
  }
  EXPECT_EQ(pieces, (std::vector<std::string>{"one", "two", "", "three"}));
  EXPECT_EQ(save, nullptr);
}

TEST(ReplaceAll, ReplacesEveryOccurrenceFromTheEnd) {
  std::string text = "a.b.c";
  EXPECT_EQ(stringutil::replace_all(text, ".", "::"), "a::b::c");
  std::string overlapping = "aaa";
  EXPECT_EQ(stringutil::replace_all(overlapping, "aa", "b"), "ab");
  std::string untouched = "abc";
  EXPECT_EQ(stringutil::replace_all(untouched, "", "x"), "abc");
}

TEST(ReplaceAll, ReplacementStartingWithTheSearchedTextEnds) {
  std::string text = "x-y-z";
  EXPECT_EQ(stringutil::replace_all(text, "-", "--"), "x--y--z");
  std::string at_start = "-a";
  EXPECT_EQ(stringutil::replace_all(at_start, "-", "-+"), "-+a");
}

TEST(Trim, RemovesOnlyBlanksAtOneEnd) {
  std::string text = "  \tmid dle\t  ";
  EXPECT_EQ(stringutil::trim_left(text), "\tmid dle\t  ");
  EXPECT_EQ(stringutil::trim_right(text), "\tmid dle\t");
  std::string blanks = "   ";
  EXPECT_EQ(stringutil::trim_right(blanks), "");
  blanks = "   ";
  EXPECT_EQ(stringutil::trim_left(blanks), "");
}

TEST(WideConversion, RoundTripsAndRejectsInvalidText) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const std::string utf8 = "gr\xc3\xbc\xc3\x9f \xe4\xb8\xad";
  const std::wstring wide = stringutil::a2w(utf8.c_str());
  EXPECT_EQ(wide, L"gr\u00fc\u00df \u4e2d");
  EXPECT_EQ(stringutil::w2a(wide.c_str()), utf8);
  EXPECT_EQ(stringutil::a2w(utf8.c_str(), 3), L"gr\u00fc");
  EXPECT_EQ(stringutil::w2a(wide.c_str(), 2), "gr");
  try {
    stringutil::a2w("bad \xff byte");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "a2w:Encounters an invalid multibyte character.");
  }
  const wchar_t lone_surrogate[] = {L'a', static_cast<wchar_t>(0xD800), 0};
  EXPECT_THROW(stringutil::w2a(lone_surrogate), std::invalid_argument);
  std::setlocale(LC_CTYPE, "C");
}

TEST(HexDigits, EncodeAndTheWideDecode) {
  EXPECT_EQ(stringutil::helper::hex_encode(0), '0');
  EXPECT_EQ(stringutil::helper::hex_encode(15), 'f');
  EXPECT_EQ(stringutil::helper::hex_encode(16), '!');
  unsigned char value = 0;
  EXPECT_TRUE(stringutil::helper::hex_decode('9', value));
  EXPECT_EQ(value, 9);
  EXPECT_TRUE(stringutil::helper::hex_decode('B', value));
  EXPECT_EQ(value, 11);
  EXPECT_TRUE(stringutil::helper::hex_decode('z', value));
  EXPECT_EQ(value, 35);
  EXPECT_FALSE(stringutil::helper::hex_decode('%', value));
}

TEST(UrlEncode, KeepsUnreservedEncodesTheRestAndPassesHighBytes) {
  EXPECT_EQ(url_encode("AZaz09!'()*-._~"), "AZaz09!'()*-._~");
  EXPECT_EQ(url_encode("a b"), "a%20b");
  EXPECT_EQ(url_encode("\"#$%&+,/:;<=>?@[\\]^`{|}"),
            "%22%23%24%25%26%2b%2c%2f%3a%3b%3c%3d%3e%3f%40%5b%5c%5d%5e%60%7b%7c%7d");
  EXPECT_EQ(url_encode(std::string("\x01\x7f\x80\xff", 4)), std::string("%01%7f\x80\xff", 8));
  EXPECT_EQ(url_encode(std::string("a\0b", 3)), "a%00b");
}

TEST(UrlEncode, SizesAndTruncationNeverOverrun) {
  EXPECT_EQ(url_encode(nullptr, 0, "abc", 3), 10u);
  char buffer[8];
  EXPECT_EQ(url_encode(buffer, 0, "abc", 3), 0u);
  // "a b c" needs 7 bytes plus the zero. An escape that does not fit is left out whole, and
  // nothing is written past the given size.
  char small[8];
  std::memset(small, '#', sizeof(small));
  EXPECT_EQ(url_encode(small, 5, "a b c", 5), 4u);
  EXPECT_STREQ(small, "a%20");
  EXPECT_EQ(small[5], '#');
  EXPECT_EQ(url_encode(small, 4, "a b c", 5), 1u);
  EXPECT_STREQ(small, "a");
  char tiny[1];
  EXPECT_EQ(url_encode(tiny, sizeof(tiny), "abc", 3), 0u);
  EXPECT_STREQ(tiny, "");
}

TEST(UrlDecode, PlusEscapesAndBrokenEscapes) {
  EXPECT_EQ(url_decode("a+b%20c%2F%2f"), "a b c//");
  EXPECT_EQ(url_decode("100%"), "100%");
  EXPECT_EQ(url_decode("%4"), "%4");
  EXPECT_EQ(url_decode("%%41"), "%A");
  EXPECT_EQ(url_decode("%zz%g1"), "%zz%g1");  // letters past f are no hex digits here
  EXPECT_EQ(url_decode(std::string("%00", 3)), std::string("\0", 1));
  EXPECT_EQ(url_decode(url_encode("round trip: a/b?c=d&e")), "round trip: a/b?c=d&e");
}

TEST(UrlDecode, SizesAndTruncation) {
  EXPECT_EQ(url_decode(nullptr, 0, "abc", 3), 4u);
  char buffer[4];
  EXPECT_EQ(url_decode(buffer, 0, "abc", 3), 0u);
  EXPECT_EQ(url_decode(buffer, sizeof(buffer), "%41%42%43%44", 12), 3u);
  EXPECT_STREQ(buffer, "ABC");
}

TEST(Escape, QuotesForSqlLiterals) {
  EXPECT_EQ(stringutil::escape("it's"), "'it''s'");
  EXPECT_EQ(stringutil::escape(""), "''");
  EXPECT_EQ(stringutil::escape(nullptr), "''");
}

}  // namespace
