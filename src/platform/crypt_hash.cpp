// Hashes and signatures over them: CryptCreateHash, CryptHashData,
// CryptSignHashA, CryptDestroyHash.
#include <openssl/err.h>

#include <algorithm>

#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/sized_output.h"
#include "platform/wincrypt.h"

using namespace platform;

namespace {

struct HashObject {
  std::shared_ptr<ProviderContext> context;
  const EVP_MD* digest = nullptr;
  std::mutex mutex;  // guards what follows
  UniqueMdCtx running;
  std::vector<BYTE> value;  // set once the hash is finished
};

HandleTable<HashObject>& hashObjects() {
  static HandleTable<HashObject> table;
  return table;
}

// The hash value; the first call finishes the hash.
bool finishHash(HashObject& hash) {
  if (!hash.value.empty()) return true;
  unsigned int length = 0;
  hash.value.resize(EVP_MAX_MD_SIZE);
  if (EVP_DigestFinal_ex(hash.running.get(), hash.value.data(), &length) != 1) {
    hash.value.clear();
    return false;
  }
  hash.value.resize(length);
  hash.running.reset();
  return true;
}

}  // namespace

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  if (FAULT("CryptCreateHash", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (hash == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (key != 0) return failWith(NTE_BAD_KEY);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  const EVP_MD* digest = hashAlgorithm(algorithm);
  if (digest == nullptr) return failWith(NTE_BAD_ALGID);

  auto object = std::make_shared<HashObject>();
  object->context = std::move(context);
  object->digest = digest;
  object->running.reset(EVP_MD_CTX_new());
  if (!object->running || EVP_DigestInit_ex(object->running.get(), digest, nullptr) != 1) {
    ERR_clear_error();
    return failWith(NTE_NO_MEMORY);
  }
  *hash = hashObjects().add(std::move(object));
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
  if (FAULT("CryptHashData", NTE_FAIL)) return FALSE;
  std::shared_ptr<HashObject> object = hashObjects().find(hash);
  if (!object) return failWith(NTE_BAD_HASH);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  if (data == nullptr && length != 0) return failWith(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(object->mutex);
  if (!object->value.empty()) return failWith(NTE_BAD_HASH_STATE);
  if (EVP_DigestUpdate(object->running.get(), data, length) != 1) return failWith(NTE_FAIL);
  return TRUE;
}

BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR, DWORD flags, BYTE* signature, DWORD* length) {
  if (FAULT("CryptSignHashA", NTE_FAIL)) return FALSE;
  std::shared_ptr<HashObject> object = hashObjects().find(hash);
  if (!object) return failWith(NTE_BAD_HASH);
  if (length == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);

  // The size needs only the public key, so asking for it never prompts.
  std::vector<BYTE> publicKeyInfo;
  DWORD bits = 0;
  DWORD status = contextPublicKey(*object->context, keySpec, publicKeyInfo, &bits);
  if (status != ERROR_SUCCESS) return failWith(status);
  BOOL result = FALSE;
  if (!callerBufferFits((bits + 7) / 8, signature, length, result)) return result;

  UniquePkey privateKey;
  status = contextPrivateKey(*object->context, keySpec, privateKey);
  if (status != ERROR_SUCCESS) return failWith(status);
  std::vector<BYTE> value;
  {
    std::lock_guard<std::mutex> lock(object->mutex);
    if (!finishHash(*object)) return failWith(NTE_FAIL);
    value = object->value;
  }
  std::vector<BYTE> computed;
  if (!signDigest(privateKey.get(), object->digest, value, computed) || computed.size() > *length)
    return failWith(NTE_FAIL);
  // The original platform gives signatures least significant byte first.
  std::reverse_copy(computed.begin(), computed.end(), signature);
  *length = static_cast<DWORD>(computed.size());
  return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
  if (FAULT("CryptDestroyHash", NTE_FAIL)) return FALSE;
  return hashObjects().remove(hash) ? TRUE : failWith(NTE_BAD_HASH);
}
