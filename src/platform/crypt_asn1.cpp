#include "platform/crypt_asn1.h"

#include <openssl/asn1t.h>

namespace platform {

ASN1_SEQUENCE(PublicKeyInfoAsn) = {
    ASN1_SIMPLE(PublicKeyInfoAsn, algorithm, X509_ALGOR),
    ASN1_SIMPLE(PublicKeyInfoAsn, publicKey, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(PublicKeyInfoAsn)
IMPLEMENT_ASN1_FUNCTIONS(PublicKeyInfoAsn)

ASN1_SEQUENCE(RequestInfoAsn) = {
    ASN1_SIMPLE(RequestInfoAsn, version, ASN1_INTEGER),
    ASN1_SIMPLE(RequestInfoAsn, subject, X509_NAME),
    ASN1_SIMPLE(RequestInfoAsn, publicKeyInfo, PublicKeyInfoAsn),
    ASN1_IMP_SET_OF(RequestInfoAsn, attributes, X509_ATTRIBUTE, 0),
} ASN1_SEQUENCE_END(RequestInfoAsn)
IMPLEMENT_ASN1_FUNCTIONS(RequestInfoAsn)

ASN1_SEQUENCE(RequestAsn) = {
    ASN1_SIMPLE(RequestAsn, info, RequestInfoAsn),
    ASN1_SIMPLE(RequestAsn, signatureAlgorithm, X509_ALGOR),
    ASN1_SIMPLE(RequestAsn, signature, ASN1_BIT_STRING),
} ASN1_SEQUENCE_END(RequestAsn)
IMPLEMENT_ASN1_FUNCTIONS(RequestAsn)

ASN1_SEQUENCE(RsaPublicKeyAsn) = {
    ASN1_SIMPLE(RsaPublicKeyAsn, modulus, BIGNUM),
    ASN1_SIMPLE(RsaPublicKeyAsn, publicExponent, BIGNUM),
} ASN1_SEQUENCE_END(RsaPublicKeyAsn)
IMPLEMENT_ASN1_FUNCTIONS(RsaPublicKeyAsn)

ASN1_SEQUENCE(RsaPrivateKeyAsn) = {
    ASN1_EMBED(RsaPrivateKeyAsn, version, INT32),
    ASN1_SIMPLE(RsaPrivateKeyAsn, modulus, BIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, publicExponent, BIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, privateExponent, CBIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, prime1, CBIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, prime2, CBIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, exponent1, CBIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, exponent2, CBIGNUM),
    ASN1_SIMPLE(RsaPrivateKeyAsn, coefficient, CBIGNUM),
} ASN1_SEQUENCE_END(RsaPrivateKeyAsn)
IMPLEMENT_ASN1_FUNCTIONS(RsaPrivateKeyAsn)

ASN1_SEQUENCE(KeyPairRecordAsn) = {
    ASN1_EMBED(KeyPairRecordAsn, flags, UINT32),
    ASN1_EMBED(KeyPairRecordAsn, bits, UINT32),
    ASN1_SIMPLE(KeyPairRecordAsn, publicKey, ASN1_ANY),
    ASN1_EXP_OPT(KeyPairRecordAsn, plain, ASN1_ANY, 0),
    ASN1_EXP_OPT(KeyPairRecordAsn, encrypted, ASN1_ANY, 1),
} ASN1_SEQUENCE_END(KeyPairRecordAsn)
IMPLEMENT_ASN1_FUNCTIONS(KeyPairRecordAsn)

bool setBitString(ASN1_BIT_STRING* bits, const unsigned char* data, int length, unsigned unusedBits) {
  if (unusedBits > 7 || (length == 0 && unusedBits != 0)) return false;
  if (ASN1_BIT_STRING_set(bits, const_cast<unsigned char*>(data), length) != 1) return false;
  bits->flags &= ~static_cast<long>(0x07);
  bits->flags |= ASN1_STRING_FLAG_BITS_LEFT | static_cast<long>(unusedBits);
  return true;
}

ASN1_OBJECT* objectIdFromText(const char* text) {
  if (text == nullptr) return nullptr;
  int arcs = 0;
  bool inArc = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c >= '0' && *c <= '9') {
      if (!inArc) ++arcs;
      inArc = true;
    } else if (*c == '.' && inArc) {
      inArc = false;
    } else {
      return nullptr;
    }
  }
  // OpenSSL checks the values of the arcs.
  return inArc && arcs >= 2 ? OBJ_txt2obj(text, 1) : nullptr;
}

UniqueAsn1Type derElement(const std::vector<unsigned char>& der) {
  UniqueAsn1Type element(ASN1_TYPE_new());
  UniqueAsn1String bytes(ASN1_STRING_type_new(V_ASN1_SEQUENCE));
  if (!element || !bytes || ASN1_STRING_set(bytes.get(), der.data(), static_cast<int>(der.size())) != 1) return nullptr;
  ASN1_TYPE_set(element.get(), V_ASN1_SEQUENCE, bytes.release());
  return element;
}

std::vector<unsigned char> derBytes(const ASN1_TYPE* element) {
  if (element == nullptr || element->type != V_ASN1_SEQUENCE) return {};
  const ASN1_STRING* bytes = element->value.sequence;
  return {bytes->data, bytes->data + bytes->length};
}

}  // namespace platform
