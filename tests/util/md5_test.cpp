#include "util/md5.h"

#include <gtest/gtest.h>

#include <string>

#include "util/stringutil.h"

namespace {

std::string hex_of(const uint8_t digest[16]) {
  std::string hex;
  for (int i = 0; i < 16; ++i) {
    hex += stringutil::helper::HEX[digest[i] >> 4];
    hex += stringutil::helper::HEX[digest[i] & 15];
  }
  return hex;
}

TEST(Md5, MatchesTheRfcTestSuite) {
  EXPECT_EQ(stringutil::md5_encode(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(stringutil::md5_encode("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(stringutil::md5_encode("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(stringutil::md5_encode("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(stringutil::md5_encode("abcdefghijklmnopqrstuvwxyz"),
            "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(
      stringutil::md5_encode("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
      "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(stringutil::md5_encode("1234567890123456789012345678901234567890123456789012345678901"
                                   "2345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the padding boundaries (55/56 bytes fit one block or need two).
TEST(Md5, PaddingBoundariesGiveKnownDigests) {
  const std::pair<size_t, const char*> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stringutil::md5_encode(std::string(c.first, 'a')), c.second) << c.first << " bytes";
  }
  EXPECT_EQ(stringutil::md5_encode(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, FeedingInPiecesEqualsFeedingAtOnce) {
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += static_cast<char>(i * 7 + 3);
  }
  const std::string whole = stringutil::md5_encode(text);
  for (size_t cut = 0; cut <= text.size(); cut += 13) {
    md5_state state;
    md5_init(&state);
    md5_append(&state, text.data(), static_cast<long>(cut));
    md5_append(&state, text.data() + cut, 0);  // an empty feed changes nothing
    md5_append(&state, text.data() + cut, -1);
    md5_append(&state, text.data() + cut, static_cast<long>(text.size() - cut));
    uint8_t digest[16];
    md5_finish(&state, digest);
    EXPECT_EQ(hex_of(digest), whole) << "cut at " << cut;
  }
}

}  // namespace
