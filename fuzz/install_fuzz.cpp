// Certificate installation on arbitrary bytes, in one home for the whole
// process.
//
// The first byte chooses the run:
//   bit 0  the rest is DER, wrapped into base64 here (else it is the text)
//   bit 1  with bit 0: base64 in lines of 64 with CR LF (else one line)
//   bit 2  key records are written first for every certificate of the
//          collection, so that user's certificates get bound
//   bit 3  English messages (else Spanish)
// installCert must return one of its documented codes, whatever it is fed.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "fuzz_support.h"
#include "install/install.h"
#include "platform/wincrypt.h"
#include "support/base64.h"
#include "support/errors.h"

namespace {

using fuzzing::check;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char* kContainer = "7d1c0e4a-5b8f-4c2e-9a3d-6f0b1e2c3d4a";
constexpr const char* kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

std::string base64Of(const std::uint8_t* bytes, std::size_t count, bool crLfLines) {
  const std::uint8_t lineBreak = crLfLines ? tarvenholm::kBase64CrLf : tarvenholm::kBase64NoBreaks;
  std::uint32_t length = 0;
  check(tarvenholm::base64EncodedLength(static_cast<std::uint32_t>(count), lineBreak, 64, &length) == 1,
        "encoded length");
  std::string text(length, '\0');
  check(tarvenholm::base64Encode(bytes, static_cast<std::uint32_t>(count), text.data(), lineBreak, 64) == 1,
        "encode");
  return text;
}

// The bytes of a text the codec accepts; none otherwise.
std::vector<std::uint8_t> decoded(const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  std::uint32_t count = 0;
  if (!tarvenholm::base64DecodedLength(text.c_str(), length, &count)) return {};
  std::vector<std::uint8_t> bytes(count);
  tarvenholm::base64Decode(text.c_str(), length, bytes.data());
  return bytes;
}

// A key record for every certificate of the collection that has none yet.
void recordKeysOf(const std::uint8_t* der, std::size_t size) {
  std::vector<BYTE> copy(der, der + size);
  CRYPT_DATA_BLOB message{static_cast<DWORD>(copy.size()), copy.data()};
  const UniqueCertStore collection(CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, 0, &message));
  if (!collection) return;
  UniqueCertContext certificate;
  for (;;) {
    certificate.reset(CertEnumCertificatesInStore(collection.get(), certificate.release()));
    if (!certificate) break;
    std::string keyId;
    if (!tarvenholm::publicKeyId(&certificate->pCertInfo->SubjectPublicKeyInfo, keyId)) continue;
    const std::string record = tarvenholm::keyRecordPath(keyId);
    if (!tarvenholm::regKeyExists(HKEY_LOCAL_MACHINE, record))
      tarvenholm::writeKeyRecord(keyId, kContainer, kProvider);
  }
}

bool isInstallResult(int code) {
  using namespace tarvenholm;
  switch (code) {
    case kSuccess:
    case kOpenCollectionFailed:
    case kNoMemoryForCertificate:
    case kOpenStoreFailed:
    case kAddCertificateFailed:
    case kHashFailed:
    case kNoKeyRecord:
    case kKeyRecordIncomplete:
    case kInvalidProviderName:
    case kBindCertificateFailed:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::useProcessHome();
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::uint8_t* body = data + 1;
  const std::size_t bodySize = size - 1;

  const bool derInput = (options & 0x01) != 0;
  const std::string text = derInput ? base64Of(body, bodySize, (options & 0x02) != 0)
                                    : std::string(reinterpret_cast<const char*>(body), bodySize);
  if ((options & 0x04) != 0) {
    if (derInput) {
      recordKeysOf(body, bodySize);
    } else {
      const std::vector<std::uint8_t> der = decoded(text);
      recordKeysOf(der.data(), der.size());
    }
  }
  tarvenholm::setMessageLanguage((options & 0x08) != 0 ? tarvenholm::MessageLanguage::English
                                                       : tarvenholm::MessageLanguage::Spanish);

  const int result = tarvenholm::installCert(text.c_str());
  check(isInstallResult(result), "installCert returns one of its codes");
  return 0;
}
