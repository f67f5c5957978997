#include <openssl/evp.h>

#include "testlib/installed.h"

#include <deque>
#include <stdexcept>

#include "engine/keyrecords.h"
#include "engine/providers.h"
#include "platform/wincrypt.h"
#include "support/base64.h"
#include "support/errors.h"
#include "support/textconv.h"

namespace testing_support {
namespace {

std::optional<KeyProviderProperty> keyProviderOf(PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) return std::nullopt;
  std::vector<unsigned char> buffer(size);
  if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
    throw std::runtime_error("key-provider property did not read back");
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  KeyProviderProperty property;
  property.containerName = tarvenholm::wideToSystem(info->pwszContainerName);
  property.providerName = tarvenholm::wideToSystem(info->pwszProvName);
  property.providerType = info->dwProvType;
  property.flags = info->dwFlags;
  property.providerParameterCount = info->cProvParam;
  property.hasProviderParameters = info->rgProvParam != nullptr;
  property.keySpec = info->dwKeySpec;
  return property;
}

}  // namespace

std::vector<StoredCertificate> storeContents(const char16_t* name) {
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
  if (!store) throw std::runtime_error("store did not open");
  std::vector<StoredCertificate> contents;
  UniqueCertContext certificate;
  for (;;) {
    certificate.reset(CertEnumCertificatesInStore(store.get(), certificate.release()));
    if (!certificate) break;
    contents.push_back(StoredCertificate{
        Bytes(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded),
        keyProviderOf(certificate.get())});
  }
  return contents;
}

std::vector<Bytes> storeDers(const char16_t* name) {
  std::vector<Bytes> ders;
  for (StoredCertificate& stored : storeContents(name)) ders.push_back(std::move(stored.der));
  return ders;
}

std::string base64Text(const Bytes& bytes, bool crLfLines) {
  const std::uint8_t mode = crLfLines ? tarvenholm::kBase64CrLf : tarvenholm::kBase64NoBreaks;
  std::uint32_t length = 0;
  std::string text;
  if (!tarvenholm::base64EncodedLength(static_cast<std::uint32_t>(bytes.size()), mode, 64, &length))
    throw std::runtime_error("base64 length");
  text.resize(length);
  if (!tarvenholm::base64Encode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), text.data(), mode, 64))
    throw std::runtime_error("base64 encoding");
  return text;
}

std::string keyIdOf(const TestCertificate& certificate) {
  const Bytes publicKeyInfo = certificate.publicKeyInfo();
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (!EVP_Digest(publicKeyInfo.data(), publicKeyInfo.size(), digest.data(), &length, EVP_sha1(), nullptr))
    throw std::runtime_error("SHA-1");
  digest.resize(length);
  return hexText(digest);
}

void recordKey(const TestCertificate& certificate, const std::string& containerName,
               const std::string& providerName) {
  tarvenholm::writeKeyRecord(keyIdOf(certificate), containerName, providerName);
  const DWORD type = tarvenholm::getProvType(providerName.c_str());
  const char* container = containerName.c_str();
  const char* provider = providerName.c_str();
  UniqueCryptProv context;
  if (type != 0 && !CryptAcquireContextA(context.put(), container, provider, type, 0))
    CryptAcquireContextA(context.put(), container, provider, type, CRYPT_NEWKEYSET);
}

const TestKey& sharedKey(int index) {
  static std::deque<TestKey> keys;  // references stay valid as it grows
  while (static_cast<int>(keys.size()) <= index) keys.push_back(TestKey::p256());
  return keys[static_cast<std::size_t>(index)];
}

CertificateSpec specWith(const std::string& subject, std::vector<TestExtension> extensions, long serial) {
  CertificateSpec spec;
  spec.subject = subject;
  spec.extensions = std::move(extensions);
  spec.serial = serial;
  return spec;
}

InstallTest::~InstallTest() { tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::Spanish); }

std::string InstallTest::collectionText(const std::vector<const TestCertificate*>& certificates) {
  return base64Text(bundleWithOpenssl(certificates, home_.path()));
}

}  // namespace testing_support
