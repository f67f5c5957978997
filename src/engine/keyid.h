// Key identifiers: the text that names a public key's key record.
#pragma once

#include <string>

#include "platform/wincrypt.h"

namespace tarvenholm {

// The SHA-1 digest of the DER SubjectPublicKeyInfo of `info` as 40
// upper-case hexadecimal digits. On failure returns false and leaves
// `keyId` as it was.
bool publicKeyId(const CERT_PUBLIC_KEY_INFO* info, std::string& keyId);

}  // namespace tarvenholm
