#include "platform/crypt_catalogue.h"

#include <strings.h>

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

// The first entry that `wanted` accepts, by name (and type, read only when
// `wanted` asks for it), in the legacy catalogue and then in the key
// storage one; `notFound` when there is none. Entries whose type cannot be
// read are passed over.
template <class Wanted>
DWORD firstProvider(Wanted wanted, DWORD notFound, ProviderEntry& entry) {
  for (const char* path : {kCatalogueKey, kKeyStorageCatalogueKey}) {
    UniqueHkey catalogue;
    DWORD status = openCatalogue(catalogue, path);
    for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
      status = nameAt(catalogue.get(), index, entry.name);
      if (status != ERROR_SUCCESS) break;
      const auto typeRead = [&]() { return readType(catalogue.get(), entry.name, entry.type) == ERROR_SUCCESS; };
      if (wanted(entry.name, typeRead)) return ERROR_SUCCESS;
    }
    if (status != ERROR_NO_MORE_ITEMS) return status;
  }
  return notFound;
}

DWORD catalogueEntryAt(bool keyStorage, DWORD index, ProviderEntry& entry) {
  UniqueHkey catalogue;
  DWORD status = openCatalogue(catalogue, keyStorage ? kKeyStorageCatalogueKey : kCatalogueKey);
  if (status == ERROR_SUCCESS) status = nameAt(catalogue.get(), index, entry.name);
  if (status == ERROR_SUCCESS) status = readType(catalogue.get(), entry.name, entry.type);
  return status;
}

}  // namespace

DWORD providerAt(DWORD index, ProviderEntry& entry) { return catalogueEntryAt(false, index, entry); }

DWORD keyStorageProviderAt(DWORD index, ProviderEntry& entry) { return catalogueEntryAt(true, index, entry); }

DWORD findProvider(const char* name, ProviderEntry& entry) {
  return firstProvider(
      [name](const std::string& candidate, auto typeRead) {
        return ::strcasecmp(candidate.c_str(), name) == 0 && typeRead();
      },
      NTE_KEYSET_NOT_DEF, entry);
}

DWORD defaultProvider(DWORD type, ProviderEntry& entry) {
  return firstProvider([&entry, type](const std::string&, auto typeRead) { return typeRead() && entry.type == type; },
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
