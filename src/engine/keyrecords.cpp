#include "engine/keyrecords.h"

#include <cstring>
#include <memory>
#include <random>

#include "platform/application.h"
#include "platform/lasterror.h"
#include "platform/rpc.h"

namespace tarvenholm {
namespace {

constexpr const char* kCreateKeyFailed = "Failed to create key %s";
constexpr const char* kSetDataFailed = "Failed to set data for '%s'";
constexpr const char* kGetDataFailed = "Failed to get data for '%s'";
constexpr const char* kInvalidDataType = "Invalid data type for '%s'";

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

// The registry layer's failures are shown in English whatever the message
// language.
void showRegistryFailure(const char* pattern, const std::string& name) {
  std::string text(pattern);
  text.replace(text.find("%s"), 2, name);
  platform::applicationMessageBox(text.c_str(), "Tarvenholm", MB_ICONERROR);
}

// Opens `path` below `root` with full access, creating what is missing.
UniqueHkey createKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return nullptr;
  return UniqueHkey(key);
}

// A version 4 UUID text from the standard library's random source, for
// when the platform gives none: request generation must still get a fresh
// name, never an empty one (that would name the provider's default
// container).
std::string fallbackContainerName() {
  std::random_device random;
  std::string name = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  for (char& c : name) {
    if (c == 'x') c = "0123456789abcdef"[random() % 16];
    if (c == 'y') c = "89ab"[random() % 4];
  }
  return name;
}

// A key identifier names one key below kKeyRecordsPath: without it (or
// with a separator in it) the values would land on some other key.
bool namesOneKey(const std::string& keyId) { return !keyId.empty() && keyId.find('\\') == std::string::npos; }

}  // namespace

std::string keyRecordPath(const std::string& keyId) { return std::string(kKeyRecordsPath) + "\\" + keyId; }

std::string newContainerName() {
  UUID uuid{};
  unsigned char* text = nullptr;
  if (UuidCreate(&uuid) != RPC_S_OK || UuidToStringA(&uuid, &text) != RPC_S_OK) return fallbackContainerName();
  std::string name(reinterpret_cast<const char*>(text));
  RpcStringFreeA(&text);
  return name;
}

bool keyRecordsWritable() { return regKeyExists(HKEY_LOCAL_MACHINE, kKeyRecordsRootPath); }

void writeKeyRecord(const std::string& keyId, const std::string& containerName, const std::string& providerName) {
  if (!namesOneKey(keyId)) {
    showRegistryFailure(kCreateKeyFailed, keyId);
    return;
  }
  if (!regKeyExists(HKEY_LOCAL_MACHINE, kKeyRecordsPath))
    regCreateSubKey(HKEY_LOCAL_MACHINE, kKeyRecordsParentPath, kKeyRecordsKeyName);
  regCreateSubKey(HKEY_LOCAL_MACHINE, kKeyRecordsPath, keyId);
  regWriteString(HKEY_LOCAL_MACHINE, keyRecordPath(keyId), kContainerValueName, containerName);
  regWriteString(HKEY_LOCAL_MACHINE, keyRecordPath(keyId), kProviderValueName, providerName);
}

bool regKeyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void regCreateSubKey(HKEY root, const std::string& path, const std::string& subKey) {
  UniqueHkey parent = createKey(root, path);
  UniqueHkey created = parent ? createKey(parent.get(), subKey) : nullptr;
  if (!created) showRegistryFailure(kCreateKeyFailed, subKey);
}

void regWriteString(HKEY root, const std::string& path, const std::string& valueName, const std::string& text) {
  UniqueHkey key = createKey(root, path);
  if (!key || RegSetValueExA(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
    showRegistryFailure(kSetDataFailed, valueName);
}

std::string regReadString(HKEY root, const std::string& path, const std::string& valueName) {
  UniqueHkey key = createKey(root, path);
  if (!key) return {};
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
    return {};
  // One byte more than the value, zero-filled, so the text always ends.
  std::unique_ptr<char, LocalFreeDeleter> buffer(static_cast<char*>(LocalAlloc(LPTR, size + 1)));
  DWORD read = size;
  if (!buffer || RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.get()),
                                  &read) != ERROR_SUCCESS) {
    showRegistryFailure(kGetDataFailed, valueName);
    return {};
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    showRegistryFailure(kInvalidDataType, valueName);
    return {};
  }
  return std::string(buffer.get(), ::strnlen(buffer.get(), read));
}

}  // namespace tarvenholm
