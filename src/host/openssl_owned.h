// Owners of the OpenSSL objects the host uses. OpenSSL's headers come before
// the platform's, which define X509_NAME as a constant: after them OpenSSL's
// name type is X509_name_st.
#pragma once

#include <openssl/bio.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "platform/openssl_handles.h"

namespace tarvenholm::host {

using platform::OpensslPtr;
using platform::UniquePkey;
using UniqueBio = OpensslPtr<BIO, BIO_free_all>;
using platform::UniqueX509;
using UniquePkcs7 = OpensslPtr<PKCS7, PKCS7_free>;
using UniquePkcs12 = OpensslPtr<PKCS12, PKCS12_free>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using UniqueX509Stack = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A certificate from its DER; null when it does not decode in full.
UniqueX509 certificateFromDer(const unsigned char* der, std::size_t length);

// Base64 (RFC 4648, "=" padding) on one line.
std::string base64Line(const std::vector<unsigned char>& bytes);

}  // namespace tarvenholm::host
