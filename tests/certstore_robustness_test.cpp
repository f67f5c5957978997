// Damaged and arbitrary bytes given as a collection or as a certificate:
// refused or read, never a crash, an overread or a leak (the sanitizer build
// watches the last two).
#include <gtest/gtest.h>

// OpenSSL's headers before the platform's wincrypt.h (its X509_NAME).
#include <openssl/err.h>

#include "platform/structure_decode.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "platform/lasterror.h"
#include "platform/wincrypt.h"
#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::TestCertificate;
using testing_support::TestKey;

// Keeps the reads below from being optimised away.
volatile unsigned readSink = 0;

// Reads every byte that the context's structures point at; false when a blob
// other than the serial number points outside the certificate's encoding.
bool readsWithinTheEncoding(PCCERT_CONTEXT context) {
  const BYTE* begin = context->pbCertEncoded;
  const BYTE* end = begin + context->cbCertEncoded;
  unsigned sum = 0;
  auto inside = [&](const BYTE* data, DWORD size) {
    for (DWORD i = 0; i < size; ++i) sum += data[i];
    return size == 0 || (data >= begin && data + size <= end);
  };
  const CERT_INFO& info = *context->pCertInfo;
  bool ok = inside(info.Issuer.pbData, info.Issuer.cbData) && inside(info.Subject.pbData, info.Subject.cbData) &&
            inside(info.SignatureAlgorithm.Parameters.pbData, info.SignatureAlgorithm.Parameters.cbData) &&
            inside(info.SubjectPublicKeyInfo.Algorithm.Parameters.pbData,
                   info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData) &&
            inside(info.SubjectPublicKeyInfo.PublicKey.pbData, info.SubjectPublicKeyInfo.PublicKey.cbData) &&
            inside(info.IssuerUniqueId.pbData, info.IssuerUniqueId.cbData) &&
            inside(info.SubjectUniqueId.pbData, info.SubjectUniqueId.cbData);
  for (DWORD i = 0; i < info.SerialNumber.cbData; ++i) sum += info.SerialNumber.pbData[i];
  sum += static_cast<unsigned>(std::strlen(info.SignatureAlgorithm.pszObjId));
  sum += static_cast<unsigned>(std::strlen(info.SubjectPublicKeyInfo.Algorithm.pszObjId));
  for (DWORD i = 0; i < info.cExtension; ++i) {
    sum += static_cast<unsigned>(std::strlen(info.rgExtension[i].pszObjId));
    ok = ok && inside(info.rgExtension[i].Value.pbData, info.rgExtension[i].Value.cbData);
  }
  readSink = readSink + sum;
  return ok;
}

class RobustnessTest : public testing_support::HomeTest {
 protected:
  static void SetUpTestSuite() {
    const TestKey rootKey = TestKey::p256();
    const TestCertificate root = TestCertificate::selfSigned(
        {"/C=MX/CN=Robust Root", false, {testing_support::basicConstraints(true, true)}, 1, 30}, rootKey);
    const TestCertificate user = root.issue(
        {"/CN=Robust User+O=Robust Org", false,
         {testing_support::basicConstraints(false, false), {"1.2.3.4.5.6.7.8.9", true, {0x04, 0x00}}}, 2, 30},
        TestKey::ed25519());
    certificate_ = new Bytes(user.der());
    const testing_support::TempHome scratch;
    message_ = new Bytes(testing_support::bundleWithOpenssl({&root, &user}, scratch.path()));
  }
  static void TearDownTestSuite() {
    delete certificate_;
    delete message_;
  }

  // Opens `bytes` as a collection; when it opens, walks and reads everything.
  static bool survivesAsCollection(const Bytes& bytes) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob));
    if (!store) return GetLastError() != ERROR_SUCCESS;
    PCCERT_CONTEXT context = nullptr;
    bool ok = true;
    while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr) {
      ok = readsWithinTheEncoding(context) && ok;
      ++read_;
    }
    return ok && CertCloseStore(store.release(), CERT_CLOSE_STORE_CHECK_FLAG);
  }
  static bool survivesAsCertificate(const Bytes& bytes) {
    UniqueCertContext context(
        CertCreateCertificateContext(X509_ASN_ENCODING, bytes.data(), static_cast<DWORD>(bytes.size())));
    if (!context) return GetLastError() != ERROR_SUCCESS;
    ++read_;
    return readsWithinTheEncoding(context.get());
  }

  static Bytes* certificate_;
  static Bytes* message_;
  // Certificates that opened and were read.
  static inline unsigned read_ = 0;
};
Bytes* RobustnessTest::certificate_ = nullptr;
Bytes* RobustnessTest::message_ = nullptr;

TEST_F(RobustnessTest, EveryTruncationIsRefused) {
  ASSERT_TRUE(survivesAsCollection(*message_));
  for (std::size_t length = 0; length < message_->size(); ++length) {
    const Bytes prefix(message_->begin(), message_->begin() + static_cast<long>(length));
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(length), length ? const_cast<BYTE*>(prefix.data()) : nullptr};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, 0, 0, 0, &blob), nullptr) << length;
    EXPECT_TRUE(GetLastError() == CRYPT_E_ASN1_EOD || GetLastError() == CRYPT_E_ASN1_BADTAG) << length;
  }
  for (std::size_t length = 0; length < certificate_->size(); ++length) {
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, certificate_->data(), static_cast<DWORD>(length)),
              nullptr)
        << length;
  }
}

TEST_F(RobustnessTest, BitFlipsAnywhereAreReadOrRefused) {
  std::mt19937 random(20240611);
  for (const Bytes* original : {message_, certificate_}) {
    for (std::size_t at = 0; at < original->size(); ++at) {
      Bytes damaged = *original;
      damaged[at] ^= static_cast<BYTE>(1u << (random() % 8));
      const bool survived =
          original == message_ ? survivesAsCollection(damaged) : survivesAsCertificate(damaged);
      ASSERT_TRUE(survived) << "flip at " << at;
    }
  }
  // Many flips land in signatures and values: those certificates are read.
  EXPECT_GT(read_, message_->size() / 4);
}

TEST_F(RobustnessTest, ArbitraryBytesAreRefused) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    Bytes noise(random() % 600);
    for (BYTE& byte : noise) byte = static_cast<BYTE>(random());
    // Half of them start like a DER SEQUENCE, to get past the first tag.
    if (round % 2 && noise.size() > 4) {
      noise[0] = 0x30;
      noise[1] = 0x82;
      noise[2] = static_cast<BYTE>((noise.size() - 4) >> 8);
      noise[3] = static_cast<BYTE>(noise.size() - 4);
    }
    ASSERT_TRUE(survivesAsCollection(noise)) << round;
    ASSERT_TRUE(survivesAsCertificate(noise)) << round;
  }
}

// The keyless decoding accepts exactly what OpenSSL's own does and stops at
// the same byte, whether the damage lands in a structure or in a key (the
// root's P-256 point, which then no longer decodes as a key).
TEST_F(RobustnessTest, KeylessDecodingAcceptsWhatOpensslAccepts) {
  enum class Judgement { kDiffer, kBothRefuse, kBothAccept };
  auto judge = [](const Bytes& bytes, bool asCollection) {
    const auto length = static_cast<long>(bytes.size());
    const unsigned char* ownEnd = bytes.data();
    const unsigned char* keylessEnd = bytes.data();
    const bool ownAccepts = asCollection ? platform::UniquePkcs7(d2i_PKCS7(nullptr, &ownEnd, length)) != nullptr
                                         : platform::UniqueX509(d2i_X509(nullptr, &ownEnd, length)) != nullptr;
    const bool keylessAccepts = asCollection ? platform::decodePkcs7Structure(keylessEnd, length) != nullptr
                                             : platform::decodeCertificateStructure(keylessEnd, length) != nullptr;
    ERR_clear_error();
    if (ownAccepts != keylessAccepts || ownEnd != keylessEnd) return Judgement::kDiffer;
    return ownAccepts ? Judgement::kBothAccept : Judgement::kBothRefuse;
  };
  std::mt19937 random(20261209);
  unsigned acceptedFlips = 0;
  for (const Bytes* original : {message_, certificate_}) {
    const bool asCollection = original == message_;
    ASSERT_EQ(judge(*original, asCollection), Judgement::kBothAccept);
    for (std::size_t at = 0; at < original->size(); ++at) {
      const Bytes prefix(original->begin(), original->begin() + static_cast<long>(at));
      ASSERT_EQ(judge(prefix, asCollection), Judgement::kBothRefuse) << "cut at " << at;
      Bytes damaged = *original;
      damaged[at] ^= static_cast<BYTE>(1u << (random() % 8));
      const Judgement flipped = judge(damaged, asCollection);
      ASSERT_NE(flipped, Judgement::kDiffer) << "flip at " << at;
      acceptedFlips += flipped == Judgement::kBothAccept;
    }
  }
  // Many flips land in signatures, values and keys: those still decode.
  EXPECT_GT(acceptedFlips, message_->size() / 4);
}

// A message that was checked is decoded once: the next decoding of the very
// same bytes gets it; other bytes, even of the same length, get their own.
TEST_F(RobustnessTest, ACheckedMessageIsHandedOnOnlyForItsOwnBytes) {
  auto certificatesIn = [](const Bytes& message, bool asOpenssl) {
    std::vector<Bytes> found;
    if (asOpenssl) {
      const unsigned char* cursor = message.data();
      const platform::UniquePkcs7 decoded(d2i_PKCS7(nullptr, &cursor, static_cast<long>(message.size())));
      for (int i = 0; decoded && i < sk_X509_num(decoded->d.sign->cert); ++i) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(sk_X509_value(decoded->d.sign->cert, i), &der);
        const platform::UniqueOpensslBytes owned(der);
        found.emplace_back(der, der + length);
      }
      return found;
    }
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(message.size()), const_cast<BYTE*>(message.data())};
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob));
    PCCERT_CONTEXT context = nullptr;
    while (store && (context = CertEnumCertificatesInStore(store.get(), context)) != nullptr)
      found.emplace_back(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    return found;
  };
  // The user's certificate with the last byte of its signature changed: the
  // same length, still a message.
  Bytes changed = *message_;
  const auto user = std::search(changed.begin(), changed.end(), certificate_->begin(), certificate_->end());
  ASSERT_NE(user, changed.end());
  *(user + static_cast<long>(certificate_->size()) - 1) ^= 0x01;
  Bytes longer = *message_;
  longer.push_back(0x00);

  struct Case {
    const char* what;
    const Bytes& checked;
    bool isMessage;
    const Bytes& opened;
  };
  for (const Case& check : {Case{"the same bytes", *message_, true, *message_},
                            Case{"other bytes of the same length", *message_, true, changed},
                            Case{"a message and a byte more", longer, false, *message_}}) {
    EXPECT_EQ(platform::isOnePkcs7Message(check.checked.data(), check.checked.size()), check.isMessage) << check.what;
    EXPECT_EQ(certificatesIn(check.opened, false), certificatesIn(check.opened, true)) << check.what;
    // Handed on once: a second opening decodes for itself.
    EXPECT_EQ(certificatesIn(check.opened, false), certificatesIn(check.opened, true)) << check.what;
  }
}

// Ends cut off inside each certificate of a collection whose outer lengths
// still claim the whole: the inner decoders meet the end, not the outer ones.
TEST_F(RobustnessTest, ZerosOverTheTailAreRefusedOrRead) {
  for (std::size_t keep = message_->size() / 2; keep < message_->size(); keep += 7) {
    Bytes damaged = *message_;
    std::fill(damaged.begin() + static_cast<long>(keep), damaged.end(), 0);
    ASSERT_TRUE(survivesAsCollection(damaged)) << keep;
  }
}

}  // namespace
