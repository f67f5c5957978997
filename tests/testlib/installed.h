// What certificate installation leaves behind, read back through the
// platform's store functions, and the inputs it takes: base64 collections
// and key records for test certificates.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace testing_support {

// The key-provider property of a stored certificate, names as UTF-8.
struct KeyProviderProperty {
  std::string containerName;
  std::string providerName;
  unsigned providerType = 0;
  unsigned flags = 0;
  unsigned providerParameterCount = 0;
  bool hasProviderParameters = false;
  unsigned keySpec = 0;
};

struct StoredCertificate {
  Bytes der;
  std::optional<KeyProviderProperty> keyProvider;
};

// The current user's store `name` ("MY", "CA", "ROOT") in its order.
std::vector<StoredCertificate> storeContents(const char16_t* name);
// The DERs of the same, for comparisons.
std::vector<Bytes> storeDers(const char16_t* name);

// Base64 of `bytes`: one line, or lines of 64 characters ending in CR LF.
std::string base64Text(const Bytes& bytes, bool crLfLines = false);

// The key identifier of the certificate's public key, computed here with
// OpenSSL: SHA-1 of the DER SubjectPublicKeyInfo, upper-case hexadecimal.
std::string keyIdOf(const TestCertificate& certificate);

// Writes the key record of the certificate's public key, and makes the
// (empty) container it names when the provider is installed: a record binds
// only to a container the user has.
void recordKey(const TestCertificate& certificate, const std::string& containerName,
               const std::string& providerName);

// A P-256 key made once per process; different `index`, different key.
const TestKey& sharedKey(int index);

// Subjects of the test chain's certificates.
inline const char* const kRootSubject = "/C=MX/O=Tarvenholm Tests/CN=Test Root";
inline const char* const kIssuingSubject = "/C=MX/O=Tarvenholm Tests/CN=Test Issuing CA";

// A certificate with these extensions only.
CertificateSpec specWith(const std::string& subject, std::vector<TestExtension> extensions, long serial = 1);

// Installation cases: a fresh home, boxes recorded, the default (Spanish)
// message language restored afterwards.
class InstallTest : public HomeTest {
 protected:
  ~InstallTest() override;

  // The certificates bundled in this order by the openssl command, as
  // base64 text.
  std::string collectionText(const std::vector<const TestCertificate*>& certificates);

  // A root (basic constraints critical, cA TRUE), an issuing authority
  // under it (the same, path length 0) and a user's certificate under that
  // (basic constraints not critical, cA FALSE).
  TestCertificate root_ = TestCertificate::selfSigned(
      specWith(kRootSubject, {basicConstraints(true, true)}), sharedKey(0));
  TestCertificate issuing_ =
      root_.issue(specWith(kIssuingSubject, {basicConstraints(true, true, 0)}, 2), sharedKey(1));
  TestCertificate user_ = issuing_.issue(specWith("/CN=Test User", {basicConstraints(false, false)}, 3), sharedKey(2));
};

inline const char* const kContainer = "0f8fad5b-d9cb-469f-a165-70867728950e";
inline const char* const kProvider = "Microsoft Enhanced Cryptographic Provider v1.0";

}  // namespace testing_support
