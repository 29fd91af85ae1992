// UTF-8 checks, transaction numbers, hexadecimal and the payload cipher.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "runtime/binhex.h"
#include "runtime/helpers.h"
#include "runtime/payloadCipher.h"

namespace vorlan {
namespace {

std::string take(char* text) {
  std::string copy = text != nullptr ? text : "(null)";
  std::free(text);
  return copy;
}

TEST(Utf8Check, AcceptsAndRefusesAsDefined) {
  struct Case {
    const char* text;
    int rc;
    const char* dump;  // expected dump on -3655
  } cases[] = {
      {"", 0, nullptr},
      {"Plain\ttext\r\nwith controls", 0, nullptr},
      {"\x7F", 0, nullptr},
      {"a\x01z", -3655, "0x01 "},
      {"\x1F", -3655, "0x1F "},
      {"\xC3\xA9", 0, nullptr},
      {"\xC2\x80", 0, nullptr},
      {"\xC0\x80", -3655, "0xC0 0x80 "},
      {"\xC1\xBF", -3655, "0xC1 0xBF "},
      {"\xC3(", -3655, "0xC3 0x28 "},
      {"\xE0\x80\x80", -3655, "0xE0 0x80 0x80 "},
      {"\xE0\xA0\x80", 0, nullptr},
      {"\xED\xA0\x80", -3655, "0xED 0xA0 0x80 "},
      {"\xED\x9F\xBF", 0, nullptr},
      {"\xEF\xBF\xBE", -3655, "0xEF 0xBF 0xBE "},
      {"\xEF\xBF\xBF", -3655, "0xEF 0xBF 0xBF "},
      {"\xEF\xBF\xBD", 0, nullptr},
      {"\xF0\x90\x80\x80", 0, nullptr},
      {"\xF4\x8F\xBF\xBF", 0, nullptr},
      {"\xF0\x8F\xBF\xBF", -3655, "0xF0 0x8F 0xBF 0xBF "},
      {"\xF4\x90\x80\x80", -3655, "0xF4 0x90 0x80 0x80 "},
      {"\xF5\x80\x80\x80", -3655, "0xF5 0x80 0x80 0x80 "},
      {"ok \xE2\x82", -3655, "0xE2 0x82 "},  // cut off by the terminator
      {"\xF0\x9F\x98", -3655, "0xF0 0x9F 0x98 "},
      {"\x80", -3655, ""},
      {"\xBF rest", -3655, ""},
      {"\xF8\x88\x80\x80\x80", -3655, ""},
      {"\xFF", -3655, ""},
      {"x\x01\xC0\x80", -3655, "0x01 "},  // only the first is reported
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(utf8Check(c.text, nullptr), c.rc);
    char* dump = reinterpret_cast<char*>(1);
    EXPECT_EQ(utf8Check(c.text, &dump), c.rc);
    if (c.dump == nullptr)
      EXPECT_EQ(dump, nullptr);
    else
      EXPECT_EQ(take(dump), c.dump);
  }
  char* dump = reinterpret_cast<char*>(1);
  EXPECT_EQ(utf8Check(nullptr, &dump), 0);
  EXPECT_EQ(dump, nullptr);
}

bool fixedClock(LocalMoment* out) {
  *out = LocalMoment{};
  out->tm.tm_year = 115;  // 2015-03-04 05:06:07.000008, a Wednesday
  out->tm.tm_mon = 2;
  out->tm.tm_mday = 4;
  out->tm.tm_hour = 5;
  out->tm.tm_min = 6;
  out->tm.tm_sec = 7;
  out->tm.tm_wday = 3;
  out->micros = 8;
  return true;
}
bool brokenClock(LocalMoment*) { return false; }

TEST(TransId, FollowsTheFormula) {
  std::uint32_t id = 0;
  ASSERT_EQ(generateTransId(&id, nullptr, fixedClock), 0);
  EXPECT_EQ(id, 85682u);
  id = 7;
  EXPECT_EQ(generateTransId(&id, nullptr, brokenClock), -3057);
  EXPECT_EQ(id, 7u);
  // The largest moment stays below 2^31.
  LocalMoment last{};
  last.micros = 999999;
  last.tm.tm_min = 59;
  last.tm.tm_sec = 60;
  last.tm.tm_hour = 23;
  last.tm.tm_mday = 31;
  last.tm.tm_wday = 6;
  last.tm.tm_mon = 11;
  last.tm.tm_year = 8099;
  EXPECT_LT(transIdAt(last), 1u << 31);
  EXPECT_EQ(generateTransId(&id, nullptr), 0);
}

TEST(BinHex, WritesLowerCasePairs) {
  const unsigned char bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
  char* hex = nullptr;
  ASSERT_EQ(bin2hex(4, bytes, &hex), 8);
  EXPECT_EQ(std::string(hex, 8), "000fa5ff");
  std::free(hex);
  ASSERT_EQ(bin2hex(0, bytes, &hex), 0);
  EXPECT_NE(hex, nullptr);
  std::free(hex);
  EXPECT_EQ(bin2hex(-1, bytes, &hex), -3000);
  EXPECT_EQ(hex, nullptr);
  EXPECT_EQ(hexToBytes("000FA5ff7"), std::string("\x00\x0f\xa5\xff", 4));
  EXPECT_EQ(hexToBytes("zz1g"), std::string("\x00\x10", 2));
}

// Known answers, computed independently: every reader of these texts
// (the service among them) must agree with them.
TEST(PayloadCipher, MatchesKnownAnswers) {
  struct Vector {
    std::string plain, salt, hex;
  } vectors[] = {
      {"ab", "000000000000000000", "7afa303030303030303030303030303030303030"},
      {"<vorlanserver/>", "123456789012345678",
       "743725d47cbf6d8fce50de87bd05d8313233343536373839303132333435363738"},
      {"h\xC3\xA9llo w\xC3\xB6rld", "999999999999999999",
       "26bccda1a2546ae1371c5baa61393939393939393939393939393939393939"},
      {std::string(70, 'x'), "314159265358979323",
       "242499f6901f0d44b73c34633b7d1e353beb9006f02bf12301e09d0c54012ab513cc5f"
       "704ac6270781812e39b22898e0c4b08ccd5bac15aafa722526f8bfe1317947ac4695d9"
       "333134313539323635333538393739333233"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.plain);
    char* out = nullptr;
    ASSERT_EQ(payloadEncipherWithSalt(v.plain.c_str(), v.salt, &out), 0);
    EXPECT_EQ(take(out), v.hex);
    ASSERT_EQ(payloadDecipher(v.hex.c_str(), &out), 0);
    EXPECT_EQ(take(out), v.plain);
    // Upper-case hex reads the same.
    std::string upper = v.hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    ASSERT_EQ(payloadDecipher(upper.c_str(), &out), 0);
    EXPECT_EQ(take(out), v.plain);
  }
}

TEST(PayloadCipher, LengthsAndRefusals) {
  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ(payloadEncipher(nullptr, &out), -2022);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(payloadEncipher("x", &out), -2018);
  EXPECT_EQ(payloadEncipher("", &out), -2018);
  EXPECT_EQ(payloadDecipher(static_cast<const char*>(nullptr), &out), -2022);
  std::string salt36 = "303030303030303030303030303030303030";
  EXPECT_EQ(payloadDecipher(salt36.c_str(), &out), -2016);
  ASSERT_EQ(payloadDecipher((salt36 + "f").c_str(), &out), 0);  // 37
  EXPECT_EQ(take(out), "");
  // A salt with a NUL byte cannot make a 36-byte key.
  std::string nulSalt = "ab" + std::string("00") + std::string(34, '3');
  EXPECT_EQ(payloadDecipher(nulSalt.c_str(), &out), -2016);
  // An odd last character is dropped.
  ASSERT_EQ(payloadEncipherWithSalt("hello", "111111111111111111", &out), 0);
  std::string hex = take(out);
  ASSERT_EQ(payloadDecipher((hex + "7").c_str(), &out), 0);
  EXPECT_EQ(take(out), "hello");

  std::string text(100, 'q');
  ASSERT_EQ(payloadEncipher(text.c_str(), &out), 0);
  hex = take(out);
  ASSERT_EQ(hex.size(), 236u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  std::string saltBytes = hexToBytes(hex.substr(200));
  EXPECT_EQ(saltBytes.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(saltBytes.size(), 18u);
}

TEST(PayloadCipher, RoundTripsAndSaltsDiffer) {
  std::mt19937 gen(1234);
  std::set<std::string> salts;
  for (int round = 0; round < 200; ++round) {
    std::string plain(2 + gen() % 300, ' ');
    for (char& c : plain) c = static_cast<char>(1 + gen() % 255);
    char* hex = nullptr;
    ASSERT_EQ(payloadEncipher(plain.c_str(), &hex), 0);
    std::string text = take(hex);
    EXPECT_EQ(text.size(), 2 * plain.size() + 36);
    salts.insert(text.substr(text.size() - 36));
    char* back = nullptr;
    ASSERT_EQ(payloadDecipher(text.c_str(), &back), 0);
    EXPECT_EQ(take(back), plain);
  }
  // Calls in the same microsecond still draw different salts.
  EXPECT_EQ(salts.size(), 200u);
  for (int i = 0; i < 50; ++i) {
    std::string salt = newCipherSalt();
    ASSERT_EQ(salt.size(), 18u);
    EXPECT_EQ(salt.find_first_not_of("0123456789"), std::string::npos);
  }
}

}  // namespace
}  // namespace vorlan
