// ASN.1 shapes that the encoder builds with OpenSSL's template machinery,
// where OpenSSL's own types would re-encode what the caller handed over:
// the SubjectPublicKeyInfo keeps its parameters and unused bits exactly, and
// the request carries whatever signature algorithm the caller names.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdint>
#include <vector>

#include "platform/openssl_handles.h"

namespace platform {

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
struct PublicKeyInfoAsn {
  X509_ALGOR* algorithm;
  ASN1_BIT_STRING* publicKey;
};
DECLARE_ASN1_FUNCTIONS(PublicKeyInfoAsn)

// CertificationRequestInfo of PKCS#10.
struct RequestInfoAsn {
  ASN1_INTEGER* version;
  X509_name_st* subject;  // X509_NAME: the platform headers take that name for their constant
  PublicKeyInfoAsn* publicKeyInfo;
  STACK_OF(X509_ATTRIBUTE)* attributes;  // [0] IMPLICIT SET OF, present even when empty
};
DECLARE_ASN1_FUNCTIONS(RequestInfoAsn)

// CertificationRequest of PKCS#10.
struct RequestAsn {
  RequestInfoAsn* info;
  X509_ALGOR* signatureAlgorithm;
  ASN1_BIT_STRING* signature;
};
DECLARE_ASN1_FUNCTIONS(RequestAsn)

// RSAPublicKey of PKCS#1: what the BIT STRING of an RSA key's
// SubjectPublicKeyInfo holds.
struct RsaPublicKeyAsn {
  BIGNUM* modulus;
  BIGNUM* publicExponent;
};
DECLARE_ASN1_FUNCTIONS(RsaPublicKeyAsn)

// RSAPrivateKey of PKCS#1 for a key of two primes. The private numbers are
// wiped when the structure is freed.
struct RsaPrivateKeyAsn {
  int32_t version;
  BIGNUM* modulus;
  BIGNUM* publicExponent;
  BIGNUM* privateExponent;
  BIGNUM* prime1;
  BIGNUM* prime2;
  BIGNUM* exponent1;
  BIGNUM* exponent2;
  BIGNUM* coefficient;
};
DECLARE_ASN1_FUNCTIONS(RsaPrivateKeyAsn)

// One key pair of a key container at rest (see key_container.h). The public
// and private keys are kept as the DER elements they are.
struct KeyPairRecordAsn {
  uint32_t flags;
  uint32_t bits;
  ASN1_TYPE* publicKey;
  ASN1_TYPE* plain;      // [0] PrivateKeyInfo
  ASN1_TYPE* encrypted;  // [1] EncryptedPrivateKeyInfo
};
DECLARE_ASN1_FUNCTIONS(KeyPairRecordAsn)

using UniquePublicKeyInfoAsn = OpensslPtr<PublicKeyInfoAsn, PublicKeyInfoAsn_free>;
using UniqueRequestAsn = OpensslPtr<RequestAsn, RequestAsn_free>;
using UniqueRsaPublicKeyAsn = OpensslPtr<RsaPublicKeyAsn, RsaPublicKeyAsn_free>;
using UniqueRsaPrivateKeyAsn = OpensslPtr<RsaPrivateKeyAsn, RsaPrivateKeyAsn_free>;
using UniqueKeyPairRecordAsn = OpensslPtr<KeyPairRecordAsn, KeyPairRecordAsn_free>;

// A BIT STRING holding exactly these content bytes and unused bits (OpenSSL
// would otherwise trim trailing zero bytes when it encodes).
bool setBitString(ASN1_BIT_STRING* bits, const unsigned char* data, int length, unsigned unusedBits);

// The object identifier of a dotted text such as "2.5.4.3": digits in at
// least two arcs, single dots between them. Null for anything else.
ASN1_OBJECT* objectIdFromText(const char* text);

// An ANY holding one complete DER element (a SEQUENCE), kept byte for byte.
UniqueAsn1Type derElement(const std::vector<unsigned char>& der);
// The bytes of such an element; empty when `element` holds no SEQUENCE.
std::vector<unsigned char> derBytes(const ASN1_TYPE* element);

}  // namespace platform
