// Request generation: a new key pair in a new key container of the chosen
// provider, and a PKCS#10 certification request for it, signed inside the
// provider and handed back as one line of base64 text. The key record that
// ties the request's public key to its container is written on the way, so
// the certificate issued for the request can later be bound to its key.
#pragma once

#include <array>
#include <cstdint>

#include "platform/bstr.h"

namespace tarvenholm {

// The key sizes (bits) a request may ask for; every other size is refused.
inline constexpr std::array<std::int32_t, 7> kAcceptedKeySizes = {512, 768, 1024, 1280, 1536, 1792, 2048};

// Generates a key pair of the key size setting in a new container of the
// provider named by the provider name setting, and a request whose subject
// is `names` (checked and parsed by the names parser). Returns kSuccess or a
// failure code; every failure has been shown to the user before it returns.
//
// `request` is an out-parameter: what it held before is neither read nor
// freed here (that stays the caller's). Unless the call fails its first
// checks (key size, names, provider: the slot is left untouched), the slot
// receives a new BSTR that the caller owns and frees with SysFreeString:
// the request text on success, the empty string after a failure (null
// only when even that allocation fails). A failure to release a handle
// replaces the result code (kDestroyKeyFailed, kReleaseProviderFailed) but
// not what the slot receives.
//
// The container is never deleted, whatever the outcome. A request is only
// handed back when its key record is in place, since without the record
// its certificate could never be bound to the key.
int buildRequest(const char* names, BSTR* request);

}  // namespace tarvenholm
