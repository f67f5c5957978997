// Owning wrappers for the OpenSSL objects the platform stand-in uses.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>
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
using UniqueMdCtx = OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
// (X509_name_st is X509_NAME: the platform headers define X509_NAME as a constant.)
using UniqueX509Name = OpensslPtr<X509_name_st, X509_NAME_free>;
using UniqueX509 = OpensslPtr<X509, X509_free>;
using UniqueBignum = OpensslPtr<BIGNUM, BN_free>;
using UniqueX509Sig = OpensslPtr<X509_SIG, X509_SIG_free>;
using UniquePkcs8 = OpensslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using UniqueAsn1Object = OpensslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using UniqueAsn1Type = OpensslPtr<ASN1_TYPE, ASN1_TYPE_free>;

struct OpensslBytesFree {
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};
// Bytes that an i2d_ function allocated.
using UniqueOpensslBytes = std::unique_ptr<unsigned char, OpensslBytesFree>;

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

}  // namespace platform
