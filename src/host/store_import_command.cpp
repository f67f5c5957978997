// store import: a PKCS#12 file's key into a new key container, its
// certificate into MY bound to it, the rest of its certificates into CA and
// ROOT.
#include "host/openssl_owned.h"
// (OpenSSL first: see openssl_owned.h.)
#include <openssl/crypto.h>
#include <openssl/err.h>

#include "engine/keyrecords.h"
#include "engine/settings.h"
#include "host/certificate_input.h"
#include "host/commands.h"
#include "host/console.h"
#include "host/key_records.h"
#include "host/operation.h"
#include "host/passwords.h"
#include "host/user_stores.h"
#include "platform/key_protection.h"
#include "platform/lasterror.h"
#include "platform/oletext.h"

namespace tarvenholm::host {
namespace {

// The provider an imported RSA key goes to: genreq's.
constexpr const char* kImportProvider = kDefaultProviderName;
constexpr DWORD kImportProviderType = PROV_RSA_FULL;
// As genreq makes its keys: exportable, protected by the user's password.
constexpr DWORD kImportFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;

struct Pkcs12Contents {
  UniquePkey key;
  UniqueX509 certificate;
  UniqueX509Stack others;
};

// Opens the file with its password; nothing after saying why it cannot be.
std::optional<Pkcs12Contents> openPkcs12(const std::string& file, const std::vector<unsigned char>& bytes,
                                         Passwords& passwords) {
  const unsigned char* cursor = bytes.data();
  UniquePkcs12 parsed(d2i_PKCS12(nullptr, &cursor, static_cast<long>(bytes.size())));
  ERR_clear_error();
  if (!parsed) {
    reportFailure({file + " is not a PKCS#12 file", file + " no es un archivo PKCS#12"});
    return std::nullopt;
  }
  platform::PasswordText password;
  if (!passwords.importPassword(file, password)) {
    reportFailure({"no password was given for " + file, "no se dio la contraseña de " + file});
    return std::nullopt;
  }
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* others = nullptr;
  const bool opened = PKCS12_parse(parsed.get(), password.text().c_str(), &key, &certificate, &others) == 1;
  ERR_clear_error();
  Pkcs12Contents contents{UniquePkey(key), UniqueX509(certificate), UniqueX509Stack(others)};
  if (!opened) {
    reportFailure({"wrong password for " + file + ", or the file is damaged",
                   "contraseña incorrecta para " + file + ", o el archivo está dañado"});
    return std::nullopt;
  }
  if (!contents.key || !contents.certificate) {
    reportFailure({file + " does not hold a private key with its certificate",
                   file + " no contiene una llave privada con su certificado"});
    return std::nullopt;
  }
  return contents;
}

// What the key providers here can hold; nothing is written before this holds.
std::optional<Message> unsupportedKey(EVP_PKEY* key, X509* certificate) {
  const int type = EVP_PKEY_get_base_id(key);
  if (type == EVP_PKEY_EC)
    return Message{"the key is an EC key: store import takes RSA keys only",
                   "la llave es EC: store import solo acepta llaves RSA"};
  if (type != EVP_PKEY_RSA)
    return Message{"only RSA keys can be imported", "solo se pueden importar llaves RSA"};
  const bool matches = X509_check_private_key(certificate, key) == 1;
  ERR_clear_error();
  if (!matches)
    return Message{"the key does not belong to the certificate", "la llave no corresponde al certificado"};
  return std::nullopt;
}

UniqueCertContext certificateContext(X509* certificate) {
  std::vector<unsigned char> der;
  if (!platform::derOf<X509, i2d_X509>(certificate, der)) return nullptr;
  return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

// Makes the new container the key goes into.
BOOL makeContainer(CRYPT_PRIVATE_KEY_INFO*, HCRYPTPROV* prov, void* containerName) {
  return CryptAcquireContextA(prov, static_cast<const std::string*>(containerName)->c_str(), kImportProvider,
                              kImportProviderType, CRYPT_NEWKEYSET);
}

bool importKey(EVP_PKEY* key, const std::string& container) {
  std::vector<BYTE> der;
  if (!platform::privateKeyInfo(key, der)) return false;
  CRYPT_PKCS8_IMPORT_PARAMS params{{static_cast<DWORD>(der.size()), der.data()},
                                   makeContainer,
                                   const_cast<std::string*>(&container),
                                   nullptr,
                                   nullptr};
  const BOOL imported = CryptImportPKCS8(params, kImportFlags, nullptr, nullptr);
  OPENSSL_cleanse(der.data(), der.size());
  return imported != FALSE;
}

// Binds the store's copy of the certificate to the container, as setcert does.
bool bindToContainer(PCCERT_CONTEXT added, const std::string& container) {
  std::u16string wideContainer = platform::utf8ToWide(container);
  std::u16string wideProvider = platform::utf8ToWide(kImportProvider);
  CRYPT_KEY_PROV_INFO info{wideContainer.data(), wideProvider.data(), kImportProviderType, 0, 0, nullptr,
                           AT_KEYEXCHANGE};
  return CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

// The file's other certificates: self-signed ones to ROOT, the rest to CA.
bool addAuthorities(STACK_OF(X509) * others) {
  for (int index = 0; others != nullptr && index < sk_X509_num(others); ++index) {
    X509* authority = sk_X509_value(others, index);
    const bool root = X509_NAME_cmp(X509_get_subject_name(authority), X509_get_issuer_name(authority)) == 0;
    UniqueCertStore store = openUserStore(root ? "ROOT" : "CA", true);
    UniqueCertContext context = certificateContext(authority);
    if (!store || !context ||
        !CertAddCertificateContextToStore(store.get(), context.get(), CERT_STORE_ADD_USE_EXISTING, nullptr))
      return false;
  }
  return true;
}

// True when MY has this certificate bound to a key already.
std::optional<bool> boundInMy(PCCERT_CONTEXT certificate) {
  UniqueCertStore store = openUserStore("MY");
  if (!store) return std::nullopt;
  BYTE hash[20];
  DWORD length = sizeof hash;
  if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &length)) return std::nullopt;
  UniqueCertContext existing = findCertificate(store.get(), std::vector<BYTE>(hash, hash + length));
  if (!existing) {
    if (GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND)) return false;
    return std::nullopt;
  }
  std::optional<KeyBinding> binding;
  if (!readKeyBinding(existing.get(), binding)) return std::nullopt;
  return binding.has_value();
}

}  // namespace

int runStoreImport(Host& host, const CommandLine& line) {
  const std::string& file = line.operands.front();
  if (!host.passwords.canGiveExportPassword())
    throw UsageError("store import needs the password of " + file + ": run it on a terminal or give --password-file",
                     line.name());
  const std::optional<std::vector<unsigned char>> bytes = readInput(file);
  if (!bytes) return kExitFailure;
  const std::optional<Pkcs12Contents> contents = openPkcs12(file, *bytes, host.passwords);
  if (!contents) return kExitFailure;
  if (const std::optional<Message> problem = unsupportedKey(contents->key.get(), contents->certificate.get())) {
    reportFailure(*problem);
    return kExitFailure;
  }
  UniqueCertContext certificate = certificateContext(contents->certificate.get());
  const std::optional<bool> alreadyBound = certificate ? boundInMy(certificate.get()) : std::nullopt;
  if (!alreadyBound) {
    reportPlatformFailure({"cannot read the store MY", "no se pudo leer el almacén MY"});
    return kExitFailure;
  }
  const std::string thumbprint = thumbprintText(certificate.get());
  if (*alreadyBound) {
    reportFailure({"the certificate " + thumbprint + " is in MY bound to a key already",
                   "el certificado " + thumbprint + " ya está en MY ligado a una llave"});
    return kExitFailure;
  }

  // Everything from here on is taken back unless it all succeeds.
  Operation operation;
  const std::string container = newContainerName();
  if (!importKey(contents->key.get(), container)) {
    reportPlatformFailure({"cannot put the key into a new key container",
                           "no se pudo guardar la llave en un contenedor nuevo"});
    return kExitFailure;
  }
  UniqueCertStore my = openUserStore("MY", true);
  PCCERT_CONTEXT added = nullptr;
  if (!my ||
      !CertAddCertificateContextToStore(my.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    reportPlatformFailure({"cannot add the certificate to MY", "no se pudo agregar el certificado a MY"});
    return kExitFailure;
  }
  const UniqueCertContext storeCopy(added);
  if (!bindToContainer(storeCopy.get(), container)) {
    reportPlatformFailure({"cannot bind the certificate to its key", "no se pudo ligar el certificado a su llave"});
    return kExitFailure;
  }
  if (!writeKeyRecord(storeCopy.get(), container, kImportProvider)) {
    reportPlatformFailure({"cannot write the key record", "no se pudo escribir el registro de la llave"});
    return kExitFailure;
  }
  if (!addAuthorities(contents->others.get())) {
    reportPlatformFailure({"cannot add the file's authority certificates to CA and ROOT",
                           "no se pudo agregar los certificados de autoridad del archivo a CA y ROOT"});
    return kExitFailure;
  }
  if (!operation.save()) return kExitFailure;
  std::printf("%s\t%s\n", thumbprint.c_str(), container.c_str());
  return kExitSuccess;
}

}  // namespace tarvenholm::host
