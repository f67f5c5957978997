#include "testlib/crypt_fixtures.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace testing_support {

bool makeKeyPair(UniqueCryptProv& context, const std::string& container, DWORD flags) {
  if (!CryptAcquireContextA(context.put(), container.c_str(), kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return false;
  UniqueCryptKey key;
  return CryptGenKey(context.get(), AT_KEYEXCHANGE, flags, key.put()) != FALSE;
}

std::vector<BYTE> exportPkcs8(HCRYPTPROV prov, DWORD keySpec) {
  char rsa[] = szOID_RSA_RSA;
  DWORD size = 0;
  if (!CryptExportPKCS8(prov, keySpec, rsa, 0, nullptr, nullptr, &size)) return {};
  std::vector<BYTE> der(size);
  if (!CryptExportPKCS8(prov, keySpec, rsa, 0, nullptr, der.data(), &size)) return {};
  der.resize(size);
  return der;
}

std::vector<BYTE> publicKeyOfPkcs8(const std::vector<BYTE>& pkcs8) {
  const unsigned char* cursor = pkcs8.data();
  const platform::UniquePkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(pkcs8.size())));
  if (!key) return {};
  return platform::derOf<EVP_PKEY, i2d_PUBKEY>(key.get());
}

std::vector<BYTE> exportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec) {
  DWORD size = 0;
  const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  if (!CryptExportPublicKeyInfo(prov, keySpec, encoding, nullptr, &size)) return {};
  std::vector<BYTE> buffer(size);
  if (!CryptExportPublicKeyInfo(prov, keySpec, encoding, asPublicKeyInfo(buffer), &size)) return {};
  return buffer;
}

std::vector<BYTE> signWithProvider(HCRYPTPROV prov, ALG_ID hashAlgorithm, const std::string& data, DWORD keySpec) {
  UniqueCryptHash hash;
  if (!CryptCreateHash(prov, hashAlgorithm, 0, 0, hash.put())) return {};
  std::vector<BYTE> signature;
  DWORD size = 0;
  if (CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
      CryptSignHashA(hash.get(), keySpec, nullptr, 0, nullptr, &size)) {
    signature.resize(size);
    if (CryptSignHashA(hash.get(), keySpec, nullptr, 0, signature.data(), &size))
      signature.resize(size);
    else
      signature.clear();
  }
  const DWORD error = GetLastError();
  hash.reset();
  SetLastError(error);
  return signature;
}

bool verifyWithOpenssl(const std::vector<BYTE>& subjectPublicKeyInfo, const EVP_MD* digest, const std::string& data,
                       const std::vector<BYTE>& signature) {
  const unsigned char* cursor = subjectPublicKeyInfo.data();
  const platform::UniquePkey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(subjectPublicKeyInfo.size())));
  if (!key) return false;
  const platform::UniqueMdCtx context(EVP_MD_CTX_new());
  return context && EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

PasswordAnswers::PasswordAnswers(std::string newKey, std::string useKey)
    : newKey_(std::move(newKey)), useKey_(std::move(useKey)) {
  platform::setPasswordSink([this](platform::PasswordPurpose purpose, const char* container, std::string& password) {
    lastContainer_ = container != nullptr ? container : "";
    const bool newKey = purpose == platform::PasswordPurpose::NewKey;
    ++(newKey ? newKeyQuestions_ : useKeyQuestions_);
    password = newKey ? newKey_ : useKey_;
    return !password.empty();
  });
}

PasswordAnswers::~PasswordAnswers() { platform::setPasswordSink(nullptr); }

void writeFile(const std::string& path, const std::vector<BYTE>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<BYTE> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace testing_support
