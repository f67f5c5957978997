// Helpers for the tests of the cryptographic platform: key pairs, key export, password answers, and running the
// `openssl` command as an independent verifier.
//
// OpenSSL's headers come first: the platform headers define X509_NAME as a
// constant, and OpenSSL's type of that name is X509_name_st after them.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/application.h"
#include "platform/lasterror.h"
#include "platform/wincrypt.h"
#include "testlib/test_certs.h"

namespace testing_support {

inline constexpr const char* kEnhancedProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

// Creates `container` in the enhanced provider with a key exchange key
// pair of `flags` (size << 16 | CRYPT_EXPORTABLE ...). False on failure.
bool makeKeyPair(UniqueCryptProv& context, const std::string& container, DWORD flags);

// The context's key pair as DER PrivateKeyInfo; empty with the last error
// set when the export fails.
std::vector<BYTE> exportPkcs8(HCRYPTPROV prov, DWORD keySpec = AT_KEYEXCHANGE);

// The DER SubjectPublicKeyInfo of a PrivateKeyInfo, made by OpenSSL.
std::vector<BYTE> publicKeyOfPkcs8(const std::vector<BYTE>& pkcs8);

// The flat CERT_PUBLIC_KEY_INFO the provider exports, in an owned buffer.
std::vector<BYTE> exportPublicKeyInfo(HCRYPTPROV prov, DWORD keySpec = AT_KEYEXCHANGE);
inline CERT_PUBLIC_KEY_INFO* asPublicKeyInfo(std::vector<BYTE>& buffer) {
  return reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
}

// Signs `data` with the context's key pair through CryptSignHashA; the
// signature as the platform gives it (least significant byte first).
// Empty with the last error set on failure.
std::vector<BYTE> signWithProvider(HCRYPTPROV prov, ALG_ID hashAlgorithm, const std::string& data,
                                   DWORD keySpec = AT_KEYEXCHANGE);

// Verifies a big-endian RSASSA-PKCS1-v1_5 signature with the public key of
// a DER SubjectPublicKeyInfo.
bool verifyWithOpenssl(const std::vector<BYTE>& subjectPublicKeyInfo, const EVP_MD* digest, const std::string& data,
                       const std::vector<BYTE>& signature);

// Answers the provider's password questions from a script while it lives
// and counts them.
class PasswordAnswers {
 public:
  // `newKey` answers NewKey questions, `useKey` UseKey ones; an empty
  // answer is a cancelled prompt.
  PasswordAnswers(std::string newKey, std::string useKey);
  ~PasswordAnswers();
  PasswordAnswers(const PasswordAnswers&) = delete;
  PasswordAnswers& operator=(const PasswordAnswers&) = delete;

  void setUseKey(std::string answer) { useKey_ = std::move(answer); }
  int newKeyQuestions() const { return newKeyQuestions_; }
  int useKeyQuestions() const { return useKeyQuestions_; }
  const std::string& lastContainer() const { return lastContainer_; }

 private:
  std::string newKey_;
  std::string useKey_;
  int newKeyQuestions_ = 0;
  int useKeyQuestions_ = 0;
  std::string lastContainer_;
};


void writeFile(const std::string& path, const std::vector<BYTE>& bytes);
std::vector<BYTE> readFile(const std::string& path);

}  // namespace testing_support
