// CryptSignCertificateRequest: the request as OpenSSL's X509_REQ, signed
// with the private key of a provider context.
// OpenSSL's headers come before the platform's, whose X509_NAME is a constant.
#include <openssl/err.h>
#include <openssl/rsa.h>

#include "platform/crypt_context.h"
#include "platform/certificate_request.h"
#include "platform/fault.h"
#include "platform/key_storage.h"

using namespace platform;

namespace {

struct Digest {
  ALG_ID id;
  const EVP_MD* (*digest)();
  bool forEc;
};

constexpr Digest requestDigests[] = {
    {CALG_SHA_256, EVP_sha256, true},
    {CALG_SHA_384, EVP_sha384, true},
    {CALG_SHA_512, EVP_sha512, false},
};

const EVP_MD* requestDigest(ALG_ID hash, bool ec) {
  for (const Digest& entry : requestDigests)
    if (entry.id == hash && (entry.forEc || !ec)) return entry.digest();
  return nullptr;
}

DWORD setSubject(X509_REQ* request, const std::vector<BYTE>& subject) {
  const unsigned char* cursor = subject.data();
  UniqueX509Name name(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(subject.size())));
  if (!name || cursor != subject.data() + subject.size()) return NTE_BAD_DATA;
  return X509_REQ_set_subject_name(request, name.get()) == 1 ? ERROR_SUCCESS : NTE_NO_MEMORY;
}

DWORD setPublicKey(X509_REQ* request, const std::vector<BYTE>& publicKeyInfo) {
  const unsigned char* cursor = publicKeyInfo.data();
  UniquePkey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKeyInfo.size())));
  if (!key) return NTE_KEYSET_ENTRY_BAD;
  return X509_REQ_set_pubkey(request, key.get()) == 1 ? ERROR_SUCCESS : NTE_NO_MEMORY;
}

constexpr int generalNameTypes[] = {GEN_EMAIL, GEN_DNS, GEN_URI, GEN_IPADD};

DWORD addAltNames(const std::vector<RequestAltName>& altNames, STACK_OF(X509_EXTENSION) * *extensions) {
  UniqueGeneralNames names(GENERAL_NAMES_new());
  if (!names) return NTE_NO_MEMORY;
  for (const RequestAltName& altName : altNames) {
    const bool ip = altName.kind == AltNameKind::Ip;
    if (ip && altName.value.size() != 4 && altName.value.size() != 16) return NTE_BAD_DATA;
    UniqueAsn1String value(ASN1_STRING_type_new(ip ? V_ASN1_OCTET_STRING : V_ASN1_IA5STRING));
    UniqueGeneralName name(GENERAL_NAME_new());
    if (!value || !name ||
        ASN1_STRING_set(value.get(), altName.value.data(), static_cast<int>(altName.value.size())) != 1)
      return NTE_NO_MEMORY;
    GENERAL_NAME_set0_value(name.get(), generalNameTypes[static_cast<int>(altName.kind)], value.release());
    if (sk_GENERAL_NAME_push(names.get(), name.get()) == 0) return NTE_NO_MEMORY;
    name.release();
  }
  return X509V3_add1_i2d(extensions, NID_subject_alt_name, names.get(), 0, X509V3_ADD_APPEND) == 1 ? ERROR_SUCCESS
                                                                                                    : NTE_NO_MEMORY;
}

DWORD addKeyUsage(DWORD keyUsage, STACK_OF(X509_EXTENSION) * *extensions) {
  UniqueAsn1String bits(ASN1_STRING_type_new(V_ASN1_BIT_STRING));
  if (!bits) return NTE_NO_MEMORY;
  for (DWORD bit = 0; bit < kKeyUsageBitCount; ++bit)
    if ((keyUsage & (1u << bit)) != 0 && ASN1_BIT_STRING_set_bit(bits.get(), static_cast<int>(bit), 1) != 1)
      return NTE_NO_MEMORY;
  return X509V3_add1_i2d(extensions, NID_key_usage, bits.get(), 1, X509V3_ADD_APPEND) == 1 ? ERROR_SUCCESS
                                                                                         : NTE_NO_MEMORY;
}

DWORD addExtendedKeyUsage(const std::vector<std::string>& purposes, STACK_OF(X509_EXTENSION) * *extensions) {
  UniqueExtendedKeyUsage usage(sk_ASN1_OBJECT_new_null());
  if (!usage) return NTE_NO_MEMORY;
  for (const std::string& purpose : purposes) {
    UniqueAsn1Object object(OBJ_txt2obj(purpose.c_str(), 1));
    if (!object) return NTE_BAD_DATA;
    if (sk_ASN1_OBJECT_push(usage.get(), object.get()) == 0) return NTE_NO_MEMORY;
    object.release();
  }
  return X509V3_add1_i2d(extensions, NID_ext_key_usage, usage.get(), 0, X509V3_ADD_APPEND) == 1 ? ERROR_SUCCESS
                                                                                              : NTE_NO_MEMORY;
}

DWORD addAttributes(X509_REQ* request, const CertificateRequestSpec& spec) {
  STACK_OF(X509_EXTENSION)* extensions = nullptr;
  DWORD status = ERROR_SUCCESS;
  if (!spec.altNames.empty()) status = addAltNames(spec.altNames, &extensions);
  if (status == ERROR_SUCCESS && spec.keyUsage != 0) status = addKeyUsage(spec.keyUsage, &extensions);
  if (status == ERROR_SUCCESS && !spec.extendedKeyUsage.empty())
    status = addExtendedKeyUsage(spec.extendedKeyUsage, &extensions);
  const UniqueX509Extensions owned(extensions);
  if (status != ERROR_SUCCESS) return status;
  if (owned && X509_REQ_add_extensions(request, owned.get()) != 1) return NTE_NO_MEMORY;
  // A DirectoryString: OpenSSL picks PrintableString when the text allows it, else UTF8String.
  if (!spec.challengePassword.empty() &&
      X509_REQ_add1_attr_by_NID(request, NID_pkcs9_challengePassword, MBSTRING_UTF8,
                                reinterpret_cast<const unsigned char*>(spec.challengePassword.data()),
                                static_cast<int>(spec.challengePassword.size())) != 1)
    return NTE_BAD_DATA;
  return ERROR_SUCCESS;
}

DWORD sign(X509_REQ* request, EVP_PKEY* key, const EVP_MD* digest, bool pss) {
  UniqueMdCtx signing(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyContext = nullptr;
  if (!signing || EVP_DigestSignInit(signing.get(), &keyContext, digest, nullptr, key) != 1) return NTE_FAIL;
  if (pss && (EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) != 1 ||
              EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) != 1 ||
              EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, digest) != 1))
    return NTE_FAIL;
  return X509_REQ_sign_ctx(request, signing.get()) > 0 ? ERROR_SUCCESS : NTE_FAIL;
}

DWORD signedRequest(ProviderContext& context, DWORD keySpec, const CertificateRequestSpec& spec,
                    std::vector<BYTE>& der) {
  std::vector<BYTE> publicKeyInfo;
  DWORD status = contextPublicKey(context, keySpec, publicKeyInfo);
  if (status != ERROR_SUCCESS) return status;
  UniqueX509Req request(X509_REQ_new());
  if (!request || X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1) return NTE_NO_MEMORY;
  status = setPublicKey(request.get(), publicKeyInfo);
  if (status != ERROR_SUCCESS) return status;
  const bool ec = EVP_PKEY_get_base_id(X509_REQ_get0_pubkey(request.get())) == EVP_PKEY_EC;
  const EVP_MD* digest = requestDigest(spec.hash, ec);
  if (digest == nullptr || (spec.pss && ec)) return NTE_BAD_ALGID;
  status = setSubject(request.get(), spec.subject);
  if (status == ERROR_SUCCESS) status = addAttributes(request.get(), spec);
  if (status != ERROR_SUCCESS) return status;

  UniquePkey privateKey;
  status = contextPrivateKey(context, keySpec, privateKey);
  if (status != ERROR_SUCCESS) return status;
  status = sign(request.get(), privateKey.get(), digest, spec.pss);
  if (status != ERROR_SUCCESS) return status;
  return derOf<X509_REQ, i2d_X509_REQ>(request.get(), der) ? ERROR_SUCCESS : NTE_FAIL;
}

}  // namespace

BOOL CryptSignCertificateRequest(HCRYPTPROV prov, DWORD keySpec, const CertificateRequestSpec& spec,
                                 std::vector<BYTE>& der) {
  if (FAULT("CryptSignCertificateRequest", NTE_FAIL)) return FALSE;
  std::shared_ptr<ProviderContext> context = findContext(prov);
  if (!context) return FALSE;
  if (!isKeySpec(keySpec)) return failWith(NTE_BAD_KEY);
  const DWORD status = signedRequest(*context, keySpec, spec, der);
  ERR_clear_error();
  return status == ERROR_SUCCESS ? TRUE : failWith(status);
}
