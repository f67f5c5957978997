// The OpenSSL owners and helpers the host uses. OpenSSL's headers come before
// the platform's, which define X509_NAME as a constant: after them OpenSSL's
// name type is X509_name_st.
#pragma once

#include <string>
#include <vector>

#include "platform/openssl_handles.h"

namespace tarvenholm::host {

using platform::UniqueBio;
using platform::UniquePkcs12;
using platform::UniquePkcs7;
using platform::UniquePkey;
using platform::UniqueX509;
using platform::UniqueX509Stack;

// A certificate from its DER; null when it does not decode in full.
UniqueX509 certificateFromDer(const unsigned char* der, std::size_t length);

// Base64 (RFC 4648, "=" padding) on one line.
std::string base64Line(const std::vector<unsigned char>& bytes);

}  // namespace tarvenholm::host
