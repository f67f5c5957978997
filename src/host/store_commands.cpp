// store list and store export: the user's stores through the platform's
// store and provider interfaces.
#include "host/openssl_owned.h"
// (OpenSSL first: see openssl_owned.h.)
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "host/commands.h"
#include "host/console.h"
#include "host/operation.h"
#include "host/passwords.h"
#include "host/pkcs12_file.h"
#include "host/user_stores.h"
#include "platform/lasterror.h"

namespace tarvenholm::host {
namespace {

constexpr const char* kStoreNames[] = {"MY", "CA", "ROOT"};
// Where a certificate's chain is looked for, nearest first.
constexpr const char* kAuthorityStores[] = {"CA", "ROOT"};

std::string upperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::optional<std::vector<BYTE>> thumbprintBytes(const std::string& text) {
  if (text.size() != 40) return std::nullopt;
  std::vector<BYTE> bytes;
  for (std::size_t index = 0; index < text.size(); index += 2) {
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(text[index]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(text[index + 1]));
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<BYTE>(high << 4 | low));
  }
  return bytes;
}

void reportStoreFailure(const std::string& store) {
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
  ProviderHandle provider;
  if (!provider.acquire(container.c_str(), binding.provider.c_str(), binding.providerType, 0)) {
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
  const std::string name = upperCase(line.operands.front());
  if (std::none_of(std::begin(kStoreNames), std::end(kStoreNames),
                   [&name](const char* known) { return name == known; }))
    throw UsageError("unknown store '" + line.operands.front() + "': use MY, CA or ROOT", line.name());

  UniqueCertStore store = openUserStore(name);
  if (!store) {
    reportStoreFailure(name);
    return kExitFailure;
  }
  const bool read = forEachCertificate(store.get(), [&name](PCCERT_CONTEXT certificate) {
    const std::string thumbprint = thumbprintText(certificate);
    std::optional<KeyBinding> binding;
    if (thumbprint.empty() || (name == "MY" && !readKeyBinding(certificate, binding))) return false;
    std::string entry = thumbprint + "\t" + subjectText(certificate);
    if (binding) entry += "\t" + binding->container + "\t" + binding->provider;
    std::printf("%s\n", entry.c_str());
    return true;
  });
  if (!read) {
    reportStoreFailure(name);
    return kExitFailure;
  }
  return kExitSuccess;
}

int runStoreExport(Host& host, const CommandLine& line) {
  Operation operation;
  const std::string& thumbprint = line.operands.front();
  const std::optional<std::vector<BYTE>> hash = thumbprintBytes(thumbprint);
  if (!hash) throw UsageError("'" + thumbprint + "' is not a thumbprint: 40 hexadecimal digits expected", line.name());
  const std::string* out = line.option("--out");
  if (out == nullptr || out->empty()) throw UsageError("store export needs --out FILE", line.name());
  if (!host.passwords.canGiveExportPassword())
    throw UsageError("store export needs a password for " + *out + ": run it on a terminal or give --password-file",
                     line.name());

  UniqueCertStore store = openUserStore("MY");
  if (!store) {
    reportStoreFailure("MY");
    return kExitFailure;
  }
  CRYPT_HASH_BLOB wanted{static_cast<DWORD>(hash->size()), const_cast<BYTE*>(hash->data())};
  UniqueCertContext certificate(
      CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr));
  if (!certificate) {
    reportFailure({"no certificate with the thumbprint " + upperCase(thumbprint) + " in MY",
                   "no hay un certificado con la huella " + upperCase(thumbprint) + " en MY"});
    return kExitFailure;
  }
  std::optional<KeyBinding> binding;
  if (!readKeyBinding(certificate.get(), binding)) {
    reportStoreFailure("MY");
    return kExitFailure;
  }
  if (!binding) {
    reportFailure({"the certificate " + upperCase(thumbprint) + " is not bound to a key container",
                   "el certificado " + upperCase(thumbprint) + " no está ligado a un contenedor de llaves"});
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
  const std::optional<std::vector<unsigned char>> file =
      pkcs12Of(exported.key.get(), parsed.get(), chain, password.text());
  if (!file) {
    reportFailure({"the PKCS#12 file could not be made", "no se pudo formar el archivo PKCS#12"});
    return kExitFailure;
  }
  if (!writePrivateFile(*out, *file)) {
    const std::string reason = systemErrorText(errno);
    reportFailure({"cannot write " + *out + ": " + reason, "no se pudo escribir " + *out + ": " + reason});
    return kExitFailure;
  }
  return operation.save() ? kExitSuccess : kExitFailure;
}

}  // namespace tarvenholm::host
