#include "platform/crypt_catalogue.h"

#include <strings.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/hive.h"
#include "platform/home.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/wincrypt.h"

namespace platform {
namespace {

constexpr const char* kCatalogueKey = "SOFTWARE\\Cryptography\\Defaults\\Provider";
constexpr const char* kKeyStorageCatalogueKey = "SOFTWARE\\Cryptography\\Defaults\\KeyStorageProvider";
// Registry key names are at most 255 characters.
constexpr DWORD kMaxKeyName = 256;

struct ProviderFamily {
  DWORD type;
  const char* family;
  bool rsa;
  bool ec;
};

constexpr ProviderFamily providerFamilies[] = {
    {PROV_RSA_FULL, "RSA", true, false},     {PROV_RSA_SIG, "RSA", true, false},
    {PROV_RSA_SCHANNEL, "RSA", true, false}, {PROV_RSA_AES, "RSA", true, false},
    {PROV_DSS, "DSS", false, false},         {PROV_DSS_DH, "DSS", false, false},
    {PROV_DH_SCHANNEL, "DH", false, false},  {PROV_KEY_STORAGE, "KSP", true, true},
};

const ProviderFamily* familyOf(DWORD providerType) {
  for (const ProviderFamily& family : providerFamilies)
    if (family.type == providerType) return &family;
  return nullptr;
}

DWORD readType(HKEY catalogue, const std::string& name, DWORD& type) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(catalogue, name.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return NTE_PROV_TYPE_ENTRY_BAD;
  UniqueHkey provider(opened);
  DWORD valueType = REG_NONE;
  DWORD size = sizeof type;
  const LSTATUS status =
      RegQueryValueExA(provider.get(), "Type", nullptr, &valueType, reinterpret_cast<BYTE*>(&type), &size);
  if (status != ERROR_SUCCESS || valueType != REG_DWORD || size != sizeof type) return NTE_PROV_TYPE_ENTRY_BAD;
  return ERROR_SUCCESS;
}

// A catalogue key, opened for reading; ERROR_NO_MORE_ITEMS when there is
// no such catalogue at all.
DWORD openCatalogue(UniqueHkey& catalogue, const char* path = kCatalogueKey) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
  catalogue.reset(opened);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
  return static_cast<DWORD>(status);
}

DWORD nameAt(HKEY catalogue, DWORD index, std::string& name) {
  char text[kMaxKeyName] = {};
  DWORD size = kMaxKeyName;
  const LSTATUS status = RegEnumKeyExA(catalogue, index, text, &size, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name.assign(text, size);
  return static_cast<DWORD>(status);
}

// One catalogue as read from the registry: its entries in order, each with
// ERROR_SUCCESS or the reason its type could not be read, and what ended
// the walk (ERROR_NO_MORE_ITEMS, or the registry's error).
struct Catalogue {
  struct Item {
    ProviderEntry entry;
    DWORD status = ERROR_SUCCESS;
  };
  std::vector<Item> items;
  DWORD end = ERROR_NO_MORE_ITEMS;
};

Catalogue readCatalogue(const char* path) {
  Catalogue catalogue;
  UniqueHkey key;
  catalogue.end = openCatalogue(key, path);
  for (DWORD index = 0; catalogue.end == ERROR_SUCCESS; ++index) {
    Catalogue::Item item;
    catalogue.end = nameAt(key.get(), index, item.entry.name);
    if (catalogue.end != ERROR_SUCCESS) break;
    item.status = readType(key.get(), item.entry.name, item.entry.type);
    catalogue.items.push_back(std::move(item));
  }
  return catalogue;
}

std::optional<hive::ChangeStamp> catalogueStamp(const char* path) {
  LSTATUS status = ERROR_SUCCESS;
  const std::shared_ptr<hive::Hive> machine = hive::Hive::open(machineHivePath(), hive::Hive::Kind::Machine, status);
  return machine != nullptr ? machine->changeStamp(hive::fold(path)) : std::nullopt;
}

// The catalogue as the machine hive holds it now. Every lookup of a
// provider walks it, so a whole walk is kept until the catalogue changes
// (in this process; in another, until the hive changes); a walk that failed
// is not kept.
std::shared_ptr<const Catalogue> currentCatalogue(bool keyStorage) {
  struct Kept {
    std::optional<hive::ChangeStamp> stamp;
    std::shared_ptr<const Catalogue> catalogue;
  };
  static std::mutex mutex;
  static Kept kept[2];
  const char* path = keyStorage ? kKeyStorageCatalogueKey : kCatalogueKey;
  const std::optional<hive::ChangeStamp> stamp = catalogueStamp(path);
  {
    std::lock_guard<std::mutex> lock(mutex);
    const Kept& current = kept[keyStorage ? 1 : 0];
    if (stamp && current.stamp == stamp) return current.catalogue;
  }
  // Read without the lock: the registry waits for other threads' transactions.
  auto read = std::make_shared<const Catalogue>(readCatalogue(path));
  if (stamp && read->end == ERROR_NO_MORE_ITEMS) {
    std::lock_guard<std::mutex> lock(mutex);
    kept[keyStorage ? 1 : 0] = Kept{stamp, read};
  }
  return read;
}

// The first entry whose type could be read and that `wanted` accepts, in
// the legacy catalogue and then in the key storage one; `notFound` when
// there is none.
template <class Wanted>
DWORD firstProvider(Wanted wanted, DWORD notFound, ProviderEntry& entry) {
  for (const bool keyStorage : {false, true}) {
    const std::shared_ptr<const Catalogue> catalogue = currentCatalogue(keyStorage);
    for (const Catalogue::Item& item : catalogue->items) {
      if (item.status == ERROR_SUCCESS && wanted(item.entry)) {
        entry = item.entry;
        return ERROR_SUCCESS;
      }
    }
    if (catalogue->end != ERROR_NO_MORE_ITEMS) return catalogue->end;
  }
  return notFound;
}

DWORD catalogueEntryAt(bool keyStorage, DWORD index, ProviderEntry& entry) {
  const std::shared_ptr<const Catalogue> catalogue = currentCatalogue(keyStorage);
  if (index >= catalogue->items.size()) return catalogue->end;
  entry = catalogue->items[index].entry;
  return catalogue->items[index].status;
}

}  // namespace

DWORD providerAt(DWORD index, ProviderEntry& entry) { return catalogueEntryAt(false, index, entry); }

DWORD keyStorageProviderAt(DWORD index, ProviderEntry& entry) { return catalogueEntryAt(true, index, entry); }

DWORD findProvider(const char* name, ProviderEntry& entry) {
  return firstProvider(
      [name](const ProviderEntry& candidate) { return ::strcasecmp(candidate.name.c_str(), name) == 0; },
      NTE_KEYSET_NOT_DEF, entry);
}

DWORD defaultProvider(DWORD type, ProviderEntry& entry) {
  return firstProvider([type](const ProviderEntry& candidate) { return candidate.type == type; },
                       NTE_PROV_TYPE_NOT_DEF, entry);
}

bool makesRsaKeys(DWORD providerType) {
  const ProviderFamily* family = familyOf(providerType);
  return family != nullptr && family->rsa;
}

bool makesEcKeys(DWORD providerType) {
  const ProviderFamily* family = familyOf(providerType);
  return family != nullptr && family->ec;
}

std::string containerFamily(DWORD providerType) {
  const ProviderFamily* family = familyOf(providerType);
  return family != nullptr ? family->family : "Type" + std::to_string(providerType);
}

}  // namespace platform
