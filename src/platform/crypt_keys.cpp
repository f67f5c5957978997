// Key pairs of a key container: CryptGenKey, CryptGetUserKey,
// CryptDestroyKey, CryptGetKeyParam, CryptExportPKCS8.
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>

#include "platform/application.h"
#include "platform/crypt_catalogue.h"
#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/key_container.h"
#include "platform/key_protection.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"
#include "platform/sized_output.h"
#include "platform/wincrypt.h"

using namespace platform;

namespace {

constexpr DWORD kDefaultKeyBits = 1024;
constexpr DWORD kMinKeyBits = 512;
constexpr DWORD kMaxKeyBits = 16384;
constexpr DWORD kKeyUsageFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;

struct KeyObject {
  std::shared_ptr<ProviderContext> context;
  DWORD keySpec;
};

HandleTable<KeyObject>& keyObjects() {
  static HandleTable<KeyObject> table;
  return table;
}

HCRYPTKEY newKeyHandle(std::shared_ptr<ProviderContext> context, DWORD keySpec) {
  return keyObjects().add(std::make_shared<KeyObject>(KeyObject{std::move(context), keySpec}));
}

UniquePkey generateEcKey(DWORD bits) {
  UniquePkey generated(EVP_EC_gen(bits == kP384Bits ? "P-384" : "P-256"));
  if (!generated) ERR_clear_error();
  return generated;
}

UniquePkey generateRsaKey(DWORD bits) {
  UniquePkeyCtx generation(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  EVP_PKEY* generated = nullptr;
  if (!generation || EVP_PKEY_keygen_init(generation.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(generation.get(), static_cast<int>(bits)) != 1 ||
      EVP_PKEY_keygen(generation.get(), &generated) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return UniquePkey(generated);
}

// EC keys come in the two curve sizes; the key storage provider makes no RSA
// key below 2048 bits.
bool acceptedSize(DWORD providerType, bool ec, DWORD bits) {
  if (ec) return bits == kP256Bits || bits == kP384Bits;
  const DWORD least = providerType == PROV_KEY_STORAGE ? kMinKeyStorageRsaBits : kMinKeyBits;
  return bits >= least && bits <= kMaxKeyBits && bits % 8 == 0;
}

// The key pair as it is stored: under the password the user gives for a
// user-protected key, else in clear (the user hive is the user's alone).
DWORD protectKey(const ProviderContext& context, EVP_PKEY* key, DWORD usage, ContainerKey& stored) {
  if (!subjectPublicKeyInfo(key, stored.publicKeyInfo)) return NTE_FAIL;
  PasswordText password;
  if ((usage & CRYPT_USER_PROTECTED) != 0 &&
      askPassword(PasswordPurpose::NewKey, context.container.c_str(), password.text()) && !password.text().empty()) {
    stored.passwordProtected = true;
    return encryptedPrivateKeyInfo(key, password.text(), stored.privateKey) ? ERROR_SUCCESS : NTE_FAIL;
  }
  return privateKeyInfo(key, stored.privateKey) ? ERROR_SUCCESS : NTE_FAIL;
}

// The dotted algorithm identifier of a DER SubjectPublicKeyInfo.
std::string publicKeyAlgorithm(const std::vector<BYTE>& publicKeyInfo) {
  const unsigned char* cursor = publicKeyInfo.data();
  const UniqueX509Pubkey decoded(d2i_X509_PUBKEY(nullptr, &cursor, static_cast<long>(publicKeyInfo.size())));
  ASN1_OBJECT* algorithm = nullptr;
  char text[80] = {};
  if (!decoded || X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, decoded.get()) != 1 ||
      OBJ_obj2txt(text, sizeof text, algorithm, 1) <= 0) {
    ERR_clear_error();
    return {};
  }
  return text;
}

}  // namespace

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key) {
  if (FAULT("CryptGenKey", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (key == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  const bool ec = algorithm == CALG_ECDSA;
  const DWORD keySpec = ec ? AT_SIGNATURE : keySpecOfAlgorithm(algorithm);
  if (keySpec == 0 || !(ec ? makesEcKeys(context->providerType) : makesRsaKeys(context->providerType)))
    return failWith(NTE_BAD_ALGID);
  if (context->container.empty()) return failWith(NTE_BAD_KEYSET);
  const DWORD usage = flags & 0xFFFF;
  DWORD bits = flags >> 16;
  if (bits == 0) bits = kDefaultKeyBits;
  if ((usage & ~kKeyUsageFlags) != 0 || !acceptedSize(context->providerType, ec, bits)) return failWith(NTE_BAD_FLAGS);
  if ((usage & CRYPT_USER_PROTECTED) != 0 && context->silent) return failWith(NTE_SILENT_CONTEXT);

  UniquePkey generated = ec ? generateEcKey(bits) : generateRsaKey(bits);
  if (!generated) return failWith(NTE_FAIL);
  ContainerKey stored;
  stored.flags = usage;
  stored.bits = bits;
  DWORD status = protectKey(*context, generated.get(), usage, stored);
  if (status == ERROR_SUCCESS) status = createPendingContainer(*context);
  if (status == ERROR_SUCCESS) status = writeContainerKey(context->providerType, context->container, keySpec, stored);
  if (status != ERROR_SUCCESS) return failWith(status);
  rememberStoredKey(*context, keySpec, generated.get(), stored);
  *key = newKeyHandle(std::move(context), keySpec);
  return TRUE;
}

BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key) {
  if (FAULT("CryptGetUserKey", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (key == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);
  std::vector<BYTE> publicKeyInfo;
  const DWORD status = contextPublicKey(*context, keySpec, publicKeyInfo);
  if (status != ERROR_SUCCESS) return failWith(status);
  *key = newKeyHandle(std::move(context), keySpec);
  return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
  if (FAULT("CryptDestroyKey", NTE_FAIL)) return FALSE;
  return keyObjects().remove(key) ? TRUE : failWith(NTE_BAD_KEY);
}

BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  if (FAULT("CryptGetKeyParam", NTE_FAIL)) return FALSE;
  std::shared_ptr<KeyObject> object = keyObjects().find(key);
  if (!object) return failWith(NTE_BAD_KEY);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  if (param != KP_KEYLEN) return failWith(NTE_BAD_TYPE);
  std::vector<BYTE> publicKeyInfo;
  DWORD bits = 0;
  const DWORD status = contextPublicKey(*object->context, object->keySpec, publicKeyInfo, &bits);
  if (status != ERROR_SUCCESS) return failWith(status);
  return copyToCaller(&bits, sizeof bits, data, length);
}

BOOL CryptExportPKCS8(HCRYPTPROV prov, DWORD keySpec, LPSTR privateKeyObjId, DWORD flags, void* auxInfo,
                      BYTE* privateKeyBlob, DWORD* privateKeyBlobLength) {
  if (FAULT("CryptExportPKCS8", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (auxInfo != nullptr || privateKeyBlobLength == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);
  std::vector<BYTE> publicKeyInfo;
  DWORD status = contextPublicKey(*context, keySpec, publicKeyInfo);
  if (status != ERROR_SUCCESS) return failWith(status);
  if (privateKeyObjId == nullptr || std::strcmp(privateKeyObjId, publicKeyAlgorithm(publicKeyInfo).c_str()) != 0)
    return failWith(NTE_BAD_ALGID);
  UniquePkey privateKey;
  status = contextPrivateKey(*context, keySpec, privateKey, CRYPT_EXPORTABLE);
  if (status != ERROR_SUCCESS) return failWith(status);
  std::vector<BYTE> der;
  if (!privateKeyInfo(privateKey.get(), der)) return failWith(NTE_FAIL);
  const BOOL result = copyToCaller(der, privateKeyBlob, privateKeyBlobLength);
  OPENSSL_cleanse(der.data(), der.size());
  return result;
}

BOOL CryptImportPKCS8(CRYPT_PKCS8_IMPORT_PARAMS params, DWORD flags, HCRYPTPROV* prov, void* auxInfo) {
  if (FAULT("CryptImportPKCS8", NTE_FAIL)) return FALSE;
  if (auxInfo != nullptr || params.pResolvehCryptProvFunc == nullptr || params.PrivateKey.pbData == nullptr)
    return failWith(ERROR_INVALID_PARAMETER);
  if (params.pDecryptPrivateKeyFunc != nullptr) return failWith(ERROR_NOT_SUPPORTED);
  if ((flags & ~kKeyUsageFlags) != 0) return failWith(NTE_BAD_FLAGS);
  UniquePkey imported;
  const std::vector<BYTE> der(params.PrivateKey.pbData, params.PrivateKey.pbData + params.PrivateKey.cbData);
  if (keyFromPrivateKeyInfo(der, imported) != ERROR_SUCCESS) return failWith(CRYPT_E_ASN1_BADTAG);
  const bool rsa = EVP_PKEY_get_base_id(imported.get()) == EVP_PKEY_RSA;

  char rsaObjectId[] = szOID_RSA_RSA;
  char otherObjectId[] = "";
  CRYPT_PRIVATE_KEY_INFO info{0, {rsa ? rsaObjectId : otherObjectId, {0, nullptr}}, params.PrivateKey, nullptr};
  HCRYPTPROV resolved = 0;
  if (!params.pResolvehCryptProvFunc(&info, &resolved, params.pVoidResolveFunc)) return FALSE;
  // Released on every way out unless the caller takes it.
  UniqueCryptProv owned(resolved);
  auto release = [&owned, prov](BOOL result) {
    if (result && prov != nullptr) {
      *prov = owned.release();
    } else {
      const DWORD error = GetLastError();
      owned.reset();
      SetLastError(error);
    }
    return result;
  };
  std::shared_ptr<ProviderContext> context = findContext(resolved);
  if (!context) return release(FALSE);
  if (!rsa || !makesRsaKeys(context->providerType)) return release(failWith(NTE_BAD_ALGID));
  if (context->container.empty()) return release(failWith(NTE_BAD_KEYSET));
  if ((flags & CRYPT_USER_PROTECTED) != 0 && context->silent) return release(failWith(NTE_SILENT_CONTEXT));
  std::vector<BYTE> existing;
  if (contextPublicKey(*context, AT_KEYEXCHANGE, existing) == ERROR_SUCCESS) return release(failWith(NTE_EXISTS));

  ContainerKey stored;
  stored.flags = flags;
  stored.bits = static_cast<DWORD>(EVP_PKEY_get_bits(imported.get()));
  DWORD status = protectKey(*context, imported.get(), flags, stored);
  if (status == ERROR_SUCCESS) status = createPendingContainer(*context);
  if (status == ERROR_SUCCESS)
    status = writeContainerKey(context->providerType, context->container, AT_KEYEXCHANGE, stored);
  if (status != ERROR_SUCCESS) return release(failWith(status));
  rememberStoredKey(*context, AT_KEYEXCHANGE, imported.get(), stored);
  return release(TRUE);
}
