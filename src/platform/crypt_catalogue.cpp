#include "platform/crypt_catalogue.h"

#include <strings.h>

#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/wincrypt.h"

namespace platform {
namespace {

constexpr const char* kCatalogueKey = "SOFTWARE\\Cryptography\\Defaults\\Provider";
// Registry key names are at most 255 characters.
constexpr DWORD kMaxKeyName = 256;

struct ProviderFamily {
  DWORD type;
  const char* family;
  bool rsa;
};

constexpr ProviderFamily providerFamilies[] = {
    {PROV_RSA_FULL, "RSA", true},     {PROV_RSA_SIG, "RSA", true},   {PROV_RSA_SCHANNEL, "RSA", true},
    {PROV_RSA_AES, "RSA", true},      {PROV_DSS, "DSS", false},      {PROV_DSS_DH, "DSS", false},
    {PROV_DH_SCHANNEL, "DH", false},
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

// Walks the catalogue until `wanted` accepts an entry.
template <class Predicate>
DWORD firstProvider(Predicate wanted, DWORD notFound, ProviderEntry& entry) {
  for (DWORD index = 0;; ++index) {
    const DWORD status = providerAt(index, entry);
    if (status == ERROR_NO_MORE_ITEMS) return notFound;
    if (status == NTE_PROV_TYPE_ENTRY_BAD) continue;
    if (status != ERROR_SUCCESS) return status;
    if (wanted(entry)) return ERROR_SUCCESS;
  }
}

}  // namespace

DWORD providerAt(DWORD index, ProviderEntry& entry) {
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCatalogueKey, 0, KEY_READ, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  UniqueHkey catalogue(opened);

  char name[kMaxKeyName] = {};
  DWORD nameSize = kMaxKeyName;
  status = RegEnumKeyExA(catalogue.get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  entry.name.assign(name, nameSize);
  return readType(catalogue.get(), entry.name, entry.type);
}

DWORD findProvider(const char* name, ProviderEntry& entry) {
  return firstProvider([name](const ProviderEntry& candidate) { return ::strcasecmp(candidate.name.c_str(), name) == 0; },
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

std::string containerFamily(DWORD providerType) {
  const ProviderFamily* family = familyOf(providerType);
  return family != nullptr ? family->family : "Type" + std::to_string(providerType);
}

}  // namespace platform
