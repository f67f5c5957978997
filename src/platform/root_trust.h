// What stands between a certificate and the user's ROOT store: a root
// whose self-signature does not verify is never trusted, and every other one
// only when the user says Yes through the root trust sink (application.h).
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

// OpenSSL's X509_NAME (the platform's headers define that name as a constant).
struct X509_name_st;

namespace platform::certs {

// True when the certificate (DER) may join ROOT. False with the last error
// TRUST_E_CERT_SIGNATURE when it is not self-signed with a signature that
// verifies, ERROR_CANCELLED when the user declines.
bool confirmNewRoot(const std::vector<BYTE>& der);

// A name as `openssl x509 -nameopt RFC2253,-esc_msb` prints it; empty when it cannot be printed.
std::string rfc2253Text(const X509_name_st* name);

}  // namespace platform::certs
