// Provider catalogue and provider contexts: enumeration, container
// creation and opening, parameters, handles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "support/crypt_fixtures.h"
#include "support/test_home.h"

namespace {

using Context = testing_support::ProvContext;

class ProviderContextTest : public testing_support::HomeTest {};

constexpr const char* kEnhanced = testing_support::kEnhancedProvider;
constexpr const char* kStrong = "Microsoft Strong Cryptographic Provider";
constexpr const char* kAes = "Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr const char* kDss = "Microsoft Base DSS Cryptographic Provider";

struct Provider {
  std::string name;
  DWORD type;
  bool operator==(const Provider&) const = default;
};

// What a fresh machine hive offers, in the registry's order of names.
const std::vector<Provider> kCatalogue = {
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
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    char name[300];
    DWORD size = sizeof name;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags)) break;
    names.emplace_back(name);
    flags = CRYPT_NEXT;
  }
  return names;
}

TEST_F(ProviderContextTest, EnumeratesTheCatalogueInOrderWithTwoCallSizing) {
  std::vector<Provider> seen;
  for (DWORD index = 0;; ++index) {
    DWORD type = 0;
    DWORD size = 0;
    if (!CryptEnumProvidersA(index, nullptr, 0, &type, nullptr, &size)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    std::string name(size, 'x');
    DWORD tooSmall = size - 1;
    EXPECT_FALSE(CryptEnumProvidersA(index, nullptr, 0, &type, name.data(), &tooSmall));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(tooSmall, size);
    ASSERT_TRUE(CryptEnumProvidersA(index, nullptr, 0, &type, name.data(), &size));
    ASSERT_EQ(name.back(), '\0');
    name.pop_back();
    EXPECT_EQ(size, name.size() + 1);
    seen.push_back({name, type});
  }
  EXPECT_EQ(seen, kCatalogue);

  DWORD type = 0;
  DWORD size = 0;
  DWORD reserved = 0;
  EXPECT_FALSE(CryptEnumProvidersA(0, &reserved, 0, &type, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptEnumProvidersA(0, nullptr, 1, &type, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
}

TEST_F(ProviderContextTest, ProviderWithoutReadableTypeIsReportedAsABadEntry) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cryptography\\Defaults\\Provider\\AAA Broken", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_FALSE(CryptEnumProvidersA(0, nullptr, 0, &type, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_ENTRY_BAD));
  // The broken entry does not hide the others from name lookups.
  Context context;
  EXPECT_TRUE(context.acquire(nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
}

TEST_F(ProviderContextTest, NewKeySetCreatesADurableContainerOnce) {
  {
    Context created;
    ASSERT_TRUE(created.acquire("alpha", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(textParam(created.get(), PP_CONTAINER), "alpha");
    EXPECT_EQ(textParam(created.get(), PP_NAME), kEnhanced);
  }
  Context again;
  EXPECT_FALSE(again.acquire("alpha", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
  // Container names compare like registry key names.
  EXPECT_FALSE(again.acquire("ALPHA", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));

  Context opened;
  EXPECT_TRUE(opened.acquire("alpha", kEnhanced, PROV_RSA_FULL, 0));
  Context missing;
  EXPECT_FALSE(missing.acquire("beta", kEnhanced, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(ProviderContextTest, RsaProvidersShareContainersAndRememberTheirCreator) {
  {
    Context created;
    ASSERT_TRUE(created.acquire("shared", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  }
  Context strong;
  ASSERT_TRUE(strong.acquire("shared", kStrong, PROV_RSA_FULL, 0));
  EXPECT_EQ(textParam(strong.get(), PP_NAME), kStrong);
  EXPECT_EQ(textParam(strong.get(), platform::PP_CREATOR_NAME), kEnhanced);
  Context aes;
  EXPECT_TRUE(aes.acquire("shared", kAes, PROV_RSA_AES, 0));
  Context dss;
  EXPECT_FALSE(dss.acquire("shared", kDss, PROV_DSS, 0));
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
      {"c", kEnhanced, PROV_RSA_AES, CRYPT_NEWKEYSET, NTE_PROV_TYPE_NO_MATCH},
      {"c", kEnhanced, 0, CRYPT_NEWKEYSET, NTE_BAD_PROV_TYPE},
      {"c", nullptr, 77, CRYPT_NEWKEYSET, NTE_PROV_TYPE_NOT_DEF},
      {"c", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
      {"c", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, NTE_BAD_FLAGS},
      {"c", kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_BAD_KEYSET_PARAM},
      {"a\\b", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {tooLong.c_str(), kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
  };
  for (const Case& c : cases) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, c.container, c.provider, c.type, c.flags)) << c.provider;
    EXPECT_EQ(GetLastError(), c.error) << (c.provider ? c.provider : "(default)") << " type " << c.type;
    EXPECT_EQ(prov, 0u);
  }
  Context verify;
  EXPECT_TRUE(verify.acquire(nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_TRUE(enumerateContainers(verify.get()).empty()) << "refused acquisitions made no container";
}

TEST_F(ProviderContextTest, ProviderNamesResolveLikeRegistryKeysAndDefaultByType) {
  Context lowerCase;
  ASSERT_TRUE(lowerCase.acquire(nullptr, "microsoft enhanced cryptographic provider v1.0", PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(textParam(lowerCase.get(), PP_NAME), kEnhanced);
  Context byType;
  ASSERT_TRUE(byType.acquire(nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(textParam(byType.get(), PP_NAME), kAes);
}

TEST_F(ProviderContextTest, ContextWithoutContainerHasNoContainerName) {
  Context verify;
  ASSERT_TRUE(verify.acquire(nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  DWORD size = 0;
  EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_CONTAINER, nullptr, &size, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_FALSE(CryptGetProvParam(verify.get(), 999, nullptr, &size, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
}

TEST_F(ProviderContextTest, NullContainerNamesTheUsersDefaultContainer) {
  Context created;
  ASSERT_TRUE(created.acquire(nullptr, kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  const std::string name = textParam(created.get(), PP_CONTAINER);
  EXPECT_FALSE(name.empty());
  Context byName;
  EXPECT_TRUE(byName.acquire(name.c_str(), kEnhanced, PROV_RSA_FULL, 0));
  Context byEmptyName;
  EXPECT_TRUE(byEmptyName.acquire("", kEnhanced, PROV_RSA_FULL, 0));
}

TEST_F(ProviderContextTest, EnumeratesTheUsersContainersOfTheNameSpace) {
  for (const char* name : {"zulu", "Alpha", "mike"}) {
    Context created;
    ASSERT_TRUE(created.acquire(name, kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  }
  Context dssContainer;
  ASSERT_TRUE(dssContainer.acquire("dss-only", kDss, PROV_DSS, CRYPT_NEWKEYSET));

  Context verify;
  ASSERT_TRUE(verify.acquire(nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  DWORD longest = 0;
  ASSERT_TRUE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST));
  EXPECT_EQ(longest, 6u);
  EXPECT_EQ(enumerateContainers(verify.get()), (std::vector<std::string>{"Alpha", "mike", "zulu"}));
  char name[8];
  DWORD size = sizeof name;
  EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_NEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  size = 2;
  EXPECT_FALSE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_FIRST));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 6u);
  // A name that did not fit is given again by the next call.
  size = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(verify.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, CRYPT_NEXT));
  EXPECT_STREQ(name, "Alpha");

  Context dssVerify;
  ASSERT_TRUE(dssVerify.acquire(nullptr, kDss, PROV_DSS, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(enumerateContainers(dssVerify.get()), std::vector<std::string>{"dss-only"});
}

TEST_F(ProviderContextTest, ReleasedHandlesAreRefusedAndTheContainerStays) {
  Context context;
  ASSERT_TRUE(context.acquire("kept", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_FALSE(CryptReleaseContext(context.get(), 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
  const HCRYPTPROV released = context.release();
  ASSERT_TRUE(CryptReleaseContext(released, 0));
  EXPECT_FALSE(CryptReleaseContext(released, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  DWORD size = 0;
  EXPECT_FALSE(CryptGetProvParam(released, PP_NAME, nullptr, &size, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
  Context reopened;
  EXPECT_TRUE(reopened.acquire("kept", kEnhanced, PROV_RSA_FULL, 0));
}

TEST_F(ProviderContextTest, FaultSwitchFailsTheProviderCalls) {
  platform::faultArm("CryptEnumProvidersA", 1, NTE_FAIL);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_FALSE(CryptEnumProvidersA(0, nullptr, 0, &type, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));

  platform::faultArm("CryptAcquireContextA", 1, NTE_FAIL);
  Context failed;
  EXPECT_FALSE(failed.acquire("faulted", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));

  Context created;
  ASSERT_TRUE(created.acquire("faulted", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET))
      << "the failed call created nothing";
  platform::faultArm("CryptGetProvParam", 1, NTE_FAIL);
  EXPECT_EQ(textParam(created.get(), PP_NAME), "<failed>");
  platform::faultArm("CryptReleaseContext", 1, NTE_FAIL);
  EXPECT_FALSE(CryptReleaseContext(created.get(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
}

TEST_F(ProviderContextTest, ContainerThatCannotRecordItsCreatorIsNotLeftBehind) {
  platform::faultArm("RegSetValueExA", 1, ERROR_WRITE_FAULT);
  Context failed;
  EXPECT_FALSE(failed.acquire("half", kEnhanced, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  Context opened;
  EXPECT_FALSE(opened.acquire("half", kEnhanced, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

}  // namespace
