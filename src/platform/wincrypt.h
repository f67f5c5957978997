// Cryptographic interface: providers and key containers, encoding and
// signing, public key hashing, certificate collections and stores.
// Names, flags, structures and numbers are those of the original platform.
#pragma once

#include <memory>

#include "platform/unique_handle.h"
#include "platform/wintypes.h"

using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using HCERTSTORE = void*;

// Provider types.
#define PROV_RSA_FULL 1
#define PROV_RSA_SIG 2
#define PROV_DSS 3
#define PROV_FORTEZZA 4
#define PROV_MS_EXCHANGE 5
#define PROV_SSL 6
#define PROV_RSA_SCHANNEL 12
#define PROV_DSS_DH 13
#define PROV_DH_SCHANNEL 18
#define PROV_RSA_AES 24

// CryptAcquireContextA flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

// CryptGenKey flags and key specifications.
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// Algorithm identifiers.
#define CALG_SHA1 0x00008004
#define CALG_SHA_256 0x0000800c
#define CALG_RSA_KEYX 0x0000a400
#define CALG_RSA_SIGN 0x00002400

// Encoding types and structure types.
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define X509_CERT_REQUEST_TO_BE_SIGNED (reinterpret_cast<LPCSTR>(4))
#define X509_NAME (reinterpret_cast<LPCSTR>(7))
#define X509_BASIC_CONSTRAINTS2 (reinterpret_cast<LPCSTR>(15))

// RDN value types.
#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_UTF8_STRING 13

#define CERT_REQUEST_V1 0

#define szOID_OIWSEC_sha1RSASign "1.3.14.3.2.29"
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"

struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DIGEST_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};

struct CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
};

struct CERT_RDN {
  DWORD cRDNAttr;
  CERT_RDN_ATTR* rgRDNAttr;
};

struct CERT_NAME_INFO {
  DWORD cRDN;
  CERT_RDN* rgRDN;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};

struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  CRYPTOAPI_BLOB* rgValue;
};

struct CERT_REQUEST_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  DWORD cAttribute;
  CRYPT_ATTRIBUTE* rgAttribute;
};

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
};

struct CERT_BASIC_CONSTRAINTS2_INFO {
  BOOL fCA;
  BOOL fPathLenConstraint;
  DWORD dwPathLenConstraint;
};

struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;  // the original DER bytes
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;  // the original DER bytes
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  CERT_EXTENSION* rgExtension;  // in the certificate's order
};

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};

struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  CRYPT_KEY_PROV_PARAM* rgProvParam;
  DWORD dwKeySpec;
};

// ---- Providers and key containers (advapi32) ----

BOOL CryptEnumProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPSTR provName,
                         DWORD* provNameSize);
BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key);
BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
// The signature in the original platform's byte order (little-endian).
BOOL CryptSignHashA(HCRYPTHASH hash, DWORD keySpec, LPCSTR description, DWORD flags, BYTE* signature,
                    DWORD* length);
BOOL CryptDestroyHash(HCRYPTHASH hash);
// `length` random bytes from the provider's generator.
BOOL CryptGenRandom(HCRYPTPROV prov, DWORD length, BYTE* buffer);

#define KP_KEYLEN 9
#define PP_CONTAINER 6
#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2
BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* length, DWORD flags);
BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* length, DWORD flags);

namespace platform {
// CryptGetProvParam beyond the original platform: the name of the provider
// that created the context's key container (the RSA providers share
// containers, so it may differ from PP_NAME).
inline constexpr DWORD PP_CREATOR_NAME = 0x8001;
}  // namespace platform

// crypt32: the private key of the context's key pair `keySpec` as DER PKCS#8
// PrivateKeyInfo, two-call sizing. `privateKeyObjId` is szOID_RSA_RSA; flags
// 0; no auxiliary information. A key generated without CRYPT_EXPORTABLE is
// refused with NTE_BAD_KEY_STATE.
BOOL CryptExportPKCS8(HCRYPTPROV prov, DWORD keySpec, LPSTR privateKeyObjId, DWORD flags, void* auxInfo,
                      BYTE* privateKeyBlob, DWORD* privateKeyBlobLength);

struct CRYPT_PRIVATE_KEY_INFO {
  DWORD Version;
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_DER_BLOB PrivateKey;
  void* pAttributes;  // always null here
};
// Gives the context of the key container the imported key goes into.
using PCRYPT_RESOLVE_HCRYPTPROV_FUNC = BOOL (*)(CRYPT_PRIVATE_KEY_INFO* privateKeyInfo, HCRYPTPROV* prov,
                                                void* resolveArgument);
using PCRYPT_DECRYPT_PRIVATE_KEY_FUNC = BOOL (*)(CRYPT_ALGORITHM_IDENTIFIER algorithm, CRYPT_DATA_BLOB encrypted,
                                                 BYTE* clearText, DWORD* clearTextLength, void* decryptArgument);
struct CRYPT_PKCS8_IMPORT_PARAMS {
  CRYPT_DIGEST_BLOB PrivateKey;  // DER PrivateKeyInfo
  PCRYPT_RESOLVE_HCRYPTPROV_FUNC pResolvehCryptProvFunc;
  void* pVoidResolveFunc;
  PCRYPT_DECRYPT_PRIVATE_KEY_FUNC pDecryptPrivateKeyFunc;  // must be null: the key is not encrypted
  void* pVoidDecryptFunc;
};

// crypt32: stores a DER PrivateKeyInfo as the AT_KEYEXCHANGE key pair of the
// container the resolve function gives. Flags: CRYPT_EXPORTABLE,
// CRYPT_USER_PROTECTED (the provider asks for a new password, as for a
// generated key). `prov`, when not null, receives that context, which the
// caller releases; otherwise it is released here. A key the provider cannot
// hold is refused with NTE_BAD_ALGID; a container that holds a key pair
// already with NTE_EXISTS.
BOOL CryptImportPKCS8(CRYPT_PKCS8_IMPORT_PARAMS params, DWORD flags, HCRYPTPROV* prov, void* auxInfo);

// ---- Encoding, signing, hashing (crypt32) ----

BOOL CryptEncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLength);
BOOL CryptExportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec, DWORD encoding, CERT_PUBLIC_KEY_INFO* info,
                              DWORD* infoLength);
BOOL CryptSignAndEncodeCertificate(HCRYPTPROV prov, DWORD keySpec, DWORD encoding, LPCSTR structType,
                                   const void* structInfo, CRYPT_ALGORITHM_IDENTIFIER* signatureAlgorithm,
                                   const void* hashAuxInfo, BYTE* encoded, DWORD* encodedLength);
BOOL CryptHashPublicKeyInfo(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, DWORD encoding,
                            CERT_PUBLIC_KEY_INFO* info, BYTE* hash, DWORD* hashLength);
// Decodes DER into the structure of `structType`, two-call sizing. Structure
// types: X509_BASIC_CONSTRAINTS2 or szOID_BASIC_CONSTRAINTS2, giving a
// CERT_BASIC_CONSTRAINTS2_INFO. The whole input must be one well-formed
// value. Flags are ignored.
BOOL CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLength, DWORD flags,
                       void* structInfo, DWORD* structInfoLength);

// ---- Certificate collections and stores (crypt32) ----

#define CERT_STORE_PROV_PKCS7 (reinterpret_cast<LPCSTR>(5))
#define CERT_STORE_PROV_SYSTEM_W (reinterpret_cast<LPCSTR>(10))
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2

#define CERT_FIND_ANY 0
#define CERT_FIND_SHA1_HASH 0x00010000
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH

HCERTSTORE CertOpenStore(LPCSTR storeProvider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para);
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                      PCCERT_CONTEXT* storeContext);
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD flags, const void* data);
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data, DWORD* length);
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags, DWORD findType,
                                          const void* findPara, PCCERT_CONTEXT previous);
// A context of its own (in a memory store of its own) for one DER certificate.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD encodedLength);
// Takes the certificate out of the context's store; always frees the context.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT context);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

// ---- Owning wrappers ----

struct CertStoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
struct CertContextFree {
  void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using UniqueCertStore = std::unique_ptr<void, CertStoreClose>;
using UniqueCertContext = std::unique_ptr<const CERT_CONTEXT, CertContextFree>;
inline BOOL releaseCryptProv(HCRYPTPROV prov) { return CryptReleaseContext(prov, 0); }
using UniqueCryptProv = platform::UniqueHandle<HCRYPTPROV, releaseCryptProv>;
using UniqueCryptKey = platform::UniqueHandle<HCRYPTKEY, CryptDestroyKey>;
using UniqueCryptHash = platform::UniqueHandle<HCRYPTHASH, CryptDestroyHash>;
