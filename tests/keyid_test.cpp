// Key identifiers: SHA-1 of the DER SubjectPublicKeyInfo as upper-case hex.
#include "testlib/crypt_fixtures.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/keyid.h"
#include "platform/fault.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using namespace testing_support;
using tarvenholm::publicKeyId;

class KeyIdTest : public testing_support::HomeTest {};

std::vector<BYTE> sha1(const std::vector<BYTE>& data) {
  std::vector<BYTE> digest(SHA_DIGEST_LENGTH);
  SHA1(data.data(), data.size(), digest.data());
  return digest;
}

// The key identifier of a PrivateKeyInfo's public key as the openssl command
// computes it: the public key in DER, then its SHA-1.
std::string keyIdByOpensslCommand(const std::vector<BYTE>& pkcs8) {
  const std::string base = ::testing::TempDir() + "tarvenholm-keyid-" + std::to_string(::getpid());
  writeFile(base + ".p8", pkcs8);
  std::string output;
  const bool converted = runCommand("openssl pkey -inform DER -in " + base + ".p8 -pubout -outform DER -out " +
                                        base + ".spki", output) == 0;
  std::string digest;
  if (converted && runCommand("openssl dgst -sha1 -r " + base + ".spki", output) == 0)
    digest = output.substr(0, output.find(' '));
  std::remove((base + ".p8").c_str());
  std::remove((base + ".spki").c_str());
  std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return std::toupper(c); });
  return digest;
}

TEST_F(KeyIdTest, KeyIdIsTheSha1OfTheExportedPublicKeyInfo) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "identified", (1024u << 16) | CRYPT_EXPORTABLE));
  std::vector<BYTE> exported = exportPublicKeyInfo(context.get());
  ASSERT_FALSE(exported.empty());
  std::string keyId;
  ASSERT_TRUE(publicKeyId(asPublicKeyInfo(exported), keyId));
  ASSERT_EQ(keyId.size(), 40u);
  EXPECT_EQ(keyId.find_first_not_of("0123456789ABCDEF"), std::string::npos) << keyId;
  const std::string expected = keyIdByOpensslCommand(exportPkcs8(context.get()));
  ASSERT_EQ(expected.size(), 40u);
  EXPECT_EQ(keyId, expected);
}

TEST_F(KeyIdTest, KeyIdWritesEachDigestByteHighNibbleFirst) {
  // SEQUENCE { SEQUENCE { OID 1.2.3 }, BIT STRING (4 bytes) }: find key
  // bytes whose digest begins 0A F3.
  std::vector<BYTE> der = {0x30, 0x0D, 0x30, 0x04, 0x06, 0x02, 0x2A, 0x03, 0x03, 0x05, 0x00, 0, 0, 0, 0};
  std::vector<BYTE> digest;
  for (std::uint32_t counter = 0;; ++counter) {
    for (int i = 0; i < 4; ++i) der[11 + i] = static_cast<BYTE>(counter >> (8 * i));
    digest = sha1(der);
    if (digest[0] == 0x0A && digest[1] == 0xF3) break;
    ASSERT_LT(counter, 1u << 24);
  }
  char objectId[] = "1.2.3";
  CERT_PUBLIC_KEY_INFO info{{objectId, {0, nullptr}}, {4, der.data() + 11, 0}};
  std::string keyId;
  ASSERT_TRUE(publicKeyId(&info, keyId));
  EXPECT_EQ(keyId.substr(0, 4), "0AF3");
  EXPECT_EQ(keyId, hexText(digest));
}

TEST_F(KeyIdTest, KeyIdHashesTheAlgorithmParametersToo) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "parameters", 1024u << 16));
  std::vector<BYTE> exported = exportPublicKeyInfo(context.get());
  ASSERT_FALSE(exported.empty());
  CERT_PUBLIC_KEY_INFO withNull = *asPublicKeyInfo(exported);
  CERT_PUBLIC_KEY_INFO withoutParameters = withNull;
  withoutParameters.Algorithm.Parameters = {0, nullptr};
  std::string nullId;
  std::string absentId;
  ASSERT_TRUE(publicKeyId(&withNull, nullId));
  ASSERT_TRUE(publicKeyId(&withoutParameters, absentId));
  EXPECT_NE(nullId, absentId);
}

TEST_F(KeyIdTest, CertificateForTheKeyHasTheSameKeyId) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "certified", (1024u << 16) | CRYPT_EXPORTABLE));
  std::vector<BYTE> exported = exportPublicKeyInfo(context.get());
  std::string requestId;
  ASSERT_TRUE(publicKeyId(asPublicKeyInfo(exported), requestId));

  const std::vector<BYTE> pkcs8 = exportPkcs8(context.get());
  const unsigned char* cursor = pkcs8.data();
  const platform::UniquePkey ownedKey(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(pkcs8.size())));
  ASSERT_TRUE(ownedKey);
  EVP_PKEY* key = ownedKey.get();
  const platform::UniqueX509 ownedCertificate(X509_new());
  X509* certificate = ownedCertificate.get();
  X509_set_pubkey(certificate, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Juan"), -1, -1, 0);
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
  ASSERT_GT(X509_sign(certificate, key, EVP_sha256()), 0);
  const std::vector<unsigned char> der = platform::derOf<X509, i2d_X509>(certificate);
  PCCERT_CONTEXT decoded = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(decoded, nullptr);
  std::string certificateId;
  EXPECT_TRUE(publicKeyId(&decoded->pCertInfo->SubjectPublicKeyInfo, certificateId));
  CertFreeCertificateContext(decoded);
  EXPECT_EQ(certificateId, requestId);
}

TEST_F(KeyIdTest, FailedKeyIdLeavesTheTextAsItWas) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "failing", 1024u << 16));
  std::vector<BYTE> exported = exportPublicKeyInfo(context.get());
  std::string keyId = "as it was";
  platform::faultArm("CryptHashPublicKeyInfo", 1, NTE_FAIL);
  EXPECT_FALSE(publicKeyId(asPublicKeyInfo(exported), keyId));
  EXPECT_EQ(keyId, "as it was");

  CERT_PUBLIC_KEY_INFO broken = *asPublicKeyInfo(exported);
  char notAnObjectId[] = "rsa";
  broken.Algorithm.pszObjId = notAnObjectId;
  EXPECT_FALSE(publicKeyId(&broken, keyId));
  EXPECT_EQ(keyId, "as it was");
}

}  // namespace
