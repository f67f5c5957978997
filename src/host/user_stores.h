// The current user's certificate stores and key containers, read through
// the platform's store and provider interfaces as a certificate tool does.
#pragma once

#include "host/openssl_owned.h"
// (OpenSSL first: see openssl_owned.h.)
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wincrypt.h"

namespace tarvenholm::host {

// One of the user's system stores ("MY", "CA", "ROOT"), read-only unless
// `writable`; null with the last error set when it cannot be opened.
UniqueCertStore openUserStore(const std::string& name, bool writable = false);

// The store an operand names, in any case ("my", "Root"); throws a usage
// error of `command` for any other name.
std::string storeNameOperand(const std::string& operand, const std::string& command);

// The 20 bytes of a SHA-1 thumbprint written as 40 hexadecimal digits in
// either case, or as `openssl x509 -fingerprint` prints it (pairs separated
// by colons, optionally after "sha1 Fingerprint=" in any case); nothing for
// anything else.
std::optional<std::vector<BYTE>> parseThumbprint(std::string_view text);
// The same for an operand: anything else is a usage error of `command`.
std::vector<BYTE> thumbprintOperand(const std::string& operand, const std::string& command);

// The certificate of the store with this thumbprint; null when there is none
// (the last error says whether it was not found or could not be looked for).
UniqueCertContext findCertificate(HCERTSTORE store, const std::vector<BYTE>& thumbprint);

// Calls `visit` for each certificate of the store in the store's order.
// False with the last error set when the store cannot be read to its end,
// or when a visit fails: it returns false with the last error set.
bool forEachCertificate(HCERTSTORE store, const std::function<bool(PCCERT_CONTEXT)>& visit);

// 40 upper-case hexadecimal digits of the certificate's SHA-1; empty with
// the last error set when it cannot be had.
std::string thumbprintText(PCCERT_CONTEXT certificate);
std::string thumbprintText(const std::vector<BYTE>& thumbprint);
// The subject as `openssl x509 -noout -subject -nameopt RFC2253,-esc_msb`
// prints it after "subject=".
std::string subjectText(PCCERT_CONTEXT certificate);
// The certificate as OpenSSL holds it.
UniqueX509 openSslCertificate(PCCERT_CONTEXT certificate);

// The key container a certificate is bound to (its key-provider property).
struct KeyBinding {
  std::string container;
  std::string provider;
  DWORD providerType = 0;
  DWORD keySpec = 0;
};
// Leaves `binding` empty for a certificate without one. False with the
// last error set when the property cannot be read.
bool readKeyBinding(PCCERT_CONTEXT certificate, std::optional<KeyBinding>& binding);

// A text parameter of a provider context (PP_NAME, PP_CONTAINER, ...).
std::optional<std::string> providerText(HCRYPTPROV context, DWORD parameter);

}  // namespace tarvenholm::host
