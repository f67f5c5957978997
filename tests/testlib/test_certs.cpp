// OpenSSL comes before any platform header (which defines X509_NAME).
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/openssl_handles.h"
#include "testlib/process_start.h"
#include "testlib/test_certs.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("test certificates: " + what); }

using platform::UniqueX509;
using platform::UniqueX509Name;

UniqueX509 parse(const Bytes& der) {
  const unsigned char* cursor = der.data();
  UniqueX509 certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) fail("d2i_X509");
  return certificate;
}

template <typename Encode>
Bytes encoded(Encode encode) {
  unsigned char* der = nullptr;
  const int length = encode(&der);
  if (length <= 0) fail("encoding");
  const platform::UniqueOpensslBytes owned(der);
  return Bytes(der, der + length);
}

UniqueX509Name nameOf(const std::string& text, bool printable) {
  UniqueX509Name name(X509_NAME_new());
  std::size_t start = 1;
  bool joinPrevious = false;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("/+", start);
    const std::string entry = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) fail("name entry " + entry);
    const std::string value = entry.substr(equals + 1);
    if (!X509_NAME_add_entry_by_txt(name.get(), entry.substr(0, equals).c_str(),
                                    printable ? V_ASN1_PRINTABLESTRING : MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                    joinPrevious ? -1 : 0))
      fail("name entry " + entry);
    if (end == std::string::npos) break;
    joinPrevious = text[end] == '+';
    start = end + 1;
  }
  return name;
}

}  // namespace

TestKey::TestKey(void* key) : key_(platform::UniquePkey(static_cast<EVP_PKEY*>(key))) {
  if (key == nullptr) fail("key generation");
}

TestKey TestKey::rsa(int bits) { return TestKey(EVP_RSA_gen(static_cast<unsigned>(bits))); }
TestKey TestKey::p256() { return TestKey(EVP_EC_gen("P-256")); }
TestKey TestKey::ed25519() { return TestKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

TestExtension basicConstraints(bool critical, bool authority, int pathLength) {
  const platform::UniqueBasicConstraints constraints(BASIC_CONSTRAINTS_new());
  constraints->ca = authority ? 0xFF : 0;
  if (pathLength >= 0) {
    constraints->pathlen = ASN1_INTEGER_new();
    ASN1_INTEGER_set(constraints->pathlen, pathLength);
  }
  return TestExtension{"2.5.29.19", critical,
                       encoded([&](unsigned char** out) { return i2d_BASIC_CONSTRAINTS(constraints.get(), out); })};
}

TestCertificate TestCertificate::selfSigned(const CertificateSpec& spec, const TestKey& key) {
  return sign(spec, key, nullptr, key);
}

TestCertificate TestCertificate::issue(const CertificateSpec& spec, const TestKey& subjectKey) const {
  return sign(spec, subjectKey, this, key_);
}

TestCertificate TestCertificate::sign(const CertificateSpec& spec, const TestKey& subjectKey,
                                      const TestCertificate* issuer, const TestKey& signingKey) {
  UniqueX509 certificate(X509_new());
  X509* x = certificate.get();
  X509_set_version(x, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x), spec.serial);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * spec.days);
  X509_set_subject_name(x, nameOf(spec.subject, false).get());
  if (issuer != nullptr) {
    UniqueX509 issuerCertificate = parse(issuer->der());
    X509_set_issuer_name(x, X509_get_subject_name(issuerCertificate.get()));
  } else {
    X509_set_issuer_name(x, nameOf(spec.subject, spec.issuerAsPrintableStrings).get());
  }
  X509_set_pubkey(x, static_cast<EVP_PKEY*>(subjectKey.evpKey()));
  for (const TestExtension& wanted : spec.extensions) {
    const platform::UniqueAsn1Object objectId(OBJ_txt2obj(wanted.objectId.c_str(), 1));
    const platform::UniqueAsn1OctetString value(ASN1_OCTET_STRING_new());
    ASN1_OCTET_STRING_set(value.get(), wanted.value.data(), static_cast<int>(wanted.value.size()));
    const platform::UniqueX509Extension extension(
        X509_EXTENSION_create_by_OBJ(nullptr, objectId.get(), wanted.critical ? 1 : 0, value.get()));
    if (!extension || !X509_add_ext(x, extension.get(), -1)) fail("extension " + wanted.objectId);
  }
  auto* key = static_cast<EVP_PKEY*>(signingKey.evpKey());
  const EVP_MD* digest = EVP_PKEY_get_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
  if (X509_sign(x, key, digest) <= 0) fail("X509_sign");
  return TestCertificate(encoded([x](unsigned char** out) { return i2d_X509(x, out); }), subjectKey);
}

std::string TestCertificate::pem() const {
  UniqueX509 certificate = parse(der_);
  const platform::UniqueBio out(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(out.get(), certificate.get());
  char* text = nullptr;
  const long length = BIO_get_mem_data(out.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

Bytes TestCertificate::subjectName() const {
  UniqueX509 certificate = parse(der_);
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  X509_NAME_get0_der(X509_get_subject_name(certificate.get()), &der, &length);
  return Bytes(der, der + length);
}

Bytes TestCertificate::issuerName() const {
  UniqueX509 certificate = parse(der_);
  const unsigned char* der = nullptr;
  std::size_t length = 0;
  X509_NAME_get0_der(X509_get_issuer_name(certificate.get()), &der, &length);
  return Bytes(der, der + length);
}

Bytes TestCertificate::publicKeyInfo() const {
  UniqueX509 certificate = parse(der_);
  return encoded([&](unsigned char** out) { return i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), out); });
}

Bytes TestCertificate::thumbprint() const {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (!EVP_Digest(der_.data(), der_.size(), digest.data(), &length, EVP_sha1(), nullptr)) fail("SHA-1");
  digest.resize(length);
  return digest;
}

Bytes bundleWithOpenssl(const std::vector<const TestCertificate*>& certificates, const std::string& directory) {
  const std::string chain = directory + "/chain.pem";
  const std::string bundle = directory + "/bundle.p7b";
  {
    std::ofstream out(chain, std::ios::binary);
    for (const TestCertificate* certificate : certificates) out << certificate->pem();
  }
  const std::string command = "openssl crl2pkcs7 -nocrl -certfile '" + chain + "' -outform DER -out '" + bundle + "'";
  std::string output;
  if (runCommand(command, output) != 0) fail(command + "\n" + output);
  std::ifstream in(bundle, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes derElement(int tag, const Bytes& content, bool constructed) {
  const int length = static_cast<int>(content.size());
  Bytes element(static_cast<std::size_t>(ASN1_object_size(constructed ? 1 : 0, length, tag)));
  unsigned char* cursor = element.data();
  ASN1_put_object(&cursor, constructed ? 1 : 0, length, tag, V_ASN1_UNIVERSAL);
  std::copy(content.begin(), content.end(), cursor);
  return element;
}

std::string hexText(const Bytes& bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

}  // namespace testing_support
