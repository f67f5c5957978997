// Key pairs in key containers: generation, persistence across processes,
// signing, export, and user-protected keys under a password.
#include "testlib/crypt_fixtures.h"

#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/home.h"
#include "platform/key_protection.h"
#include "platform/registry.h"
#include "testlib/child_process.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using namespace testing_support;

class KeyPairTest : public HomeTest {};

constexpr const char* kContainerVariable = "TARVENHOLM_TEST_CONTAINER";
constexpr DWORD kExportable1024 = (1024u << 16) | CRYPT_EXPORTABLE;
constexpr DWORD kProtected1024 = (1024u << 16) | CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
const std::string kData = "the data to be signed";

DWORD keyBits(HCRYPTKEY key) {
  DWORD bits = 0;
  DWORD size = sizeof bits;
  return CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) ? bits : 0;
}

std::vector<BYTE> bigEndian(std::vector<BYTE> signature) {
  std::reverse(signature.begin(), signature.end());
  return signature;
}

bool contains(const std::vector<BYTE>& haystack, const std::vector<BYTE>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// A stretch from the middle of a PrivateKeyInfo: secret key material.
std::vector<BYTE> secretStretch(const std::vector<BYTE>& pkcs8) {
  const auto middle = pkcs8.begin() + static_cast<std::ptrdiff_t>(pkcs8.size() / 2);
  return {middle, middle + 32};
}

TEST_F(KeyPairTest, GeneratesKeyPairsOfTheRequestedSizeAndSpec) {
  UniqueCryptProv context;
  ASSERT_TRUE(CryptAcquireContextA(context.put(), "sizes", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  UniqueCryptKey byDefault;
  ASSERT_TRUE(CryptGenKey(context.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, byDefault.put()));
  EXPECT_EQ(keyBits(byDefault.get()), 1024u);
  UniqueCryptKey signature;
  ASSERT_TRUE(CryptGenKey(context.get(), CALG_RSA_SIGN, (1536u << 16) | CRYPT_EXPORTABLE, signature.put()));

  const std::vector<BYTE> signing = exportPkcs8(context.get(), AT_SIGNATURE);
  EXPECT_NE(exportPkcs8(context.get(), AT_KEYEXCHANGE), signing) << "each spec has its own key pair";
  const unsigned char* cursor = signing.data();
  const platform::UniquePkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(signing.size())));
  ASSERT_TRUE(key);
  EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 1536);
  BIGNUM* exponent = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), "e", &exponent), 1);
  EXPECT_EQ(BN_get_word(platform::UniqueBignum(exponent).get()), 65537u);
  UniqueCryptKey user;
  ASSERT_TRUE(CryptGetUserKey(context.get(), AT_SIGNATURE, user.put()));
  EXPECT_EQ(keyBits(user.get()), 1536u);
}

TEST_F(KeyPairTest, RefusesKeyPairsItCannotMake) {
  UniqueCryptProv context;
  ASSERT_TRUE(CryptAcquireContextA(context.put(), "refusals", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  const std::pair<ALG_ID, DWORD> badFlags[] = {{AT_KEYEXCHANGE, 256u << 16}, {AT_KEYEXCHANGE, 1028u << 16},
                                               {AT_KEYEXCHANGE, 0xFFFFu << 16}, {AT_KEYEXCHANGE, kExportable1024 | 0x4}};
  for (const auto& [algorithm, flags] : badFlags) {
    UniqueCryptKey key;
    EXPECT_FALSE(CryptGenKey(context.get(), algorithm, flags, key.put())) << std::hex << flags;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS)) << std::hex << flags;
  }
  UniqueCryptKey key;
  EXPECT_FALSE(CryptGenKey(context.get(), CALG_SHA1, kExportable1024, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
  EXPECT_FALSE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));

  UniqueCryptProv dh;
  ASSERT_TRUE(CryptAcquireContextA(dh.put(), "not-rsa", "Microsoft DH SChannel Cryptographic Provider",
                                   PROV_DH_SCHANNEL, CRYPT_NEWKEYSET));
  EXPECT_FALSE(CryptGenKey(dh.get(), AT_KEYEXCHANGE, kExportable1024, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
  UniqueCryptProv verify;
  ASSERT_TRUE(CryptAcquireContextA(verify.put(), nullptr, kEnhancedProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  EXPECT_FALSE(CryptGenKey(verify.get(), AT_KEYEXCHANGE, kExportable1024, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(KeyPairTest, SignsHashesInThePlatformsByteOrder) {
  UniqueCryptProv context;
  ASSERT_TRUE(makeKeyPair(context, "signer", kExportable1024));
  const std::vector<BYTE> publicKey = publicKeyOfPkcs8(exportPkcs8(context.get()));
  const std::vector<BYTE> sha1 = signWithProvider(context.get(), CALG_SHA1, kData);
  ASSERT_EQ(sha1.size(), 128u);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, bigEndian(sha1)));
  EXPECT_FALSE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, sha1)) << "least significant byte first";
  const std::vector<BYTE> sha256 = signWithProvider(context.get(), CALG_SHA_256, kData);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), kData, bigEndian(sha256)));
  EXPECT_FALSE(verifyWithOpenssl(publicKey, EVP_sha256(), kData + ".", bigEndian(sha256)));

  UniqueCryptHash hash;
  ASSERT_TRUE(CryptCreateHash(context.get(), CALG_SHA1, 0, 0, hash.put()));
  DWORD size = 10;
  BYTE signature[128];
  EXPECT_FALSE(CryptSignHashA(hash.get(), AT_KEYEXCHANGE, nullptr, 0, signature, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 128u);
  ASSERT_TRUE(CryptSignHashA(hash.get(), AT_KEYEXCHANGE, nullptr, 0, signature, &size));
  EXPECT_FALSE(CryptHashData(hash.get(), reinterpret_cast<const BYTE*>("x"), 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE)) << "a signed hash is finished";
  const HCRYPTHASH destroyed = hash.get();
  ASSERT_TRUE(hash.close());
  EXPECT_FALSE(UniqueCryptKey(destroyed).close()) << "a hash handle is no key handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
}

// A context signs with the key pair it generated without reading it back,
// but never with one the container no longer holds.
TEST_F(KeyPairTest, SignsWithTheKeyPairTheContainerHoldsNow) {
  UniqueCryptProv first;
  ASSERT_TRUE(makeKeyPair(first, "replaced", kExportable1024));
  UniqueCryptProv second;
  ASSERT_TRUE(CryptAcquireContextA(second.put(), "replaced", kEnhancedProvider, PROV_RSA_FULL, 0));
  UniqueCryptKey replacement;
  ASSERT_TRUE(CryptGenKey(second.get(), AT_KEYEXCHANGE, kExportable1024, replacement.put()));
  const std::vector<BYTE> stored = publicKeyOfPkcs8(exportPkcs8(second.get()));
  for (HCRYPTPROV signer : {first.get(), second.get()})
    EXPECT_TRUE(verifyWithOpenssl(stored, EVP_sha256(), kData, bigEndian(signWithProvider(signer, CALG_SHA_256, kData))));
}

// The child of KeyPairSurvivesTheProcess: opens the container that the
// parent made and signs with its key pair.
TEST(KeyInAnotherProcess, SignsWithTheStoredKeyPair) {
  if (!inChildProcess()) GTEST_SKIP() << "runs as a child of KeyPairSurvivesTheProcess";
  UniqueCryptProv context;
  ASSERT_TRUE(
      CryptAcquireContextA(context.put(), std::getenv(kContainerVariable), kEnhancedProvider, PROV_RSA_FULL, 0));
  UniqueCryptKey key;
  ASSERT_TRUE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()));
  reportToParent(std::to_string(keyBits(key.get())));
  reportToParent(hexText(signWithProvider(context.get(), CALG_SHA_256, kData)));
}

TEST_F(KeyPairTest, KeyPairSurvivesTheProcess) {
  std::vector<BYTE> publicKey;
  {
    UniqueCryptProv context;
    ASSERT_TRUE(makeKeyPair(context, "survivor", (2048u << 16) | CRYPT_EXPORTABLE));
    publicKey = publicKeyOfPkcs8(exportPkcs8(context.get()));
  }
  const ChildResult child =
      runTestInChild("KeyInAnotherProcess.SignsWithTheStoredKeyPair", {{kContainerVariable, "survivor"}});
  ASSERT_EQ(child.exitStatus, 0);
  ASSERT_EQ(child.reports.size(), 2u);
  EXPECT_EQ(child.reports[0], "2048");
  std::vector<BYTE> signature;
  for (std::size_t i = 0; i + 1 < child.reports[1].size(); i += 2)
    signature.push_back(static_cast<BYTE>(std::stoi(child.reports[1].substr(i, 2), nullptr, 16)));
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), kData, bigEndian(signature)));
}

TEST_F(KeyPairTest, ExportsOnlyExportableKeysAsPkcs8) {
  UniqueCryptProv exportable;
  ASSERT_TRUE(makeKeyPair(exportable, "exportable", kExportable1024));
  char rsa[] = szOID_RSA_RSA;
  DWORD size = 0;
  ASSERT_TRUE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, rsa, 0, nullptr, nullptr, &size));
  std::vector<BYTE> der(size);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, rsa, 0, nullptr, der.data(), &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_TRUE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, rsa, 0, nullptr, der.data(), &size));
  const unsigned char* cursor = der.data();
  EXPECT_TRUE(platform::UniquePkcs8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(der.size()))))
      << "a PrivateKeyInfo";

  UniqueCryptProv fixed;
  ASSERT_TRUE(makeKeyPair(fixed, "not-exportable", 1024u << 16));
  EXPECT_TRUE(exportPkcs8(fixed.get()).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_FALSE(signWithProvider(fixed.get(), CALG_SHA1, kData).empty()) << "it still signs";
}

TEST_F(KeyPairTest, PasswordProtectedKeyIsNotStoredInClear) {
  std::vector<BYTE> protectedPkcs8;
  {
    PasswordAnswers answers("correct horse", "correct horse");
    UniqueCryptProv context;
    ASSERT_TRUE(makeKeyPair(context, "protected", kProtected1024));
    EXPECT_EQ(answers.newKeyQuestions(), 1);
    EXPECT_EQ(answers.lastContainer(), "protected");
    protectedPkcs8 = exportPkcs8(context.get());
  }
  PasswordAnswers noPassword("", "");
  UniqueCryptProv plain;
  ASSERT_TRUE(makeKeyPair(plain, "unprotected", kProtected1024));
  const std::vector<BYTE> plainPkcs8 = exportPkcs8(plain.get());
  ASSERT_FALSE(plainPkcs8.empty());
  ASSERT_FALSE(protectedPkcs8.empty());
  EXPECT_EQ(noPassword.useKeyQuestions(), 0) << "a key stored without a password needs none";

  // The hive file and its write-ahead log, where recent changes wait.
  std::vector<BYTE> hive = readFile(platform::userHivePath());
  const std::vector<BYTE> log = readFile(platform::userHivePath() + "-wal");
  hive.insert(hive.end(), log.begin(), log.end());
  EXPECT_TRUE(contains(hive, secretStretch(plainPkcs8))) << "the scan finds a key stored in clear";
  EXPECT_FALSE(contains(hive, secretStretch(protectedPkcs8)));

  // What is stored is an EncryptedPrivateKeyInfo with a slow key derivation.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tarvenholm\\Crypto\\Keys\\RSA\\protected", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  UniqueHkey owned(key);
  std::vector<BYTE> record(4096);
  DWORD size = static_cast<DWORD>(record.size());
  ASSERT_EQ(RegQueryValueExA(key, "Exchange", nullptr, nullptr, record.data(), &size), ERROR_SUCCESS);
  record.resize(size);
  const std::string recordPath = ::testing::TempDir() + "tarvenholm-protected-record.der";
  writeFile(recordPath, record);
  std::string parsed;
  ASSERT_EQ(runCommand("openssl asn1parse -inform DER -in " + recordPath, parsed), 0) << parsed;
  std::remove(recordPath.c_str());
  for (const char* expected : {":PBES2", ":PBKDF2", ":hmacWithSHA256", ":aes-256-cbc", ":0927C0"})
    EXPECT_NE(parsed.find(expected), std::string::npos) << expected << " in\n" << parsed;
}

TEST_F(KeyPairTest, ProtectedKeyAsksOncePerContextAndRefusesAWrongPassword) {
  PasswordAnswers answers("open sesame", "wrong guess");
  {
    UniqueCryptProv context;
    ASSERT_TRUE(makeKeyPair(context, "guarded", kProtected1024));
  }
  {
    UniqueCryptProv wrong;
    ASSERT_TRUE(CryptAcquireContextA(wrong.put(), "guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
    EXPECT_TRUE(signWithProvider(wrong.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_TRUE(exportPkcs8(wrong.get()).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(answers.useKeyQuestions(), 1);
  }
  {
    answers.setUseKey("");
    UniqueCryptProv cancelled;
    ASSERT_TRUE(CryptAcquireContextA(cancelled.put(), "guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
    EXPECT_TRUE(signWithProvider(cancelled.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
    UniqueCryptProv silent;
    ASSERT_TRUE(CryptAcquireContextA(silent.put(), "guarded", kEnhancedProvider, PROV_RSA_FULL, CRYPT_SILENT));
    EXPECT_TRUE(signWithProvider(silent.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_SILENT_CONTEXT));
    EXPECT_EQ(answers.useKeyQuestions(), 2) << "a silent context never asks";
  }
  answers.setUseKey("open sesame");
  UniqueCryptProv right;
  ASSERT_TRUE(CryptAcquireContextA(right.put(), "guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
  const std::vector<BYTE> first = signWithProvider(right.get(), CALG_SHA1, kData);
  const std::vector<BYTE> publicKey = publicKeyOfPkcs8(exportPkcs8(right.get()));
  EXPECT_EQ(answers.useKeyQuestions(), 3);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, bigEndian(first)));
}

TEST_F(KeyPairTest, FailedKeyGenerationStoresNothing) {
  UniqueCryptProv context;
  ASSERT_TRUE(CryptAcquireContextA(context.put(), "faults", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  UniqueCryptKey key;
  platform::faultArm("CryptGenKey", 1, NTE_FAIL);
  EXPECT_FALSE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kExportable1024, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  platform::faultArm("RegSetValueExA", 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kExportable1024, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_FALSE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
}

// A key pair is stored as DER written by hand for two-prime RSA keys: it
// must be the bytes OpenSSL's encoders write, whether or not the modulus
// fills its top byte, for any exponent. Other keys go through those
// encoders.
std::pair<std::vector<BYTE>, std::vector<BYTE>> openSslEncodings(EVP_PKEY* key) {
  std::vector<BYTE> publicKey;
  std::vector<BYTE> privateKey;
  const platform::UniquePkcs8 info(EVP_PKEY2PKCS8(key));
  EXPECT_TRUE((platform::derOf<EVP_PKEY, i2d_PUBKEY>(key, publicKey)));
  EXPECT_TRUE(info && (platform::derOf<PKCS8_PRIV_KEY_INFO, i2d_PKCS8_PRIV_KEY_INFO>(info.get(), privateKey)));
  return {publicKey, privateKey};
}

std::pair<std::vector<BYTE>, std::vector<BYTE>> storedEncodings(EVP_PKEY* key) {
  std::vector<BYTE> publicKey;
  std::vector<BYTE> privateKey;
  EXPECT_TRUE(platform::subjectPublicKeyInfo(key, publicKey));
  EXPECT_TRUE(platform::privateKeyInfo(key, privateKey));
  return {publicKey, privateKey};
}

TEST(StoredKeyEncoding, IsWhatOpenSslEncodes) {
  const struct {
    unsigned bits;
    unsigned long exponent;
    int primes;
  } kRsaKeys[] = {{512, 3, 2}, {1024, 65537, 2}, {1028, 65537, 2}, {2048, 4294967297UL, 2}, {2048, 65537, 3}};
  for (const auto& [bits, exponent, primes] : kRsaKeys) {
    SCOPED_TRACE(std::to_string(bits) + " bits, exponent " + std::to_string(exponent) + ", primes " +
                 std::to_string(primes));
    const platform::UniquePkeyCtx generation(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    const platform::UniqueBignum publicExponent(BN_new());
    EVP_PKEY* generated = nullptr;
    ASSERT_TRUE(generation && publicExponent && BN_set_word(publicExponent.get(), exponent) == 1 &&
                EVP_PKEY_keygen_init(generation.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_keygen_bits(generation.get(), static_cast<int>(bits)) == 1 &&
                EVP_PKEY_CTX_set1_rsa_keygen_pubexp(generation.get(), publicExponent.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_keygen_primes(generation.get(), primes) == 1 &&
                EVP_PKEY_keygen(generation.get(), &generated) == 1);
    const platform::UniquePkey key(generated);
    EXPECT_EQ(storedEncodings(key.get()), openSslEncodings(key.get()));
  }
  const platform::UniquePkey ec(EVP_EC_gen("P-256"));
  ASSERT_TRUE(ec);
  EXPECT_EQ(storedEncodings(ec.get()), openSslEncodings(ec.get()));
}

}  // namespace
