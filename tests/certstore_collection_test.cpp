// Certificate contexts built from DER and PKCS#7 collections opened as stores.
// OpenSSL before the platform headers (which define X509_NAME).
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"
#include "platform/wincrypt.h"
#include "testlib/process_start.h"
#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::CertificateSpec;
using testing_support::TestCertificate;
using testing_support::TestExtension;
using testing_support::TestKey;

const Bytes kAuthorityConstraints = {0x30, 0x03, 0x01, 0x01, 0xFF};
const Bytes kPrivateValue = {0x0C, 0x05, 'h', 'e', 'l', 'l', 'o'};
// Longer in text than most identifiers, whose text takes one pass.
constexpr const char* kPrivateOid = "1.3.6.1.4.1.55555.7.1.4294967295.4294967295.4294967295.4294967295.4294967295";
const Bytes kKeyUsageSign = {0x03, 0x02, 0x01, 0x06};

Bytes bytesOf(const CRYPTOAPI_BLOB& blob) { return Bytes(blob.pbData, blob.pbData + blob.cbData); }
Bytes encodedOf(PCCERT_CONTEXT context) {
  return Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
}

// A root, an intermediate with a path length and a user's certificate, as an
// authority issues them; made once for the whole suite.
struct Chain {
  TestKey rootKey = TestKey::rsa();
  TestCertificate root = TestCertificate::selfSigned(
      {"/C=MX/O=Tarvenholm Test/CN=Test Root",
       false,
       {testing_support::basicConstraints(true, true), {"2.5.29.15", true, kKeyUsageSign}},
       1,
       3650},
      rootKey);
  TestKey intermediateKey = TestKey::p256();
  TestCertificate intermediate = root.issue(
      {"/C=MX/O=Tarvenholm Test/CN=Test Issuing CA", false, {testing_support::basicConstraints(true, true, 0)}, 2, 1825},
      intermediateKey);
  TestKey userKey = TestKey::rsa();
  TestCertificate user = intermediate.issue({"/C=MX/O=Tarvenholm Test/CN=Ana Lopez",
                                             false,
                                             {{kPrivateOid, false, kPrivateValue},
                                              testing_support::basicConstraints(false, false),
                                              {"2.5.29.15", true, {0x03, 0x02, 0x05, 0xA0}}},
                                             0x0102,
                                             365},
                                            userKey);
};

class CollectionTest : public testing_support::HomeTest {
 protected:
  static void SetUpTestSuite() { chain_ = new Chain(); }
  static void TearDownTestSuite() {
    delete chain_;
    chain_ = nullptr;
  }

  Bytes bundle(const std::vector<const TestCertificate*>& certificates) {
    return testing_support::bundleWithOpenssl(certificates, home_.path());
  }
  static HCERTSTORE openCollection(const Bytes& message) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(message.size()), const_cast<BYTE*>(message.data())};
    return CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob);
  }
  // The DER of every certificate, in enumeration order.
  static std::vector<Bytes> enumerate(HCERTSTORE store) {
    std::vector<Bytes> seen;
    PCCERT_CONTEXT context = nullptr;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) seen.push_back(encodedOf(context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return seen;
  }
  static UniqueCertContext create(const TestCertificate& certificate) {
    return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                          certificate.der().data(),
                                                          static_cast<DWORD>(certificate.der().size())));
  }

  static Chain* chain_;
};
Chain* CollectionTest::chain_ = nullptr;

TEST_F(CollectionTest, EnumeratesTheMessagesCertificatesInItsOrder) {
  const Chain& c = *chain_;
  for (const auto& order : std::vector<std::vector<const TestCertificate*>>{{&c.root, &c.intermediate, &c.user},
                                                                            {&c.user, &c.root, &c.intermediate}}) {
    UniqueCertStore store(openCollection(bundle(order)));
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    std::vector<Bytes> expected;
    for (const TestCertificate* certificate : order) expected.push_back(certificate->der());
    EXPECT_EQ(enumerate(store.get()), expected);
    // Every context went back through the enumeration.
    EXPECT_TRUE(CertCloseStore(store.release(), CERT_CLOSE_STORE_CHECK_FLAG));
  }
}

TEST_F(CollectionTest, EmptyCollectionEnumeratesNothing) {
  const std::string command = "openssl crl2pkcs7 -nocrl -outform DER -out '" + home_.path() + "/empty.p7b'";
  std::string output;
  ASSERT_EQ(testing_support::runCommand(command, output), 0) << output;
  FILE* file = std::fopen((home_.path() + "/empty.p7b").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  Bytes message(4096);
  message.resize(std::fread(message.data(), 1, message.size(), file));
  std::fclose(file);

  UniqueCertStore store(openCollection(message));
  ASSERT_NE(store, nullptr) << std::hex << GetLastError();
  EXPECT_EQ(CertEnumCertificatesInStore(store.get(), nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

// Read from the collection's context, and from a store's own copy once the
// collection is gone.
TEST_F(CollectionTest, CertificateInfoComesFromTheCertificatesOwnBytes) {
  const Chain& c = *chain_;
  UniqueCertStore store(openCollection(bundle({&c.intermediate, &c.user})));
  ASSERT_NE(store, nullptr);
  UniqueCertContext user(CertEnumCertificatesInStore(store.get(), CertEnumCertificatesInStore(store.get(), nullptr)));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->hCertStore, store.get());
  UniqueCertStore copies(openCollection(bundle({&c.root})));
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(copies.get(), user.get(), CERT_STORE_ADD_NEW, &added));
  UniqueCertContext copy(added);

  const auto fileTime = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  const auto inEncoding = [](PCCERT_CONTEXT context, const auto& blob) {
    return blob.pbData >= context->pbCertEncoded &&
           blob.pbData + blob.cbData <= context->pbCertEncoded + context->cbCertEncoded;
  };
  for (PCCERT_CONTEXT context : {user.get(), copy.get()}) {
    EXPECT_EQ(context->dwCertEncodingType, static_cast<DWORD>(X509_ASN_ENCODING));
    const CERT_INFO& info = *context->pCertInfo;

    EXPECT_EQ(info.dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_EQ(bytesOf(info.SerialNumber), (Bytes{0x02, 0x01}));  // 0x0102, least significant byte first
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.10045.4.3.2");  // signed by the P-256 intermediate
    EXPECT_EQ(info.SignatureAlgorithm.Parameters.cbData, 0u);
    EXPECT_EQ(bytesOf(info.Subject), c.user.subjectName());
    EXPECT_EQ(bytesOf(info.Issuer), c.intermediate.subjectName());
    // The fields point into the certificate's own encoding.
    EXPECT_TRUE(inEncoding(context, info.Subject));
    EXPECT_TRUE(inEncoding(context, info.Issuer));
    EXPECT_TRUE(inEncoding(context, info.SubjectPublicKeyInfo.PublicKey));

    // Valid for 365 days from issue, in 100-nanosecond intervals since 1601.
    EXPECT_EQ(fileTime(info.NotAfter) - fileTime(info.NotBefore), 365ull * 86400 * 10000000);
    const std::uint64_t now = (static_cast<std::uint64_t>(std::time(nullptr)) + 11644473600ull) * 10000000;
    EXPECT_LE(fileTime(info.NotBefore), now);
    EXPECT_GT(fileTime(info.NotBefore), now - 3600ull * 10000000);

    ASSERT_EQ(info.cExtension, 3u);
    EXPECT_STREQ(info.rgExtension[0].pszObjId, kPrivateOid);
    EXPECT_FALSE(info.rgExtension[0].fCritical);
    EXPECT_EQ(bytesOf(info.rgExtension[0].Value), kPrivateValue);
    EXPECT_STREQ(info.rgExtension[1].pszObjId, "2.5.29.19");
    EXPECT_FALSE(info.rgExtension[1].fCritical);
    EXPECT_EQ(bytesOf(info.rgExtension[1].Value), (Bytes{0x30, 0x00}));
    EXPECT_STREQ(info.rgExtension[2].pszObjId, "2.5.29.15");
    EXPECT_TRUE(info.rgExtension[2].fCritical);
    EXPECT_EQ(bytesOf(info.rgExtension[2].Value), (Bytes{0x03, 0x02, 0x05, 0xA0}));
    EXPECT_TRUE(inEncoding(context, info.rgExtension[2].Value));

    // What follows reads the copy alone.
    user.reset();
    store.reset();
  }
}

TEST_F(CollectionTest, AuthorityExtensionsKeepTheirFlagsAndValues) {
  UniqueCertContext root = create(chain_->root);
  UniqueCertContext intermediate = create(chain_->intermediate);
  ASSERT_NE(root, nullptr);
  ASSERT_NE(intermediate, nullptr);
  const CERT_INFO& rootInfo = *root->pCertInfo;
  ASSERT_EQ(rootInfo.cExtension, 2u);
  EXPECT_STREQ(rootInfo.rgExtension[0].pszObjId, szOID_BASIC_CONSTRAINTS2);
  EXPECT_TRUE(rootInfo.rgExtension[0].fCritical);
  EXPECT_EQ(bytesOf(rootInfo.rgExtension[0].Value), kAuthorityConstraints);
  EXPECT_EQ(bytesOf(rootInfo.rgExtension[1].Value), kKeyUsageSign);
  EXPECT_EQ(bytesOf(rootInfo.Issuer), bytesOf(rootInfo.Subject));
  EXPECT_STREQ(rootInfo.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  EXPECT_EQ(bytesOf(rootInfo.SignatureAlgorithm.Parameters), (Bytes{0x05, 0x00}));

  // cA TRUE with a path length of 0.
  const CERT_INFO& intermediateInfo = *intermediate->pCertInfo;
  ASSERT_EQ(intermediateInfo.cExtension, 1u);
  EXPECT_EQ(bytesOf(intermediateInfo.rgExtension[0].Value), (Bytes{0x30, 0x06, 0x01, 0x01, 0xFF, 0x02, 0x01, 0x00}));
}

// A name whose two encodings differ although they mean the same: the issuer
// of this self-signed certificate uses PrintableString, its subject UTF8String.
TEST_F(CollectionTest, NamesKeepTheirOwnEncodings) {
  const TestKey key = TestKey::p256();
  const TestCertificate certificate = TestCertificate::selfSigned({"/O=Same Org/CN=Same Name", true, {}, 9, 30}, key);
  UniqueCertContext context = create(certificate);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(bytesOf(context->pCertInfo->Subject), certificate.subjectName());
  EXPECT_EQ(bytesOf(context->pCertInfo->Issuer), certificate.issuerName());
  EXPECT_NE(bytesOf(context->pCertInfo->Subject), bytesOf(context->pCertInfo->Issuer));
}

// A multi-valued RDN whose SET is not in DER order: re-encoding the name
// would sort it, the original bytes do not.
TEST_F(CollectionTest, NamesAreNotReencoded) {
  const TestKey key = TestKey::p256();
  Bytes der = TestCertificate::selfSigned({"/CN=AB+O=CD", false, {}, 5, 30}, key).der();
  // Each attribute: 30 09 06 03 55 04 xx 0C 02 v v. Swap the two of the subject's RDN.
  const Bytes commonName = {0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x02, 'A', 'B'};
  const Bytes organisation = {0x30, 0x09, 0x06, 0x03, 0x55, 0x04, 0x0A, 0x0C, 0x02, 'C', 'D'};
  Bytes sorted = commonName;
  sorted.insert(sorted.end(), organisation.begin(), organisation.end());
  // The issuer's RDN comes first; the subject's is the last occurrence.
  auto at = std::find_end(der.begin(), der.end(), sorted.begin(), sorted.end());
  ASSERT_NE(at, der.end());
  std::copy(organisation.begin(), organisation.end(), at);
  std::copy(commonName.begin(), commonName.end(), at + static_cast<long>(organisation.size()));

  UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  ASSERT_NE(context, nullptr) << std::hex << GetLastError();
  const Bytes subject = bytesOf(context->pCertInfo->Subject);
  EXPECT_TRUE(std::search(subject.begin(), subject.end(), organisation.begin(), organisation.end()) <
              std::search(subject.begin(), subject.end(), commonName.begin(), commonName.end()));
  EXPECT_NE(subject, bytesOf(context->pCertInfo->Issuer));
  EXPECT_EQ(subject.size(), context->pCertInfo->Issuer.cbData);
}

// Re-encoding a CERT_PUBLIC_KEY_INFO (the key identifier's input) by the
// conventions gives the certificate's SubjectPublicKeyInfo exactly.
Bytes reencode(const CERT_PUBLIC_KEY_INFO& info) {
  const platform::UniqueAsn1Object objectId(OBJ_txt2obj(info.Algorithm.pszObjId, 1));
  Bytes algorithm(static_cast<std::size_t>(i2d_ASN1_OBJECT(objectId.get(), nullptr)));
  unsigned char* cursor = algorithm.data();
  i2d_ASN1_OBJECT(objectId.get(), &cursor);
  const Bytes parameters = bytesOf(info.Algorithm.Parameters);
  algorithm.insert(algorithm.end(), parameters.begin(), parameters.end());
  Bytes bits(info.PublicKey.cbData + 1);
  bits[0] = static_cast<unsigned char>(info.PublicKey.cUnusedBits);
  std::copy(info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData, bits.begin() + 1);
  Bytes content = testing_support::derElement(V_ASN1_SEQUENCE, algorithm, true);
  const Bytes bitString = testing_support::derElement(V_ASN1_BIT_STRING, bits, false);
  content.insert(content.end(), bitString.begin(), bitString.end());
  return testing_support::derElement(V_ASN1_SEQUENCE, content, true);
}

TEST_F(CollectionTest, PublicKeyInfoFollowsTheSharedConvention) {
  struct Case {
    TestKey key;
    const char* objectId;
    Bytes parameters;
  };
  const std::vector<Case> cases = {
      {chain_->userKey, "1.2.840.113549.1.1.1", {0x05, 0x00}},
      {chain_->intermediateKey, "1.2.840.10045.2.1", {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}},
      {TestKey::ed25519(), "1.3.101.112", {}},
  };
  for (const Case& check : cases) {
    const TestCertificate certificate = chain_->root.issue({"/CN=Key Holder", false, {}, 77, 30}, check.key);
    UniqueCertContext context = create(certificate);
    ASSERT_NE(context, nullptr);
    const CERT_PUBLIC_KEY_INFO& info = context->pCertInfo->SubjectPublicKeyInfo;
    EXPECT_STREQ(info.Algorithm.pszObjId, check.objectId);
    EXPECT_EQ(bytesOf(info.Algorithm.Parameters), check.parameters);
    EXPECT_EQ(info.PublicKey.cUnusedBits, 0u);
    EXPECT_EQ(reencode(info), certificate.publicKeyInfo()) << check.objectId;
  }
}

TEST_F(CollectionTest, ContextsAreCountedAndOutliveTheirStoresHandle) {
  UniqueCertStore store(openCollection(bundle({&chain_->root, &chain_->user})));
  ASSERT_NE(store, nullptr);
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
  ASSERT_NE(first, nullptr);
  PCCERT_CONTEXT again = CertDuplicateCertificateContext(first);
  EXPECT_EQ(again, first);
  HCERTSTORE handle = store.release();
  EXPECT_FALSE(CertCloseStore(handle, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
  // The handle is gone, the context is not.
  EXPECT_EQ(CertEnumCertificatesInStore(handle, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(encodedOf(first), chain_->root.der());
  EXPECT_EQ(first->hCertStore, handle);
  CertFreeCertificateContext(first);
  EXPECT_EQ(bytesOf(again->pCertInfo->Subject), chain_->root.subjectName());
  CertFreeCertificateContext(again);

  // The force flag leaves held contexts valid too.
  store.reset(openCollection(bundle({&chain_->root})));
  UniqueCertContext held(CertEnumCertificatesInStore(store.get(), nullptr));
  EXPECT_TRUE(CertCloseStore(store.release(), CERT_CLOSE_STORE_FORCE_FLAG));
  EXPECT_EQ(encodedOf(held.get()), chain_->root.der());
}

TEST_F(CollectionTest, RefusesWhatIsNotASignedCertificateCollection) {
  auto openError = [](const Bytes& message) {
    UniqueCertStore store(openCollection(message));
    EXPECT_EQ(store, nullptr);
    return GetLastError();
  };
  EXPECT_EQ(openError({0x04, 0x01, 0x00}), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(openError(chain_->root.der()), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  const Bytes message = bundle({&chain_->root});
  EXPECT_EQ(openError(Bytes(message.begin(), message.end() - 10)), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  EXPECT_EQ(openError({}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));

  // A well-formed PKCS#7 message of another type.
  const platform::UniquePkcs7 data(PKCS7_new());
  ASSERT_TRUE(PKCS7_set_type(data.get(), NID_pkcs7_data));
  Bytes encoded(static_cast<std::size_t>(i2d_PKCS7(data.get(), nullptr)));
  unsigned char* cursor = encoded.data();
  i2d_PKCS7(data.get(), &cursor);
  EXPECT_EQ(openError(encoded), static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));

  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CollectionTest, CreatesContextsFromExactlyOneCertificate) {
  Bytes der = chain_->user.der();
  UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  ASSERT_NE(context, nullptr);
  EXPECT_NE(context->hCertStore, nullptr);
  EXPECT_EQ(encodedOf(context.get()), der);
  der[0] ^= 0x55;  // the context has its own copy
  EXPECT_EQ(encodedOf(context.get()), chain_->user.der());

  Bytes trailing = chain_->user.der();
  trailing.push_back(0);
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, trailing.data(), static_cast<DWORD>(trailing.size())),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  EXPECT_EQ(CertCreateCertificateContext(0, chain_->user.der().data(), static_cast<DWORD>(chain_->user.der().size())),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CollectionTest, FindsByThumbprintAndAny) {
  const Chain& c = *chain_;
  UniqueCertStore store(openCollection(bundle({&c.root, &c.intermediate, &c.user})));
  ASSERT_NE(store, nullptr);
  Bytes thumbprint = c.intermediate.thumbprint();
  CRYPT_HASH_BLOB hash{static_cast<DWORD>(thumbprint.size()), thumbprint.data()};
  PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), 0, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(encodedOf(found), c.intermediate.der());
  // No second copy after it; the previous context is freed either way.
  EXPECT_EQ(CertFindCertificateInStore(store.get(), 0, 0, CERT_FIND_SHA1_HASH, &hash, found), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

  thumbprint[0] ^= 1;
  EXPECT_EQ(CertFindCertificateInStore(store.get(), 0, 0, CERT_FIND_SHA1_HASH, &hash, nullptr), nullptr);

  std::vector<Bytes> any;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertFindCertificateInStore(store.get(), 0, 0, CERT_FIND_ANY, nullptr, context)) != nullptr)
    any.push_back(encodedOf(context));
  EXPECT_EQ(any, (std::vector<Bytes>{c.root.der(), c.intermediate.der(), c.user.der()}));
  EXPECT_TRUE(CertCloseStore(store.release(), CERT_CLOSE_STORE_CHECK_FLAG));
}

// A collection is a store in memory: certificates can be added and deleted,
// with the platform's dispositions, and the order follows.
TEST_F(CollectionTest, CollectionsTakeAddsAndDeletesInMemory) {
  const Chain& c = *chain_;
  UniqueCertStore store(openCollection(bundle({&c.root, &c.intermediate})));
  ASSERT_NE(store, nullptr);
  UniqueCertContext user = create(c.user);
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), user.get(), CERT_STORE_ADD_NEW, &added));
  EXPECT_EQ(added->hCertStore, store.get());
  EXPECT_NE(added, user.get());
  EXPECT_FALSE(CertAddCertificateContextToStore(store.get(), user.get(), CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
  PCCERT_CONTEXT existing = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), user.get(), CERT_STORE_ADD_USE_EXISTING, &existing));
  EXPECT_EQ(existing, added);
  CertFreeCertificateContext(existing);
  EXPECT_EQ(enumerate(store.get()), (std::vector<Bytes>{c.root.der(), c.intermediate.der(), c.user.der()}));

  UniqueCertContext intermediate(CertEnumCertificatesInStore(store.get(), CertEnumCertificatesInStore(store.get(), nullptr)));
  ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(intermediate.get())));
  EXPECT_EQ(enumerate(store.get()), (std::vector<Bytes>{c.root.der(), c.user.der()}));
  // The deleted certificate's context is still readable, and enumeration
  // goes on after it.
  EXPECT_EQ(encodedOf(intermediate.get()), c.intermediate.der());
  UniqueCertContext after(CertEnumCertificatesInStore(store.get(), intermediate.release()));
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(encodedOf(after.get()), c.user.der());
  CertFreeCertificateContext(added);

  EXPECT_FALSE(CertAddCertificateContextToStore(store.get(), user.get(), 99, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CollectionTest, KeyProviderPropertyRoundTrip) {
  UniqueCertContext context = create(chain_->user);
  ASSERT_NE(context, nullptr);
  DWORD length = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));

  char16_t container[] = u"0f8e2c1a-5b7d-4e3f-9a21-c4d5e6f70812";
  char16_t provider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
  BYTE parameterBytes[] = {1, 2, 3};
  CRYPT_KEY_PROV_PARAM parameter{7, parameterBytes, sizeof parameterBytes, 0x40};
  CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_FULL, 0, 1, &parameter, AT_KEYEXCHANGE};
  ASSERT_TRUE(CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));

  ASSERT_TRUE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length));
  std::vector<BYTE> buffer(length + 16, 0xCC);
  DWORD small = length - 1;
  EXPECT_FALSE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, length);
  EXPECT_EQ(buffer[0], 0xCC);

  DWORD exact = length;
  ASSERT_TRUE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &exact));
  EXPECT_EQ(exact, length);
  const auto* read = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  EXPECT_EQ(std::u16string(read->pwszContainerName), container);
  EXPECT_EQ(std::u16string(read->pwszProvName), provider);
  EXPECT_EQ(read->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
  EXPECT_EQ(read->dwFlags, 0u);
  EXPECT_EQ(read->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
  ASSERT_EQ(read->cProvParam, 1u);
  EXPECT_EQ(read->rgProvParam[0].dwParam, 7u);
  EXPECT_EQ(read->rgProvParam[0].dwFlags, 0x40u);
  EXPECT_EQ(Bytes(read->rgProvParam[0].pbData, read->rgProvParam[0].pbData + 3), (Bytes{1, 2, 3}));
  // Every pointer points into the caller's buffer.
  const auto inside = [&](const void* pointer) {
    return pointer >= buffer.data() && pointer < buffer.data() + length;
  };
  EXPECT_TRUE(inside(read->pwszContainerName));
  EXPECT_TRUE(inside(read->pwszProvName));
  EXPECT_TRUE(inside(read->rgProvParam));
  EXPECT_TRUE(inside(read->rgProvParam[0].pbData));
  EXPECT_EQ(buffer[length], 0xCC);

  // Null data deletes it.
  ASSERT_TRUE(CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_FALSE(CertGetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST_F(CollectionTest, ThumbprintPropertyIsTheSha1OfTheDer) {
  UniqueCertContext context = create(chain_->root);
  DWORD length = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(context.get(), CERT_SHA1_HASH_PROP_ID, nullptr, &length));
  ASSERT_EQ(length, 20u);
  Bytes hash(length);
  ASSERT_TRUE(CertGetCertificateContextProperty(context.get(), CERT_SHA1_HASH_PROP_ID, hash.data(), &length));
  EXPECT_EQ(hash, chain_->root.thumbprint());
  Bytes twenty(20);
  EXPECT_FALSE(CertSetCertificateContextProperty(context.get(), CERT_SHA1_HASH_PROP_ID, 0, twenty.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(CertGetCertificateContextProperty(context.get(), 0x8000, nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

TEST_F(CollectionTest, FaultSwitchFailsEachCallCleanly) {
  const Bytes message = bundle({&chain_->root, &chain_->user});

  platform::faultArm("CertOpenStore", 1, CRYPT_E_ASN1_BADTAG);
  EXPECT_EQ(openCollection(message), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));

  UniqueCertStore store(openCollection(message));
  ASSERT_NE(store, nullptr);
  // A failing enumeration still frees the previous context.
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
  ASSERT_NE(first, nullptr);
  platform::faultArm("CertEnumCertificatesInStore", 1, NTE_FAIL);
  EXPECT_EQ(CertEnumCertificatesInStore(store.get(), first), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));

  UniqueCertContext user = create(chain_->user);
  platform::faultArm("CertAddCertificateContextToStore", 1, ERROR_ACCESS_DENIED);
  PCCERT_CONTEXT added = reinterpret_cast<PCCERT_CONTEXT>(&added);
  EXPECT_FALSE(CertAddCertificateContextToStore(store.get(), user.get(), CERT_STORE_ADD_ALWAYS, &added));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(added, nullptr);

  CRYPT_KEY_PROV_INFO info{};
  platform::faultArm("CertSetCertificateContextProperty", 1, NTE_BAD_KEYSET);
  EXPECT_FALSE(CertSetCertificateContextProperty(user.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
  DWORD length = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(user.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length));

  platform::faultArm("CertCreateCertificateContext", 1, CRYPT_E_ASN1_EOD);
  EXPECT_EQ(create(chain_->root), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));

  // A failing close still gives the handle up.
  platform::faultArm("CertCloseStore", 1, ERROR_GEN_FAILURE);
  HCERTSTORE handle = store.release();
  EXPECT_FALSE(CertCloseStore(handle, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_FALSE(CertCloseStore(handle, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
