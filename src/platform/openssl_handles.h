// Owning wrappers for every OpenSSL object the platform, the hosts, the tests
// and the benchmarks use: the one place that calls OpenSSL's free functions.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
// Included after the platform's wincrypt.h in places, whose X509_NAME and
// X509_BASIC_CONSTRAINTS2 are constants there.
#pragma push_macro("X509_NAME")
#pragma push_macro("X509_BASIC_CONSTRAINTS2")
#undef X509_NAME
#undef X509_BASIC_CONSTRAINTS2
#include <openssl/x509v3.h>
#pragma pop_macro("X509_BASIC_CONSTRAINTS2")
#pragma pop_macro("X509_NAME")

#include <memory>
#include <string>
#include <vector>

namespace platform {

template <class T, void (*Free)(T*)>
struct OpensslFree {
  void operator()(T* object) const { Free(object); }
};

template <class T, void (*Free)(T*)>
using OpensslPtr = std::unique_ptr<T, OpensslFree<T, Free>>;

using UniquePkey = OpensslPtr<EVP_PKEY, EVP_PKEY_free>;
using UniquePkeyCtx = OpensslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using UniqueEcdsaSig = OpensslPtr<ECDSA_SIG, ECDSA_SIG_free>;
using UniqueMdCtx = OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using UniqueX509 = OpensslPtr<X509, X509_free>;
using UniqueBio = OpensslPtr<BIO, BIO_free_all>;
// (X509_name_st is X509_NAME: the platform headers define X509_NAME as a constant.)
using UniqueX509Name = OpensslPtr<X509_name_st, X509_NAME_free>;
using UniqueBignum = OpensslPtr<BIGNUM, BN_free>;
// A number that is part of a private key: wiped when freed.
using UniqueSecretBignum = OpensslPtr<BIGNUM, BN_clear_free>;
using UniqueX509Sig = OpensslPtr<X509_SIG, X509_SIG_free>;
using UniquePkcs8 = OpensslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using UniqueAsn1Object = OpensslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using UniqueAsn1Type = OpensslPtr<ASN1_TYPE, ASN1_TYPE_free>;
using UniqueX509Pubkey = OpensslPtr<X509_PUBKEY, X509_PUBKEY_free>;
using UniqueX509Req = OpensslPtr<X509_REQ, X509_REQ_free>;
using UniqueGeneralNames = OpensslPtr<GENERAL_NAMES, GENERAL_NAMES_free>;
using UniqueGeneralName = OpensslPtr<GENERAL_NAME, GENERAL_NAME_free>;
using UniqueAsn1String = OpensslPtr<ASN1_STRING, ASN1_STRING_free>;
using UniqueExtendedKeyUsage = OpensslPtr<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using UniqueAsn1OctetString = OpensslPtr<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using UniqueBasicConstraints = OpensslPtr<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;
using UniqueBio = OpensslPtr<BIO, BIO_free_all>;
using UniquePkcs7 = OpensslPtr<PKCS7, PKCS7_free>;
using UniquePkcs12 = OpensslPtr<PKCS12, PKCS12_free>;
using UniqueX509Extension = OpensslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using UniqueLibContext = OpensslPtr<OSSL_LIB_CTX, OSSL_LIB_CTX_free>;

struct ProviderUnload {
  void operator()(OSSL_PROVIDER* provider) const { OSSL_PROVIDER_unload(provider); }
};
using UniqueProvider = std::unique_ptr<OSSL_PROVIDER, ProviderUnload>;

struct X509ExtensionsFree {
  void operator()(STACK_OF(X509_EXTENSION) * extensions) const {
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
  }
};
using UniqueX509Extensions = std::unique_ptr<STACK_OF(X509_EXTENSION), X509ExtensionsFree>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
// A stack of certificates that owns them.
using UniqueX509Stack = std::unique_ptr<STACK_OF(X509), X509StackFree>;

struct OpensslBytesFree {
  void operator()(void* bytes) const { OPENSSL_free(bytes); }
};
// Bytes that an i2d_ function allocated.
using UniqueOpensslBytes = std::unique_ptr<unsigned char, OpensslBytesFree>;
// Text that OpenSSL allocated (BN_bn2hex, ...).
using UniqueOpensslText = std::unique_ptr<char, OpensslBytesFree>;

// The UTF-8 text of an ASN.1 string; empty when it cannot be converted.
inline std::string utf8Text(const ASN1_STRING* string) {
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(&text, string);
  const UniqueOpensslBytes owned(text);
  return length > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length)) : std::string();
}

// Puts `value` into a field of an OpenSSL structure, freeing what it held.
template <class T, void (*Free)(T*)>
void replaceField(T*& field, OpensslPtr<T, Free> value) {
  const OpensslPtr<T, Free> previous(field);
  field = value.release();
}

// The DER of `object` through its i2d_ function; false when it cannot be encoded.
template <class T, int (*Encode)(const T*, unsigned char**)>
bool derOf(const T* object, std::vector<unsigned char>& der) {
  unsigned char* encoded = nullptr;
  const int length = Encode(object, &encoded);
  if (length <= 0) return false;
  UniqueOpensslBytes owned(encoded);
  der.assign(encoded, encoded + length);
  return true;
}

// The DER of `object`; empty when it cannot be encoded.
template <class T, int (*Encode)(const T*, unsigned char**)>
std::vector<unsigned char> derOf(const T* object) {
  std::vector<unsigned char> der;
  derOf<T, Encode>(object, der);
  return der;
}

}  // namespace platform
