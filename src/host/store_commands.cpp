// store list and store export: the user's stores through the platform's
// store and provider interfaces.
#include "host/openssl_owned.h"
// (OpenSSL first: see openssl_owned.h.)
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cerrno>
#include <cstdio>

#include "host/commands.h"
#include "host/console.h"
#include "host/json_output.h"
#include "host/operation.h"
#include "host/passwords.h"
#include "host/pkcs12_file.h"
#include "host/user_stores.h"
#include "platform/certstore.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

// Where a certificate's chain is looked for, nearest first.
constexpr const char* kAuthorityStores[] = {"CA", "ROOT"};

void reportStoreFailure(const std::string& store) {
  if (reportStateFailure()) return;
  const std::string reason = platformErrorText(GetLastError());
  reportFailure(
      {"cannot read the store " + store + ": " + reason, "no se pudo leer el almacén " + store + ": " + reason});
}

// A private key exported from its container, or why it could not be.
struct ExportedKey {
  UniquePkey key;
  std::optional<Message> problem;
};

ExportedKey exportKey(const KeyBinding& binding) {
  const std::string& container = binding.container;
  UniqueCryptProv provider;
  if (!CryptAcquireContextA(provider.put(), container.c_str(), binding.provider.c_str(), binding.providerType, 0)) {
    const std::string reason = platformErrorText(GetLastError());
    return {nullptr, Message{"cannot open the key container " + container + " of " + binding.provider + ": " + reason,
                             "no se pudo abrir el contenedor de llaves " + container + " de " + binding.provider +
                                 ": " + reason}};
  }
  // The private key is exported under its public key's algorithm (RSA or EC).
  DWORD length = 0;
  std::vector<BYTE> publicKey;
  bool exported = CryptExportPublicKeyInfo(provider.get(), binding.keySpec, X509_ASN_ENCODING, nullptr, &length) != FALSE;
  if (exported) {
    publicKey.resize(length);
    exported = CryptExportPublicKeyInfo(provider.get(), binding.keySpec, X509_ASN_ENCODING,
                                        reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicKey.data()), &length) != FALSE;
  }
  char* algorithm = exported ? reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(publicKey.data())->Algorithm.pszObjId : nullptr;
  std::vector<BYTE> der;
  exported = exported && CryptExportPKCS8(provider.get(), binding.keySpec, algorithm, 0, nullptr, nullptr, &length) != FALSE;
  if (exported) {
    der.resize(length);
    exported = CryptExportPKCS8(provider.get(), binding.keySpec, algorithm, 0, nullptr, der.data(), &length) != FALSE;
  }
  if (!exported) {
    const DWORD error = GetLastError();
    switch (error) {
      case NTE_BAD_KEY_STATE:
        return {nullptr, Message{"the private key in container " + container +
                                     " was not generated exportable; it cannot be exported",
                                 "la llave privada del contenedor " + container +
                                     " no se generó exportable; no se puede exportar"}};
      case ERROR_INVALID_PASSWORD:
        return {nullptr, Message{"wrong password for the key in container " + container,
                                 "contraseña incorrecta para la llave del contenedor " + container}};
      case ERROR_CANCELLED:
        return {nullptr, Message{"no password was given for the key in container " + container,
                                 "no se dio la contraseña de la llave del contenedor " + container}};
      default: {
        const std::string reason = platformErrorText(error);
        return {nullptr, Message{"cannot export the key in container " + container + ": " + reason,
                                 "no se pudo exportar la llave del contenedor " + container + ": " + reason}};
      }
    }
  }
  const unsigned char* cursor = der.data();
  UniquePkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(length)));
  OPENSSL_cleanse(der.data(), der.size());
  ERR_clear_error();
  if (!key)
    return {nullptr, Message{"the key in container " + container + " could not be read",
                             "no se pudo leer la llave del contenedor " + container}};
  return {std::move(key), std::nullopt};
}

// Every certificate of CA and ROOT; nothing after reporting a store that cannot be read.
std::optional<std::vector<UniqueX509>> authorityCertificates() {
  std::vector<UniqueX509> authorities;
  for (const char* name : kAuthorityStores) {
    UniqueCertStore store = openUserStore(name);
    const bool read = store && forEachCertificate(store.get(), [&authorities](PCCERT_CONTEXT certificate) {
                        if (UniqueX509 parsed = openSslCertificate(certificate))
                          authorities.push_back(std::move(parsed));
                        return true;
                      });
    if (!read) {
      reportStoreFailure(name);
      return std::nullopt;
    }
  }
  return authorities;
}

}  // namespace

int runStoreList(Host&, const CommandLine& line) {
  const std::string name = storeNameOperand(line.operands.front(), line.name());

  UniqueCertStore store = openUserStore(name);
  if (!store) {
    reportStoreFailure(name);
    return kExitFailure;
  }
  const bool json = line.has("--json");
  Json certificates = Json::array();
  const bool read = forEachCertificate(store.get(), [&](PCCERT_CONTEXT certificate) {
    const std::string thumbprint = thumbprintText(certificate);
    std::optional<KeyBinding> binding;
    if (thumbprint.empty() || (name == "MY" && !readKeyBinding(certificate, binding))) return false;
    if (json) {
      Json entry = {{"thumbprint", thumbprint}, {"subject", subjectText(certificate)}};
      if (name == "MY") {
        entry["container"] = binding ? Json(binding->container) : Json();
        entry["provider"] = binding ? Json(binding->provider) : Json();
      }
      certificates.push_back(std::move(entry));
      return true;
    }
    std::string entry = thumbprint + "\t" + subjectText(certificate);
    if (binding) entry += "\t" + binding->container + "\t" + binding->provider;
    std::printf("%s\n", entry.c_str());
    return true;
  });
  if (!read) {
    reportStoreFailure(name);
    return kExitFailure;
  }
  if (json) printJson({{"store", name}, {"certificates", certificates}});
  // What could be read is listed; each damaged entry is named and makes it a failure.
  const std::vector<platform::certs::Thumbprint> damaged = platform::certs::damagedEntries(store.get());
  for (const platform::certs::Thumbprint& entry : damaged) {
    const std::string thumbprint = thumbprintText(std::vector<BYTE>(entry.begin(), entry.end()));
    reportFailure({"the entry of the certificate " + thumbprint + " in " + name + " is damaged",
                   "la entrada del certificado " + thumbprint + " en " + name + " está dañada"});
  }
  return damaged.empty() ? kExitSuccess : kExitFailure;
}

int runStoreExport(Host& host, const CommandLine& line) {
  Operation operation;
  const std::vector<BYTE> hash = thumbprintOperand(line.operands.front(), line.name());
  const std::string thumbprint = thumbprintText(hash);
  const std::string* out = line.option("--out");
  if (out == nullptr || out->empty()) throw UsageError("store export needs --out FILE", line.name());
  if (const std::string* exportPasswordFile = line.option("--export-password-file"))
    host.passwords.takeExportPasswordFrom(*exportPasswordFile);
  if (!host.passwords.canGiveExportPassword())
    throw UsageError("store export needs a password for " + *out + ": run it on a terminal or give --password-file",
                     line.name());

  UniqueCertStore store = openUserStore("MY");
  if (!store) {
    reportStoreFailure("MY");
    return kExitFailure;
  }
  UniqueCertContext certificate = findCertificate(store.get(), hash);
  if (!certificate) {
    reportFailure({"no certificate with the thumbprint " + thumbprint + " in MY",
                   "no hay un certificado con la huella " + thumbprint + " en MY"});
    return kExitFailure;
  }
  std::optional<KeyBinding> binding;
  if (!readKeyBinding(certificate.get(), binding)) {
    reportStoreFailure("MY");
    return kExitFailure;
  }
  if (!binding) {
    reportFailure({"the certificate " + thumbprint + " is not bound to a key container",
                   "el certificado " + thumbprint + " no está ligado a un contenedor de llaves"});
    return kExitFailure;
  }

  ExportedKey exported = exportKey(*binding);
  if (exported.problem) {
    reportFailure(*exported.problem);
    return kExitFailure;
  }
  UniqueX509 parsed = openSslCertificate(certificate.get());
  const bool matches = parsed && X509_check_private_key(parsed.get(), exported.key.get()) == 1;
  ERR_clear_error();
  if (!matches) {
    reportFailure({"the key in container " + binding->container + " does not belong to the certificate",
                   "la llave del contenedor " + binding->container + " no corresponde al certificado"});
    return kExitFailure;
  }
  const std::optional<std::vector<UniqueX509>> authorities = authorityCertificates();
  if (!authorities) return kExitFailure;
  const std::vector<X509*> chain = chainOf(parsed.get(), *authorities);

  platform::PasswordText password;
  switch (host.passwords.exportPassword(*out, password)) {
    case Passwords::Outcome::Given:
      break;
    case Passwords::Outcome::Mismatch:
      reportFailure({"the two passwords differ", "las dos contraseñas no coinciden"});
      return kExitFailure;
    case Passwords::Outcome::Empty:
      reportFailure({"the file needs a password that is not empty", "el archivo necesita una contraseña no vacía"});
      return kExitFailure;
  }
  const std::string commonName = commonNameOf(parsed.get());
  const std::optional<std::vector<unsigned char>> file = pkcs12Of(
      exported.key.get(), parsed.get(), chain, password.text(), commonName.empty() ? binding->container : commonName);
  if (!file) {
    reportFailure({"the PKCS#12 file could not be made", "no se pudo formar el archivo PKCS#12"});
    return kExitFailure;
  }
  if (*out == "-" ? !writeStandardOutput(file->data(), file->size()) : !writePrivateFile(*out, *file)) {
    const std::string reason = errno == ELOOP ? inHostLanguage({"it is a symbolic link, which is not followed",
                                                                "es un enlace simbólico, que no se sigue"})
                                              : systemErrorText(errno);
    reportFailure({"cannot write " + *out + ": " + reason, "no se pudo escribir " + *out + ": " + reason});
    return kExitFailure;
  }
  return operation.save() ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
