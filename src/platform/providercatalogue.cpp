// The provider catalogue that a new machine hive starts with: the provider
// names that enrolment pages pass, each with its provider type.
#include <iterator>

#include "platform/hive.h"
#include "platform/key_storage.h"
#include "platform/registry.h"

namespace platform::hive {
namespace {

struct CatalogueEntry {
  const char* name;
  DWORD type;
};

constexpr CatalogueEntry providerCatalogue[] = {
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

constexpr CatalogueEntry keyStorageCatalogue[] = {
    {kKeyStorageProviderName, PROV_KEY_STORAGE},
};

constexpr std::string_view catalogueKeyNames[] = {"SOFTWARE", "Cryptography", "Defaults", "Provider"};
constexpr std::string_view keyStorageCatalogueKeyNames[] = {"SOFTWARE", "Cryptography", "Defaults",
                                                            "KeyStorageProvider"};

void seedCatalogue(Hive& hive, std::vector<std::string_view> path, const CatalogueEntry* begin,
                   const CatalogueEntry* end) {
  bool created = false;
  const KeyRow catalogue = hive.createPath(KeyRow{hive.rootId(), ""}, path, created);
  for (const CatalogueEntry* entry = begin; entry != end; ++entry) {
    const KeyRow provider = hive.createPath(catalogue, {entry->name}, created);
    hive.setValue(provider, "Type", REG_DWORD, reinterpret_cast<const BYTE*>(&entry->type), sizeof entry->type);
  }
}

}  // namespace

// Runs inside the transaction that opens a writable machine hive; a hive
// that already has a catalogue key keeps that catalogue as it is. The key
// storage catalogue is seeded on its own, so hives made before it get it too.
void seedProviderCatalogue(Hive& hive) {
  if (!hive.findKey("SOFTWARE\\CRYPTOGRAPHY\\DEFAULTS\\PROVIDER"))
    seedCatalogue(hive, {std::begin(catalogueKeyNames), std::end(catalogueKeyNames)}, std::begin(providerCatalogue),
                  std::end(providerCatalogue));
  if (!hive.findKey("SOFTWARE\\CRYPTOGRAPHY\\DEFAULTS\\KEYSTORAGEPROVIDER"))
    seedCatalogue(hive, {std::begin(keyStorageCatalogueKeyNames), std::end(keyStorageCatalogueKeyNames)},
                  std::begin(keyStorageCatalogue), std::end(keyStorageCatalogue));
}

}  // namespace platform::hive
