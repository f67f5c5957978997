// Real certificates for tests, made with OpenSSL: keys, self-signed and
// issued certificates with chosen extensions, and certificates-only PKCS#7
// bundles made by the `openssl crl2pkcs7` command.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A key pair (shared between copies). Ed25519 and P-256 keys are quick to
// make and sign with, for tests that need many certificates.
class TestKey {
 public:
  static TestKey rsa(int bits = 2048);
  static TestKey p256();
  static TestKey ed25519();

  void* evpKey() const { return key_.get(); }  // EVP_PKEY*

 private:
  explicit TestKey(void* key);
  std::shared_ptr<void> key_;
};

struct TestExtension {
  std::string objectId;  // dotted text
  bool critical = false;
  Bytes value;           // the extnValue content
};

// basicConstraints as OpenSSL encodes it; pathLength < 0 leaves it out.
TestExtension basicConstraints(bool critical, bool authority, int pathLength = -1);

struct CertificateSpec {
  // As `openssl req -subj` takes it: "/C=MX/O=Org/CN=Name", "+" joining
  // attributes into one multi-valued RDN ("/CN=Name+O=Org").
  std::string subject;
  // Self-signed only: the issuer as the same name with every value a
  // PrintableString, so that the two names match in meaning but not in bytes.
  bool issuerAsPrintableStrings = false;
  std::vector<TestExtension> extensions;
  long serial = 1;
  int days = 365;
};

class TestCertificate {
 public:
  static TestCertificate selfSigned(const CertificateSpec& spec, const TestKey& key);
  // Issued by this certificate, signed with its key.
  TestCertificate issue(const CertificateSpec& spec, const TestKey& subjectKey) const;

  const Bytes& der() const { return der_; }
  std::string pem() const;
  // The encodings as OpenSSL finds them in the certificate.
  Bytes subjectName() const;
  Bytes issuerName() const;
  Bytes publicKeyInfo() const;
  // SHA-1 of the DER.
  Bytes thumbprint() const;

 private:
  static TestCertificate sign(const CertificateSpec& spec, const TestKey& subjectKey, const TestCertificate* issuer,
                              const TestKey& signingKey);
  TestCertificate(Bytes der, TestKey key) : der_(std::move(der)), key_(std::move(key)) {}
  Bytes der_;
  TestKey key_;
};

// Writes the certificates as PEM into `directory` and bundles them, in that
// order, with `openssl crl2pkcs7 -nocrl`: the DER of the PKCS#7 message.
Bytes bundleWithOpenssl(const std::vector<const TestCertificate*>& certificates, const std::string& directory);

// The DER element (tag, length, content) with the given universal tag.
Bytes derElement(int tag, const Bytes& content, bool constructed);

// 40 upper-case hexadecimal digits.
std::string hexText(const Bytes& bytes);

}  // namespace testing_support
