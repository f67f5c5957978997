// store delete: takes one certificate out of one of the user's stores.
#include "host/commands.h"
#include "host/console.h"
#include "host/operation.h"
#include "host/user_stores.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {

int runStoreDelete(Host&, const CommandLine& line) {
  const std::string store = storeNameOperand(line.operands[0], line.name());
  const std::vector<BYTE> hash = thumbprintOperand(line.operands[1], line.name());
  const std::string thumbprint = thumbprintText(hash);

  Operation operation;
  UniqueCertStore opened = openUserStore(store, true);
  if (!opened) {
    reportPlatformFailure({"cannot open the store " + store, "no se pudo abrir el almacén " + store});
    return kExitFailure;
  }
  UniqueCertContext certificate = findCertificate(opened.get(), hash);
  if (!certificate) {
    if (GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND)) {
      reportPlatformFailure({"cannot read the store " + store, "no se pudo leer el almacén " + store});
      return kExitFailure;
    }
    reportFailure({"no certificate with the thumbprint " + thumbprint + " in " + store,
                   "no hay un certificado con la huella " + thumbprint + " en " + store});
    return kExitFailure;
  }
  if (!CertDeleteCertificateFromStore(certificate.release())) {
    reportPlatformFailure({"cannot delete the certificate " + thumbprint + " from " + store,
                           "no se pudo borrar el certificado " + thumbprint + " de " + store});
    return kExitFailure;
  }
  return operation.save() ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
