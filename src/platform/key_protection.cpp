#include "platform/key_protection.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>

#include "platform/lasterror.h"

namespace platform {
namespace {

constexpr int kSaltLength = 16;

UniquePkcs8 pkcs8Of(EVP_PKEY* key) { return UniquePkcs8(EVP_PKEY2PKCS8(key)); }

DWORD keyFromPkcs8(const PKCS8_PRIV_KEY_INFO* info, UniquePkey& key) {
  key.reset(info != nullptr ? EVP_PKCS82PKEY(info) : nullptr);
  return key ? ERROR_SUCCESS : NTE_KEYSET_ENTRY_BAD;
}

}  // namespace

bool privateKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der) {
  UniquePkcs8 info = pkcs8Of(key);
  return info && derOf<PKCS8_PRIV_KEY_INFO, i2d_PKCS8_PRIV_KEY_INFO>(info.get(), der);
}

bool encryptedPrivateKeyInfo(EVP_PKEY* key, const std::string& password, std::vector<BYTE>& der) {
  UniquePkcs8 info = pkcs8Of(key);
  if (!info) return false;
  // PBES2 (nid -1) with the cipher given; PBKDF2's PRF is HMAC-SHA-256.
  UniqueX509Sig encrypted(PKCS8_encrypt_ex(-1, EVP_aes_256_cbc(), password.data(), static_cast<int>(password.size()),
                                           nullptr, kSaltLength, kPasswordIterations, info.get(), nullptr, nullptr));
  return encrypted && derOf<X509_SIG, i2d_X509_SIG>(encrypted.get(), der);
}

DWORD keyFromPrivateKeyInfo(const std::vector<BYTE>& der, UniquePkey& key) {
  const unsigned char* cursor = der.data();
  UniquePkcs8 info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(der.size())));
  return keyFromPkcs8(info.get(), key);
}

DWORD keyFromEncryptedPrivateKeyInfo(const std::vector<BYTE>& der, const std::string& password,
                                     const std::vector<BYTE>& publicKeyInfo, UniquePkey& key) {
  const unsigned char* cursor = der.data();
  UniqueX509Sig encrypted(d2i_X509_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!encrypted) return NTE_KEYSET_ENTRY_BAD;
  UniquePkcs8 info(PKCS8_decrypt_ex(encrypted.get(), password.data(), static_cast<int>(password.size()), nullptr,
                                    nullptr));
  // A wrong password fails the padding check, or now and then decrypts to
  // bytes that are no key or another key: all of them are a wrong password.
  if (!info || keyFromPkcs8(info.get(), key) != ERROR_SUCCESS) {
    ERR_clear_error();
    key.reset();
    return ERROR_INVALID_PASSWORD;
  }
  std::vector<BYTE> opened;
  if (!subjectPublicKeyInfo(key.get(), opened) || opened != publicKeyInfo) {
    key.reset();
    return ERROR_INVALID_PASSWORD;
  }
  return ERROR_SUCCESS;
}

bool subjectPublicKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der) { return derOf<EVP_PKEY, i2d_PUBKEY>(key, der); }

}  // namespace platform
