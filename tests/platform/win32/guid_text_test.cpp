#include <gtest/gtest.h>

#include "win32/guid.h"
#include "win32/text.h"

namespace {

// MEDIASUBTYPE_YUY2 as the registry writes it.
constexpr GUID kYuy2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

TEST(Guid, FormatsUpperCaseWithBraces) {
  EXPECT_EQ(win32::FormatGuid(kYuy2), L"{32595559-0000-0010-8000-00AA00389B71}");
  EXPECT_EQ(win32::FormatGuid(GUID_NULL), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, ParseRoundTripsAndAcceptsLowerCase) {
  GUID g{};
  ASSERT_TRUE(win32::ParseGuid(L"{32595559-0000-0010-8000-00aa00389b71}", &g));
  EXPECT_EQ(g, kYuy2);
  ASSERT_TRUE(win32::ParseGuid(win32::FormatGuid(kYuy2), &g));
  EXPECT_EQ(g, kYuy2);
}

TEST(Guid, ParseRejectsMalformedText) {
  const wchar_t* bad[] = {
      L"",
      L"32595559-0000-0010-8000-00AA00389B71",     // no braces
      L"{32595559-0000-0010-8000-00AA00389B7}",    // short
      L"{32595559-0000-0010-8000-00AA00389B711}",  // long
      L"{32595559_0000-0010-8000-00AA00389B71}",   // wrong separator
      L"{3259555G-0000-0010-8000-00AA00389B71}",   // not hex
      L"{32595559-0000-0010-8000-00AA00389B71}x",  // trailing text
  };
  for (const wchar_t* text : bad) {
    GUID g = kYuy2;
    EXPECT_FALSE(win32::ParseGuid(text, &g)) << win32::ToUtf8(text);
    EXPECT_EQ(g, kYuy2) << "output must stay untouched on failure";
  }
}

TEST(Text, Utf8AndUtf16RoundTripOutsideTheBasicPlane) {
  const std::wstring text = L"Zorcam \u00e9\u4e2d\U0001F4F7";
  EXPECT_EQ(win32::FromUtf8(win32::ToUtf8(text)), text);
  std::string utf16 = win32::ToUtf16LE(text);
  EXPECT_EQ(utf16.size(), (text.size() + 1) * 2) << "the camera emoji takes a surrogate pair";
  EXPECT_EQ(win32::FromUtf16LE(utf16), text);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::wstring expected;
  } cases[] = {
      {"a\xC3", L"a\uFFFD"},          // truncated sequence at the end
      {"\xFF" "b", L"\uFFFD" "b"},     // byte that never starts a sequence
      {"\xE4\x41", L"\uFFFD" "A"},     // continuation missing
  };
  for (const Case& c : cases) EXPECT_EQ(win32::FromUtf8(c.bytes), c.expected);
  // An unpaired high surrogate followed by a plain letter, then an odd byte.
  std::string utf16("\x00\xD8" "A\x00" "Z", 5);
  EXPECT_EQ(win32::FromUtf16LE(utf16), L"\uFFFDA");
}

}  // namespace
