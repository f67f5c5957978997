// The installed providers: the catalogue under
// SOFTWARE\Cryptography\Defaults\Provider of the machine hive, one key per
// provider name with its PROV_* number in the REG_DWORD value "Type".
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace platform {

struct ProviderEntry {
  std::string name;
  DWORD type = 0;
};

// The entry at `index`, in the order the registry enumerates the catalogue.
// ERROR_SUCCESS; ERROR_NO_MORE_ITEMS past the last entry;
// NTE_PROV_TYPE_ENTRY_BAD when the entry has no readable type; or the
// registry's error.
DWORD providerAt(DWORD index, ProviderEntry& entry);
// The same over the key storage catalogue (platform/key_storage.h).
DWORD keyStorageProviderAt(DWORD index, ProviderEntry& entry);

// findProvider and defaultProvider look in the legacy catalogue first, then
// in the key storage one.
// The entry whose name equals `name` with the registry's case rules:
// ERROR_SUCCESS, NTE_KEYSET_NOT_DEF when there is none, or the registry's error.
DWORD findProvider(const char* name, ProviderEntry& entry);

// The first entry of `type`: ERROR_SUCCESS, NTE_PROV_TYPE_NOT_DEF when no
// provider has that type, or the registry's error.
DWORD defaultProvider(DWORD type, ProviderEntry& entry);

// Providers of these types make RSA key pairs.
bool makesRsaKeys(DWORD providerType);
// Providers of these types make EC key pairs (the key storage provider).
bool makesEcKeys(DWORD providerType);

// Providers whose types share a family share one key container name space.
std::string containerFamily(DWORD providerType);

}  // namespace platform
