// CryptDecodeObject on basic constraints: the values a certificate carries,
// the platform's two-call sizing, and what it refuses.
#include <gtest/gtest.h>

#include <vector>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/wincrypt.h"
#include "testlib/test_certs.h"

namespace {

using testing_support::basicConstraints;
using testing_support::Bytes;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Decodes with a buffer of the size the first call reports; false when
// either call fails.
bool decode(const Bytes& encoded, CERT_BASIC_CONSTRAINTS2_INFO& info, LPCSTR structType = X509_BASIC_CONSTRAINTS2) {
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, structType, encoded.data(), static_cast<DWORD>(encoded.size()), 0, nullptr, &size))
    return false;
  EXPECT_EQ(size, sizeof info);
  return CryptDecodeObject(kEncoding, structType, encoded.data(), static_cast<DWORD>(encoded.size()), 0, &info,
                           &size) != 0;
}

struct Expected {
  Bytes encoded;
  BOOL ca;
  BOOL hasPathLength;
  DWORD pathLength;
};

TEST(CryptDecodeBasicConstraints, GivesWhatTheExtensionSays) {
  const std::vector<Expected> cases = {
      {{0x30, 0x03, 0x01, 0x01, 0xFF}, TRUE, FALSE, 0},
      {basicConstraints(false, true, 0).value, TRUE, TRUE, 0},
      {basicConstraints(true, true, 7).value, TRUE, TRUE, 7},
      {{0x30, 0x00}, FALSE, FALSE, 0},
      {{0x30, 0x03, 0x01, 0x01, 0x00}, FALSE, FALSE, 0},
      {{0x30, 0x03, 0x02, 0x01, 0x03}, FALSE, TRUE, 3},
      {{0x30, 0x08, 0x01, 0x01, 0xFF, 0x02, 0x03, 0x01, 0x00, 0x00}, TRUE, TRUE, 65536},
  };
  for (const Expected& expected : cases) {
    CERT_BASIC_CONSTRAINTS2_INFO info{-1, -1, 0xDEADBEEF};
    ASSERT_TRUE(decode(expected.encoded, info)) << ::testing::PrintToString(expected.encoded);
    EXPECT_EQ(info.fCA, expected.ca) << ::testing::PrintToString(expected.encoded);
    EXPECT_EQ(info.fPathLenConstraint, expected.hasPathLength) << ::testing::PrintToString(expected.encoded);
    EXPECT_EQ(info.dwPathLenConstraint, expected.pathLength) << ::testing::PrintToString(expected.encoded);
  }
}

TEST(CryptDecodeBasicConstraints, StructureMayBeNamedByItsObjectIdentifier) {
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  ASSERT_TRUE(decode(basicConstraints(true, true, 2).value, info, szOID_BASIC_CONSTRAINTS2));
  EXPECT_TRUE(info.fCA);
  EXPECT_EQ(info.dwPathLenConstraint, 2u);
}

TEST(CryptDecodeBasicConstraints, BufferTooSmallReportsTheSize) {
  const Bytes encoded{0x30, 0x03, 0x01, 0x01, 0xFF};
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  DWORD size = sizeof info - 1;
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, encoded.data(),
                                 static_cast<DWORD>(encoded.size()), 0, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, sizeof info);
  EXPECT_FALSE(info.fCA);

  size = sizeof info + 16;
  EXPECT_TRUE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, encoded.data(),
                                static_cast<DWORD>(encoded.size()), 0, &info, &size));
  EXPECT_EQ(size, sizeof info);
  EXPECT_TRUE(info.fCA);
}

TEST(CryptDecodeBasicConstraints, RefusesWhatIsNotOneWellFormedValue) {
  const std::vector<Bytes> malformed = {
      {},
      {0x30},
      {0x30, 0x03, 0x01, 0x01},              // cut short
      {0x30, 0x03, 0x01, 0x01, 0xFF, 0x00},  // trailing byte
      {0x31, 0x03, 0x01, 0x01, 0xFF},        // a SET
      {0x04, 0x01, 0x00},                    // an OCTET STRING
      {0x30, 0x03, 0x02, 0x01, 0xFF},        // negative path length
      {0x30, 0x08, 0x02, 0x06, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},  // path length beyond 32 bits
  };
  for (const Bytes& encoded : malformed) {
    CERT_BASIC_CONSTRAINTS2_INFO info{};
    DWORD size = sizeof info;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, encoded.data(),
                                   static_cast<DWORD>(encoded.size()), 0, &info, &size))
        << ::testing::PrintToString(encoded);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT)) << ::testing::PrintToString(encoded);
    // The sizing call refuses it as well.
    EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, encoded.data(),
                                   static_cast<DWORD>(encoded.size()), 0, nullptr, &size));
  }
}

TEST(CryptDecodeBasicConstraints, UnknownStructureOrEncodingIsNotFound) {
  const Bytes encoded{0x30, 0x00};
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  DWORD size = sizeof info;
  EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_NAME, encoded.data(), 2, 0, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CryptDecodeObject(kEncoding, "2.5.29.17", encoded.data(), 2, 0, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CryptDecodeObject(PKCS_7_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, encoded.data(), 2, 0, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, encoded.data(), 2, 0, &info, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptDecodeObject(kEncoding, X509_BASIC_CONSTRAINTS2, nullptr, 2, 0, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CryptDecodeBasicConstraints, FaultSwitchFailsTheChosenCall) {
  platform::faultReset();
  platform::faultArm("CryptDecodeObject", 2, NTE_FAIL);
  CERT_BASIC_CONSTRAINTS2_INFO info{};
  EXPECT_FALSE(decode({0x30, 0x00}, info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  platform::faultReset();
  EXPECT_TRUE(decode({0x30, 0x00}, info));
}

}  // namespace
