#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>

#include "platform/objbase.h"
#include "platform/ocidl.h"

namespace {

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

TEST(Guid, RegistryFormRoundTrip) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 200; ++i) {
    GUID guid;
    guid.Data1 = static_cast<DWORD>(random());
    guid.Data2 = static_cast<WORD>(random());
    guid.Data3 = static_cast<WORD>(random());
    for (BYTE& b : guid.Data4) b = static_cast<BYTE>(random());
    OLECHAR buffer[39];
    ASSERT_EQ(StringFromGUID2(guid, buffer, 39), 39);
    const std::u16string text(buffer);
    ASSERT_EQ(text.size(), 38u);
    EXPECT_EQ(text.front(), u'{');
    for (char16_t c : text) EXPECT_FALSE(c >= u'a' && c <= u'f') << "upper-case digits";
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(buffer, &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(back, guid));
    EXPECT_EQ(wide(platform::guidText(guid)), text);
  }
}

TEST(Guid, WellKnownIdentifiersHaveTheirPlatformValues) {
  EXPECT_EQ(platform::guidText(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::guidText(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::guidText(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(platform::guidText(IID_IConnectionPointContainer), "{B196B284-BAB4-101A-B69C-00AA00341D07}");
  EXPECT_EQ(platform::guidText(IID_IPropertyNotifySink), "{9BFBBC02-EFF1-101A-84ED-00AA00341D07}");
  EXPECT_EQ(platform::guidText(IID_IProvideClassInfo2), "{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
  EXPECT_EQ(platform::guidText(IID_IErrorInfo), "{1CF2B120-547D-101B-8E65-08002B2BD119}");
}

TEST(Guid, ParsingRefusesAnythingButTheRegistryForm) {
  const char16_t* bad[] = {
      u"00020400-0000-0000-C000-000000000046",     // no braces
      u"{00020400-0000-0000-C000-000000000046",    // no closing brace
      u"{00020400-0000-0000-C000-0000000000461}",  // too long
      u"{00020400-0000-0000-C000+000000000046}",   // wrong separator
      u"{0002040G-0000-0000-C000-000000000046}",   // not a digit
      u"{000204000-000-0000-C000-000000000046}",   // dash misplaced
      u"",
  };
  for (const char16_t* text : bad) {
    CLSID clsid = IID_IDispatch;
    EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING);
    IID iid{};
    EXPECT_EQ(IIDFromString(text, &iid), E_INVALIDARG);
  }
  CLSID lower{};
  ASSERT_EQ(CLSIDFromString(u"{b196b284-bab4-101a-b69c-00aa00341d07}", &lower), S_OK);
  EXPECT_EQ(lower, IID_IConnectionPointContainer);

  GUID guid{};
  EXPECT_TRUE(platform::parseGuid("{00020400-0000-0000-C000-000000000046}", guid));
  EXPECT_EQ(guid, IID_IDispatch);
  EXPECT_FALSE(platform::parseGuid("{00020400-0000-0000-C000-000000000046} ", guid));
}

TEST(Guid, BufferTooSmallWritesNothing) {
  OLECHAR buffer[38];
  buffer[0] = u'x';
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, buffer, 38), 0);
  EXPECT_EQ(buffer[0], u'x');
  LPOLESTR allocated = nullptr;
  ASSERT_EQ(StringFromCLSID(IID_IDispatch, &allocated), S_OK);
  EXPECT_EQ(std::u16string(allocated), u"{00020400-0000-0000-C000-000000000046}");
  CoTaskMemFree(allocated);
}

TEST(CoInitialize, CountsPerThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  HRESULT other = E_FAIL;
  std::thread([&] {
    other = CoInitialize(nullptr);
    CoUninitialize();
  }).join();
  EXPECT_EQ(other, S_OK);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
