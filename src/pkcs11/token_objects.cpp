// OpenSSL before the platform's headers, which define X509_NAME as a constant.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "pkcs11/token_objects.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>

#include "pkcs11/signing.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"
#include "platform/oletext.h"

namespace tarvenholm::pkcs11 {
namespace {

using platform::UniqueBignum;
using platform::UniqueX509;

constexpr const char16_t* kStoreNames[] = {u"MY", u"CA", u"ROOT"};
constexpr std::size_t kSha1Length = 20;

template <class T>
Bytes valueBytes(const T& value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}
Bytes boolBytes(bool value) { return valueBytes<CK_BBOOL>(value ? CK_TRUE : CK_FALSE); }
Bytes ulongBytes(CK_ULONG value) { return valueBytes(value); }
Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string hexText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

// The DER of an OpenSSL object through its i2d function.
template <class T>
Bytes derOf(const T* object, int (*encode)(const T*, unsigned char**)) {
  const int length = encode(object, nullptr);
  if (length <= 0) return {};
  Bytes der(static_cast<std::size_t>(length));
  unsigned char* cursor = der.data();
  encode(object, &cursor);
  return der;
}

Bytes bignumParameter(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
  UniqueBignum number(raw);
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number.get())));
  BN_bn2bin(number.get(), bytes.data());
  return bytes;
}

// CK_DATE of a certificate time: YYYYMMDD in characters.
Bytes dateBytes(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", (parts.tm_year + 1900) % 10000, (parts.tm_mon + 1) % 100,
                parts.tm_mday % 100);
  return Bytes(text, text + 8);
}

std::string commonName(X509* certificate) {
  X509_name_st* subject = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return {};
  return platform::utf8Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
}

// The key identifier: the SHA-1 of the certificate's SubjectPublicKeyInfo.
Bytes keyIdentifier(PCCERT_CONTEXT certificate) {
  Bytes hash(kSha1Length);
  DWORD length = static_cast<DWORD>(hash.size());
  if (!CryptHashPublicKeyInfo(0, CALG_SHA1, 0, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                              &certificate->pCertInfo->SubjectPublicKeyInfo, hash.data(), &length))
    return {};
  hash.resize(length);
  return hash;
}

// The key container a certificate is bound to; empty when it has none.
std::optional<KeyLocation> keyBinding(PCCERT_CONTEXT certificate) {
  DWORD length = 0;
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length)) return {};
  // The structure heads the buffer and its texts point into it: keep it aligned.
  std::vector<std::uint64_t> buffer((length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &length)) return {};
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  if (info->pwszContainerName == nullptr || info->pwszProvName == nullptr) return {};
  KeyLocation location;
  location.container = platform::wideToUtf8(info->pwszContainerName);
  location.provider = platform::wideToUtf8(info->pwszProvName);
  location.providerType = info->dwProvType;
  location.keySpec = info->dwKeySpec;
  return location;
}

bool keyIsProtected(NCRYPT_KEY_HANDLE key) {
  NCRYPT_UI_POLICY policy{};
  DWORD length = 0;
  if (NCryptGetProperty(key, NCRYPT_UI_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), sizeof policy, &length,
                        0) != ERROR_SUCCESS)
    return true;  // unknown: ask for the password rather than fail silently
  return (policy.dwFlags & (NCRYPT_UI_PROTECT_KEY_FLAG | NCRYPT_UI_FORCE_HIGH_PROTECTION_FLAG)) != 0;
}

// What every object of the token has.
void addStorageAttributes(TokenObject& object, const std::string& label) {
  object.attributes[CKA_CLASS] = ulongBytes(object.objectClass);
  object.attributes[CKA_TOKEN] = boolBytes(true);
  object.attributes[CKA_PRIVATE] = boolBytes(object.isPrivate);
  object.attributes[CKA_MODIFIABLE] = boolBytes(false);
  object.attributes[CKA_COPYABLE] = boolBytes(false);
  object.attributes[CKA_DESTROYABLE] = boolBytes(false);
  object.attributes[CKA_LABEL] = textBytes(label);
}

struct CertificateFacts {
  Bytes id;
  std::string label;
  Bytes subject;
  Bytes publicKeyInfo;
  CK_KEY_TYPE keyType = CKK_RSA;
  CK_ULONG signatureBytes = 0;  // 0 for a key the token does not sign with
  Bytes modulus;
  Bytes publicExponent;
  Bytes ecParameters;  // the named curve's OID, DER
  Bytes ecPoint;       // the uncompressed point in a DER OCTET STRING
  Bytes startDate;
  Bytes endDate;
};

TokenObject certificateObject(PCCERT_CONTEXT context, X509* certificate, const CertificateFacts& facts,
                              const std::string& store) {
  TokenObject object;
  Bytes der(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
  Bytes thumbprint(kSha1Length);
  DWORD length = static_cast<DWORD>(thumbprint.size());
  if (CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, thumbprint.data(), &length))
    thumbprint.resize(length);
  object.identity = "certificate:" + store + ":" + hexText(thumbprint);
  object.objectClass = CKO_CERTIFICATE;
  addStorageAttributes(object, facts.label);
  auto& attributes = object.attributes;
  attributes[CKA_CERTIFICATE_TYPE] = ulongBytes(CKC_X_509);
  attributes[CKA_TRUSTED] = boolBytes(false);
  attributes[CKA_CERTIFICATE_CATEGORY] = ulongBytes(store == "MY" ? 1 : 2);  // token user : authority
  attributes[CKA_CHECK_VALUE] = Bytes(thumbprint.begin(), thumbprint.begin() + 3);
  attributes[CKA_START_DATE] = facts.startDate;
  attributes[CKA_END_DATE] = facts.endDate;
  attributes[CKA_PUBLIC_KEY_INFO] = facts.publicKeyInfo;
  attributes[CKA_SUBJECT] = facts.subject;
  attributes[CKA_ID] = facts.id;
  attributes[CKA_ISSUER] = derOf(X509_get_issuer_name(certificate), i2d_X509_NAME);
  attributes[CKA_SERIAL_NUMBER] = derOf(X509_get0_serialNumber(certificate), i2d_ASN1_INTEGER);
  attributes[CKA_VALUE] = std::move(der);
  attributes[CKA_URL] = {};
  attributes[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = {};
  attributes[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = {};
  attributes[CKA_JAVA_MIDP_SECURITY_DOMAIN] = ulongBytes(0);
  return object;
}

// What a key's two halves share.
void addKeyAttributes(TokenObject& object, const CertificateFacts& facts) {
  auto& attributes = object.attributes;
  attributes[CKA_KEY_TYPE] = ulongBytes(facts.keyType);
  attributes[CKA_ID] = facts.id;
  attributes[CKA_SUBJECT] = facts.subject;
  attributes[CKA_START_DATE] = {};
  attributes[CKA_END_DATE] = {};
  attributes[CKA_DERIVE] = boolBytes(false);
  attributes[CKA_LOCAL] = boolBytes(false);
  attributes[CKA_KEY_GEN_MECHANISM] = ulongBytes(CK_UNAVAILABLE_INFORMATION);
  const std::vector<CK_MECHANISM_TYPE> mechanisms = signingMechanisms(facts.keyType);
  Bytes allowed(mechanisms.size() * sizeof(CK_MECHANISM_TYPE));
  std::memcpy(allowed.data(), mechanisms.data(), allowed.size());
  attributes[CKA_ALLOWED_MECHANISMS] = std::move(allowed);
  attributes[CKA_PUBLIC_KEY_INFO] = facts.publicKeyInfo;
  if (facts.keyType == CKK_EC) {
    attributes[CKA_EC_PARAMS] = facts.ecParameters;
    attributes[CKA_EC_POINT] = facts.ecPoint;
  } else {
    attributes[CKA_MODULUS] = facts.modulus;
    attributes[CKA_PUBLIC_EXPONENT] = facts.publicExponent;
  }
}

TokenObject publicKeyObject(const CertificateFacts& facts) {
  TokenObject object;
  object.identity = "public:" + hexText(facts.id);
  object.objectClass = CKO_PUBLIC_KEY;
  addStorageAttributes(object, facts.label);
  addKeyAttributes(object, facts);
  auto& attributes = object.attributes;
  if (facts.keyType == CKK_RSA) attributes[CKA_MODULUS_BITS] = ulongBytes(facts.modulus.size() * 8);
  attributes[CKA_ENCRYPT] = boolBytes(false);
  attributes[CKA_VERIFY] = boolBytes(true);
  attributes[CKA_VERIFY_RECOVER] = boolBytes(false);
  attributes[CKA_WRAP] = boolBytes(false);
  attributes[CKA_TRUSTED] = boolBytes(false);
  return object;
}

TokenObject privateKeyObject(const CertificateFacts& facts, std::shared_ptr<const KeyLocation> location) {
  TokenObject object;
  object.identity = "private:" + hexText(facts.id) + ":" + location->container;
  object.objectClass = CKO_PRIVATE_KEY;
  object.isPrivate = location->passwordProtected;
  addStorageAttributes(object, facts.label);
  addKeyAttributes(object, facts);
  auto& attributes = object.attributes;
  // Whatever the container allows, the key never leaves it through here.
  attributes[CKA_SENSITIVE] = boolBytes(true);
  attributes[CKA_EXTRACTABLE] = boolBytes(false);
  attributes[CKA_ALWAYS_SENSITIVE] = boolBytes(false);
  attributes[CKA_NEVER_EXTRACTABLE] = boolBytes(false);
  attributes[CKA_DECRYPT] = boolBytes(false);
  attributes[CKA_SIGN] = boolBytes(true);
  attributes[CKA_SIGN_RECOVER] = boolBytes(false);
  attributes[CKA_UNWRAP] = boolBytes(false);
  attributes[CKA_WRAP_WITH_TRUSTED] = boolBytes(false);
  attributes[CKA_ALWAYS_AUTHENTICATE] = boolBytes(false);
  object.key = std::move(location);
  return object;
}

// The curve and point of an EC key on a curve the token signs with.
void addEcFacts(EVP_PKEY* publicKey, CertificateFacts& facts) {
  char curve[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(publicKey, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve, &length) != 1)
    return;
  const int nid = OBJ_txt2nid(curve);
  if (nid != NID_X9_62_prime256v1 && nid != NID_secp384r1) return;
  unsigned char* encoded = nullptr;
  const std::size_t pointLength = EVP_PKEY_get1_encoded_public_key(publicKey, &encoded);
  platform::UniqueOpensslBytes ownedPoint(encoded);
  platform::UniqueAsn1String octets(ASN1_OCTET_STRING_new());
  if (pointLength == 0 || !octets || ASN1_OCTET_STRING_set(octets.get(), encoded, static_cast<int>(pointLength)) != 1)
    return;
  facts.ecPoint = derOf<ASN1_OCTET_STRING>(octets.get(), i2d_ASN1_OCTET_STRING);
  facts.ecParameters = derOf<ASN1_OBJECT>(OBJ_nid2obj(nid), i2d_ASN1_OBJECT);
  facts.keyType = CKK_EC;
  facts.signatureBytes = 2 * ((static_cast<CK_ULONG>(EVP_PKEY_get_bits(publicKey)) + 7) / 8);
}

std::optional<CertificateFacts> factsOf(PCCERT_CONTEXT context, X509* certificate) {
  CertificateFacts facts;
  EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
  facts.id = keyIdentifier(context);
  if (publicKey == nullptr || facts.id.empty()) return std::nullopt;
  facts.publicKeyInfo = derOf(publicKey, i2d_PUBKEY);
  facts.subject = derOf(X509_get_subject_name(certificate), i2d_X509_NAME);
  facts.label = commonName(certificate);
  if (facts.label.empty()) facts.label = hexText(facts.id);
  facts.startDate = dateBytes(X509_get0_notBefore(certificate));
  facts.endDate = dateBytes(X509_get0_notAfter(certificate));
  if (EVP_PKEY_base_id(publicKey) == EVP_PKEY_RSA) {
    facts.modulus = bignumParameter(publicKey, OSSL_PKEY_PARAM_RSA_N);
    facts.publicExponent = bignumParameter(publicKey, OSSL_PKEY_PARAM_RSA_E);
    facts.signatureBytes = facts.modulus.size();
  } else if (EVP_PKEY_base_id(publicKey) == EVP_PKEY_EC) {
    addEcFacts(publicKey, facts);
  }
  return facts;
}

// A MY certificate gives its objects only when its key can be opened.
void addCertificate(PCCERT_CONTEXT context, const std::string& store, std::vector<TokenObject>& objects) {
  const unsigned char* cursor = context->pbCertEncoded;
  UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(context->cbCertEncoded)));
  std::optional<CertificateFacts> facts = certificate ? factsOf(context, certificate.get()) : std::nullopt;
  ERR_clear_error();
  if (!facts) return;
  if (store != "MY") {
    objects.push_back(certificateObject(context, certificate.get(), *facts, store));
    return;
  }
  std::optional<KeyLocation> location = keyBinding(context);
  if (!location || facts->signatureBytes == 0) return;
  location->signer = openSigner(*location, nullptr);
  if (!location->signer) return;
  location->passwordProtected = keyIsProtected(location->signer->get());
  location->keyType = facts->keyType;
  location->signatureBytes = facts->signatureBytes;
  objects.push_back(certificateObject(context, certificate.get(), *facts, store));
  objects.push_back(privateKeyObject(*facts, std::make_shared<const KeyLocation>(std::move(*location))));
  objects.push_back(publicKeyObject(*facts));
}

}  // namespace

bool isSensitiveAttribute(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_VALUE:
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
      return true;
    default:
      return false;
  }
}

std::shared_ptr<UniqueNcryptKey> openSigner(const KeyLocation& location, const std::string* pin) {
  UniqueCryptProv context;
  if (!CryptAcquireContextA(context.put(), location.container.c_str(), location.provider.c_str(),
                            location.providerType, CRYPT_SILENT))
    return nullptr;
  auto signer = std::make_shared<UniqueNcryptKey>();
  if (NCryptTranslateHandle(nullptr, signer->put(), context.get(), 0, location.keySpec, 0) != ERROR_SUCCESS)
    return nullptr;
  if (pin != nullptr) {
    std::u16string wide = platform::utf8ToWide(*pin);
    const SECURITY_STATUS status =
        NCryptSetProperty(signer->get(), NCRYPT_PIN_PROPERTY, reinterpret_cast<PBYTE>(wide.data()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t)), 0);
    std::fill(wide.begin(), wide.end(), u'\0');
    if (status != ERROR_SUCCESS) return nullptr;
  }
  return signer;
}

bool readTokenObjects(std::vector<TokenObject>& objects) {
  objects.clear();
  for (const char16_t* name : kStoreNames) {
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, name));
    if (!store) return false;
    const std::string storeName = platform::wideToUtf8(name);
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr)
      addCertificate(context, storeName, objects);
    if (GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND)) return false;
  }
  return true;
}

}  // namespace tarvenholm::pkcs11
