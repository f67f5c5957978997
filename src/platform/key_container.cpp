#include "platform/key_container.h"

#include <cstring>

#include "platform/crypt_asn1.h"
#include "platform/crypt_catalogue.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/wincrypt.h"

namespace platform {
namespace {

constexpr const char* kKeysKey = "Software\\Tarvenholm\\Crypto\\Keys\\";
constexpr const char* kProviderValue = "Provider";
constexpr std::size_t kMaxContainerName = 255;

std::string nameSpacePath(DWORD providerType) { return kKeysKey + containerFamily(providerType); }

std::string containerPath(DWORD providerType, const std::string& container) {
  return nameSpacePath(providerType) + "\\" + container;
}

bool holdsOneKeyPair(DWORD providerType) {
  return containerFamily(providerType) == containerFamily(PROV_KEY_STORAGE);
}

const char* keyPairValue(DWORD providerType, DWORD keySpec) {
  if (holdsOneKeyPair(providerType)) return "Key";
  return keySpec == AT_SIGNATURE ? "Signature" : "Exchange";
}

DWORD openKey(const std::string& path, REGSAM access, UniqueHkey& key) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &opened);
  key.reset(opened);
  return static_cast<DWORD>(status);
}

// A value's data when it exists with the expected type; ERROR_FILE_NOT_FOUND
// when it does not exist.
DWORD readValue(HKEY key, const char* name, DWORD expectedType, std::vector<BYTE>& data) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  if (type != expectedType) return NTE_KEYSET_ENTRY_BAD;
  data.resize(size);
  status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  data.resize(size);
  return ERROR_SUCCESS;
}

bool encodeRecord(const ContainerKey& key, std::vector<BYTE>& der) {
  UniqueKeyPairRecordAsn record(KeyPairRecordAsn_new());
  if (!record) return false;
  record->flags = key.flags;
  record->bits = key.bits;
  replaceField(record->publicKey, derElement(key.publicKeyInfo));
  ASN1_TYPE*& privateKey = key.passwordProtected ? record->encrypted : record->plain;
  replaceField(privateKey, derElement(key.privateKey));
  return record->publicKey != nullptr && privateKey != nullptr &&
         derOf<KeyPairRecordAsn, i2d_KeyPairRecordAsn>(record.get(), der);
}

bool decodeRecord(const std::vector<BYTE>& der, ContainerKey& key) {
  const unsigned char* cursor = der.data();
  UniqueKeyPairRecordAsn record(d2i_KeyPairRecordAsn(nullptr, &cursor, static_cast<long>(der.size())));
  if (!record || cursor != der.data() + der.size()) return false;
  if ((record->plain == nullptr) == (record->encrypted == nullptr)) return false;
  key.flags = record->flags;
  key.bits = record->bits;
  key.publicKeyInfo = derBytes(record->publicKey);
  key.passwordProtected = record->encrypted != nullptr;
  key.privateKey = derBytes(key.passwordProtected ? record->encrypted : record->plain);
  return !key.publicKeyInfo.empty() && !key.privateKey.empty();
}

}  // namespace

DWORD checkContainerName(const std::string& container) {
  if (container.empty() || container.size() > kMaxContainerName || container.find('\\') != std::string::npos)
    return NTE_BAD_KEYSET_PARAM;
  return ERROR_SUCCESS;
}

DWORD createKeyContainer(DWORD providerType, const std::string& container, const std::string& provider) {
  const std::string path = containerPath(providerType, container);
  HKEY created = nullptr;
  DWORD disposition = 0;
  const LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &created, &disposition);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  UniqueHkey key(created);
  if (disposition == REG_OPENED_EXISTING_KEY) return NTE_EXISTS;

  const LSTATUS written = RegSetValueExA(key.get(), kProviderValue, 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(provider.c_str()),
                                         static_cast<DWORD>(provider.size() + 1));
  if (written != ERROR_SUCCESS) {
    // A container that cannot say who made it is not left behind.
    key.reset();
    RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
    return static_cast<DWORD>(written);
  }
  return ERROR_SUCCESS;
}

DWORD openKeyContainer(DWORD providerType, const std::string& container, std::string& creator) {
  UniqueHkey key;
  const DWORD status = openKey(containerPath(providerType, container), KEY_READ, key);
  if (status == ERROR_FILE_NOT_FOUND) return NTE_BAD_KEYSET;
  if (status != ERROR_SUCCESS) return status;
  std::vector<BYTE> provider;
  creator.clear();
  if (readValue(key.get(), kProviderValue, REG_SZ, provider) == ERROR_SUCCESS)
    creator.assign(reinterpret_cast<const char*>(provider.data()), ::strnlen(reinterpret_cast<const char*>(provider.data()), provider.size()));
  return ERROR_SUCCESS;
}

DWORD deleteKeyContainer(DWORD providerType, const std::string& container) {
  const LSTATUS status = RegDeleteKeyA(HKEY_CURRENT_USER, containerPath(providerType, container).c_str());
  return status == ERROR_FILE_NOT_FOUND ? NTE_BAD_KEYSET : static_cast<DWORD>(status);
}

DWORD listKeyContainers(DWORD providerType, std::vector<std::string>& names) {
  names.clear();
  UniqueHkey key;
  const DWORD status = openKey(nameSpacePath(providerType), KEY_READ, key);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  for (DWORD index = 0;; ++index) {
    char name[kMaxContainerName + 1] = {};
    DWORD nameSize = sizeof name;
    const LSTATUS listed = RegEnumKeyExA(key.get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (listed != ERROR_SUCCESS) return static_cast<DWORD>(listed);
    names.emplace_back(name, nameSize);
  }
}

DWORD storedKeySpec(DWORD providerType, DWORD keySpec) {
  return holdsOneKeyPair(providerType) ? AT_KEYEXCHANGE : keySpec;
}

DWORD writeContainerKey(DWORD providerType, const std::string& container, DWORD keySpec, const ContainerKey& key) {
  std::vector<BYTE> record;
  if (!encodeRecord(key, record)) return NTE_FAIL;
  UniqueHkey opened;
  const DWORD status = openKey(containerPath(providerType, container), KEY_ALL_ACCESS, opened);
  if (status == ERROR_FILE_NOT_FOUND) return NTE_BAD_KEYSET;
  if (status != ERROR_SUCCESS) return status;
  return static_cast<DWORD>(RegSetValueExA(opened.get(), keyPairValue(providerType, keySpec), 0, REG_BINARY, record.data(),
                                           static_cast<DWORD>(record.size())));
}

DWORD readContainerKey(DWORD providerType, const std::string& container, DWORD keySpec, ContainerKey& key) {
  UniqueHkey opened;
  DWORD status = openKey(containerPath(providerType, container), KEY_READ, opened);
  if (status == ERROR_FILE_NOT_FOUND) return NTE_BAD_KEYSET;
  if (status != ERROR_SUCCESS) return status;
  std::vector<BYTE> record;
  status = readValue(opened.get(), keyPairValue(providerType, keySpec), REG_BINARY, record);
  if (status == ERROR_FILE_NOT_FOUND) return NTE_NO_KEY;
  if (status != ERROR_SUCCESS) return status;
  return decodeRecord(record, key) ? ERROR_SUCCESS : NTE_KEYSET_ENTRY_BAD;
}

}  // namespace platform
