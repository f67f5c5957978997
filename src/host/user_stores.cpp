#include "host/user_stores.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <strings.h>

#include <cstdint>
#include <string_view>

#include "host/arguments.h"
#include "platform/lasterror.h"
#include "platform/oletext.h"
#include "platform/root_trust.h"

namespace tarvenholm::host {
namespace {

constexpr std::size_t kSha1Length = 20;

// A property laid out by the platform, its pointers into the same buffer:
// the buffer is aligned for the structure at its head.
std::optional<std::vector<std::uint64_t>> propertyBuffer(PCCERT_CONTEXT certificate, DWORD property) {
  DWORD length = 0;
  if (!CertGetCertificateContextProperty(certificate, property, nullptr, &length)) return std::nullopt;
  std::vector<std::uint64_t> buffer((length + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  if (!CertGetCertificateContextProperty(certificate, property, buffer.data(), &length)) return std::nullopt;
  return buffer;
}

std::string utf8Of(const char16_t* text) { return text == nullptr ? std::string() : platform::wideToUtf8(text); }

}  // namespace

UniqueCertStore openUserStore(const std::string& name, bool writable) {
  const std::u16string wide = platform::utf8ToWide(name);
  const DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER | (writable ? 0 : CERT_STORE_READONLY_FLAG);
  return UniqueCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, wide.c_str()));
}

std::string storeNameOperand(const std::string& operand, const std::string& command) {
  std::string name = operand;
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (name != "MY" && name != "CA" && name != "ROOT")
    throw UsageError("unknown store '" + operand + "': use MY, CA or ROOT", command);
  return name;
}

std::optional<std::vector<BYTE>> parseThumbprint(std::string_view text) {
  static constexpr std::string_view kFingerprintLabel = "sha1 Fingerprint=";
  if (text.size() > kFingerprintLabel.size() &&
      ::strncasecmp(text.data(), kFingerprintLabel.data(), kFingerprintLabel.size()) == 0)
    text.remove_prefix(kFingerprintLabel.size());
  // Colons either between every pair of digits or nowhere.
  const bool colons = text.size() == 3 * kSha1Length - 1;
  if (!colons && text.size() != 2 * kSha1Length) return std::nullopt;
  std::vector<BYTE> bytes;
  for (std::size_t index = 0; index < text.size(); index += colons ? 3 : 2) {
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(text[index]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(text[index + 1]));
    if (high < 0 || low < 0 || (colons && index + 2 < text.size() && text[index + 2] != ':')) return std::nullopt;
    bytes.push_back(static_cast<BYTE>(high << 4 | low));
  }
  return bytes;
}

std::vector<BYTE> thumbprintOperand(const std::string& operand, const std::string& command) {
  std::optional<std::vector<BYTE>> bytes = parseThumbprint(operand);
  if (!bytes) throw UsageError("'" + operand + "' is not a thumbprint: 40 hexadecimal digits expected", command);
  return std::move(*bytes);
}

UniqueCertContext findCertificate(HCERTSTORE store, const std::vector<BYTE>& thumbprint) {
  CRYPT_HASH_BLOB wanted{static_cast<DWORD>(thumbprint.size()), const_cast<BYTE*>(thumbprint.data())};
  return UniqueCertContext(
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr));
}

bool forEachCertificate(HCERTSTORE store, const std::function<bool(PCCERT_CONTEXT)>& visit) {
  for (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(store, nullptr); certificate != nullptr;
       certificate = CertEnumCertificatesInStore(store, certificate)) {
    if (!visit(certificate)) {
      const DWORD error = GetLastError();
      CertFreeCertificateContext(certificate);
      SetLastError(error);
      return false;
    }
  }
  // The end of the store, or a failure to read on.
  return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
}

std::string thumbprintText(PCCERT_CONTEXT certificate) {
  std::vector<BYTE> hash(kSha1Length);
  DWORD length = static_cast<DWORD>(hash.size());
  if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash.data(), &length)) return {};
  hash.resize(length);
  return thumbprintText(hash);
}

std::string thumbprintText(const std::vector<BYTE>& thumbprint) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const BYTE byte : thumbprint) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

UniqueX509 openSslCertificate(PCCERT_CONTEXT certificate) {
  return certificateFromDer(certificate->pbCertEncoded, certificate->cbCertEncoded);
}

std::string subjectText(PCCERT_CONTEXT certificate) {
  UniqueX509 parsed = openSslCertificate(certificate);
  return parsed ? platform::certs::rfc2253Text(X509_get_subject_name(parsed.get())) : std::string();
}

bool readKeyBinding(PCCERT_CONTEXT certificate, std::optional<KeyBinding>& binding) {
  binding.reset();
  std::optional<std::vector<std::uint64_t>> buffer = propertyBuffer(certificate, CERT_KEY_PROV_INFO_PROP_ID);
  if (!buffer) return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer->data());
  binding = KeyBinding{utf8Of(info->pwszContainerName), utf8Of(info->pwszProvName), info->dwProvType, info->dwKeySpec};
  return true;
}

std::optional<std::string> providerText(HCRYPTPROV context, DWORD parameter) {
  DWORD length = 0;
  if (!CryptGetProvParam(context, parameter, nullptr, &length, 0)) return std::nullopt;
  std::string text(length, '\0');
  if (!CryptGetProvParam(context, parameter, reinterpret_cast<BYTE*>(text.data()), &length, 0)) return std::nullopt;
  text.resize(length > 0 ? length - 1 : 0);
  return text;
}

}  // namespace tarvenholm::host
