#include "install/install.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "engine/providers.h"
#include "platform/lasterror.h"
#include "support/base64.h"
#include "support/errors.h"
#include "support/local_memory.h"
#include "support/textconv.h"

namespace tarvenholm {
namespace {

constexpr DWORD kCertificateEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The wide-character buffers of the key-provider property hold this many
// characters, the terminating zero included.
constexpr std::size_t kProviderInfoNameCapacity = 1024;

// A user's store, closed with the flags its step calls for.
template <DWORD Flags>
struct CloseStoreWith {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, Flags); }
};
template <DWORD Flags>
using StoreClosedWith = std::unique_ptr<void, CloseStoreWith<Flags>>;
using AuthorityStore = StoreClosedWith<CERT_CLOSE_STORE_CHECK_FLAG>;
using PersonalStore = StoreClosedWith<CERT_CLOSE_STORE_FORCE_FLAG>;

const char* textOf(int code) { return errorText(messageBuffer(), kMessageBufferSize, code); }

// A failed platform call: the system's text for its error, else the code's.
int failWithSystemError(int code) {
  showSystemError(textOf(code));
  return code;
}

// A failure of our own: the code's text.
int failWithBox(int code) {
  showErrorBox(textOf(code));
  return code;
}

HCERTSTORE openUserStore(DWORD encoding, const char16_t* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, encoding, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
}

// The first basic-constraints extension of the certificate, or null.
const CERT_EXTENSION* basicConstraintsOf(const CERT_INFO& info) {
  for (DWORD index = 0; index < info.cExtension; ++index) {
    const CERT_EXTENSION& extension = info.rgExtension[index];
    if (std::strcmp(extension.pszObjId, szOID_BASIC_CONSTRAINTS2) == 0) return &extension;
  }
  return nullptr;
}

// cA TRUE, whatever the criticality and the path length. Constraints that do
// not decode grant nothing. The structure has a fixed size: one call.
bool grantsAuthority(const CERT_EXTENSION& basicConstraints) {
  CERT_BASIC_CONSTRAINTS2_INFO constraints{};
  DWORD size = sizeof constraints;
  return CryptDecodeObject(kCertificateEncoding, X509_BASIC_CONSTRAINTS2, basicConstraints.Value.pbData,
                           basicConstraints.Value.cbData, 0, &constraints, &size) &&
         constraints.fCA;
}

// A root names itself as its issuer with the very same bytes.
bool isRoot(const CERT_INFO& info) {
  return info.Issuer.cbData == info.Subject.cbData &&
         std::memcmp(info.Issuer.pbData, info.Subject.pbData, info.Issuer.cbData) == 0;
}

// What one certificate of the collection came to.
struct Outcome {
  bool actedOn = false;  // false: ignored, the walk's result stays as it was
  int result = kSuccess;
  bool endsWalk = false;
};

Outcome ignored() { return {}; }
Outcome actedOn(int result) { return {true, result, false}; }
Outcome endsWalk(int result) { return {true, result, true}; }

// Whether this user has the key container: a record in a machine hive that
// several users share may name a container of another user.
bool containerExists(const std::string& containerName, const std::string& providerName) {
  const DWORD providerType = getProvType(providerName.c_str());
  if (providerType == 0) return true;  // linkUserCert reports the unknown provider
  UniqueCryptProv provider;
  if (!CryptAcquireContextA(provider.put(), containerName.c_str(), providerName.c_str(), providerType, CRYPT_SILENT))
    return GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET);
  return true;
}

// The key record of the certificate's public key, when this user has one:
// the certificate is then the user's, whatever its basic constraints.
struct KeyRecord {
  bool found = false;
  bool hashed = true;  // false: the key identifier could not be computed
  std::string containerName;
  std::string providerName;
};

KeyRecord keyRecordOf(PCCERT_CONTEXT certificate) {
  KeyRecord record;
  std::string keyId;
  if (!publicKeyId(&certificate->pCertInfo->SubjectPublicKeyInfo, keyId)) {
    record.hashed = false;
    return record;
  }
  const std::string path = keyRecordPath(keyId);
  if (!regKeyExists(HKEY_LOCAL_MACHINE, path)) return record;
  record.containerName = regReadString(HKEY_LOCAL_MACHINE, path, kContainerValueName);
  record.providerName = regReadString(HKEY_LOCAL_MACHINE, path, kProviderValueName);
  record.found = record.containerName.empty() || record.providerName.empty() ||
                 containerExists(record.containerName, record.providerName);
  return record;
}

int addAuthorityTo(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  if (!CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_USE_EXISTING, nullptr))
    return failWithSystemError(kAddCertificateFailed);
  return kSuccess;
}

// The authority stores of one walk, each opened for its first certificate
// and kept open to the walk's end: a collection of many authorities opens
// "CA" once, not once for each. A store that does not open is tried again
// for its next certificate, as addCACert would.
class AuthorityStores {
 public:
  int add(PCCERT_CONTEXT certificate, bool root) {
    AuthorityStore& store = root ? roots_ : intermediates_;
    if (!store) store.reset(openUserStore(0, root ? u"ROOT" : u"CA"));
    if (!store) return failWithSystemError(kOpenStoreFailed);
    return addAuthorityTo(store.get(), certificate);
  }

 private:
  AuthorityStore roots_;
  AuthorityStore intermediates_;
};

// The record is looked up first: a certificate whose key has a record is the
// user's and is bound, whatever its basic constraints. Otherwise an
// authority (cA TRUE) goes to ROOT or CA; a certificate without basic
// constraints is passed over; any other is the user's without a record.
Outcome place(PCCERT_CONTEXT certificate, AuthorityStores& authorityStores) {
  const CERT_INFO& info = *certificate->pCertInfo;
  const CERT_EXTENSION* basicConstraints = basicConstraintsOf(info);
  const KeyRecord record = keyRecordOf(certificate);
  if (record.found) {
    if (record.containerName.empty() || record.providerName.empty()) return endsWalk(failWithBox(kKeyRecordIncomplete));
    return actedOn(linkUserCert(certificate, record.containerName, record.providerName));
  }
  if (basicConstraints == nullptr) return ignored();
  if (grantsAuthority(*basicConstraints)) return actedOn(authorityStores.add(certificate, isRoot(info)));
  if (!record.hashed) return endsWalk(failWithSystemError(kHashFailed));
  return endsWalk(failWithBox(kNoKeyRecord));
}

// Copies `name` as a wide string into a buffer of the property's capacity;
// false when it does not fit.
bool toPropertyName(const std::string& name, WCHAR (&buffer)[kProviderInfoNameCapacity]) {
  const std::u16string wide = systemToWide(name);
  if (wide.size() >= kProviderInfoNameCapacity) return false;
  std::memset(buffer, 0, sizeof buffer);
  std::memcpy(buffer, wide.data(), wide.size() * sizeof(WCHAR));
  return true;
}

}  // namespace

int installCert(const char* text) {
  int result = kSuccess;

  // A text the codec refuses is not a platform failure: the thread's last
  // error says nothing about it, so the box shows the code's own text.
  const std::size_t textLength = text != nullptr ? std::strlen(text) : 0;
  std::uint32_t decodedLength = 0;
  if (text == nullptr || textLength > UINT32_MAX ||
      !base64DecodedLength(text, static_cast<std::uint32_t>(textLength), &decodedLength))
    return failWithBox(kOpenCollectionFailed);

  LocalPtr<BYTE> decoded(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, decodedLength)));
  if (!decoded) return failWithSystemError(kNoMemoryForCertificate);
  // Accepted above by the same rule, so it decodes.
  base64Decode(text, static_cast<std::uint32_t>(textLength), decoded.get());

  CRYPT_DATA_BLOB message{decodedLength, decoded.get()};
  const UniqueCertStore collection(CertOpenStore(CERT_STORE_PROV_PKCS7, kCertificateEncoding, 0, 0, &message));
  if (!collection) return failWithSystemError(kOpenCollectionFailed);
  decoded.reset();

  AuthorityStores authorityStores;
  UniqueCertContext certificate;
  for (;;) {
    certificate.reset(CertEnumCertificatesInStore(collection.get(), certificate.release()));
    if (!certificate) break;
    const Outcome outcome = place(certificate.get(), authorityStores);
    // A failure is not undone by a later success.
    if (outcome.actedOn && (result == kSuccess || outcome.result != kSuccess)) result = outcome.result;
    if (outcome.endsWalk) break;
  }
  return result;
}

int addCACert(PCCERT_CONTEXT certificate, const char16_t* storeName) {
  const AuthorityStore store(openUserStore(0, storeName));
  if (!store) return failWithSystemError(kOpenStoreFailed);
  return addAuthorityTo(store.get(), certificate);
}

int linkUserCert(PCCERT_CONTEXT certificate, const std::string& containerName, const std::string& providerName) {
  const DWORD providerType = getProvType(providerName.c_str());
  if (providerType == 0) return failWithBox(kInvalidProviderName);

  // Checked before the store is touched, so that a name the property cannot
  // hold leaves no unbound copy in "MY".
  WCHAR wideContainerName[kProviderInfoNameCapacity];
  WCHAR wideProviderName[kProviderInfoNameCapacity];
  if (!toPropertyName(containerName, wideContainerName) || !toPropertyName(providerName, wideProviderName))
    return failWithBox(kBindCertificateFailed);

  const PersonalStore store(openUserStore(kCertificateEncoding, u"MY"));
  if (!store) return failWithSystemError(kOpenStoreFailed);

  PCCERT_CONTEXT added = nullptr;
  if (!CertAddCertificateContextToStore(store.get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING, &added))
    return failWithSystemError(kAddCertificateFailed);
  const UniqueCertContext storeCopy(added);

  CRYPT_KEY_PROV_INFO providerInfo{};
  providerInfo.pwszContainerName = wideContainerName;
  providerInfo.pwszProvName = wideProviderName;
  providerInfo.dwProvType = providerType;
  providerInfo.dwFlags = 0;
  providerInfo.cProvParam = 0;
  providerInfo.rgProvParam = nullptr;
  providerInfo.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(storeCopy.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &providerInfo))
    return failWithSystemError(kBindCertificateFailed);
  return kSuccess;
}

}  // namespace tarvenholm
