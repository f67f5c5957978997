// Provider contexts behind HCRYPTPROV handles, and what the key, hash and
// encoding functions need of them.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/key_container.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"
#include "platform/wincrypt.h"

namespace platform {

// Fails a platform call: the reason goes to the thread's last error.
inline BOOL failWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Handle values are unique across every kind of handle of the process, so a
// handle of one kind passed for another is refused, never mistaken.
ULONG_PTR newHandleValue();

// The live objects behind one kind of handle.
template <class T>
class HandleTable {
 public:
  ULONG_PTR add(std::shared_ptr<T> object) {
    const ULONG_PTR handle = newHandleValue();
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.emplace(handle, std::move(object));
    return handle;
  }
  std::shared_ptr<T> find(ULONG_PTR handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = objects_.find(handle);
    return found == objects_.end() ? nullptr : found->second;
  }
  bool remove(ULONG_PTR handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.erase(handle) == 1;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<ULONG_PTR, std::shared_ptr<T>> objects_;
};

struct ProviderContext {
  std::string providerName;
  DWORD providerType = 0;
  std::string container;  // empty for a context without a container
  bool silent = false;    // CRYPT_SILENT: never ask the user

  std::mutex mutex;  // guards what follows
  // PP_ENUMCONTAINERS: the names taken at CRYPT_FIRST and the next to give.
  static constexpr std::size_t kNotEnumerating = static_cast<std::size_t>(-1);
  std::vector<std::string> containerNames;
  std::size_t nextContainer = kNotEnumerating;
  // Key pairs in hand, by their stored key spec (storedKeySpec): one this
  // context generated or imported without a password, or a
  // password-protected one once its password was asked (the opened key, or
  // why it could not be opened). A key is used only while the container
  // still holds the public key it was opened with, so signing does not
  // decode the stored key again.
  struct OpenedKey {
    UniquePkey key;
    DWORD refusal = 0;
    std::vector<BYTE> publicKeyInfo;
  };
  std::map<DWORD, OpenedKey> openedKeys;
  // CRYPT_NEWKEYSET within a registry transaction: the new container is
  // written with its first key pair, or when the context is released
  // without one, so key generation holds no hive's write lock.
  bool containerPending = false;
};

// Writes the context's pending new container (NTE_EXISTS if another
// process took its name meanwhile); nothing when none is pending.
DWORD createPendingContainer(ProviderContext& context);

HandleTable<ProviderContext>& providerContexts();

// The context of `prov`; null with NTE_BAD_UID set when there is none.
std::shared_ptr<ProviderContext> findContext(HCRYPTPROV prov);

// The key spec that key generation's algorithm argument names (a key spec
// or an RSA algorithm): AT_KEYEXCHANGE or AT_SIGNATURE, 0 for neither.
DWORD keySpecOfAlgorithm(ALG_ID algorithm);
inline bool isKeySpec(DWORD keySpec) { return keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE; }

// The stored public key of the context's key pair `keySpec` (DER
// SubjectPublicKeyInfo) and its size in bits. Error number as result.
DWORD contextPublicKey(const ProviderContext& context, DWORD keySpec, std::vector<BYTE>& publicKeyInfo,
                       DWORD* bits = nullptr);

// The private key of the context's key pair `keySpec`, ready to sign or be
// exported. A password-protected key is opened with the user's password,
// asked at most once per context. A key pair generated without every one
// of `requiredFlags` is refused with NTE_BAD_KEY_STATE before anything is
// asked. Error number as result.
DWORD contextPrivateKey(ProviderContext& context, DWORD keySpec, UniquePkey& key, DWORD requiredFlags = 0);

// The private key of the context's key pair `keySpec`, a protected one
// opened with `password`: nothing is asked and nothing is remembered.
DWORD contextPrivateKeyWithPassword(const ProviderContext& context, DWORD keySpec, const std::string& password,
                                    UniquePkey& key);

// Whether the context's key pair `keySpec` is stored under a password.
DWORD contextKeyProtected(const ProviderContext& context, DWORD keySpec, bool& isProtected);

// The context's key pair `keySpec` was just stored: `key` when it is in
// hand (stored without a password), else null, so that a protected key's
// password is asked again when it is used.
void rememberStoredKey(ProviderContext& context, DWORD keySpec, EVP_PKEY* key, const ContainerKey& stored);

// The digest of a CALG_ hash algorithm; null for one this platform lacks.
const EVP_MD* hashAlgorithm(ALG_ID algorithm);

// RSASSA-PKCS1-v1_5 signature (big-endian) of a digest made with `digest`.
bool signDigest(EVP_PKEY* key, const EVP_MD* digest, const std::vector<BYTE>& hash, std::vector<BYTE>& signature);

}  // namespace platform
