// Providers and provider contexts: CryptEnumProvidersA,
// CryptAcquireContextA, CryptReleaseContext, CryptGetProvParam.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

#include "platform/crypt_catalogue.h"
#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/key_container.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "platform/sized_output.h"
#include "platform/wincrypt.h"

using namespace platform;

namespace {

constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_SILENT;

// The container a null or empty name stands for: the user's login name.
std::string defaultContainerName() {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0')
    return found->pw_name;
  return "uid" + std::to_string(::geteuid());
}

DWORD resolveProvider(LPCSTR provider, DWORD provType, ProviderEntry& entry) {
  if (provType == 0) return NTE_BAD_PROV_TYPE;
  const DWORD status = provider == nullptr ? defaultProvider(provType, entry) : findProvider(provider, entry);
  if (status != ERROR_SUCCESS) return status;
  return entry.type == provType ? ERROR_SUCCESS : NTE_PROV_TYPE_NO_MATCH;
}

BOOL copyText(const std::string& text, BYTE* data, DWORD* length) {
  return copyToCaller(text.c_str(), text.size() + 1, data, length);
}

// PP_ENUMCONTAINERS: one name per call, taken from the list of the user's
// containers in the context's name space as it was at CRYPT_FIRST. Without
// a buffer the size is the longest remaining name's, so one buffer serves
// the whole enumeration.
BOOL nextContainerName(ProviderContext& context, BYTE* data, DWORD* length, DWORD flags) {
  if ((flags & ~static_cast<DWORD>(CRYPT_FIRST | CRYPT_NEXT)) != 0) return failWith(NTE_BAD_FLAGS);
  if (length == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(context.mutex);
  if ((flags & CRYPT_FIRST) != 0 || context.nextContainer == ProviderContext::kNotEnumerating) {
    const DWORD status = listKeyContainers(context.providerType, context.containerNames);
    if (status != ERROR_SUCCESS) return failWith(status);
    context.nextContainer = 0;
  }
  const std::vector<std::string>& names = context.containerNames;
  if (context.nextContainer >= names.size()) return failWith(ERROR_NO_MORE_ITEMS);
  if (data == nullptr) {
    std::size_t longest = 0;
    for (std::size_t index = context.nextContainer; index < names.size(); ++index)
      longest = std::max(longest, names[index].size());
    *length = static_cast<DWORD>(longest + 1);
    return TRUE;
  }
  if (!copyText(names[context.nextContainer], data, length)) return FALSE;
  ++context.nextContainer;
  return TRUE;
}

BOOL enumerateCatalogue(DWORD (*entryAt)(DWORD, ProviderEntry&), DWORD index, DWORD* reserved, DWORD flags,
                        DWORD* provType, LPSTR provName, DWORD* provNameSize) {
  if (reserved != nullptr || provType == nullptr || provNameSize == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  ProviderEntry entry;
  const DWORD status = entryAt(index, entry);
  if (status != ERROR_SUCCESS) return failWith(status);
  *provType = entry.type;
  return copyText(entry.name, reinterpret_cast<BYTE*>(provName), provNameSize);
}

}  // namespace

BOOL CryptEnumProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPSTR provName,
                         DWORD* provNameSize) {
  if (FAULT("CryptEnumProvidersA", NTE_FAIL)) return FALSE;
  return enumerateCatalogue(providerAt, index, reserved, flags, provType, provName, provNameSize);
}

BOOL CryptEnumKeyStorageProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPSTR provName,
                                   DWORD* provNameSize) {
  if (FAULT("CryptEnumKeyStorageProvidersA", NTE_FAIL)) return FALSE;
  return enumerateCatalogue(keyStorageProviderAt, index, reserved, flags, provType, provName, provNameSize);
}

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType, DWORD flags) {
  if (FAULT("CryptAcquireContextA", NTE_FAIL)) return FALSE;
  if (prov == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  const bool withoutContainer = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  const bool deleting = (flags & CRYPT_DELETEKEYSET) != 0;
  if ((flags & ~kAcquireFlags) != 0 || (withoutContainer && (flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) != 0) ||
      (deleting && (flags & CRYPT_NEWKEYSET) != 0))
    return failWith(NTE_BAD_FLAGS);
  if (withoutContainer && container != nullptr) return failWith(NTE_BAD_KEYSET_PARAM);

  ProviderEntry entry;
  DWORD status = resolveProvider(provider, provType, entry);
  if (status != ERROR_SUCCESS) return failWith(status);

  auto context = std::make_shared<ProviderContext>();
  context->providerName = entry.name;
  context->providerType = entry.type;
  context->silent = (flags & CRYPT_SILENT) != 0;
  if (!withoutContainer) {
    context->container = container != nullptr && container[0] != '\0' ? container : defaultContainerName();
    status = checkContainerName(context->container);
    if (status == ERROR_SUCCESS) {
      std::string creator;
      if (deleting) {
        status = deleteKeyContainer(entry.type, context->container);
      } else if ((flags & CRYPT_NEWKEYSET) == 0) {
        status = openKeyContainer(entry.type, context->container, creator);
      } else if (platform::RegistryTransaction::current() == nullptr) {
        status = createKeyContainer(entry.type, context->container, entry.name);
      } else {
        status = openKeyContainer(entry.type, context->container, creator);
        if (status == ERROR_SUCCESS) status = NTE_EXISTS;
        if (status == NTE_BAD_KEYSET) status = ERROR_SUCCESS;
        context->containerPending = status == ERROR_SUCCESS;
      }
    }
    if (status != ERROR_SUCCESS) return failWith(status);
  }
  // Deleting a container leaves no context to release.
  if (deleting) {
    *prov = 0;
    return TRUE;
  }
  *prov = providerContexts().add(std::move(context));
  return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
  if (FAULT("CryptReleaseContext", NTE_FAIL)) return FALSE;
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  // A container made and left without a key pair stays, as it does when
  // it is written at once.
  if (std::shared_ptr<ProviderContext> context = providerContexts().find(prov)) createPendingContainer(*context);
  return providerContexts().remove(prov) ? TRUE : failWith(NTE_BAD_UID);
}

BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
  if (FAULT("CryptGetProvParam", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (param == PP_ENUMCONTAINERS) return nextContainerName(*context, data, length, flags);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  switch (param) {
    case PP_NAME:
      return copyText(context->providerName, data, length);
    case PP_CONTAINER:
      if (context->container.empty()) return failWith(NTE_BAD_KEYSET);
      return copyText(context->container, data, length);
    case platform::PP_CREATOR_NAME: {
      if (context->container.empty()) return failWith(NTE_BAD_KEYSET);
      if (context->containerPending) return copyText(context->providerName, data, length);
      std::string creator;
      const DWORD status = openKeyContainer(context->providerType, context->container, creator);
      if (status != ERROR_SUCCESS) return failWith(status);
      return copyText(creator, data, length);
    }
    default:
      return failWith(NTE_BAD_TYPE);
  }
}
