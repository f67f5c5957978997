// The PKCS#11 module loaded as applications load it: return codes for
// misuse, fork, what a new session sees, attributes that must not reveal the
// key, and many threads signing at once.
#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "pkcs11/cryptoki.h"
#include "platform/key_container.h"
#include "platform/openssl_handles.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"

namespace testing_support {
namespace {

using Bytes = std::vector<unsigned char>;

class Pkcs11ModuleTest : public HostEnrolmentTest {
 protected:
  Pkcs11ModuleTest() {
    library_ = dlopen(TARVENHOLM_BINARY_DIR "/libtarvenholm-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) throw std::runtime_error(dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    if (getList == nullptr || getList(&p11_) != CKR_OK) throw std::runtime_error("no function list");
  }
  ~Pkcs11ModuleTest() override {
    p11_->C_Finalize(nullptr);
    dlclose(library_);
  }

  // A certificate from the test authority installed with setcert; its key
  // container's private key (PKCS#8 DER) for the searches.
  void enrol() {
    const std::string p7b = issue(genreq(), "--der", "user.p7b");
    ASSERT_EQ(runHost({"--quiet", "setcert", p7b}).status, 0);
  }

  CK_SESSION_HANDLE openSession() {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(p11_->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    return session;
  }

  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern) {
    EXPECT_EQ(p11_->C_FindObjectsInit(session, pattern.data(), pattern.size()), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG count = 0;
    EXPECT_EQ(p11_->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
    EXPECT_EQ(p11_->C_FindObjectsFinal(session), CKR_OK);
    found.resize(count);
    return found;
  }

  std::vector<CK_OBJECT_HANDLE> findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass) {
    return find(session, {{CKA_CLASS, &objectClass, sizeof objectClass}});
  }

  Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    if (p11_->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return {};
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
    return value;
  }

  static constexpr CK_SLOT_ID kSlot = 1;
  void* library_ = nullptr;
  CK_FUNCTION_LIST_PTR p11_ = nullptr;
};

TEST_F(Pkcs11ModuleTest, AnswersMisuseWithItsReturnCode) {
  CK_ULONG count = 0;
  EXPECT_EQ(p11_->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_C_INITIALIZE_ARGS appLocks{reinterpret_cast<CK_CREATEMUTEX>(1), reinterpret_cast<CK_DESTROYMUTEX>(1),
                                reinterpret_cast<CK_LOCKMUTEX>(1), reinterpret_cast<CK_UNLOCKMUTEX>(1), 0, nullptr};
  EXPECT_EQ(p11_->C_Initialize(&appLocks), CKR_CANT_LOCK);
  CK_C_INITIALIZE_ARGS osLocks{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  ASSERT_EQ(p11_->C_Initialize(&osLocks), CKR_OK);
  EXPECT_EQ(p11_->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  enrol();

  CK_SLOT_ID slots[1];
  count = 0;
  EXPECT_EQ(p11_->C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 1u);
  CK_SESSION_HANDLE session = 0;
  EXPECT_EQ(p11_->C_OpenSession(kSlot, 0, nullptr, nullptr, &session), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(p11_->C_OpenSession(kSlot + 1, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);
  session = openSession();
  const std::vector<CK_OBJECT_HANDLE> keys = findClass(session, CKO_PRIVATE_KEY);
  const std::vector<CK_OBJECT_HANDLE> certificates = findClass(session, CKO_CERTIFICATE);
  ASSERT_EQ(keys.size(), 1u);
  ASSERT_EQ(certificates.size(), 3u);  // user, issuing authority, root

  CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
  CK_MECHANISM md5{CKM_MD5_RSA_PKCS, nullptr, 0};
  CK_MECHANISM pssWithout{CKM_SHA256_RSA_PKCS_PSS, nullptr, 0};
  CK_RSA_PKCS_PSS_PARAMS mixed{CKM_SHA256, CKG_MGF1_SHA1, 32};
  CK_MECHANISM pssMixed{CKM_SHA256_RSA_PKCS_PSS, &mixed, sizeof mixed};
  unsigned char data[] = "data";
  Bytes signature(512);
  CK_ULONG length = 0;
  EXPECT_EQ(p11_->C_SignInit(session + 100, &sha256, keys[0]), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p11_->C_SignInit(session, &md5, keys[0]), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11_->C_SignInit(session, &pssWithout, keys[0]), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(p11_->C_SignInit(session, &pssMixed, keys[0]), CKR_MECHANISM_PARAM_INVALID);
  EXPECT_EQ(p11_->C_SignInit(session, &sha256, certificates[0]), CKR_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(p11_->C_SignInit(session, &sha256, 0xdead), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(p11_->C_Sign(session, data, 4, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
  CK_ULONG found = 0;
  EXPECT_EQ(p11_->C_FindObjects(session, nullptr, 0, &found), CKR_OPERATION_NOT_INITIALIZED);

  // The length-query protocol: a query and a short buffer keep the operation.
  ASSERT_EQ(p11_->C_SignInit(session, &sha256, keys[0]), CKR_OK);
  EXPECT_EQ(p11_->C_SignInit(session, &sha256, keys[0]), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(p11_->C_Sign(session, data, 4, nullptr, &length), CKR_OK);
  const CK_ULONG needed = length;
  EXPECT_EQ(needed, 128u);  // genreq's 1024-bit test keys
  length = needed - 1;
  EXPECT_EQ(p11_->C_Sign(session, data, 4, signature.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, needed);
  EXPECT_EQ(p11_->C_Sign(session, data, 4, signature.data(), &length), CKR_OK);
  EXPECT_EQ(p11_->C_Sign(session, data, 4, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
  const Bytes publicKey = attribute(session, keys[0], CKA_PUBLIC_KEY_INFO);
  signature.resize(length);
  EXPECT_TRUE(verifyWithOpenssl(publicKey, EVP_sha256(), "data", signature));

  CK_ATTRIBUTE label{CKA_LABEL, signature.data(), 1};
  EXPECT_EQ(p11_->C_GetAttributeValue(session, certificates[0], &label, 1), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(p11_->C_DestroyObject(session, keys[0]), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(p11_->C_CloseSession(session), CKR_OK);
  EXPECT_EQ(p11_->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p11_->C_Finalize(reinterpret_cast<void*>(1)), CKR_ARGUMENTS_BAD);
}

TEST_F(Pkcs11ModuleTest, ChildAfterForkMustInitialiseAgain) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  openSession();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CK_ULONG count = 0;
    CK_SESSION_HANDLE session = 0;
    int failures = p11_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED;
    failures += p11_->C_Initialize(nullptr) != CKR_OK;
    failures += p11_->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Pkcs11ModuleTest, NewSessionSeesNewCertificate) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  const CK_SESSION_HANDLE before = openSession();
  EXPECT_TRUE(findClass(before, CKO_CERTIFICATE).empty());
  enrol();
  const CK_SESSION_HANDLE after = openSession();
  const std::vector<CK_OBJECT_HANDLE> keys = findClass(after, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 1u);
  // The certificate, its private and public key share CKA_ID.
  const Bytes id = attribute(after, keys[0], CKA_ID);
  EXPECT_EQ(id.size(), 20u);
  EXPECT_EQ(find(after, {{CKA_ID, const_cast<unsigned char*>(id.data()), id.size()}}).size(), 3u);
}

// Every attribute of every object, and the private key's sensitive ones
// refused; none holds the private key's bytes.
TEST_F(Pkcs11ModuleTest, NoAttributeRevealsThePrivateKey) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  enrol();
  const std::vector<std::string> containers = linesOf(runHost({"keys", "list"}).out);
  ASSERT_EQ(containers.size(), 1u);
  platform::ContainerKey stored;
  ASSERT_EQ(platform::readContainerKey(PROV_RSA_FULL, fieldsOf(containers[0])[0], AT_KEYEXCHANGE, stored),
            ERROR_SUCCESS);
  const unsigned char* cursor = stored.privateKey.data();
  platform::UniquePkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(stored.privateKey.size())));
  ASSERT_TRUE(key);
  std::vector<Bytes> secrets = {stored.privateKey};
  for (const char* name : {OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                           OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                           OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
    BIGNUM* number = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), name, &number), 1);
    platform::UniqueBignum owned(number);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    secrets.push_back(Bytes(bytes.begin(), bytes.begin() + 16));  // a prefix is enough to be found
  }

  const CK_SESSION_HANDLE session = openSession();
  const std::vector<CK_OBJECT_HANDLE> keys = findClass(session, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 1u);
  for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                 CKA_COEFFICIENT, CKA_VALUE}) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    EXPECT_EQ(p11_->C_GetAttributeValue(session, keys[0], &query, 1), CKR_ATTRIBUTE_SENSITIVE) << type;
    EXPECT_EQ(query.ulValueLen, CK_UNAVAILABLE_INFORMATION);
  }
  std::size_t values = 0;
  for (CK_OBJECT_HANDLE object : find(session, {})) {
    for (CK_ATTRIBUTE_TYPE type = 0; type < 0x1400; ++type) {
      const Bytes value = attribute(session, object, type);
      values += !value.empty();
      for (const Bytes& secret : secrets)
        EXPECT_EQ(std::search(value.begin(), value.end(), secret.begin(), secret.end()), value.end())
            << "object " << object << " attribute " << type;
    }
  }
  EXPECT_GT(values, 50u);
}

TEST_F(Pkcs11ModuleTest, EightThreadsSignAtOnce) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  enrol();
  const CK_SESSION_HANDLE first = openSession();
  const std::vector<CK_OBJECT_HANDLE> keys = findClass(first, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 1u);
  const Bytes publicKey = attribute(first, keys[0], CKA_PUBLIC_KEY_INFO);
  constexpr int kThreads = 8;
  constexpr int kSignatures = 10;
  std::vector<int> verified(kThreads, 0);
  std::vector<std::thread> threads;
  for (int index = 0; index < kThreads; ++index) {
    threads.emplace_back([&, index] {
      CK_SESSION_HANDLE session = 0;
      if (p11_->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) return;
      CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
      CK_MECHANISM mechanisms[] = {{CKM_SHA256_RSA_PKCS, nullptr, 0}, {CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}};
      for (int round = 0; round < kSignatures; ++round) {
        const std::string data = "thread " + std::to_string(index) + " round " + std::to_string(round);
        Bytes signature(512);
        CK_ULONG length = signature.size();
        CK_MECHANISM& mechanism = mechanisms[round % 2];
        if (p11_->C_SignInit(session, &mechanism, keys[0]) != CKR_OK ||
            p11_->C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data())), data.size(),
                         signature.data(), &length) != CKR_OK)
          continue;
        signature.resize(length);
        if (mechanism.mechanism == CKM_SHA256_RSA_PKCS && verifyWithOpenssl(publicKey, EVP_sha256(), data, signature))
          ++verified[index];
        if (mechanism.mechanism == CKM_SHA256_RSA_PKCS_PSS && length == 128) ++verified[index];
      }
      p11_->C_CloseSession(session);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int index = 0; index < kThreads; ++index) EXPECT_EQ(verified[index], kSignatures) << "thread " << index;
}

}  // namespace
}  // namespace testing_support
