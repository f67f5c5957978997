// Key pairs in key containers: generation, persistence across processes,
// signing, export, and user-protected keys under a password.
#include "support/crypt_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "support/child_process.h"
#include "support/test_home.h"

namespace {

using namespace testing_support;

class KeyPairTest : public testing_support::HomeTest {};

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

std::vector<BYTE> fromHex(const std::string& text) {
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The stored record of a container's key exchange key pair.
std::vector<BYTE> storedKeyPair(const std::string& container) {
  const std::string path = "Software\\Tarvenholm\\Crypto\\Keys\\RSA\\" + container;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  UniqueHkey owned(key);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, "Exchange", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_BINARY)
    return {};
  std::vector<BYTE> data(size);
  RegQueryValueExA(key, "Exchange", nullptr, &type, data.data(), &size);
  return data;
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
  ProvContext context;
  ASSERT_TRUE(context.acquire("sizes", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  KeyHandle byDefault;
  ASSERT_TRUE(CryptGenKey(context.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, byDefault.out()));
  EXPECT_EQ(keyBits(byDefault.get()), 1024u);
  KeyHandle signature;
  ASSERT_TRUE(CryptGenKey(context.get(), CALG_RSA_SIGN, (1536u << 16) | CRYPT_EXPORTABLE, signature.out()));
  EXPECT_EQ(keyBits(signature.get()), 1536u);

  // Each spec has its own key pair, of the size it was made with.
  const std::vector<BYTE> exchange = exportPkcs8(context.get(), AT_KEYEXCHANGE);
  const std::vector<BYTE> signing = exportPkcs8(context.get(), AT_SIGNATURE);
  ASSERT_FALSE(exchange.empty());
  ASSERT_FALSE(signing.empty());
  EXPECT_NE(exchange, signing);
  const unsigned char* cursor = signing.data();
  EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(signing.size()));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(key), 1536);
  EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
  BIGNUM* exponent = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key, "e", &exponent), 1);
  EXPECT_EQ(BN_get_word(exponent), 65537u);
  BN_free(exponent);
  EVP_PKEY_free(key);

  KeyHandle user;
  ASSERT_TRUE(CryptGetUserKey(context.get(), AT_SIGNATURE, user.out()));
  EXPECT_EQ(keyBits(user.get()), 1536u);
}

TEST_F(KeyPairTest, RefusesKeyGenerationItCannotDo) {
  ProvContext context;
  ASSERT_TRUE(context.acquire("refusals", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  struct Case {
    ALG_ID algorithm;
    DWORD flags;
    DWORD error;
  };
  const Case cases[] = {
      {AT_KEYEXCHANGE, 256u << 16, NTE_BAD_FLAGS},        {AT_KEYEXCHANGE, 1028u << 16, NTE_BAD_FLAGS},
      {AT_KEYEXCHANGE, 0xFFFFu << 16, NTE_BAD_FLAGS},     {AT_KEYEXCHANGE, (1024u << 16) | 0x4, NTE_BAD_FLAGS},
      {CALG_SHA1, 1024u << 16, NTE_BAD_ALGID},            {0, 1024u << 16, NTE_BAD_ALGID},
  };
  for (const Case& c : cases) {
    KeyHandle key;
    EXPECT_FALSE(CryptGenKey(context.get(), c.algorithm, c.flags, key.out())) << std::hex << c.flags;
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.flags;
  }
  KeyHandle none;
  EXPECT_FALSE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, none.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));

  for (const char* provider : {"Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider",
                               "Microsoft DH SChannel Cryptographic Provider"}) {
    ProvContext other;
    const DWORD type = std::string(provider).find("SChannel") != std::string::npos ? PROV_DH_SCHANNEL : PROV_DSS_DH;
    ASSERT_TRUE(other.acquire("not-rsa", provider, type, CRYPT_NEWKEYSET)) << provider;
    KeyHandle key;
    EXPECT_FALSE(CryptGenKey(other.get(), AT_KEYEXCHANGE, 1024u << 16, key.out())) << provider;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
  }

  ProvContext verify;
  ASSERT_TRUE(verify.acquire(nullptr, kEnhancedProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  KeyHandle key;
  EXPECT_FALSE(CryptGenKey(verify.get(), AT_KEYEXCHANGE, 1024u << 16, key.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST_F(KeyPairTest, SignsHashesInThePlatformsByteOrder) {
  ProvContext context;
  ASSERT_TRUE(makeKeyPair(context, "signer", kExportable1024));
  const std::vector<BYTE> publicKey = publicKeyOfPkcs8(exportPkcs8(context.get()));
  ASSERT_FALSE(publicKey.empty());

  const std::vector<BYTE> sha1 = signWithProvider(context.get(), CALG_SHA1, kData);
  ASSERT_EQ(sha1.size(), 128u);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, bigEndian(sha1)));
  EXPECT_FALSE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, sha1)) << "least significant byte first";
  const std::vector<BYTE> sha256 = signWithProvider(context.get(), CALG_SHA_256, kData);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), kData, bigEndian(sha256)));
  EXPECT_FALSE(verifyWithOpenssl(publicKey, EVP_sha256(), kData + ".", bigEndian(sha256)));
}

TEST_F(KeyPairTest, HashesFollowTheirLifecycle) {
  ProvContext context;
  ASSERT_TRUE(makeKeyPair(context, "hashes", kExportable1024));
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(context.get(), 0x8003 /* MD5 */, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
  ASSERT_TRUE(CryptCreateHash(context.get(), CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(kData.data()), 5, 0));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(kData.data()) + 5,
                            static_cast<DWORD>(kData.size() - 5), 0));
  DWORD size = 10;
  std::vector<BYTE> signature(size);
  EXPECT_FALSE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_EQ(size, 128u);
  signature.resize(size);
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &size));
  std::vector<BYTE> again(size);
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, again.data(), &size));
  EXPECT_EQ(signature, again) << "a finished hash signs the same value again";
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH_STATE));
  EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
  ASSERT_TRUE(CryptDestroyHash(hash));
  EXPECT_FALSE(CryptDestroyHash(hash));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH));
  EXPECT_FALSE(CryptDestroyKey(hash)) << "a hash handle is no key handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
}

// Runs in the child process of KeyPairSurvivesTheProcess: opens the
// container the parent made and signs with its key pair.
TEST(KeyInAnotherProcess, SignsWithTheStoredKeyPair) {
  if (!inChildProcess()) GTEST_SKIP() << "runs as a child of KeyPairSurvivesTheProcess";
  ProvContext context;
  ASSERT_TRUE(context.acquire(std::getenv(kContainerVariable), kEnhancedProvider, PROV_RSA_FULL, 0));
  KeyHandle key;
  ASSERT_TRUE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.out()));
  reportToParent(std::to_string(keyBits(key.get())));
  reportToParent(hexText(signWithProvider(context.get(), CALG_SHA_256, kData)));
}

TEST_F(KeyPairTest, KeyPairSurvivesTheProcess) {
  std::vector<BYTE> publicKey;
  {
    ProvContext context;
    ASSERT_TRUE(makeKeyPair(context, "survivor", (2048u << 16) | CRYPT_EXPORTABLE));
    publicKey = publicKeyOfPkcs8(exportPkcs8(context.get()));
  }
  const ChildResult child =
      runTestInChild("KeyInAnotherProcess.SignsWithTheStoredKeyPair", {{kContainerVariable, "survivor"}});
  ASSERT_EQ(child.exitStatus, 0);
  ASSERT_EQ(child.reports.size(), 2u);
  EXPECT_EQ(child.reports[0], "2048");
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), kData, bigEndian(fromHex(child.reports[1]))));
}

TEST_F(KeyPairTest, ExportsOnlyExportableKeysAsPkcs8) {
  ProvContext exportable;
  ASSERT_TRUE(makeKeyPair(exportable, "exportable", kExportable1024));
  char rsa[] = szOID_RSA_RSA;
  DWORD size = 0;
  ASSERT_TRUE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, rsa, 0, nullptr, nullptr, &size));
  std::vector<BYTE> der(size - 1);
  DWORD tooSmall = size - 1;
  EXPECT_FALSE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, rsa, 0, nullptr, der.data(), &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(tooSmall, size);
  const std::vector<BYTE> pkcs8 = exportPkcs8(exportable.get());
  ASSERT_EQ(pkcs8.size(), size);
  const unsigned char* cursor = pkcs8.data();
  PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(pkcs8.size()));
  ASSERT_NE(info, nullptr) << "a PrivateKeyInfo";
  PKCS8_PRIV_KEY_INFO_free(info);
  char dsa[] = "1.2.840.10040.4.1";
  EXPECT_FALSE(CryptExportPKCS8(exportable.get(), AT_KEYEXCHANGE, dsa, 0, nullptr, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));

  ProvContext fixed;
  ASSERT_TRUE(makeKeyPair(fixed, "not-exportable", 1024u << 16));
  EXPECT_TRUE(exportPkcs8(fixed.get()).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_FALSE(signWithProvider(fixed.get(), CALG_SHA1, kData).empty()) << "it still signs";
}

TEST_F(KeyPairTest, PasswordProtectedKeyIsNotStoredInClear) {
  PasswordAnswers answers("correct horse", "correct horse");
  ProvContext context;
  ASSERT_TRUE(makeKeyPair(context, "protected", kProtected1024));
  EXPECT_EQ(answers.newKeyQuestions(), 1);
  EXPECT_EQ(answers.lastContainer(), "protected");
  const std::vector<BYTE> pkcs8 = exportPkcs8(context.get());
  ASSERT_FALSE(pkcs8.empty());
  EXPECT_EQ(answers.useKeyQuestions(), 1) << "asked again when the key is first used";

  ProvContext plain;
  PasswordAnswers noPassword("", "");
  ASSERT_TRUE(makeKeyPair(plain, "unprotected", kProtected1024));
  const std::vector<BYTE> plainPkcs8 = exportPkcs8(plain.get());
  ASSERT_FALSE(plainPkcs8.empty());
  EXPECT_EQ(noPassword.useKeyQuestions(), 0) << "a key stored without a password needs none";

  const std::vector<BYTE> hive = readFile(platform::userHivePath());
  EXPECT_TRUE(contains(hive, secretStretch(plainPkcs8))) << "the scan finds a key stored in clear";
  EXPECT_FALSE(contains(hive, secretStretch(pkcs8)));

  // The stored form is an EncryptedPrivateKeyInfo with a strong key derivation.
  const std::string recordPath = ::testing::TempDir() + "tarvenholm-protected-record.der";
  writeFile(recordPath, storedKeyPair("protected"));
  std::string parsed;
  ASSERT_EQ(runCommand("openssl asn1parse -inform DER -in " + recordPath, parsed), 0) << parsed;
  for (const char* expected : {":PBES2", ":PBKDF2", ":hmacWithSHA256", ":aes-256-cbc", ":0927C0"})
    EXPECT_NE(parsed.find(expected), std::string::npos) << expected << " in\n" << parsed;
  std::remove(recordPath.c_str());
}

TEST_F(KeyPairTest, ProtectedKeyAsksOncePerContextAndRefusesAWrongPassword) {
  PasswordAnswers answers("open sesame", "wrong guess");
  std::vector<BYTE> publicKey;
  {
    ProvContext context;
    ASSERT_TRUE(makeKeyPair(context, "guarded", kProtected1024));
    KeyHandle key;
    ASSERT_TRUE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.out()));
  }
  {
    ProvContext wrong;
    ASSERT_TRUE(wrong.acquire("guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
    EXPECT_TRUE(signWithProvider(wrong.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_TRUE(exportPkcs8(wrong.get()).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    EXPECT_EQ(answers.useKeyQuestions(), 1);
  }
  {
    answers.setUseKey("");
    ProvContext cancelled;
    ASSERT_TRUE(cancelled.acquire("guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
    EXPECT_TRUE(signWithProvider(cancelled.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_EQ(answers.useKeyQuestions(), 2);
  }
  {
    ProvContext silent;
    ASSERT_TRUE(silent.acquire("guarded", kEnhancedProvider, PROV_RSA_FULL, CRYPT_SILENT));
    EXPECT_TRUE(signWithProvider(silent.get(), CALG_SHA1, kData).empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_SILENT_CONTEXT));
    EXPECT_EQ(answers.useKeyQuestions(), 2) << "a silent context never asks";
  }
  answers.setUseKey("open sesame");
  ProvContext right;
  ASSERT_TRUE(right.acquire("guarded", kEnhancedProvider, PROV_RSA_FULL, 0));
  const std::vector<BYTE> first = signWithProvider(right.get(), CALG_SHA1, kData);
  const std::vector<BYTE> second = signWithProvider(right.get(), CALG_SHA_256, kData);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(answers.useKeyQuestions(), 3);
  publicKey = publicKeyOfPkcs8(exportPkcs8(right.get()));
  EXPECT_EQ(answers.useKeyQuestions(), 3);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha1(), kData, bigEndian(first)));
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), kData, bigEndian(second)));
}

TEST_F(KeyPairTest, SilentContextCannotMakeAUserProtectedKey) {
  PasswordAnswers answers("never asked", "never asked");
  ProvContext context;
  ASSERT_TRUE(context.acquire("silent", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET | CRYPT_SILENT));
  KeyHandle key;
  EXPECT_FALSE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kProtected1024, key.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  EXPECT_EQ(answers.newKeyQuestions(), 0);
}

TEST_F(KeyPairTest, FailedKeyGenerationStoresNothing) {
  ProvContext context;
  ASSERT_TRUE(context.acquire("faults", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  KeyHandle key;
  platform::faultArm("CryptGenKey", 1, NTE_FAIL);
  EXPECT_FALSE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kExportable1024, key.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  platform::faultArm("RegSetValueExA", 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kExportable1024, key.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_EQ(key.get(), 0u);
  KeyHandle user;
  EXPECT_FALSE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, user.out()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));

  ASSERT_TRUE(CryptGenKey(context.get(), AT_KEYEXCHANGE, kExportable1024, key.out()));
  for (const char* call : {"CryptGetUserKey", "CryptGetKeyParam", "CryptCreateHash", "CryptExportPKCS8"}) {
    platform::faultArm(call, 1, NTE_FAIL);
    SetLastError(0);
    KeyHandle other;
    HCRYPTHASH hash = 0;
    DWORD size = 0;
    char rsa[] = szOID_RSA_RSA;
    const std::string name = call;
    const BOOL result = name == "CryptGetUserKey"    ? CryptGetUserKey(context.get(), AT_KEYEXCHANGE, other.out())
                        : name == "CryptGetKeyParam" ? CryptGetKeyParam(key.get(), KP_KEYLEN, nullptr, &size, 0)
                        : name == "CryptCreateHash"  ? CryptCreateHash(context.get(), CALG_SHA1, 0, 0, &hash)
                                                     : CryptExportPKCS8(context.get(), AT_KEYEXCHANGE, rsa, 0, nullptr,
                                                                        nullptr, &size);
    EXPECT_FALSE(result) << call;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL)) << call;
  }
  platform::faultArm("CryptDestroyKey", 1, NTE_FAIL);
  EXPECT_FALSE(CryptDestroyKey(key.get()));
  EXPECT_TRUE(CryptDestroyKey(key.get())) << "the handle survived the failed call";
  EXPECT_FALSE(CryptDestroyKey(key.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
  *key.out() = 0;
}

}  // namespace
