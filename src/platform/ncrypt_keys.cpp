// Key handles over legacy provider contexts: NCryptTranslateHandle,
// NCryptGetProperty, NCryptSetProperty, NCryptSignHash, NCryptFreeObject.
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string_view>

#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/key_protection.h"
#include "platform/lasterror.h"
#include "platform/ncrypt.h"
#include "platform/oletext.h"

using namespace platform;

namespace {

struct KeyObject {
  std::shared_ptr<ProviderContext> context;
  DWORD keySpec = 0;
  std::mutex mutex;  // guards what follows
  bool hasPin = false;
  PasswordText pin;
  UniquePkey opened;  // the private key once the PIN opened it
};

HandleTable<KeyObject>& keyObjects() {
  static HandleTable<KeyObject> table;
  return table;
}

constexpr struct {
  std::u16string_view name;
  const EVP_MD* (*digest)();
} kHashNames[] = {
    {BCRYPT_SHA1_ALGORITHM, EVP_sha1},
    {BCRYPT_SHA256_ALGORITHM, EVP_sha256},
    {BCRYPT_SHA384_ALGORITHM, EVP_sha384},
    {BCRYPT_SHA512_ALGORITHM, EVP_sha512},
};

// The digest a padding names; null for an unknown name.
const EVP_MD* digestNamed(LPCWSTR name) {
  for (const auto& entry : kHashNames)
    if (entry.name == name) return entry.digest();
  return nullptr;
}

// The private key to sign with: opened with the PIN, else as the context
// opens it (asking the user unless silent).
SECURITY_STATUS privateKeyOf(KeyObject& object, bool silent, UniquePkey& key) {
  std::unique_lock<std::mutex> lock(object.mutex);
  if (object.opened) {
    EVP_PKEY_up_ref(object.opened.get());
    key.reset(object.opened.get());
    return ERROR_SUCCESS;
  }
  if (object.hasPin) {
    const DWORD status = contextPrivateKeyWithPassword(*object.context, object.keySpec, object.pin.text(), key);
    if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
    EVP_PKEY_up_ref(key.get());
    object.opened.reset(key.get());
    return ERROR_SUCCESS;
  }
  lock.unlock();
  if (silent) {
    bool isProtected = false;
    const DWORD status = contextKeyProtected(*object.context, object.keySpec, isProtected);
    if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
    if (isProtected) return static_cast<SECURITY_STATUS>(NTE_SILENT_CONTEXT);
  }
  return static_cast<SECURITY_STATUS>(contextPrivateKey(*object.context, object.keySpec, key));
}

// Sets the padding of an RSA signing operation; false for padding this
// platform does not know.
bool setPadding(EVP_PKEY_CTX* signing, const void* paddingInfo, DWORD flags, SECURITY_STATUS& refusal) {
  refusal = static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  if (paddingInfo == nullptr) return false;
  if ((flags & BCRYPT_PAD_PKCS1) != 0) {
    const auto* pkcs1 = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(paddingInfo);
    if (EVP_PKEY_CTX_set_rsa_padding(signing, RSA_PKCS1_PADDING) != 1) return false;
    if (pkcs1->pszAlgId == nullptr) return true;
    const EVP_MD* digest = digestNamed(pkcs1->pszAlgId);
    refusal = static_cast<SECURITY_STATUS>(NTE_NOT_SUPPORTED);
    return digest != nullptr && EVP_PKEY_CTX_set_signature_md(signing, digest) == 1;
  }
  if ((flags & BCRYPT_PAD_PSS) != 0) {
    const auto* pss = static_cast<const BCRYPT_PSS_PADDING_INFO*>(paddingInfo);
    const EVP_MD* digest = digestNamed(pss->pszAlgId);
    refusal = static_cast<SECURITY_STATUS>(NTE_NOT_SUPPORTED);
    return digest != nullptr && EVP_PKEY_CTX_set_rsa_padding(signing, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_signature_md(signing, digest) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(signing, digest) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(signing, static_cast<int>(pss->cbSalt)) == 1;
  }
  return false;
}

bool isEcKey(const std::vector<BYTE>& publicKeyInfo) {
  const unsigned char* cursor = publicKeyInfo.data();
  const UniquePkey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKeyInfo.size())));
  ERR_clear_error();
  return key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_EC;
}

// An ECDSA signature as r and s side by side, each `half` bytes, from the
// DER ECDSA-Sig-Value OpenSSL makes.
bool rawEcdsaSignature(EVP_PKEY_CTX* signing, const BYTE* hashValue, DWORD hashValueLength, BYTE* signature,
                       std::size_t half) {
  std::size_t length = 0;
  if (EVP_PKEY_sign(signing, nullptr, &length, hashValue, hashValueLength) != 1) return false;
  std::vector<unsigned char> der(length);
  if (EVP_PKEY_sign(signing, der.data(), &length, hashValue, hashValueLength) != 1) return false;
  const unsigned char* cursor = der.data();
  const UniqueEcdsaSig decoded(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  if (!decoded) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(decoded.get(), &r, &s);
  const int width = static_cast<int>(half);
  return BN_bn2binpad(r, signature, width) == width && BN_bn2binpad(s, signature + half, width) == width;
}

}  // namespace

SECURITY_STATUS NCryptTranslateHandle(NCRYPT_PROV_HANDLE* provider, NCRYPT_KEY_HANDLE* key, HCRYPTPROV legacyProv,
                                      HCRYPTKEY legacyKey, DWORD legacyKeySpec, DWORD flags) {
  if (FAULT("NCryptTranslateHandle", NTE_FAIL)) return static_cast<SECURITY_STATUS>(GetLastError());
  if (key == nullptr || provider != nullptr || legacyKey != 0 || flags != 0 || !isKeySpec(legacyKeySpec))
    return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  std::shared_ptr<ProviderContext> context = providerContexts().find(legacyProv);
  if (!context) return static_cast<SECURITY_STATUS>(NTE_INVALID_HANDLE);
  std::vector<BYTE> publicKeyInfo;
  const DWORD status = contextPublicKey(*context, legacyKeySpec, publicKeyInfo);
  if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
  auto object = std::make_shared<KeyObject>();
  object->context = std::move(context);
  object->keySpec = legacyKeySpec;
  *key = keyObjects().add(std::move(object));
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptGetProperty(NCRYPT_HANDLE handle, LPCWSTR property, PBYTE output, DWORD outputLength,
                                  DWORD* resultLength, DWORD flags) {
  if (FAULT("NCryptGetProperty", NTE_FAIL)) return static_cast<SECURITY_STATUS>(GetLastError());
  std::shared_ptr<KeyObject> object = keyObjects().find(handle);
  if (!object) return static_cast<SECURITY_STATUS>(NTE_INVALID_HANDLE);
  if (property == nullptr || resultLength == nullptr || (flags & ~NCRYPT_SILENT_FLAG) != 0)
    return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  const std::u16string_view name(property);
  std::vector<BYTE> value;
  if (name == NCRYPT_UI_POLICY_PROPERTY) {
    bool isProtected = false;
    const DWORD status = contextKeyProtected(*object->context, object->keySpec, isProtected);
    if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
    NCRYPT_UI_POLICY policy{1, isProtected ? NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG : 0u, nullptr, nullptr, nullptr};
    value.resize(sizeof policy);
    std::memcpy(value.data(), &policy, sizeof policy);
  } else if (name == NCRYPT_LENGTH_PROPERTY) {
    std::vector<BYTE> publicKeyInfo;
    DWORD bits = 0;
    const DWORD status = contextPublicKey(*object->context, object->keySpec, publicKeyInfo, &bits);
    if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
    value.resize(sizeof bits);
    std::memcpy(value.data(), &bits, sizeof bits);
  } else {
    return static_cast<SECURITY_STATUS>(NTE_NOT_SUPPORTED);
  }
  *resultLength = static_cast<DWORD>(value.size());
  if (output == nullptr) return ERROR_SUCCESS;
  if (outputLength < value.size()) return static_cast<SECURITY_STATUS>(NTE_BUFFER_TOO_SMALL);
  std::memcpy(output, value.data(), value.size());
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE handle, LPCWSTR property, PBYTE input, DWORD inputLength,
                                  DWORD flags) {
  if (FAULT("NCryptSetProperty", NTE_FAIL)) return static_cast<SECURITY_STATUS>(GetLastError());
  std::shared_ptr<KeyObject> object = keyObjects().find(handle);
  if (!object) return static_cast<SECURITY_STATUS>(NTE_INVALID_HANDLE);
  if (property == nullptr || (input == nullptr && inputLength != 0) || (flags & ~NCRYPT_SILENT_FLAG) != 0)
    return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  if (std::u16string_view(property) != NCRYPT_PIN_PROPERTY) return static_cast<SECURITY_STATUS>(NTE_NOT_SUPPORTED);
  // A NUL-terminated UTF-16 text, its terminator within the given length.
  std::u16string pin(inputLength / sizeof(char16_t), u'\0');
  if (!pin.empty()) std::memcpy(pin.data(), input, pin.size() * sizeof(char16_t));
  const std::size_t end = pin.find(u'\0');
  if (end == std::u16string::npos) return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  pin.resize(end);
  std::lock_guard<std::mutex> lock(object->mutex);
  object->pin.text() = wideToUtf8(pin);
  object->hasPin = true;
  object->opened.reset();
  std::fill(pin.begin(), pin.end(), u'\0');
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptSignHash(NCRYPT_KEY_HANDLE handle, void* paddingInfo, PBYTE hashValue, DWORD hashValueLength,
                               PBYTE signature, DWORD signatureLength, DWORD* resultLength, DWORD flags) {
  if (FAULT("NCryptSignHash", NTE_FAIL)) return static_cast<SECURITY_STATUS>(GetLastError());
  std::shared_ptr<KeyObject> object = keyObjects().find(handle);
  if (!object) return static_cast<SECURITY_STATUS>(NTE_INVALID_HANDLE);
  if (resultLength == nullptr || (hashValue == nullptr && hashValueLength != 0) ||
      (flags & ~(NCRYPT_SILENT_FLAG | BCRYPT_PAD_PKCS1 | BCRYPT_PAD_PSS)) != 0)
    return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);

  // The size needs only the public key, so asking for it never prompts.
  std::vector<BYTE> publicKeyInfo;
  DWORD bits = 0;
  DWORD status = contextPublicKey(*object->context, object->keySpec, publicKeyInfo, &bits);
  if (status != ERROR_SUCCESS) return static_cast<SECURITY_STATUS>(status);
  const bool ec = isEcKey(publicKeyInfo);
  // ECDSA takes no padding and gives r and s, each as long as the curve's order.
  if (ec && (flags & (BCRYPT_PAD_PKCS1 | BCRYPT_PAD_PSS)) != 0) return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  const DWORD size = (ec ? 2 : 1) * ((bits + 7) / 8);
  *resultLength = size;
  if (signature == nullptr) return ERROR_SUCCESS;
  if (signatureLength < size) return static_cast<SECURITY_STATUS>(NTE_BUFFER_TOO_SMALL);

  UniquePkey privateKey;
  const SECURITY_STATUS opened = privateKeyOf(*object, (flags & NCRYPT_SILENT_FLAG) != 0, privateKey);
  if (opened != ERROR_SUCCESS) return opened;
  UniquePkeyCtx signing(EVP_PKEY_CTX_new(privateKey.get(), nullptr));
  SECURITY_STATUS refusal = static_cast<SECURITY_STATUS>(NTE_FAIL);
  if (!signing || EVP_PKEY_sign_init(signing.get()) != 1 ||
      (!ec && !setPadding(signing.get(), paddingInfo, flags, refusal))) {
    ERR_clear_error();
    return refusal;
  }
  if (ec) {
    const bool made = rawEcdsaSignature(signing.get(), hashValue, hashValueLength, signature, size / 2);
    ERR_clear_error();
    if (!made) return static_cast<SECURITY_STATUS>(NTE_FAIL);
    *resultLength = size;
    return ERROR_SUCCESS;
  }
  std::size_t length = signatureLength;
  if (EVP_PKEY_sign(signing.get(), signature, &length, hashValue, hashValueLength) != 1) {
    ERR_clear_error();
    return static_cast<SECURITY_STATUS>(NTE_INVALID_PARAMETER);
  }
  *resultLength = static_cast<DWORD>(length);
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE handle) {
  return keyObjects().remove(handle) ? ERROR_SUCCESS : static_cast<SECURITY_STATUS>(NTE_INVALID_HANDLE);
}
