#include "engine/keyid.h"

#include <cstring>

namespace tarvenholm {

bool publicKeyId(const CERT_PUBLIC_KEY_INFO* info, std::string& keyId) {
  BYTE digest[32] = {};
  DWORD digestLength = sizeof digest;
  if (!CryptHashPublicKeyInfo(0, CALG_SHA1, 0, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                              const_cast<CERT_PUBLIC_KEY_INFO*>(info), digest, &digestLength))
    return false;

  constexpr char kHexDigits[] = "0123456789ABCDEF";
  char text[64] = {};
  for (DWORD index = 0; index < digestLength && 2 * index + 1 < sizeof text; ++index) {
    text[2 * index] = kHexDigits[digest[index] >> 4];
    text[2 * index + 1] = kHexDigits[digest[index] & 0x0F];
  }
  // A 32-byte digest would fill the whole buffer: the text ends at its size.
  keyId.assign(text, ::strnlen(text, sizeof text));
  return true;
}

}  // namespace tarvenholm
