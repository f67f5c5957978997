#include "host/user_stores.h"
// (OpenSSL first: see openssl_owned.h.)
#include <set>

#include "host/console.h"
#include "host/key_containers.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

// The legacy providers, then the key storage providers.
std::optional<std::vector<Provider>> installedProviders() {
  std::vector<Provider> providers;
  for (const auto enumerate : {CryptEnumProvidersA, CryptEnumKeyStorageProvidersA}) {
    for (DWORD index = 0;; ++index) {
      DWORD type = 0;
      DWORD length = 0;
      if (!enumerate(index, nullptr, 0, &type, nullptr, &length)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        return std::nullopt;
      }
      std::string name(length, '\0');
      if (!enumerate(index, nullptr, 0, &type, name.data(), &length)) return std::nullopt;
      name.resize(length > 0 ? length - 1 : 0);
      providers.push_back({std::move(name), type});
    }
  }
  return providers;
}

std::optional<std::vector<std::string>> containersOf(const Provider& provider) {
  UniqueCryptProv context;
  if (!CryptAcquireContextA(context.put(), nullptr, provider.name.c_str(), provider.type, CRYPT_VERIFYCONTEXT))
    return std::nullopt;
  std::vector<std::string> names;
  for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
    DWORD length = 0;
    if (!CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, nullptr, &length, flags)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) return names;
      return std::nullopt;
    }
    std::string name(length, '\0');
    if (!CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &length, flags))
      return std::nullopt;
    name.resize(name.find('\0'));
    names.push_back(std::move(name));
  }
}

// The size in bits of the container's key pair, exchange key first; left
// empty for a container without one. False when it cannot be read.
bool readKeySize(HCRYPTPROV context, std::optional<DWORD>& size) {
  size.reset();
  for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    UniqueCryptKey key;
    DWORD bits = 0;
    DWORD length = sizeof bits;
    if (!CryptGetUserKey(context, keySpec, key.put())) {
      if (GetLastError() == static_cast<DWORD>(NTE_NO_KEY)) continue;
      return false;
    }
    if (!CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0)) return false;
    size = bits;
    return true;
  }
  return true;
}

}  // namespace

std::optional<ContainerListing> listContainers() {
  const std::optional<std::vector<Provider>> providers = installedProviders();
  if (!providers) {
    reportPlatformFailure({"cannot list the key providers", "no se pudo listar los proveedores de llaves"});
    return std::nullopt;
  }
  const std::optional<std::vector<BoundCertificate>> bound = boundCertificates();
  if (!bound) {
    reportPlatformFailure({"cannot read the store MY", "no se pudo leer el almacén MY"});
    return std::nullopt;
  }
  ContainerListing listing;
  std::set<ContainerId> listed;
  // The RSA providers list the same containers: a damaged one is named once.
  std::set<std::string> damaged;
  for (const Provider& provider : *providers) {
    const std::optional<std::vector<std::string>> containers = containersOf(provider);
    if (!containers) {
      reportPlatformFailure({"cannot list the key containers of " + provider.name,
                             "no se pudo listar los contenedores de llaves de " + provider.name});
      return std::nullopt;
    }
    for (const std::string& container : *containers) {
      ContainerEntry entry{container, provider.name, provider, {}, {}};
      const auto unreadable = [&]() {
        const std::string reason = platformErrorText(GetLastError());
        if (!damaged.insert(container).second) return;
        reportFailure({"cannot read the key container " + container + ": " + reason,
                       "no se pudo leer el contenedor de llaves " + container + ": " + reason});
        entry.bits.reset();
        listing.damaged.push_back(entry);
      };
      UniqueCryptProv context;
      if (!CryptAcquireContextA(context.put(), container.c_str(), provider.name.c_str(), provider.type, CRYPT_SILENT)) {
        if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) unreadable();  // else deleted since it was listed
        continue;
      }
      const std::optional<std::string> creator = providerText(context.get(), platform::PP_CREATOR_NAME);
      if (creator) entry.provider = *creator;
      if (!creator || !readKeySize(context.get(), entry.bits)) {
        unreadable();
        continue;
      }
      if (!listed.insert({*creator, container}).second) continue;
      for (const BoundCertificate& certificate : *bound)
        if (certificate.container == ContainerId{*creator, container}) {
          entry.certificate = certificate.thumbprint;
          break;
        }
      listing.entries.push_back(std::move(entry));
    }
  }
  return listing;
}

std::optional<std::vector<BoundCertificate>> boundCertificates() {
  std::vector<BoundCertificate> bound;
  UniqueCertStore store = openUserStore("MY");
  const bool read = store && forEachCertificate(store.get(), [&bound](PCCERT_CONTEXT certificate) {
                      std::optional<KeyBinding> binding;
                      if (!readKeyBinding(certificate, binding)) return false;
                      if (!binding) return true;
                      UniqueCryptProv context;
                      if (!CryptAcquireContextA(context.put(), binding->container.c_str(),
                                                binding->provider.c_str(), binding->providerType, CRYPT_SILENT))
                        return true;  // bound to a container that is not there
                      const std::optional<std::string> creator = providerText(context.get(), platform::PP_CREATOR_NAME);
                      const std::string thumbprint = thumbprintText(certificate);
                      if (!creator || thumbprint.empty()) return false;
                      bound.push_back({{*creator, binding->container}, thumbprint});
                      return true;
                    });
  if (!read) return std::nullopt;
  return bound;
}

}  // namespace tarvenholm::host
