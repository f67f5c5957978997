// CERT_PUBLIC_KEY_INFO <-> DER SubjectPublicKeyInfo.
//
// Convention of this platform: Algorithm.Parameters holds the parameters'
// complete DER (05 00 for NULL), cbData 0 meaning they are absent; PublicKey
// holds the BIT STRING's content bytes (without the unused-bits byte) and
// cUnusedBits. Decoding a SubjectPublicKeyInfo this way and encoding it again
// gives the same bytes.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/crypt_asn1.h"
#include "platform/wincrypt.h"

namespace platform {

// Makes `algorithm` the given identifier, parameters taken by the same
// convention. On failure the last error says why.
bool setAlgorithm(X509_ALGOR* algorithm, const CRYPT_ALGORITHM_IDENTIFIER& given);

// `info` as OpenSSL's ASN.1 object; null with the last error set on failure.
UniquePublicKeyInfoAsn publicKeyInfoAsn(const CERT_PUBLIC_KEY_INFO& info);

// The DER of `info`. On failure the last error says why.
bool encodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, std::vector<BYTE>& der);

// Lays the decoded form of a DER SubjectPublicKeyInfo out in the caller's
// buffer under the two-call convention: the structure first, then the
// object identifier text, parameters and key bytes that it points to.
BOOL decodePublicKeyInfo(const BYTE* der, std::size_t derLength, CERT_PUBLIC_KEY_INFO* info, DWORD* length);

}  // namespace platform
