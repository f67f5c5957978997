// keys list: the user's key containers through the provider interface.
#include <cstdio>
#include <map>
#include <set>

#include "host/commands.h"
#include "host/console.h"
#include "host/user_stores.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

struct Provider {
  std::string name;
  DWORD type;
};

// A container is known by its creator and name: the RSA providers share
// their containers, and every one of them lists them all.
using ContainerId = std::pair<std::string, std::string>;

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (handle_ != 0) CryptDestroyKey(handle_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HCRYPTKEY* out() { return &handle_; }
  HCRYPTKEY get() const { return handle_; }

 private:
  HCRYPTKEY handle_ = 0;
};

void reportPlatformFailure(const std::string& english, const std::string& spanish) {
  const std::string reason = platformErrorText(GetLastError());
  reportFailure({english + ": " + reason, spanish + ": " + reason});
}

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
  ProviderHandle context;
  if (!context.acquire(nullptr, provider.name.c_str(), provider.type, CRYPT_VERIFYCONTEXT)) return std::nullopt;
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

// The size in bits of the container's key pair, exchange key first; "-"
// for a container without one; nothing when it cannot be read.
std::optional<std::string> keySize(HCRYPTPROV context) {
  for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    KeyHandle key;
    DWORD bits = 0;
    DWORD length = sizeof bits;
    if (!CryptGetUserKey(context, keySpec, key.out())) {
      if (GetLastError() == static_cast<DWORD>(NTE_NO_KEY)) continue;
      return std::nullopt;
    }
    if (!CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0)) return std::nullopt;
    return std::to_string(bits);
  }
  return "-";
}

// The certificates of MY by the container they are bound to; the first
// one in the store's order when several are. Nothing when MY cannot be read.
std::optional<std::map<ContainerId, std::string>> boundCertificates() {
  std::map<ContainerId, std::string> bound;
  UniqueCertStore store = openUserStore("MY");
  const bool read = store && forEachCertificate(store.get(), [&bound](PCCERT_CONTEXT certificate) {
                      std::optional<KeyBinding> binding;
                      if (!readKeyBinding(certificate, binding)) return false;
                      ProviderHandle context;
                      if (!binding || !context.acquire(binding->container.c_str(), binding->provider.c_str(),
                                                       binding->providerType, CRYPT_SILENT))
                        return true;
                      const std::optional<std::string> creator = providerText(context.get(), platform::PP_CREATOR_NAME);
                      const std::string thumbprint = thumbprintText(certificate);
                      if (!creator || thumbprint.empty()) return false;
                      bound.emplace(ContainerId{*creator, binding->container}, thumbprint);
                      return true;
                    });
  if (!read) return std::nullopt;
  return bound;
}

}  // namespace

int runKeysList(Host&, const CommandLine&) {
  const std::optional<std::vector<Provider>> providers = installedProviders();
  if (!providers) {
    reportPlatformFailure("cannot list the key providers", "no se pudo listar los proveedores de llaves");
    return kExitFailure;
  }
  const std::optional<std::map<ContainerId, std::string>> bound = boundCertificates();
  if (!bound) {
    reportPlatformFailure("cannot read the store MY", "no se pudo leer el almacén MY");
    return kExitFailure;
  }
  std::set<ContainerId> listed;
  for (const Provider& provider : *providers) {
    const std::optional<std::vector<std::string>> containers = containersOf(provider);
    if (!containers) {
      reportPlatformFailure("cannot list the key containers of " + provider.name,
                            "no se pudo listar los contenedores de llaves de " + provider.name);
      return kExitFailure;
    }
    for (const std::string& container : *containers) {
      auto unreadable = [&container] {
        reportPlatformFailure("cannot read the key container " + container,
                              "no se pudo leer el contenedor de llaves " + container);
        return kExitFailure;
      };
      ProviderHandle context;
      if (!context.acquire(container.c_str(), provider.name.c_str(), provider.type, CRYPT_SILENT)) {
        if (GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET)) continue;  // deleted since it was listed
        return unreadable();
      }
      const std::optional<std::string> creator = providerText(context.get(), platform::PP_CREATOR_NAME);
      const std::optional<std::string> size = creator ? keySize(context.get()) : std::nullopt;
      if (!size) return unreadable();
      if (!listed.insert({*creator, container}).second) continue;
      const auto certificate = bound->find({*creator, container});
      std::printf("%s\t%s\t%s\t%s\n", container.c_str(), creator->c_str(), size->c_str(),
                  certificate == bound->end() ? "-" : certificate->second.c_str());
    }
  }
  return kExitSuccess;
}

}  // namespace tarvenholm::host
