// The installed cryptographic service providers: the list offered to the
// host and the provider type of a provider name. Providers of the two DSS
// types (3 and 13) are never offered and never accepted.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace tarvenholm {

// The type of the first admitted provider named exactly `name` (same bytes,
// same length), else of the key storage provider of that name, so that keys
// made there can be bound to their certificates; 0 when there is none.
DWORD getProvType(const char* name);
// The type of the key storage provider named exactly `name`; 0 when none is.
DWORD keyStorageProviderType(const char* name);

// The names of the admitted providers in the platform's order, each
// followed by "|"; empty when there is none.
std::string providerListText();

}  // namespace tarvenholm
