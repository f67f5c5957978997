// A certificate, its chain and its private key as a password-protected
// PKCS#12 file.
#pragma once

#include "host/openssl_owned.h"
// (OpenSSL first: see openssl_owned.h.)
#include <optional>
#include <string>
#include <vector>

#include "platform/wincrypt.h"

namespace tarvenholm::host {

// The issuers of `certificate` found among `authorities`, nearest first,
// each checked by its signature, up to a self-issued certificate or the
// first certificate whose issuer is not there.
std::vector<X509*> chainOf(X509* certificate, const std::vector<UniqueX509>& authorities);

// The DER of the PKCS#12: key and certificates under AES-256-CBC with
// PBKDF2, integrity by HMAC-SHA-256, key and certificate under
// `friendlyName`; nothing when OpenSSL fails.
std::optional<std::vector<unsigned char>> pkcs12Of(EVP_PKEY* key, X509* certificate, const std::vector<X509*>& chain,
                                                   const std::string& password, const std::string& friendlyName);

// The certificate's subject common name (the last one) as UTF-8; empty when
// it has none.
std::string commonNameOf(X509* certificate);

// Writes the file readable and writable by its owner only (also when it
// existed), never through a symbolic link (ELOOP); removes it again when
// writing fails. False with errno set.
bool writePrivateFile(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace tarvenholm::host
