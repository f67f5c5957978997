// Private keys as PKCS#8: a PrivateKeyInfo, or under a password an
// EncryptedPrivateKeyInfo (PBES2: PBKDF2 with HMAC-SHA-256 and a random
// 16-byte salt, AES-256-CBC).
#pragma once

#include <openssl/crypto.h>

#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/wintypes.h"

namespace platform {

// Wipes a password when it goes out of scope.
class PasswordText {
 public:
  PasswordText() = default;
  ~PasswordText() { OPENSSL_cleanse(text_.data(), text_.size()); }
  PasswordText(const PasswordText&) = delete;
  PasswordText& operator=(const PasswordText&) = delete;
  std::string& text() { return text_; }

 private:
  std::string text_;
};

// PBKDF2 rounds for a key's password: slow enough to make guessing costly.
inline constexpr int kPasswordIterations = 600000;

// DER PrivateKeyInfo of `key`.
bool privateKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der);
// DER EncryptedPrivateKeyInfo of `key` under `password`.
bool encryptedPrivateKeyInfo(EVP_PKEY* key, const std::string& password, std::vector<BYTE>& der);

// The key of a PrivateKeyInfo; NTE_KEYSET_ENTRY_BAD when it does not decode.
DWORD keyFromPrivateKeyInfo(const std::vector<BYTE>& der, UniquePkey& key);
// The key of an EncryptedPrivateKeyInfo; ERROR_INVALID_PASSWORD when the
// password does not open it, or opens it to a key other than `publicKeyInfo`'s.
DWORD keyFromEncryptedPrivateKeyInfo(const std::vector<BYTE>& der, const std::string& password,
                                     const std::vector<BYTE>& publicKeyInfo, UniquePkey& key);

// DER SubjectPublicKeyInfo of `key`.
bool subjectPublicKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der);

}  // namespace platform
