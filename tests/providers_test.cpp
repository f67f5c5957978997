// The provider list and provider-type lookup over the platform's catalogue.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "engine/providers.h"
#include "platform/application.h"
#include "platform/fault.h"
#include "platform/hive.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/registry_transaction.h"
#include "platform/wincrypt.h"
#include "testlib/test_home.h"

namespace {

using namespace tarvenholm;

class ProviderListTest : public testing_support::HomeTest {};

constexpr const char* kCatalogueKey = "SOFTWARE\\Cryptography\\Defaults\\Provider";
constexpr const char* kEnhanced = "Microsoft Enhanced Cryptographic Provider v1.0";

const std::string kFreshList =
    "Microsoft Base Cryptographic Provider v1.0|"
    "Microsoft DH SChannel Cryptographic Provider|"
    "Microsoft Enhanced Cryptographic Provider v1.0|"
    "Microsoft Enhanced RSA and AES Cryptographic Provider|"
    "Microsoft RSA SChannel Cryptographic Provider|"
    "Microsoft Strong Cryptographic Provider|";

void installProvider(const std::string& name, DWORD type) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kCatalogueKey) + "\\" + name).c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  UniqueHkey owned(key);
  ASSERT_EQ(RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type),
            ERROR_SUCCESS);
}

void removeProvider(const std::string& name) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kCatalogueKey) + "\\" + name).c_str()), ERROR_SUCCESS);
}

TEST_F(ProviderListTest, FreshHomeListsTheAdmittedProvidersInOrder) {
  EXPECT_EQ(providerListText(), kFreshList);
  EXPECT_EQ(providerListText(), kFreshList);
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(ProviderListTest, ProviderTypeNeedsTheExactNameOfAnAdmittedProvider) {
  EXPECT_EQ(getProvType(kEnhanced), 1u);
  EXPECT_EQ(getProvType("Microsoft Enhanced RSA and AES Cryptographic Provider"), 24u);
  EXPECT_EQ(getProvType("Microsoft RSA SChannel Cryptographic Provider"), 12u);
  EXPECT_EQ(getProvType("Microsoft DH SChannel Cryptographic Provider"), 18u);
  for (const char* refused : {"microsoft enhanced cryptographic provider v1.0",
                              "Microsoft Enhanced Cryptographic Provider v1.0 ", " Microsoft Enhanced Cryptographic Provider v1.0",
                              "Microsoft Enhanced Cryptographic Provider", "Microsoft Base DSS Cryptographic Provider",
                              "Microsoft Base DSS and Diffie-Hellman Cryptographic Provider",
                              "Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider", ""})
    EXPECT_EQ(getProvType(refused), 0u) << '"' << refused << '"';
  EXPECT_EQ(getProvType(nullptr), 0u);
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(ProviderListTest, EveryCallSeesTheCatalogueAsItIsNow) {
  installProvider("Contoso Smart Card Provider", PROV_RSA_FULL);
  installProvider("AAA DSS Provider", PROV_DSS);
  EXPECT_EQ(getProvType("Contoso Smart Card Provider"), 1u);
  EXPECT_EQ(providerListText(), "Contoso Smart Card Provider|" + kFreshList);

  removeProvider("Contoso Smart Card Provider");
  for (const char* name : {"Microsoft Base Cryptographic Provider v1.0", "Microsoft DH SChannel Cryptographic Provider",
                           kEnhanced, "Microsoft Enhanced RSA and AES Cryptographic Provider",
                           "Microsoft RSA SChannel Cryptographic Provider", "Microsoft Strong Cryptographic Provider"})
    removeProvider(name);
  EXPECT_EQ(providerListText(), "") << "only DSS providers are left";
  EXPECT_EQ(getProvType(kEnhanced), 0u);
}

// Sets a provider's type through a connection of its own, as another
// process would.
void setTypeFromOutside(const std::string& name, DWORD type) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(platform::machineHivePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_stmt* update = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "UPDATE reg_values SET data = ? WHERE folded_name = 'TYPE' AND key = "
                               "(SELECT id FROM reg_keys WHERE folded_path = ?)",
                               -1, &update, nullptr),
            SQLITE_OK);
  const std::string path = platform::hive::fold(std::string(kCatalogueKey) + "\\" + name);
  sqlite3_bind_blob(update, 1, &type, sizeof type, SQLITE_TRANSIENT);
  sqlite3_bind_text(update, 2, path.c_str(), -1, SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_finalize(update);
  sqlite3_close(db);
}

// Outside an operation every call sees other connections' changes; an
// operation works with the catalogue it found first, and the next one sees
// them. A rollback is seen at once.
TEST_F(ProviderListTest, ChangesFromOtherConnectionsAreSeenByTheNextOperationAndRollbacksAtOnce) {
  ASSERT_EQ(getProvType(kEnhanced), 1u);
  setTypeFromOutside(kEnhanced, PROV_RSA_AES);
  EXPECT_EQ(getProvType(kEnhanced), static_cast<DWORD>(PROV_RSA_AES));
  {
    platform::RegistryTransaction operation;
    EXPECT_EQ(getProvType(kEnhanced), static_cast<DWORD>(PROV_RSA_AES));
    setTypeFromOutside(kEnhanced, PROV_RSA_FULL);
    EXPECT_EQ(getProvType(kEnhanced), static_cast<DWORD>(PROV_RSA_AES));
  }
  {
    platform::RegistryTransaction next;
    EXPECT_EQ(getProvType(kEnhanced), static_cast<DWORD>(PROV_RSA_FULL));
    setTypeFromOutside(kEnhanced, PROV_RSA_AES);
  }
  {
    platform::RegistryTransaction rolledBack;
    removeProvider(kEnhanced);
    EXPECT_EQ(getProvType(kEnhanced), 0u);
  }
  EXPECT_EQ(getProvType(kEnhanced), static_cast<DWORD>(PROV_RSA_AES));
}

TEST_F(ProviderListTest, AnEntryThatCannotBeReadIsReportedAndSkipped) {
  platform::faultArm("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(providerListText(), kFreshList.substr(kFreshList.find('|') + 1));
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Not enough memory is available to process this command.\r\n");
  EXPECT_EQ(boxes_.boxes()[0].caption, "Tarvenholm");
  EXPECT_EQ(boxes_.boxes()[0].flags, static_cast<UINT>(MB_ICONERROR));

  // The second call of the pair fails with an error that has no system
  // text: the box falls back to the walk's own text.
  boxes_.clear();
  platform::faultReset();
  platform::faultArm("CryptEnumProvidersA", 2, 0x20001234);
  EXPECT_EQ(getProvType("Microsoft Base Cryptographic Provider v1.0"), 0u);
  EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"ERROR - CryptEnumProviders"});
}

TEST_F(ProviderListTest, AWalkThatCannotStartListsNothingAndSaysNothing) {
  platform::faultArm("CryptEnumProvidersA", 1, NTE_FAIL);
  EXPECT_EQ(providerListText(), "");
  platform::faultArm("CryptEnumProvidersA", 1, NTE_FAIL);
  EXPECT_EQ(getProvType(kEnhanced), 0u);
  EXPECT_TRUE(boxes_.boxes().empty());
}

}  // namespace
