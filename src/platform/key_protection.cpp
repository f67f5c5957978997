#include "platform/key_protection.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>

#include <initializer_list>
#include <iterator>

#include "platform/crypt_asn1.h"
#include "platform/lasterror.h"
#include "platform/public_key_info.h"

namespace platform {
namespace {

constexpr int kSaltLength = 16;

// The numbers of a two-prime RSA key, in RSAPrivateKey's order (the public
// key's two first), with the parameter names OpenSSL gives them.
constexpr const char* kRsaNumbers[] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

// Copies the key's first numbers of kRsaNumbers into `fields`, one each;
// false when one of them cannot be read.
bool copyRsaNumbers(EVP_PKEY* key, std::initializer_list<BIGNUM*> fields) {
  if (fields.size() > std::size(kRsaNumbers)) return false;
  const char* const* name = kRsaNumbers;
  for (BIGNUM* field : fields) {
    BIGNUM* read = nullptr;
    const bool got = EVP_PKEY_get_bn_param(key, *name++, &read) == 1;
    const UniqueSecretBignum value(read);
    if (!got || BN_copy(field, value.get()) == nullptr) return false;
  }
  return true;
}

// The PrivateKeyInfo of a two-prime RSA key, written from its numbers; null
// for any other key. The bytes are EVP_PKEY2PKCS8's, which gets there
// through OpenSSL's encoder machinery and a new context on every call.
UniquePkcs8 rsaPkcs8(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return nullptr;
  BIGNUM* third = nullptr;
  const bool morePrimes = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR3, &third) == 1;
  const UniqueSecretBignum ownedThird(third);
  if (morePrimes) return nullptr;
  const UniqueRsaPrivateKeyAsn numbers(RsaPrivateKeyAsn_new());
  if (!numbers || !copyRsaNumbers(key, {numbers->modulus, numbers->publicExponent, numbers->privateExponent,
                                        numbers->prime1, numbers->prime2, numbers->exponent1, numbers->exponent2,
                                        numbers->coefficient}))
    return nullptr;
  unsigned char* der = nullptr;
  const int length = i2d_RsaPrivateKeyAsn(numbers.get(), &der);
  if (length <= 0) return nullptr;
  UniquePkcs8 info(PKCS8_PRIV_KEY_INFO_new());
  // On success the info owns the encoding; the info wipes it when freed.
  if (!info || PKCS8_pkey_set0(info.get(), OBJ_nid2obj(NID_rsaEncryption), 0, V_ASN1_NULL, nullptr, der, length) != 1) {
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    return nullptr;
  }
  return info;
}

UniquePkcs8 pkcs8Of(EVP_PKEY* key) {
  UniquePkcs8 info = rsaPkcs8(key);
  ERR_clear_error();
  return info ? std::move(info) : UniquePkcs8(EVP_PKEY2PKCS8(key));
}

DWORD keyFromPkcs8(const PKCS8_PRIV_KEY_INFO* info, UniquePkey& key) {
  key.reset(info != nullptr ? EVP_PKCS82PKEY(info) : nullptr);
  return key ? ERROR_SUCCESS : NTE_KEYSET_ENTRY_BAD;
}

// An RSA key's SubjectPublicKeyInfo, written from its two numbers. The
// bytes are i2d_PUBKEY's, which gets there through OpenSSL's encoder
// machinery: it sets up a new context on every call and cost a request
// more than all its other encoding together.
bool rsaSubjectPublicKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der) {
  const UniqueRsaPublicKeyAsn numbers(RsaPublicKeyAsn_new());
  std::vector<BYTE> rsaKey;
  if (!numbers || !copyRsaNumbers(key, {numbers->modulus, numbers->publicExponent}) ||
      !derOf<RsaPublicKeyAsn, i2d_RsaPublicKeyAsn>(numbers.get(), rsaKey))
    return false;
  char rsa[] = szOID_RSA_RSA;
  BYTE noParameters[] = {V_ASN1_NULL, 0x00};
  const CERT_PUBLIC_KEY_INFO info = {{rsa, {sizeof noParameters, noParameters}},
                                     {static_cast<DWORD>(rsaKey.size()), rsaKey.data(), 0}};
  return encodePublicKeyInfo(info, der);
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

bool subjectPublicKeyInfo(EVP_PKEY* key, std::vector<BYTE>& der) {
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) return rsaSubjectPublicKeyInfo(key, der);
  return derOf<EVP_PKEY, i2d_PUBKEY>(key, der);
}

}  // namespace platform
