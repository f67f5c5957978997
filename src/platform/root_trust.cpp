#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/root_trust.h"

#include <ctime>

#include "platform/application.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"

namespace platform::certs {
namespace {

std::string timeText(const ASN1_TIME* time) {
  std::tm parts{};
  char text[32];
  if (ASN1_TIME_to_tm(time, &parts) != 1 || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return {};
  return text;
}

std::string fingerprint(const std::vector<BYTE>& der, const EVP_MD* digest) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(der.data(), der.size(), hash, &length, digest, nullptr) != 1) return {};
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int index = 0; index < length; ++index) {
    text += kDigits[hash[index] >> 4];
    text += kDigits[hash[index] & 0x0F];
  }
  return text;
}

}  // namespace

std::string rfc2253Text(const X509_name_st* name) {
  UniqueBio text(BIO_new(BIO_s_mem()));
  if (!text || X509_NAME_print_ex(text.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
    ERR_clear_error();
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(text.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

bool confirmNewRoot(const std::vector<BYTE>& der) {
  const unsigned char* cursor = der.data();
  const UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
  const bool selfSigned = key != nullptr && X509_check_issued(certificate.get(), certificate.get()) == X509_V_OK &&
                          X509_verify(certificate.get(), key) == 1;
  ERR_clear_error();
  if (!selfSigned) {
    SetLastError(TRUST_E_CERT_SIGNATURE);
    return false;
  }
  const RootCertificateQuestion question{rfc2253Text(X509_get_subject_name(certificate.get())),
                                         rfc2253Text(X509_get_issuer_name(certificate.get())),
                                         timeText(X509_get0_notBefore(certificate.get())),
                                         timeText(X509_get0_notAfter(certificate.get())),
                                         fingerprint(der, EVP_sha1()),
                                         fingerprint(der, EVP_sha256())};
  if (!askToTrustRoot(question)) {
    SetLastError(ERROR_CANCELLED);
    return false;
  }
  return true;
}

}  // namespace platform::certs
