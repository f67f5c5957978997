// Modern certification requests: RSA 2048/3072/4096 or ECDSA P-256/P-384
// keys in the key storage provider (platform/key_storage.h), SHA-2
// signatures (RSASSA-PSS on request), subjects in RFC 4514 or "OID=value"
// form, and only the extensions asked for; or a new request over the key of
// an existing container (renewal). genReq's path (request.h) is untouched.
//
// Every option is checked, and the subject encoded, before any container
// or key is made, so a refused request leaves nothing behind. The key
// record of the request's public key is written (or, on renewal, written
// again with the same container) before the request is handed back.
#pragma once

#include <string>
#include <vector>

#include "platform/wincrypt.h"

namespace tarvenholm {

struct ModernRequestOptions {
  std::string key = "rsa:3072";  // rsa:2048, rsa:3072, rsa:4096, ec:p256, ec:p384
  std::string hash = "sha256";   // sha256, sha384, sha512 (RSA only)
  bool pss = false;              // RSASSA-PSS, RSA only
  bool singleRdn = false;        // every subject attribute in one multi-valued RDN
  std::vector<std::string> altNames;  // "email:..", "dns:..", "uri:..", "ip:.." (IPv4 or IPv6)
  // Comma-separated: digitalSignature, nonRepudiation, keyEncipherment,
  // dataEncipherment, keyAgreement, keyCertSign, cRLSign, encipherOnly, decipherOnly.
  std::string keyUsage;
  // Comma-separated: serverAuth, clientAuth, codeSigning, emailProtection, or dotted identifiers.
  std::string extendedKeyUsage;
  std::string challengePassword;
  std::string renewContainer;  // empty: a new container and key pair
};

enum class ModernRequestStatus {
  Made,     // `der` holds the request
  Refused,  // the input is at fault (`problem` says how); nothing was created
  Failed,   // a platform step failed (`problem` says which, with the system's text)
};

struct ModernRequestResult {
  ModernRequestStatus status = ModernRequestStatus::Failed;
  std::string problem;
  std::vector<BYTE> der;   // DER CertificationRequest
  std::string container;   // the key's container
  std::string provider;    // and its provider
};

// The smallest RSA key this path makes or renews over.
inline constexpr DWORD kModernMinRsaBits = 2048;

ModernRequestResult buildModernRequest(const std::string& subject, const ModernRequestOptions& options);

}  // namespace tarvenholm
