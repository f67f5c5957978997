// Encoding of names, public key infos and signed requests, checked with
// OpenSSL's decoders and the openssl command.
#include "testlib/crypt_fixtures.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/public_key_info.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using namespace testing_support;

class EncodingTest : public testing_support::HomeTest {};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

char kCommonName[] = "2.5.4.3";
char kOrganization[] = "2.5.4.10";
char kCountry[] = "2.5.4.6";
char kEmail[] = "1.2.840.113549.1.9.1";

CERT_RDN_ATTR attribute(char* objectId, DWORD type, const char* value) {
  return {objectId, type, {static_cast<DWORD>(std::strlen(value)), reinterpret_cast<BYTE*>(const_cast<char*>(value))}};
}

// Encodes `rdns` (each a list of attributes) the two-call way; empty with
// the last error set on failure.
std::vector<BYTE> encodeName(std::vector<std::vector<CERT_RDN_ATTR>>& rdns) {
  std::vector<CERT_RDN> rdnArray;
  for (auto& attributes : rdns) rdnArray.push_back({static_cast<DWORD>(attributes.size()), attributes.data()});
  CERT_NAME_INFO name{static_cast<DWORD>(rdnArray.size()), rdnArray.data()};
  DWORD size = 0;
  if (!CryptEncodeObject(kEncoding, X509_NAME, &name, nullptr, &size)) return {};
  std::vector<BYTE> der(size);
  if (!CryptEncodeObject(kEncoding, X509_NAME, &name, der.data(), &size)) return {};
  return der;
}

platform::UniqueX509Name decodeName(const std::vector<BYTE>& der) {
  const unsigned char* cursor = der.data();
  return platform::UniqueX509Name(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(der.size())));
}

std::string temporaryPath(const std::string& name) {
  return ::testing::TempDir() + "tarvenholm-" + std::to_string(::getpid()) + "-" + name;
}

TEST_F(EncodingTest, NameWithOneRdnHoldsEveryAttributeWithItsStringType) {
  const char* utf8 = "Compa\xC3\xB1\xC3\xAD" "a";
  std::vector<std::vector<CERT_RDN_ATTR>> rdns = {{attribute(kCommonName, CERT_RDN_PRINTABLE_STRING, "Juan Perez"),
                                                   attribute(kOrganization, CERT_RDN_UTF8_STRING, utf8),
                                                   attribute(kEmail, CERT_RDN_IA5_STRING, "juan@example.com")}};
  const std::vector<BYTE> der = encodeName(rdns);
  ASSERT_FALSE(der.empty());
  platform::UniqueX509Name name = decodeName(der);
  ASSERT_TRUE(name.get());
  ASSERT_EQ(X509_NAME_entry_count(name.get()), 3);
  struct Expected {
    const char* objectId;
    int type;
    std::string value;
  };
  const Expected expected[] = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Juan Perez"},
                               {"2.5.4.10", V_ASN1_UTF8STRING, utf8},
                               {"1.2.840.113549.1.9.1", V_ASN1_IA5STRING, "juan@example.com"}};
  for (const Expected& wanted : expected) {
    const int index = X509_NAME_get_index_by_OBJ(name.get(), OBJ_txt2obj(wanted.objectId, 1), -1);
    ASSERT_GE(index, 0) << wanted.objectId;
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name.get(), index);
    EXPECT_EQ(X509_NAME_ENTRY_set(entry), 0) << "every attribute in the one RDN";
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    EXPECT_EQ(ASN1_STRING_type(value), wanted.type) << wanted.objectId;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                          static_cast<std::size_t>(ASN1_STRING_length(value))),
              wanted.value);
  }

  // Two RDNs stay two; a buffer one byte short is refused with the size.
  rdns.push_back({attribute(kCountry, CERT_RDN_PRINTABLE_STRING, "ES")});
  std::vector<CERT_RDN> rdnArray = {{3, rdns[0].data()}, {1, rdns[1].data()}};
  CERT_NAME_INFO info{2, rdnArray.data()};
  DWORD size = 0;
  ASSERT_TRUE(CryptEncodeObject(kEncoding, X509_NAME, &info, nullptr, &size));
  std::vector<BYTE> twoRdns(size);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptEncodeObject(kEncoding, X509_NAME, &info, twoRdns.data(), &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(tooSmall, size);
  ASSERT_TRUE(CryptEncodeObject(kEncoding, X509_NAME, &info, twoRdns.data(), &size));
  name = decodeName(twoRdns);
  ASSERT_TRUE(name.get());
  EXPECT_EQ(X509_NAME_ENTRY_set(X509_NAME_get_entry(name.get(), X509_NAME_entry_count(name.get()) - 1)), 1);
}

TEST_F(EncodingTest, NameEncoderRefusesWhatTheStringTypeCannotHold) {
  struct Case {
    DWORD type;
    const char* value;
    DWORD error;
  };
  const Case cases[] = {
      {CERT_RDN_PRINTABLE_STRING, "juan@example.com", CRYPT_E_INVALID_PRINTABLE_STRING},
      {CERT_RDN_PRINTABLE_STRING, "under_score", CRYPT_E_INVALID_PRINTABLE_STRING},
      {CERT_RDN_PRINTABLE_STRING, "Pe\xC3\xB1" "a", CRYPT_E_INVALID_PRINTABLE_STRING},
      {CERT_RDN_IA5_STRING, "pe\xC3\xB1" "a@example.com", CRYPT_E_INVALID_IA5_STRING},
      {CERT_RDN_IA5_STRING, "\x80", CRYPT_E_INVALID_IA5_STRING},
      {CERT_RDN_NUMERIC_STRING, "12a", CRYPT_E_INVALID_NUMERIC_STRING},
      {CERT_RDN_OCTET_STRING, "x", CRYPT_E_BAD_ENCODE},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<CERT_RDN_ATTR>> rdns = {{attribute(kCommonName, CERT_RDN_PRINTABLE_STRING, "fine"),
                                                     attribute(kOrganization, c.type, c.value)}};
    EXPECT_TRUE(encodeName(rdns).empty()) << c.value;
    EXPECT_EQ(GetLastError(), c.error) << c.value;
  }
  std::vector<std::vector<CERT_RDN_ATTR>> accepted = {
      {attribute(kCommonName, CERT_RDN_PRINTABLE_STRING, "AZ az 09 '()+,-./:=?"),
       attribute(kEmail, CERT_RDN_IA5_STRING, "~!@#$%^&*_{}|\\\x7F")}};
  EXPECT_FALSE(encodeName(accepted).empty());

  for (const char* objectId : {"2.5.4.", "2.5..4", ".2.5.4", "2", "2.5.4.3 ", "", "CN", "3.5.4"}) {
    std::string badObjectId = objectId;
    std::vector<std::vector<CERT_RDN_ATTR>> badOid = {{attribute(badObjectId.data(), CERT_RDN_UTF8_STRING, "x")}};
    EXPECT_TRUE(encodeName(badOid).empty()) << '"' << objectId << '"';
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_OID_FORMAT)) << '"' << objectId << '"';
  }
  std::vector<std::vector<CERT_RDN_ATTR>> emptyRdn = {{}};
  EXPECT_TRUE(encodeName(emptyRdn).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_BAD_ENCODE));

  CERT_NAME_INFO empty{0, nullptr};
  DWORD size = 0;
  EXPECT_FALSE(CryptEncodeObject(kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED, &empty, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "no encoder for that structure";
}

TEST_F(EncodingTest, ExportedPublicKeyInfoPointsIntoItsOwnBuffer) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "public", (1024u << 16) | CRYPT_EXPORTABLE));
  DWORD size = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(context.get(), AT_KEYEXCHANGE, kEncoding, nullptr, &size));
  std::vector<BYTE> buffer(size);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptExportPublicKeyInfo(context.get(), AT_KEYEXCHANGE, kEncoding, asPublicKeyInfo(buffer), &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_TRUE(CryptExportPublicKeyInfo(context.get(), AT_KEYEXCHANGE, kEncoding, asPublicKeyInfo(buffer), &size));

  const CERT_PUBLIC_KEY_INFO& info = *asPublicKeyInfo(buffer);
  const auto inside = [&](const void* pointer, std::size_t length) {
    const BYTE* first = static_cast<const BYTE*>(pointer);
    return first >= buffer.data() + sizeof info && first + length <= buffer.data() + buffer.size();
  };
  EXPECT_STREQ(info.Algorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_TRUE(inside(info.Algorithm.pszObjId, std::strlen(szOID_RSA_RSA) + 1));
  ASSERT_EQ(info.Algorithm.Parameters.cbData, 2u);
  EXPECT_TRUE(inside(info.Algorithm.Parameters.pbData, 2));
  EXPECT_EQ(info.Algorithm.Parameters.pbData[0], 0x05);
  EXPECT_EQ(info.Algorithm.Parameters.pbData[1], 0x00);
  EXPECT_TRUE(inside(info.PublicKey.pbData, info.PublicKey.cbData));
  EXPECT_EQ(info.PublicKey.cUnusedBits, 0u);

  // The key bytes are the BIT STRING content of the key OpenSSL sees.
  const std::vector<BYTE> spki = publicKeyOfPkcs8(exportPkcs8(context.get()));
  ASSERT_GT(spki.size(), info.PublicKey.cbData);
  EXPECT_TRUE(std::equal(spki.end() - info.PublicKey.cbData, spki.end(), info.PublicKey.pbData));

  UniqueCryptProv empty;
  ASSERT_TRUE(CryptAcquireContextA(empty.put(), "no-key", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  EXPECT_FALSE(CryptExportPublicKeyInfo(empty.get(), AT_KEYEXCHANGE, kEncoding, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
}

TEST_F(EncodingTest, PublicKeyInfoConventionRoundTripsAnySubjectPublicKeyInfo) {
  // An EC key (parameters: an OID), and a made-up key with absent
  // parameters and three unused bits.
  const std::vector<std::vector<BYTE>> samples = {
      {0x30, 0x19, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86,
       0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x02, 0x00, 0x04},
      {0x30, 0x0C, 0x30, 0x04, 0x06, 0x02, 0x2A, 0x03, 0x03, 0x04, 0x03, 0xAB, 0xCD, 0xE8},
  };
  for (const std::vector<BYTE>& der : samples) {
    DWORD size = 0;
    ASSERT_TRUE(platform::decodePublicKeyInfo(der.data(), der.size(), nullptr, &size));
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(platform::decodePublicKeyInfo(der.data(), der.size(), asPublicKeyInfo(buffer), &size));
    std::vector<BYTE> again;
    ASSERT_TRUE(platform::encodePublicKeyInfo(*asPublicKeyInfo(buffer), again));
    EXPECT_EQ(again, der);

    BYTE digest[32];
    DWORD digestSize = 19;
    EXPECT_FALSE(CryptHashPublicKeyInfo(0, CALG_SHA1, 0, kEncoding, asPublicKeyInfo(buffer), digest, &digestSize));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(digestSize, 20u);
    ASSERT_TRUE(CryptHashPublicKeyInfo(0, CALG_SHA1, 0, kEncoding, asPublicKeyInfo(buffer), digest, &digestSize));
    std::vector<BYTE> expected(SHA_DIGEST_LENGTH);
    SHA1(der.data(), der.size(), expected.data());
    EXPECT_EQ(std::vector<BYTE>(digest, digest + digestSize), expected);
  }

  char objectId[] = "1.2.3";
  BYTE garbage[] = {0x05, 0x05};
  CERT_PUBLIC_KEY_INFO badParameters{{objectId, {sizeof garbage, garbage}}, {0, nullptr, 0}};
  std::vector<BYTE> der;
  EXPECT_FALSE(platform::encodePublicKeyInfo(badParameters, der));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

// What a request generator hands the provider: a subject, the exported
// public key and the signature algorithm, by name.
class SignedRequestTest : public testing_support::HomeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(makeKeyPair(context_, "requester", (1024u << 16) | CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED));
    rdns_ = {{attribute(kCommonName, CERT_RDN_PRINTABLE_STRING, "Juan Perez"),
              attribute(kCountry, CERT_RDN_PRINTABLE_STRING, "ES")}};
    subject_ = encodeName(rdns_);
    ASSERT_FALSE(subject_.empty());
    publicKey_ = exportPublicKeyInfo(context_.get());
    ASSERT_FALSE(publicKey_.empty());
    body_ = {CERT_REQUEST_V1, {static_cast<DWORD>(subject_.size()), subject_.data()}, *asPublicKeyInfo(publicKey_),
             0, nullptr};
  }

  std::vector<BYTE> sign(const char* objectId) {
    algorithmId_ = objectId;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{algorithmId_.data(), {0, nullptr}};
    DWORD size = 0;
    if (!CryptSignAndEncodeCertificate(context_.get(), AT_KEYEXCHANGE, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED,
                                       &body_, &algorithm, nullptr, nullptr, &size))
      return {};
    std::vector<BYTE> der(size);
    if (!CryptSignAndEncodeCertificate(context_.get(), AT_KEYEXCHANGE, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED,
                                       &body_, &algorithm, nullptr, der.data(), &size))
      return {};
    der.resize(size);
    return der;
  }

  // `openssl req -verify` on the request; true when it accepts the signature.
  static bool opensslVerifies(const std::vector<BYTE>& der, std::string& output) {
    const std::string path = temporaryPath("request.der");
    writeFile(path, der);
    const int status = runCommand("openssl req -inform DER -in " + path + " -verify -noout", output);
    std::remove(path.c_str());
    return status == 0 && output.find("verify OK") != std::string::npos;
  }

  UniqueCryptProv context_;
  std::vector<std::vector<CERT_RDN_ATTR>> rdns_;
  std::vector<BYTE> subject_;
  std::vector<BYTE> publicKey_;
  CERT_REQUEST_INFO body_{};
  std::string algorithmId_;
};

TEST_F(SignedRequestTest, SignedRequestVerifiesAndNamesTheAlgorithmAsGiven) {
  const std::vector<BYTE> der = sign(szOID_OIWSEC_sha1RSASign);
  ASSERT_FALSE(der.empty()) << std::hex << GetLastError();
  std::string output;
  EXPECT_TRUE(opensslVerifies(der, output)) << output;

  const unsigned char* cursor = der.data();
  const platform::UniqueX509Req owned(d2i_X509_REQ(nullptr, &cursor, static_cast<long>(der.size())));
  ASSERT_TRUE(owned);
  X509_REQ* request = owned.get();
  EXPECT_EQ(X509_REQ_get_version(request), 0);
  EXPECT_EQ(X509_REQ_get_attr_count(request), 0);
  const X509_ALGOR* algorithm = nullptr;
  X509_REQ_get0_signature(request, nullptr, &algorithm);
  const ASN1_OBJECT* objectId = nullptr;
  int parameterType = 0;
  X509_ALGOR_get0(&objectId, &parameterType, nullptr, algorithm);
  char text[64];
  OBJ_obj2txt(text, sizeof text, objectId, 1);
  EXPECT_STREQ(text, "1.3.14.3.2.29");
  EXPECT_EQ(parameterType, V_ASN1_UNDEF) << "an empty parameter blob means no parameters";
  EXPECT_EQ((platform::derOf<X509_name_st, i2d_X509_NAME>(X509_REQ_get_subject_name(request))), subject_);
  EXPECT_EQ((platform::derOf<X509_PUBKEY, i2d_X509_PUBKEY>(X509_REQ_get_X509_PUBKEY(request))),
            publicKeyOfPkcs8(exportPkcs8(context_.get())));

  // The attributes are there, empty: [0] with no content.
  const BYTE emptyAttributes[] = {0xA0, 0x00};
  EXPECT_NE(std::search(der.begin(), der.end(), std::begin(emptyAttributes), std::end(emptyAttributes)), der.end());

  std::vector<BYTE> tampered = der;
  tampered[tampered.size() - 5] ^= 0x01;
  EXPECT_FALSE(opensslVerifies(tampered, output)) << output;
}

TEST_F(SignedRequestTest, SizeQueryNeedsNoPasswordAndSigningAsksOnce) {
  UniqueCryptProv protectedContext;
  {
    PasswordAnswers creation("request password", "");
    ASSERT_TRUE(makeKeyPair(protectedContext, "protected-requester", (2048u << 16) | CRYPT_USER_PROTECTED));
  }
  PasswordAnswers use("", "request password");
  std::vector<BYTE> publicKey = exportPublicKeyInfo(protectedContext.get());
  body_.SubjectPublicKeyInfo = *asPublicKeyInfo(publicKey);
  char objectId[] = szOID_OIWSEC_sha1RSASign;
  CRYPT_ALGORITHM_IDENTIFIER algorithm{objectId, {0, nullptr}};
  DWORD size = 0;
  ASSERT_TRUE(CryptSignAndEncodeCertificate(protectedContext.get(), AT_KEYEXCHANGE, kEncoding,
                                            X509_CERT_REQUEST_TO_BE_SIGNED, &body_, &algorithm, nullptr, nullptr,
                                            &size));
  EXPECT_EQ(use.useKeyQuestions(), 0);
  std::vector<BYTE> der(size);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptSignAndEncodeCertificate(protectedContext.get(), AT_KEYEXCHANGE, kEncoding,
                                             X509_CERT_REQUEST_TO_BE_SIGNED, &body_, &algorithm, nullptr, der.data(),
                                             &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(tooSmall, size);
  ASSERT_TRUE(CryptSignAndEncodeCertificate(protectedContext.get(), AT_KEYEXCHANGE, kEncoding,
                                            X509_CERT_REQUEST_TO_BE_SIGNED, &body_, &algorithm, nullptr, der.data(),
                                            &size));
  EXPECT_EQ(size, der.size());
  EXPECT_EQ(use.useKeyQuestions(), 1);
  std::string output;
  EXPECT_TRUE(opensslVerifies(der, output)) << output;
}

TEST_F(SignedRequestTest, OtherRsaSignatureAlgorithmsAreSignedWithTheirOwnDigest) {
  const std::vector<BYTE> der = sign("1.2.840.113549.1.1.11");
  ASSERT_FALSE(der.empty());
  std::string output;
  EXPECT_TRUE(opensslVerifies(der, output)) << output;
  EXPECT_TRUE(sign("1.2.840.10045.4.3.2").empty()) << "ECDSA cannot be made with an RSA key";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
  EXPECT_TRUE(sign("1.2.3.4").empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO));
}

TEST_F(SignedRequestTest, RefusesRequestsItCannotEncode) {
  char challenge[] = "1.2.840.113549.1.9.7";
  CRYPT_ATTRIBUTE attribute{challenge, 0, nullptr};
  body_.cAttribute = 1;
  body_.rgAttribute = &attribute;
  EXPECT_TRUE(sign(szOID_OIWSEC_sha1RSASign).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  body_.cAttribute = 0;

  std::vector<BYTE> truncated(subject_.begin(), subject_.end() - 1);
  body_.Subject = {static_cast<DWORD>(truncated.size()), truncated.data()};
  EXPECT_TRUE(sign(szOID_OIWSEC_sha1RSASign).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  body_.Subject = {static_cast<DWORD>(subject_.size()), subject_.data()};

  char objectId[] = szOID_OIWSEC_sha1RSASign;
  CRYPT_ALGORITHM_IDENTIFIER algorithm{objectId, {0, nullptr}};
  DWORD size = 0;
  EXPECT_FALSE(CryptSignAndEncodeCertificate(context_.get(), AT_KEYEXCHANGE, kEncoding, X509_NAME, &body_, &algorithm,
                                             nullptr, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CryptSignAndEncodeCertificate(context_.get(), AT_SIGNATURE, kEncoding, X509_CERT_REQUEST_TO_BE_SIGNED,
                                             &body_, &algorithm, nullptr, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
  platform::faultArm("CryptSignAndEncodeCertificate", 1, NTE_FAIL);
  EXPECT_TRUE(sign(szOID_OIWSEC_sha1RSASign).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
}

}  // namespace
