// PKCS#10 certification requests of the modern kind, encoded with
// OpenSSL's X509_REQ and signed inside the key's provider:
// sha256/384/512WithRSAEncryption, RSASSA-PSS (MGF1 with the same hash,
// salt as long as the digest), ecdsa-with-SHA256/384. SHA-1 is not offered.
//
//   std::vector<BYTE> der;
//   if (!CryptSignCertificateRequest(prov, AT_KEYEXCHANGE, spec, der)) ... GetLastError()
//
// The request carries exactly what `spec` asks for: the subject, the public key of the context's
// key pair, an extensionRequest attribute only when an extension is asked
// for, a challengePassword attribute only when one is given.
#pragma once

#include <string>
#include <vector>

#include "platform/wincrypt.h"

#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e

namespace platform {

enum class AltNameKind { Email, Dns, Uri, Ip };
struct RequestAltName {
  AltNameKind kind = AltNameKind::Dns;
  std::string value;  // text; for Ip the 4 or 16 address bytes
};

// KeyUsage bits by their number in the BIT STRING: 1u << n for bit n
// (digitalSignature 0, nonRepudiation 1, keyEncipherment 2, dataEncipherment 3,
// keyAgreement 4, keyCertSign 5, cRLSign 6, encipherOnly 7, decipherOnly 8).
inline constexpr DWORD kKeyUsageBitCount = 9;

struct CertificateRequestSpec {
  std::vector<BYTE> subject;        // DER Name, as CryptEncodeObject with X509_NAME makes it
  ALG_ID hash = CALG_SHA_256;       // CALG_SHA_256, CALG_SHA_384 or CALG_SHA_512 (RSA only)
  bool pss = false;                 // RSA keys only
  std::vector<RequestAltName> altNames;
  DWORD keyUsage = 0;  // none: no keyUsage extension (marked critical when present)
  std::vector<std::string> extendedKeyUsage;  // dotted identifiers; none: no extension
  std::string challengePassword;              // UTF-8; empty: no attribute
};

}  // namespace platform

// The signed request, DER, for the key pair `keySpec` of the context's
// container. Fails with NTE_BAD_ALGID for a hash or padding the key cannot
// sign with, NTE_BAD_DATA for a subject that is not a DER Name, an identifier
// that is not dotted or an IP address of another length, and
// what opening the private key fails with (a password prompt may be shown).
BOOL CryptSignCertificateRequest(HCRYPTPROV prov, DWORD keySpec, const platform::CertificateRequestSpec& spec,
                                 std::vector<BYTE>& der);
