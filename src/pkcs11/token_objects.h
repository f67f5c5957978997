// The token's objects, read from the user's certificate stores and key
// containers: each MY certificate bound to a key with its private and
// public key, and the CA and ROOT certificates.
#pragma once

// OpenSSL before the platform's headers, which define X509_NAME as a constant.
#include "platform/openssl_handles.h"
// (after OpenSSL)
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pkcs11/cryptoki.h"
#include "platform/ncrypt.h"

namespace tarvenholm::pkcs11 {

using Bytes = std::vector<unsigned char>;

// Where a private key lives, and a key handle that signs with it.
struct KeyLocation {
  std::string container;
  std::string provider;
  DWORD providerType = 0;
  DWORD keySpec = 0;
  bool passwordProtected = false;
  std::shared_ptr<UniqueNcryptKey> signer;
  CK_KEY_TYPE keyType = CKK_RSA;  // CKK_RSA or CKK_EC
  CK_ULONG signatureBytes = 0;    // the modulus, or r and s of ECDSA
};

struct TokenObject {
  // Stays the same across re-reads of the stores, so the object keeps its handle.
  std::string identity;
  CK_OBJECT_CLASS objectClass = 0;
  bool isPrivate = false;  // visible only after login
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
  std::shared_ptr<const KeyLocation> key;  // private keys only
};

// Attributes of a private key that are never revealed.
bool isSensitiveAttribute(CK_ATTRIBUTE_TYPE type);

// Reads the stores. A certificate that cannot be read is left out; false
// only when a store cannot be opened or read to its end.
bool readTokenObjects(std::vector<TokenObject>& objects);

// An NCrypt key handle for `location` with a fresh provider context; when
// `pin` is not null it is set as the key's PIN. Empty on failure.
std::shared_ptr<UniqueNcryptKey> openSigner(const KeyLocation& location, const std::string* pin);

}  // namespace tarvenholm::pkcs11
