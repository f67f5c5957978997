// keys delete: removes a key container, its key records and, when asked,
// the certificates of MY bound to it.
#include "host/user_stores.h"
// (OpenSSL first: see openssl_owned.h.)
#include "host/commands.h"
#include "host/console.h"
#include "host/key_containers.h"
#include "host/key_records.h"
#include "host/operation.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

// Takes the certificates bound to the container out of MY.
bool deleteBoundCertificates(const std::vector<std::string>& thumbprints) {
  UniqueCertStore store = openUserStore("MY", true);
  if (!store) {
    reportPlatformFailure({"cannot open the store MY", "no se pudo abrir el almacén MY"});
    return false;
  }
  for (const std::string& thumbprint : thumbprints) {
    const std::optional<std::vector<BYTE>> hash = parseThumbprint(thumbprint);
    UniqueCertContext certificate = hash ? findCertificate(store.get(), *hash) : nullptr;
    if (!certificate || !CertDeleteCertificateFromStore(certificate.release())) {
      reportPlatformFailure({"cannot delete the certificate " + thumbprint + " from MY",
                             "no se pudo borrar el certificado " + thumbprint + " de MY"});
      return false;
    }
  }
  return true;
}

}  // namespace

int runKeysDelete(Host&, const CommandLine& line) {
  const std::string& name = line.operands.front();
  const std::string* provider = line.option("--provider");
  const std::optional<ContainerListing> listing = listContainers();
  if (!listing) return kExitFailure;
  // A damaged container can be deleted too: that is how the user gets rid of it.
  std::vector<const ContainerEntry*> found;
  for (const auto* entries : {&listing->entries, &listing->damaged})
    for (const ContainerEntry& entry : *entries)
      if (entry.name == name && (provider == nullptr || entry.provider == *provider)) found.push_back(&entry);
  if (found.empty()) {
    reportFailure({"no key container " + name, "no hay un contenedor de llaves " + name});
    return kExitFailure;
  }
  if (found.size() > 1)
    throw UsageError("more than one provider has a key container " + name + ": choose one with --provider",
                     line.name());
  const ContainerEntry& container = *found.front();

  const std::optional<std::vector<BoundCertificate>> bound = boundCertificates();
  if (!bound) {
    reportPlatformFailure({"cannot read the store MY", "no se pudo leer el almacén MY"});
    return kExitFailure;
  }
  std::vector<std::string> certificates;
  for (const BoundCertificate& certificate : *bound)
    if (certificate.container == ContainerId{container.provider, container.name})
      certificates.push_back(certificate.thumbprint);
  if (!certificates.empty() && !line.has("--with-certificate")) {
    reportFailure({"the key container " + name + " has its certificate " + certificates.front() +
                       " in MY; delete both with --with-certificate",
                   "el contenedor de llaves " + name + " tiene su certificado " + certificates.front() +
                       " en MY; bórrelos ambos con --with-certificate"});
    return kExitFailure;
  }

  // All of it, or nothing when a step fails.
  Operation operation;
  if (!deleteBoundCertificates(certificates)) return kExitFailure;
  if (!deleteKeyRecords(container.name, container.provider)) {
    reportPlatformFailure({"cannot delete the key records of " + name,
                           "no se pudo borrar los registros de llave de " + name});
    return kExitFailure;
  }
  HCRYPTPROV none = 0;
  if (!CryptAcquireContextA(&none, container.name.c_str(), container.listedBy.name.c_str(), container.listedBy.type,
                            CRYPT_DELETEKEYSET)) {
    reportPlatformFailure({"cannot delete the key container " + name,
                           "no se pudo borrar el contenedor de llaves " + name});
    return kExitFailure;
  }
  return operation.save() ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
