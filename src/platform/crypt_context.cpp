#include "platform/crypt_context.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <atomic>

#include "platform/application.h"
#include "platform/key_container.h"
#include "platform/key_protection.h"
#include "platform/lasterror.h"

namespace platform {
namespace {

// Asks for the password of a protected key pair and opens it.
DWORD unlock(const ProviderContext& context, const ContainerKey& stored, UniquePkey& key) {
  if (context.silent) return NTE_SILENT_CONTEXT;
  PasswordText password;
  if (!askPassword(PasswordPurpose::UseKey, context.container.c_str(), password.text()) || password.text().empty())
    return ERROR_CANCELLED;
  return keyFromEncryptedPrivateKeyInfo(stored.privateKey, password.text(), stored.publicKeyInfo, key);
}

struct HashAlgorithm {
  ALG_ID id;
  const EVP_MD* (*digest)();
};

constexpr HashAlgorithm hashAlgorithms[] = {
    {CALG_SHA1, EVP_sha1},
    {CALG_SHA_256, EVP_sha256},
};

DWORD storedKey(const ProviderContext& context, DWORD keySpec, ContainerKey& stored) {
  if (context.container.empty()) return NTE_NO_KEY;
  return readContainerKey(context.providerType, context.container, keySpec, stored);
}

}  // namespace

ULONG_PTR newHandleValue() {
  static std::atomic<ULONG_PTR> next{0x1000};
  return next.fetch_add(4);
}

HandleTable<ProviderContext>& providerContexts() {
  static HandleTable<ProviderContext> table;
  return table;
}

DWORD createPendingContainer(ProviderContext& context) {
  std::lock_guard<std::mutex> lock(context.mutex);
  if (!context.containerPending) return ERROR_SUCCESS;
  context.containerPending = false;
  return createKeyContainer(context.providerType, context.container, context.providerName);
}

std::shared_ptr<ProviderContext> findContext(HCRYPTPROV prov) {
  std::shared_ptr<ProviderContext> context = providerContexts().find(prov);
  if (!context) SetLastError(NTE_BAD_UID);
  return context;
}

DWORD keySpecOfAlgorithm(ALG_ID algorithm) {
  switch (algorithm) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
      return AT_KEYEXCHANGE;
    case AT_SIGNATURE:
    case CALG_RSA_SIGN:
      return AT_SIGNATURE;
    default:
      return 0;
  }
}

DWORD contextPublicKey(const ProviderContext& context, DWORD keySpec, std::vector<BYTE>& publicKeyInfo,
                       DWORD* bits) {
  ContainerKey stored;
  const DWORD status = storedKey(context, keySpec, stored);
  if (status != ERROR_SUCCESS) return status;
  publicKeyInfo = std::move(stored.publicKeyInfo);
  if (bits != nullptr) *bits = stored.bits;
  return ERROR_SUCCESS;
}

DWORD contextPrivateKey(ProviderContext& context, DWORD keySpec, UniquePkey& key, DWORD requiredFlags) {
  ContainerKey stored;
  DWORD status = storedKey(context, keySpec, stored);
  if (status != ERROR_SUCCESS) return status;
  if ((stored.flags & requiredFlags) != requiredFlags) return NTE_BAD_KEY_STATE;
  {
    std::lock_guard<std::mutex> lock(context.mutex);
    auto opened = context.openedKeys.find(storedKeySpec(context.providerType, keySpec));
    if (opened != context.openedKeys.end() && opened->second.publicKeyInfo == stored.publicKeyInfo) {
      if (opened->second.refusal != ERROR_SUCCESS) return opened->second.refusal;
      EVP_PKEY_up_ref(opened->second.key.get());
      key.reset(opened->second.key.get());
      return ERROR_SUCCESS;
    }
  }
  if (!stored.passwordProtected) return keyFromPrivateKeyInfo(stored.privateKey, key);
  // The prompt runs without the lock: it may call back into the platform.
  UniquePkey opened;
  status = unlock(context, stored, opened);
  if (status == NTE_SILENT_CONTEXT) return status;
  std::lock_guard<std::mutex> lock(context.mutex);
  ProviderContext::OpenedKey& remembered = context.openedKeys[storedKeySpec(context.providerType, keySpec)];
  remembered.refusal = status;
  remembered.publicKeyInfo = stored.publicKeyInfo;
  if (status == ERROR_SUCCESS) {
    EVP_PKEY_up_ref(opened.get());
    key.reset(opened.get());
    remembered.key = std::move(opened);
  }
  return status;
}

DWORD contextPrivateKeyWithPassword(const ProviderContext& context, DWORD keySpec, const std::string& password,
                                    UniquePkey& key) {
  ContainerKey stored;
  const DWORD status = storedKey(context, keySpec, stored);
  if (status != ERROR_SUCCESS) return status;
  if (!stored.passwordProtected) return keyFromPrivateKeyInfo(stored.privateKey, key);
  return keyFromEncryptedPrivateKeyInfo(stored.privateKey, password, stored.publicKeyInfo, key);
}

DWORD contextKeyProtected(const ProviderContext& context, DWORD keySpec, bool& isProtected) {
  ContainerKey stored;
  const DWORD status = storedKey(context, keySpec, stored);
  if (status == ERROR_SUCCESS) isProtected = stored.passwordProtected;
  return status;
}

void rememberStoredKey(ProviderContext& context, DWORD keySpec, EVP_PKEY* key, const ContainerKey& stored) {
  std::lock_guard<std::mutex> lock(context.mutex);
  const DWORD slot = storedKeySpec(context.providerType, keySpec);
  if (stored.passwordProtected) {
    context.openedKeys.erase(slot);
    return;
  }
  EVP_PKEY_up_ref(key);
  context.openedKeys[slot] = ProviderContext::OpenedKey{UniquePkey(key), ERROR_SUCCESS, stored.publicKeyInfo};
}

const EVP_MD* hashAlgorithm(ALG_ID algorithm) {
  for (const HashAlgorithm& entry : hashAlgorithms)
    if (entry.id == algorithm) return entry.digest();
  return nullptr;
}

bool signDigest(EVP_PKEY* key, const EVP_MD* digest, const std::vector<BYTE>& hash, std::vector<BYTE>& signature) {
  UniquePkeyCtx signing(EVP_PKEY_CTX_new(key, nullptr));
  std::size_t length = 0;
  if (!signing || EVP_PKEY_sign_init(signing.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(signing.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(signing.get(), digest) != 1 ||
      EVP_PKEY_sign(signing.get(), nullptr, &length, hash.data(), hash.size()) != 1) {
    ERR_clear_error();
    return false;
  }
  signature.resize(length);
  if (EVP_PKEY_sign(signing.get(), signature.data(), &length, hash.data(), hash.size()) != 1) {
    ERR_clear_error();
    return false;
  }
  signature.resize(length);
  return true;
}

}  // namespace platform
