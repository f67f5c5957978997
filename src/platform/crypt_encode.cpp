// Encoding, signing and hashing of certificate structures: CryptEncodeObject
// (X509_NAME), CryptExportPublicKeyInfo, CryptSignAndEncodeCertificate
// (X509_CERT_REQUEST_TO_BE_SIGNED), CryptHashPublicKeyInfo.
#include <openssl/err.h>

#include "platform/crypt_asn1.h"
#include "platform/crypt_context.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/public_key_info.h"
#include "platform/sized_output.h"
#include "platform/wincrypt.h"

using namespace platform;

namespace {

bool isStructType(LPCSTR structType, LPCSTR wanted) {
  return reinterpret_cast<ULONG_PTR>(structType) == reinterpret_cast<ULONG_PTR>(wanted);
}

// There is an encoder only for the ASN.1 certificate encoding.
bool knownEncoding(DWORD encoding) { return (encoding & X509_ASN_ENCODING) != 0; }

// ---- Names ----

bool isPrintable(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  for (const char* allowed = " '()+,-./:=?"; *allowed != '\0'; ++allowed)
    if (c == static_cast<unsigned char>(*allowed)) return true;
  return false;
}
bool isNumeric(unsigned char c) { return (c >= '0' && c <= '9') || c == ' '; }
bool isIa5(unsigned char c) { return c < 0x80; }

struct RdnStringType {
  DWORD valueType;
  int asn1Type;
  bool (*allowed)(unsigned char);  // null: any byte
  DWORD refusal;
};

constexpr RdnStringType rdnStringTypes[] = {
    {CERT_RDN_NUMERIC_STRING, V_ASN1_NUMERICSTRING, isNumeric, CRYPT_E_INVALID_NUMERIC_STRING},
    {CERT_RDN_PRINTABLE_STRING, V_ASN1_PRINTABLESTRING, isPrintable, CRYPT_E_INVALID_PRINTABLE_STRING},
    {CERT_RDN_TELETEX_STRING, V_ASN1_T61STRING, nullptr, 0},
    {CERT_RDN_IA5_STRING, V_ASN1_IA5STRING, isIa5, CRYPT_E_INVALID_IA5_STRING},
    {CERT_RDN_UTF8_STRING, V_ASN1_UTF8STRING, nullptr, 0},
};

const RdnStringType* rdnStringType(DWORD valueType) {
  for (const RdnStringType& type : rdnStringTypes)
    if (type.valueType == valueType) return &type;
  return nullptr;
}

// Adds one attribute; `newRdn` starts a new relative distinguished name,
// otherwise the attribute joins the last one. Error number as result.
DWORD addAttribute(X509_name_st* name, const CERT_RDN_ATTR& attribute, bool newRdn) {
  const CERT_RDN_VALUE_BLOB& value = attribute.Value;
  if (attribute.pszObjId == nullptr || (value.cbData != 0 && value.pbData == nullptr)) return ERROR_INVALID_PARAMETER;
  const RdnStringType* type = rdnStringType(attribute.dwValueType);
  if (type == nullptr) return CRYPT_E_BAD_ENCODE;
  if (type->allowed != nullptr)
    for (DWORD index = 0; index < value.cbData; ++index)
      if (!type->allowed(value.pbData[index])) return type->refusal;
  UniqueAsn1Object objectId(objectIdFromText(attribute.pszObjId));
  if (!objectId) return CRYPT_E_OID_FORMAT;
  if (X509_NAME_add_entry_by_OBJ(name, objectId.get(), type->asn1Type, value.pbData, static_cast<int>(value.cbData),
                                 -1, newRdn ? 0 : -1) != 1) {
    ERR_clear_error();
    return CRYPT_E_BAD_ENCODE;
  }
  return ERROR_SUCCESS;
}

DWORD encodeNameInfo(const CERT_NAME_INFO& info, std::vector<BYTE>& der) {
  if (info.cRDN != 0 && info.rgRDN == nullptr) return ERROR_INVALID_PARAMETER;
  UniqueX509Name name(X509_NAME_new());
  if (!name) return NTE_NO_MEMORY;
  for (DWORD rdn = 0; rdn < info.cRDN; ++rdn) {
    const CERT_RDN& attributes = info.rgRDN[rdn];
    // A relative distinguished name holds at least one attribute.
    if (attributes.cRDNAttr == 0) return CRYPT_E_BAD_ENCODE;
    if (attributes.rgRDNAttr == nullptr) return ERROR_INVALID_PARAMETER;
    for (DWORD index = 0; index < attributes.cRDNAttr; ++index) {
      const DWORD status = addAttribute(name.get(), attributes.rgRDNAttr[index], index == 0);
      if (status != ERROR_SUCCESS) return status;
    }
  }
  return derOf<X509_name_st, i2d_X509_NAME>(name.get(), der) ? ERROR_SUCCESS : CRYPT_E_BAD_ENCODE;
}

// ---- Requests ----

// The request body as the caller describes it; `info` and `parameters` the
// signature algorithm. Error number as result.
DWORD buildRequest(const CERT_REQUEST_INFO& body, const CRYPT_ALGORITHM_IDENTIFIER& signatureAlgorithm,
                   UniqueRequestAsn& request) {
  if (body.cAttribute != 0) return ERROR_NOT_SUPPORTED;
  if (body.Subject.pbData == nullptr || body.Subject.cbData == 0) return ERROR_INVALID_PARAMETER;
  request.reset(RequestAsn_new());
  if (!request) return NTE_NO_MEMORY;
  RequestInfoAsn* info = request->info;
  if (ASN1_INTEGER_set(info->version, static_cast<long>(body.dwVersion)) != 1) return NTE_NO_MEMORY;

  const unsigned char* cursor = body.Subject.pbData;
  UniqueX509Name subject(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(body.Subject.cbData)));
  if (!subject || cursor != body.Subject.pbData + body.Subject.cbData) {
    ERR_clear_error();
    return CRYPT_E_ASN1_CORRUPT;
  }
  replaceField(info->subject, std::move(subject));

  UniquePublicKeyInfoAsn publicKeyInfo = publicKeyInfoAsn(body.SubjectPublicKeyInfo);
  if (!publicKeyInfo) return GetLastError();
  replaceField(info->publicKeyInfo, std::move(publicKeyInfo));

  if (!setAlgorithm(request->signatureAlgorithm, signatureAlgorithm)) return GetLastError();
  return ERROR_SUCCESS;
}

// The digest that the named signature algorithm signs with, when it is
// one made with an RSA key.
const EVP_MD* rsaSignatureDigest(const X509_ALGOR* signatureAlgorithm) {
  int digestNid = NID_undef;
  int keyNid = NID_undef;
  if (OBJ_find_sigid_algs(OBJ_obj2nid(signatureAlgorithm->algorithm), &digestNid, &keyNid) != 1 ||
      (keyNid != NID_rsaEncryption && keyNid != NID_rsa))
    return nullptr;
  return EVP_get_digestbynid(digestNid);
}

bool setSignature(RequestAsn* request, const std::vector<BYTE>& signature) {
  return setBitString(request->signature, signature.data(), static_cast<int>(signature.size()), 0);
}

}  // namespace

BOOL CryptEncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLength) {
  if (FAULT("CryptEncodeObject", CRYPT_E_BAD_ENCODE)) return FALSE;
  if (!knownEncoding(encoding) || !isStructType(structType, X509_NAME)) return failWith(ERROR_FILE_NOT_FOUND);
  if (structInfo == nullptr || encodedLength == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  std::vector<BYTE> der;
  const DWORD status = encodeNameInfo(*static_cast<const CERT_NAME_INFO*>(structInfo), der);
  if (status != ERROR_SUCCESS) return failWith(status);
  return copyToCaller(der, encoded, encodedLength);
}

BOOL CryptExportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info,
                              DWORD* infoLength) {
  if (FAULT("CryptExportPublicKeyInfo", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (!knownEncoding(encoding)) return failWith(ERROR_FILE_NOT_FOUND);
  if (infoLength == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);
  std::vector<BYTE> der;
  const DWORD status = contextPublicKey(*context, keySpec, der);
  if (status != ERROR_SUCCESS) return failWith(status);
  return decodePublicKeyInfo(der.data(), der.size(), info, infoLength);
}

BOOL CryptSignAndEncodeCertificate(HCRYPTPROV prov, DWORD keySpec, DWORD encoding, LPCSTR structType,
                                   const void* structInfo, CRYPT_ALGORITHM_IDENTIFIER* signatureAlgorithm,
                                   const void* hashAuxInfo, BYTE* encoded, DWORD* encodedLength) {
  if (FAULT("CryptSignAndEncodeCertificate", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (!knownEncoding(encoding) || !isStructType(structType, X509_CERT_REQUEST_TO_BE_SIGNED))
    return failWith(ERROR_FILE_NOT_FOUND);
  if (structInfo == nullptr || signatureAlgorithm == nullptr || hashAuxInfo != nullptr || encodedLength == nullptr)
    return failWith(ERROR_INVALID_PARAMETER);
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);

  UniqueRequestAsn request;
  DWORD status = buildRequest(*static_cast<const CERT_REQUEST_INFO*>(structInfo), *signatureAlgorithm, request);
  if (status != ERROR_SUCCESS) return failWith(status);
  const EVP_MD* digest = rsaSignatureDigest(request->signatureAlgorithm);
  if (digest == nullptr) return failWith(CRYPT_E_UNKNOWN_ALGO);

  // The signature is as long as the modulus, so the size of the request is
  // known from the public key alone: a size query never asks for a password.
  std::vector<BYTE> publicKeyInfo;
  DWORD bits = 0;
  status = contextPublicKey(*context, keySpec, publicKeyInfo, &bits);
  if (status != ERROR_SUCCESS) return failWith(status);
  std::vector<BYTE> signature((bits + 7) / 8);
  std::vector<BYTE> der;
  if (!setSignature(request.get(), signature) || !derOf<RequestAsn, i2d_RequestAsn>(request.get(), der))
    return failWith(CRYPT_E_BAD_ENCODE);
  BOOL result = FALSE;
  if (!callerBufferFits(static_cast<DWORD>(der.size()), encoded, encodedLength, result)) return result;

  std::vector<BYTE> toBeSigned;
  std::vector<BYTE> hash(EVP_MAX_MD_SIZE);
  unsigned int hashLength = 0;
  if (!derOf<RequestInfoAsn, i2d_RequestInfoAsn>(request->info, toBeSigned) ||
      EVP_Digest(toBeSigned.data(), toBeSigned.size(), hash.data(), &hashLength, digest, nullptr) != 1)
    return failWith(CRYPT_E_BAD_ENCODE);
  hash.resize(hashLength);
  UniquePkey privateKey;
  status = contextPrivateKey(*context, keySpec, privateKey);
  if (status != ERROR_SUCCESS) return failWith(status);
  if (!signDigest(privateKey.get(), digest, hash, signature) || !setSignature(request.get(), signature) ||
      !derOf<RequestAsn, i2d_RequestAsn>(request.get(), der) || der.size() != *encodedLength)
    return failWith(NTE_FAIL);
  return copyToCaller(der, encoded, encodedLength);
}

BOOL CryptHashPublicKeyInfo(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, DWORD encoding,
                            CERT_PUBLIC_KEY_INFO* info, BYTE* hash, DWORD* hashLength) {
  if (FAULT("CryptHashPublicKeyInfo", NTE_FAIL)) return FALSE;
  if (prov != 0 && !findContext(prov)) return FALSE;
  const EVP_MD* digest = hashAlgorithm(algorithm == 0 ? CALG_SHA1 : algorithm);
  if (digest == nullptr) return failWith(NTE_BAD_ALGID);
  if (flags != 0) return failWith(NTE_BAD_FLAGS);
  if (!knownEncoding(encoding)) return failWith(ERROR_FILE_NOT_FOUND);
  if (info == nullptr || hashLength == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  std::vector<BYTE> der;
  if (!encodePublicKeyInfo(*info, der)) return FALSE;
  std::vector<BYTE> value(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(der.data(), der.size(), value.data(), &length, digest, nullptr) != 1) return failWith(NTE_FAIL);
  value.resize(length);
  return copyToCaller(value, hash, hashLength);
}
