#include "host/key_records.h"

#include <cstring>
#include <vector>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "platform/lasterror.h"
#include "platform/registry.h"

namespace tarvenholm::host {
namespace {

// The longest record name: a key identifier is 40 characters.
constexpr DWORD kLongestRecordName = 255;

bool succeeded(LSTATUS status) {
  if (status == ERROR_SUCCESS) return true;
  SetLastError(static_cast<DWORD>(status));
  return false;
}

bool setText(HKEY key, const char* name, const std::string& text) {
  return succeeded(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size() + 1)));
}

// A REG_SZ value up to its first zero byte; empty when it is missing or of another type.
std::string textOf(HKEY key, const char* name) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return {};
  std::vector<BYTE> data(size);
  if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return {};
  const char* text = reinterpret_cast<const char*>(data.data());
  return std::string(text, ::strnlen(text, size));
}

}  // namespace

bool writeKeyRecord(PCCERT_CONTEXT certificate, const std::string& container, const std::string& provider) {
  std::string keyId;
  if (!publicKeyId(&certificate->pCertInfo->SubjectPublicKeyInfo, keyId)) return false;
  HKEY created = nullptr;
  if (!succeeded(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyRecordPath(keyId).c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &created, nullptr)))
    return false;
  UniqueHkey record(created);
  if (setText(record.get(), kContainerValueName, container) && setText(record.get(), kProviderValueName, provider))
    return true;
  // A half-written record would make setcert fail rather than pass it over.
  const DWORD error = GetLastError();
  record.reset();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyRecordPath(keyId).c_str());
  SetLastError(error);
  return false;
}

bool deleteKeyRecords(const std::string& container, const std::string& provider) {
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyRecordsPath, 0, KEY_READ, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (!succeeded(status)) return false;
  UniqueHkey records(opened);
  std::vector<std::string> matching;
  for (DWORD index = 0;; ++index) {
    char name[kLongestRecordName + 1] = {};
    DWORD nameSize = sizeof name;
    const LSTATUS listed = RegEnumKeyExA(records.get(), index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (!succeeded(listed)) return false;
    HKEY record = nullptr;
    if (!succeeded(RegOpenKeyExA(records.get(), name, 0, KEY_READ, &record))) return false;
    UniqueHkey owned(record);
    if (textOf(record, kContainerValueName) == container && textOf(record, kProviderValueName) == provider)
      matching.emplace_back(name, nameSize);
  }
  records.reset();
  for (const std::string& keyId : matching)
    if (!succeeded(RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyRecordPath(keyId).c_str()))) return false;
  return true;
}

}  // namespace tarvenholm::host
