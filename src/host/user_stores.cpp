#include "host/user_stores.h"

#include <openssl/err.h>

#include <cstdint>

#include "platform/lasterror.h"
#include "platform/oletext.h"

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

UniqueCertStore openUserStore(const std::string& name) {
  const std::u16string wide = platform::utf8ToWide(name);
  return UniqueCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, wide.c_str()));
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
  BYTE hash[kSha1Length];
  DWORD length = sizeof hash;
  if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &length)) return {};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (DWORD index = 0; index < length; ++index) {
    text += kDigits[hash[index] >> 4];
    text += kDigits[hash[index] & 0x0F];
  }
  return text;
}

UniqueX509 openSslCertificate(PCCERT_CONTEXT certificate) {
  return certificateFromDer(certificate->pbCertEncoded, certificate->cbCertEncoded);
}

std::string subjectText(PCCERT_CONTEXT certificate) {
  UniqueX509 parsed = openSslCertificate(certificate);
  UniqueBio text(BIO_new(BIO_s_mem()));
  if (!parsed || !text ||
      X509_NAME_print_ex(text.get(), X509_get_subject_name(parsed.get()), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) <
          0) {
    ERR_clear_error();
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(text.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

bool readKeyBinding(PCCERT_CONTEXT certificate, std::optional<KeyBinding>& binding) {
  binding.reset();
  std::optional<std::vector<std::uint64_t>> buffer = propertyBuffer(certificate, CERT_KEY_PROV_INFO_PROP_ID);
  if (!buffer) return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer->data());
  binding = KeyBinding{utf8Of(info->pwszContainerName), utf8Of(info->pwszProvName), info->dwProvType, info->dwKeySpec};
  return true;
}

ProviderHandle::~ProviderHandle() {
  if (handle_ != 0) CryptReleaseContext(handle_, 0);
}

bool ProviderHandle::acquire(const char* container, const char* provider, DWORD providerType, DWORD flags) {
  if (handle_ != 0) CryptReleaseContext(std::exchange(handle_, 0), 0);
  return CryptAcquireContextA(&handle_, container, provider, providerType, flags) != FALSE;
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
