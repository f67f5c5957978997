// Signing operations: the mechanisms, their parameters, and the signature
// made by the key's provider.
#pragma once

#include <memory>
#include <vector>

#include "platform/openssl_handles.h"
// (OpenSSL first)
#include "pkcs11/token_objects.h"

namespace tarvenholm::pkcs11 {

// Every mechanism the token signs with, for C_GetMechanismList.
const std::vector<CK_MECHANISM_TYPE>& signingMechanisms();

// The mechanisms of keys of one type, for CKA_ALLOWED_MECHANISMS.
std::vector<CK_MECHANISM_TYPE> signingMechanisms(CK_KEY_TYPE keyType);

// The key sizes and flags of a mechanism; false for one the token lacks.
bool mechanismInfo(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info);

// Whether `signer` signs with the key at `location`: a protected key's
// handle signs only when it carries the key's password.
bool signerOpens(std::shared_ptr<UniqueNcryptKey> signer, const KeyLocation& location);

class SignOperation {
 public:
  // CKR_OK, CKR_MECHANISM_INVALID, CKR_KEY_TYPE_INCONSISTENT (a mechanism
  // of another key type) or CKR_MECHANISM_PARAM_INVALID.
  CK_RV start(const CK_MECHANISM& mechanism, std::shared_ptr<UniqueNcryptKey> signer, const KeyLocation& key);

  // Multi-part input. CKR_OK or CKR_FUNCTION_FAILED.
  CK_RV update(const unsigned char* data, CK_ULONG length);

  // The signature of what `update` took (`data` is appended first), with
  // the length-query protocol: `done` is false while the operation goes on
  // (a length query, or a buffer too small).
  CK_RV finish(const unsigned char* data, CK_ULONG length, unsigned char* signature, CK_ULONG* signatureLength,
               bool& done);

 private:
  CK_RV signValue(const Bytes& value, unsigned char* signature, CK_ULONG* signatureLength);

  const EVP_MD* hash_ = nullptr;  // the hash the mechanism computes itself, if any
  const char16_t* hashName_ = nullptr;
  CK_ULONG saltLength_ = 0;
  bool pss_ = false;
  std::shared_ptr<UniqueNcryptKey> signer_;
  CK_KEY_TYPE keyType_ = CKK_RSA;
  CK_ULONG signatureBytes_ = 0;
  platform::UniqueMdCtx running_;
  Bytes collected_;  // the input of a mechanism that hashes nothing
};

}  // namespace tarvenholm::pkcs11
