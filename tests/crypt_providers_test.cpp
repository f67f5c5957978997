// Provider catalogue and provider contexts: enumeration, container
// creation and opening, container listing, handles.
#include "testlib/crypt_fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fault.h"
#include "testlib/test_home.h"

namespace {

using testing_support::kEnhancedProvider;
using Context = UniqueCryptProv;

class ProviderContextTest : public testing_support::HomeTest {};

constexpr const char* kStrong = "Microsoft Strong Cryptographic Provider";
constexpr const char* kAes = "Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr const char* kDss = "Microsoft Base DSS Cryptographic Provider";

std::string textParam(HCRYPTPROV prov, DWORD param) {
  DWORD size = 0;
  if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return "<failed>";
  std::string text(size, '\0');
  if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(text.data()), &size, 0)) return "<failed>";
  text.resize(size - 1);
  return text;
}

std::vector<std::string> enumerateContainers(HCRYPTPROV prov) {
  std::vector<std::string> names;
  char name[300];
  for (DWORD size = sizeof name, flags = CRYPT_FIRST;
       CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags);
       size = sizeof name, flags = CRYPT_NEXT)
    names.emplace_back(name);
  return names;
}

TEST_F(ProviderContextTest, EnumeratesTheCatalogueInOrderWithTwoCallSizing) {
  std::vector<std::pair<std::string, DWORD>> seen;
  DWORD type = 0;
  DWORD size = 0;
  for (DWORD index = 0; CryptEnumProvidersA(index, nullptr, 0, &type, nullptr, &size); ++index) {
    std::string name(size, 'x');
    DWORD tooSmall = size - 1;
    EXPECT_FALSE(CryptEnumProvidersA(index, nullptr, 0, &type, name.data(), &tooSmall));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(tooSmall, size);
    ASSERT_TRUE(CryptEnumProvidersA(index, nullptr, 0, &type, name.data(), &size));
    ASSERT_EQ(name.back(), '\0') << "the size counts the terminator";
    seen.emplace_back(name.c_str(), type);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  const std::vector<std::pair<std::string, DWORD>> catalogue = {
      {"Microsoft Base Cryptographic Provider v1.0", 1},
      {"Microsoft Base DSS and Diffie-Hellman Cryptographic Provider", 13},
      {"Microsoft Base DSS Cryptographic Provider", 3},
      {"Microsoft DH SChannel Cryptographic Provider", 18},
      {"Microsoft Enhanced Cryptographic Provider v1.0", 1},
      {"Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider", 13},
      {"Microsoft Enhanced RSA and AES Cryptographic Provider", 24},
      {"Microsoft RSA SChannel Cryptographic Provider", 12},
      {"Microsoft Strong Cryptographic Provider", 1},
  };
  EXPECT_EQ(seen, catalogue);
}

TEST_F(ProviderContextTest, NewKeySetMakesADurableContainerThatRsaProvidersShare) {
  {
    Context created;
    ASSERT_TRUE(CryptAcquireContextA(created.put(), "alpha", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(textParam(created.get(), PP_CONTAINER), "alpha");
  }
  for (const char* name : {"alpha", "ALPHA"}) {
    Context again;
    EXPECT_FALSE(CryptAcquireContextA(again.put(), name, kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS)) << name;
  }
  Context strong;
  ASSERT_TRUE(CryptAcquireContextA(strong.put(), "alpha", kStrong, PROV_RSA_FULL, 0));
  EXPECT_EQ(textParam(strong.get(), PP_NAME), kStrong);
  EXPECT_EQ(textParam(strong.get(), platform::PP_CREATOR_NAME), kEnhancedProvider);
  Context lowerCaseName;
  EXPECT_TRUE(CryptAcquireContextA(lowerCaseName.put(), "alpha",
                                   "microsoft enhanced rsa and aes cryptographic provider", PROV_RSA_AES, 0));
  EXPECT_EQ(textParam(lowerCaseName.get(), PP_NAME), kAes);
  Context dss;
  EXPECT_FALSE(CryptAcquireContextA(dss.put(), "alpha", kDss, PROV_DSS, 0))
      << "other families have their own containers";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  Context missing;
  EXPECT_FALSE(CryptAcquireContextA(missing.put(), "beta", kEnhancedProvider, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(ProviderContextTest, RefusesUnknownProvidersWrongTypesAndBadArguments) {
  struct Case {
    const char* container;
    const char* provider;
    DWORD type;
    DWORD flags;
    DWORD error;
  };
  const std::string tooLong(256, 'n');
  const Case cases[] = {
      {"c", "Microsoft Imaginary Provider", PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_KEYSET_NOT_DEF},
      {"c", "", PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_KEYSET_NOT_DEF},
      {"c", kEnhancedProvider, PROV_RSA_AES, CRYPT_NEWKEYSET, NTE_PROV_TYPE_NO_MATCH},
      {"c", kEnhancedProvider, 0, CRYPT_NEWKEYSET, NTE_BAD_PROV_TYPE},
      {"c", nullptr, 77, CRYPT_NEWKEYSET, NTE_PROV_TYPE_NOT_DEF},
      {"c", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
      {"c", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, NTE_BAD_FLAGS},
      {"c", kEnhancedProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_BAD_KEYSET_PARAM},
      {"a\\b", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {tooLong.c_str(), kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
  };
  for (const Case& c : cases) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, c.container, c.provider, c.type, c.flags));
    EXPECT_EQ(GetLastError(), c.error) << (c.provider ? c.provider : "(default)") << " type " << c.type;
    EXPECT_EQ(prov, 0u);
  }
  Context verify;
  ASSERT_TRUE(CryptAcquireContextA(verify.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(textParam(verify.get(), PP_NAME), kAes) << "the catalogue's first provider of the type";
  EXPECT_TRUE(enumerateContainers(verify.get()).empty()) << "refused acquisitions made no container";
}

TEST_F(ProviderContextTest, ListsTheUsersContainersOfTheNameSpace) {
  for (const char* name : {"zulu", "Alpha", "mike"}) {
    Context created;
    ASSERT_TRUE(CryptAcquireContextA(created.put(), name, kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  }
  Context dssContainer;
  ASSERT_TRUE(CryptAcquireContextA(dssContainer.put(), "dss-only", kDss, PROV_DSS, CRYPT_NEWKEYSET));

  Context verify;
  ASSERT_TRUE(CryptAcquireContextA(verify.put(), nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  DWORD longest = 0;
  ASSERT_TRUE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST));
  EXPECT_EQ(longest, 6u);
  EXPECT_EQ(enumerateContainers(verify.get()), (std::vector<std::string>{"Alpha", "mike", "zulu"}));
  char name[8];
  DWORD size = 2;
  EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_FIRST));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  size = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_NEXT));
  EXPECT_STREQ(name, "Alpha") << "a name that did not fit comes again";

  Context dssVerify;
  ASSERT_TRUE(CryptAcquireContextA(dssVerify.put(), nullptr, kDss, PROV_DSS, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(enumerateContainers(dssVerify.get()), std::vector<std::string>{"dss-only"});
}

TEST_F(ProviderContextTest, ReleasedHandlesAreRefusedAndTheContainerStays) {
  Context context;
  ASSERT_TRUE(CryptAcquireContextA(context.put(), "kept", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  const HCRYPTPROV released = context.get();
  ASSERT_TRUE(context.close());
  EXPECT_FALSE(Context(released).close());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  DWORD size = 0;
  EXPECT_FALSE(CryptGetProvParam(released, PP_NAME, nullptr, &size, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  Context reopened;
  EXPECT_TRUE(CryptAcquireContextA(reopened.put(), "kept", kEnhancedProvider, PROV_RSA_FULL, 0));
}

TEST_F(ProviderContextTest, FailedCreationLeavesNoContainerBehind) {
  platform::faultArm("CryptAcquireContextA", 1, NTE_FAIL);
  Context faulted;
  EXPECT_FALSE(CryptAcquireContextA(faulted.put(), "half", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  // The container key is made, then recording its creator fails.
  platform::faultArm("RegSetValueExA", 1, ERROR_WRITE_FAULT);
  Context unrecorded;
  EXPECT_FALSE(CryptAcquireContextA(unrecorded.put(), "half", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  Context opened;
  EXPECT_FALSE(CryptAcquireContextA(opened.put(), "half", kEnhancedProvider, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

}  // namespace
