// OpenSSL before the platform headers (see certcontext.cpp).
#include <openssl/crypto.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "platform/openssl_handles.h"
#include "platform/certstore.h"
#include "platform/lasterror.h"
#include "platform/structure_decode.h"

namespace platform::certs {

HCERTSTORE openPkcs7Store(const void* para) {
  const auto* message = static_cast<const CRYPT_DATA_BLOB*>(para);
  if (message == nullptr || (message->cbData != 0 && message->pbData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (message->cbData == 0) {
    SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  const unsigned char* cursor = message->pbData;
  UniquePkcs7 decoded = decodePkcs7Structure(cursor, static_cast<long>(message->cbData));
  if (!decoded) {
    SetLastError(asn1DecodeError());
    return nullptr;
  }
  if (!PKCS7_type_is_signed(decoded.get()) || decoded->d.sign == nullptr) {
    SetLastError(CRYPT_E_UNEXPECTED_MSG_TYPE);
    return nullptr;
  }

  // The certificates in the message's order, each from its own DER and the
  // form OpenSSL parsed it into with the message.
  auto store = std::make_unique<MemoryCertStore>();
  STACK_OF(X509)* certificates = decoded->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certificates); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(sk_X509_value(certificates, i), &der);
    UniqueOpensslBytes owned(der);
    if (length <= 0) {
      SetLastError(asn1DecodeError());
      return nullptr;
    }
    std::unique_ptr<Certificate> certificate =
        Certificate::fromParsed(*sk_X509_value(certificates, i), der, static_cast<std::size_t>(length));
    if (!certificate) return nullptr;
    store->append(std::move(certificate));
  }
  return CertStore::open(std::move(store));
}

}  // namespace platform::certs
