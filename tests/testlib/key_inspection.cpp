#include "testlib/key_inspection.h"

// OpenSSL's headers (through the crypt fixtures) come before the platform's.
#include "testlib/crypt_fixtures.h"

#include <vector>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "platform/registry.h"
#include "support/textconv.h"

namespace testing_support {
namespace {

// Every RSA provider sees the same containers; the enhanced one stands for them all.
bool openContainer(const std::string& container, UniqueCryptProv& context) {
  return CryptAcquireContextA(context.put(), container.c_str(), kEnhancedProvider, PROV_RSA_FULL, 0);
}

}  // namespace

std::vector<std::string> rsaKeyContainers() {
  std::vector<std::string> names;
  UniqueCryptProv context;
  if (!CryptAcquireContextA(context.put(), nullptr, kEnhancedProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    return names;
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    DWORD length = 0;
    if (!CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, nullptr, &length, flags)) break;
    std::vector<char> name(length);
    if (!CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &length, flags))
      break;
    names.emplace_back(name.data());
  }
  return names;
}

ContainerState containerState(const std::string& container) {
  UniqueCryptProv context;
  if (!openContainer(container, context)) return ContainerState::Missing;
  UniqueCryptKey key;
  return CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()) ? ContainerState::WithKeyPair
                                                                       : ContainerState::Empty;
}

DWORD keyPairBits(const std::string& container) {
  UniqueCryptProv context;
  UniqueCryptKey key;
  DWORD bits = 0;
  DWORD length = sizeof bits;
  if (!openContainer(container, context) || !CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()) ||
      !CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0))
    return 0;
  return bits;
}

std::string containerKeyId(const std::string& container) {
  UniqueCryptProv context;
  if (!openContainer(container, context)) return {};
  std::vector<BYTE> publicKey = exportPublicKeyInfo(context.get());
  std::string keyId;
  if (publicKey.empty() || !tarvenholm::publicKeyId(asPublicKeyInfo(publicKey), keyId)) return {};
  return keyId;
}

std::vector<std::string> keyRecordIds() {
  std::vector<std::string> ids;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tarvenholm::kKeyRecordsPath, 0, KEY_READ, &opened) != ERROR_SUCCESS) return ids;
  const UniqueHkey records(opened);
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(records.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ids.emplace_back(name, size);
  }
  return ids;
}

RequestSlot::RequestSlot() : initial_(SysAllocString(u"earlier request")), current_(initial_) {}

RequestSlot::~RequestSlot() {
  if (current_ != initial_) SysFreeString(current_);
  SysFreeString(initial_);
}

std::string RequestSlot::text() const { return tarvenholm::wideToSystem(current_, SysStringLen(current_)); }

std::string RequestSlot::initialText() const { return tarvenholm::wideToSystem(initial_, SysStringLen(initial_)); }

}  // namespace testing_support
