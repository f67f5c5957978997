#include <gtest/gtest.h>

#include <string>

#include "platform/bstr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/textconv.h"
#include "testlib/test_home.h"

namespace {

using tarvenholm::systemToWide;
using tarvenholm::wideToSystem;
using testing_support::HomeTest;

const std::string kReplacementUtf8 = "\xEF\xBF\xBD";

TEST(TextConversion, WellFormedTextRoundTrips) {
  const std::u16string wide = u"Se proporcionó un CSP inválido ñ € \U0001F511";
  const std::string narrow = "Se proporcionó un CSP inválido ñ € \U0001F511";
  EXPECT_EQ(wideToSystem(wide.data(), wide.size()), narrow);
  EXPECT_EQ(wideToSystem(wide.c_str()), narrow);
  EXPECT_EQ(systemToWide(narrow), wide);
  // U+10FFFF and U+FFFF are valid, surrogates around them too.
  EXPECT_EQ(systemToWide("\xF4\x8F\xBF\xBF\xEF\xBF\xBF"), u"\U0010FFFF\uFFFF");
  EXPECT_EQ(wideToSystem(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
}

TEST(TextConversion, ExplicitLengthKeepsEmbeddedZerosAndNullIsEmpty) {
  const char16_t wide[] = u"a\0b";
  EXPECT_EQ(wideToSystem(wide, 3), std::string("a\0b", 3));
  EXPECT_EQ(wideToSystem(wide), "a");
  EXPECT_EQ(wideToSystem(nullptr), "");
  EXPECT_EQ(systemToWide(std::string("x\0y", 3)), std::u16string(u"x\0y", 3));
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacementCharacters) {
  const char16_t loneHighAtEnd[] = {u'a', 0xD83D};
  EXPECT_EQ(wideToSystem(loneHighAtEnd, 2), "a" + kReplacementUtf8);
  const char16_t loneLow[] = {0xDC00, u'b'};
  EXPECT_EQ(wideToSystem(loneLow, 2), kReplacementUtf8 + "b");
  const char16_t highThenLetter[] = {0xD800, u'c', 0xD800, 0xD800, 0xDC00};
  EXPECT_EQ(wideToSystem(highThenLetter, 5), kReplacementUtf8 + "c" + kReplacementUtf8 + "\xF0\x90\x80\x80");
  const char16_t reversedPair[] = {0xDC00, 0xD800};
  EXPECT_EQ(wideToSystem(reversedPair, 2), kReplacementUtf8 + kReplacementUtf8);
}

TEST(TextConversion, IllFormedUtf8BecomesOneReplacementPerMaximalPart) {
  struct Case {
    const char* bytes;
    std::u16string wide;
  };
  const Case cases[] = {
      {"\x80", u"\uFFFD"},                                  // lone continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                        // overlong "/": C0 never starts a sequence
      {"\xC1\xBF", u"\uFFFD\uFFFD"},                        // overlong, two bytes
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},              // overlong, three bytes
      {"\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},    // overlong, four bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},              // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},    // above U+10FFFF
      {"\xF5\x80", u"\uFFFD\uFFFD"},                        // F5 never starts a sequence
      {"\xFF", u"\uFFFD"},
      {"\xE2\x82", u"\uFFFD"},                              // broken off at the end
      {"\xE2\x82" "A", u"\uFFFDA"},                         // broken off by ASCII, which is kept
      {"\xF0\x9F\x94" "\xC3\xB1", u"\uFFFD\u00F1"},         // broken off by a valid sequence
      {"a\xC3", u"a\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(systemToWide(c.bytes), c.wide) << c.bytes;
}

TEST_F(HomeTest, SystemTextBecomesANewBstr) {
  UniqueBstr text(tarvenholm::systemToBstr("Llave \xF0\x9F\x94\x91 \xFF"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text.get()), 10u);
  EXPECT_EQ(std::u16string(text.get(), SysStringLen(text.get())), u"Llave \U0001F511 \uFFFD");
  EXPECT_EQ(text.get()[10], 0);

  UniqueBstr empty(tarvenholm::systemToBstr(""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty.get()), 0u);

  platform::faultArm("SysAllocStringLen", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(tarvenholm::systemToBstr("abc"), nullptr);
}

}  // namespace
