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

// The catalogue key, opened for reading; ERROR_NO_MORE_ITEMS when there is
// no catalogue at all.
DWORD openCatalogue(UniqueHkey& catalogue) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCatalogueKey, 0, KEY_READ, &opened);
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
// `wanted` asks for it); `notFound` when there is none. Entries whose type
// cannot be read are passed over.
template <class Wanted>
DWORD firstProvider(Wanted wanted, DWORD notFound, ProviderEntry& entry) {
  UniqueHkey catalogue;
  DWORD status = openCatalogue(catalogue);
  for (DWORD index = 0; status == ERROR_SUCCESS; ++index) {
    status = nameAt(catalogue.get(), index, entry.name);
    if (status != ERROR_SUCCESS) break;
    const auto typeRead = [&]() { return readType(catalogue.get(), entry.name, entry.type) == ERROR_SUCCESS; };
    if (wanted(entry.name, typeRead)) return ERROR_SUCCESS;
  }
  return status == ERROR_NO_MORE_ITEMS ? notFound : status;
}

}  // namespace

DWORD providerAt(DWORD index, ProviderEntry& entry) {
  UniqueHkey catalogue;
  DWORD status = openCatalogue(catalogue);
  if (status == ERROR_SUCCESS) status = nameAt(catalogue.get(), index, entry.name);
  if (status == ERROR_SUCCESS) status = readType(catalogue.get(), entry.name, entry.type);
  return status;
}

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

std::string containerFamily(DWORD providerType) {
  const ProviderFamily* family = familyOf(providerType);
  return family != nullptr ? family->family : "Type" + std::to_string(providerType);
}

}  // namespace platform
