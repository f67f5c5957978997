#include "engine/providers.h"

#include <cstring>
#include <functional>

#include "platform/key_storage.h"
#include "platform/wincrypt.h"
#include "support/errors.h"
#include "support/local_memory.h"

namespace tarvenholm {
namespace {

bool isAdmitted(DWORD type) { return type != PROV_DSS && type != PROV_DSS_DH; }

// Hands each provider the platform enumerates, name and type, to `visit`
// until it returns false or the platform has no more. An entry whose name
// cannot be had is reported and skipped.
void forEachProvider(const std::function<bool(const char* name, DWORD type)>& visit) {
  for (DWORD index = 0;; ++index) {
    DWORD type = 0;
    DWORD nameSize = 0;
    if (!CryptEnumProvidersA(index, nullptr, 0, &type, nullptr, &nameSize)) return;

    LocalPtr<char> name(static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, nameSize)));
    if (!name) {
      showSystemError("ERROR - LocalAlloc failed!");
      continue;
    }
    if (!CryptEnumProvidersA(index, nullptr, 0, &type, name.get(), &nameSize)) {
      showSystemError("ERROR - CryptEnumProviders");
      continue;
    }
    if (!visit(name.get(), type)) return;
  }
}

}  // namespace

DWORD getProvType(const char* name) {
  DWORD found = 0;
  if (name == nullptr) return found;
  forEachProvider([&](const char* candidate, DWORD type) {
    if (!isAdmitted(type) || std::strcmp(candidate, name) != 0) return true;
    found = type;
    return false;
  });
  return found != 0 ? found : keyStorageProviderType(name);
}

DWORD keyStorageProviderType(const char* name) {
  for (DWORD index = 0;; ++index) {
    DWORD type = 0;
    char candidate[256] = {};
    DWORD size = sizeof candidate;
    if (!CryptEnumKeyStorageProvidersA(index, nullptr, 0, &type, candidate, &size)) return 0;
    if (std::strcmp(candidate, name) == 0) return type;
  }
}

std::string providerListText() {
  std::string list;
  forEachProvider([&](const char* name, DWORD type) {
    if (isAdmitted(type)) list.append(name).append("|");
    return true;
  });
  return list;
}

}  // namespace tarvenholm
