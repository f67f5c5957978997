// The PKCS#11 module loaded as applications load it: return codes for
// misuse, fork, what a new session sees, attributes that must not reveal the
// key, and many threads signing at once.
#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <tuple>

#include "pkcs11/cryptoki.h"
#include "platform/key_container.h"
#include "platform/key_storage.h"
#include "platform/openssl_handles.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"

namespace testing_support {
namespace {

using Bytes = std::vector<unsigned char>;

// Whether OpenSSL verifies a signature of `data` made through the module:
// ECDSA's r and s side by side are put in the DER that OpenSSL reads.
bool verifies(const Bytes& publicKeyInfo, const EVP_MD* digest, const Bytes& data, const Bytes& signature,
              CK_KEY_TYPE keyType) {
  Bytes der = signature;
  if (keyType == CKK_EC) {
    const int half = static_cast<int>(signature.size() / 2);
    platform::UniqueEcdsaSig value(ECDSA_SIG_new());
    if (!value || ECDSA_SIG_set0(value.get(), BN_bin2bn(signature.data(), half, nullptr),
                                 BN_bin2bn(signature.data() + half, half, nullptr)) != 1)
      return false;
    unsigned char* encoded = nullptr;
    const int length = i2d_ECDSA_SIG(value.get(), &encoded);
    platform::UniqueOpensslBytes owned(encoded);
    if (length <= 0) return false;
    der.assign(encoded, encoded + length);
  }
  return verifyWithOpenssl(publicKeyInfo, digest, std::string(data.begin(), data.end()), der);
}

Bytes digestOf(const EVP_MD* digest, const Bytes& data) {
  Bytes value(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), value.data(), &length, digest, nullptr), 1);
  value.resize(length);
  return value;
}

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

  // A certificate from the test authority installed with setcert: for a
  // 1024-bit key of genreq (CN "Ana Ruiz"), or for a key of `request --key
  // KEY` (CN KEY), protected by `password` when one is given.
  void enrol(const std::string& key = "", const std::string& password = "") {
    std::vector<std::string> options = {"--quiet"};
    if (!password.empty()) {
      writeText(path("password"), password + "\n");
      options.insert(options.end(), {"--password-file", path("password")});
    }
    std::string request;
    if (key.empty()) {
      request = genreq(options);
    } else {
      options.insert(options.end(), {"request", "--subject", "CN=" + key, "--key", key, "--out", "-"});
      const HostRun made = runHost(options);
      ASSERT_EQ(made.status, 0) << made.err;
      request = made.out;
    }
    const std::string p7b = issue(request, "--der", "user.p7b");
    ASSERT_EQ(runHost({"--quiet", "--trust-new-roots", "setcert", p7b}).status, 0);
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

  // The private key labelled `label` (its certificate's CN).
  CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE session, const std::string& label) {
    CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
    const std::vector<CK_OBJECT_HANDLE> keys =
        find(session, {{CKA_CLASS, &objectClass, sizeof objectClass},
                       {CKA_LABEL, const_cast<char*>(label.data()), label.size()}});
    EXPECT_EQ(keys.size(), 1u) << label;
    return keys.empty() ? CK_INVALID_HANDLE : keys[0];
  }

  // C_SignInit and C_Sign with a length query first; the signature, or the
  // first result that is not CKR_OK.
  CK_RV sign(CK_SESSION_HANDLE session, CK_MECHANISM mechanism, CK_OBJECT_HANDLE key, Bytes data, Bytes& signature) {
    CK_ULONG length = 0;
    CK_RV result = p11_->C_SignInit(session, &mechanism, key);
    if (result == CKR_OK) result = p11_->C_Sign(session, data.data(), data.size(), nullptr, &length);
    signature.resize(length);
    if (result == CKR_OK) result = p11_->C_Sign(session, data.data(), data.size(), signature.data(), &length);
    signature.resize(result == CKR_OK ? length : 0);
    return result;
  }

  Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    if (p11_->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return {};
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
    return value;
  }

  CK_KEY_TYPE keyTypeOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_KEY_TYPE keyType = CK_UNAVAILABLE_INFORMATION;
    const Bytes value = attribute(session, key, CKA_KEY_TYPE);
    if (value.size() == sizeof keyType) std::memcpy(&keyType, value.data(), sizeof keyType);
    return keyType;
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

// Every attribute of every object, and the private keys' sensitive ones
// refused; none holds an RSA or EC private key's bytes.
TEST_F(Pkcs11ModuleTest, NoAttributeRevealsThePrivateKey) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  enrol();
  enrol("ec:p256");
  const std::vector<std::string> containers = linesOf(runHost({"keys", "list"}).out);
  ASSERT_EQ(containers.size(), 2u);
  std::vector<Bytes> secrets;
  for (const std::string& line : containers) {
    const bool ec = fieldsOf(line)[1] == platform::kKeyStorageProviderName;
    platform::ContainerKey stored;
    ASSERT_EQ(platform::readContainerKey(ec ? PROV_KEY_STORAGE : PROV_RSA_FULL, fieldsOf(line)[0],
                                         ec ? AT_SIGNATURE : AT_KEYEXCHANGE, stored),
              ERROR_SUCCESS);
    const unsigned char* cursor = stored.privateKey.data();
    platform::UniquePkey key(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(stored.privateKey.size())));
    ASSERT_TRUE(key) << line;
    secrets.push_back(stored.privateKey);
    const std::vector<const char*> numbers =
        ec ? std::vector<const char*>{OSSL_PKEY_PARAM_PRIV_KEY}
           : std::vector<const char*>{OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                                      OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    for (const char* name : numbers) {
      BIGNUM* number = nullptr;
      ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), name, &number), 1) << name;
      platform::UniqueBignum owned(number);
      Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
      BN_bn2bin(number, bytes.data());
      secrets.push_back(Bytes(bytes.begin(), bytes.begin() + 16));  // a prefix is enough to be found
    }
  }

  const CK_SESSION_HANDLE session = openSession();
  const std::vector<CK_OBJECT_HANDLE> keys = findClass(session, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  for (CK_OBJECT_HANDLE key : keys) {
    EXPECT_EQ(attribute(session, key, CKA_SENSITIVE), Bytes{CK_TRUE});
    EXPECT_EQ(attribute(session, key, CKA_EXTRACTABLE), Bytes{CK_FALSE});
    for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                   CKA_COEFFICIENT, CKA_VALUE}) {
      CK_ATTRIBUTE query{type, nullptr, 0};
      EXPECT_EQ(p11_->C_GetAttributeValue(session, key, &query, 1), CKR_ATTRIBUTE_SENSITIVE) << type;
      EXPECT_EQ(query.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    }
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

// Each key signs with the mechanisms of its type, as long as the modulus or
// as r and s on its curve, and OpenSSL verifies the result with the
// certificate's public key; the other type's mechanisms are refused.
TEST_F(Pkcs11ModuleTest, SignsWithTheMechanismsOfItsKeyType) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  enrol();
  enrol("ec:p256");
  enrol("ec:p384");
  struct Case {
    const char* label;
    CK_MECHANISM_TYPE mechanism;
    const EVP_MD* (*digest)();
    bool callerHashes;  // the mechanism signs a hash the caller made
    CK_RV expected;
    CK_ULONG length;
  };
  const Case cases[] = {
      {"ec:p256", CKM_ECDSA_SHA256, EVP_sha256, false, CKR_OK, 64},
      {"ec:p256", CKM_ECDSA_SHA384, EVP_sha384, false, CKR_OK, 64},
      {"ec:p256", CKM_ECDSA, EVP_sha256, true, CKR_OK, 64},
      {"ec:p256", CKM_ECDSA, EVP_sha512, true, CKR_OK, 64},  // the leftmost 256 bits are signed
      {"ec:p384", CKM_ECDSA_SHA384, EVP_sha384, false, CKR_OK, 96},
      {"ec:p384", CKM_ECDSA_SHA256, EVP_sha256, false, CKR_OK, 96},
      {"ec:p384", CKM_ECDSA, EVP_sha384, true, CKR_OK, 96},
      {"ec:p384", CKM_SHA256_RSA_PKCS, EVP_sha256, false, CKR_KEY_TYPE_INCONSISTENT, 0},
      {"Ana Ruiz", CKM_SHA384_RSA_PKCS, EVP_sha384, false, CKR_OK, 128},
      {"Ana Ruiz", CKM_ECDSA_SHA256, EVP_sha256, false, CKR_KEY_TYPE_INCONSISTENT, 0},
      {"Ana Ruiz", CKM_ECDSA, EVP_sha256, true, CKR_KEY_TYPE_INCONSISTENT, 0},
  };
  const CK_SESSION_HANDLE session = openSession();
  const Bytes data = {'s', 'i', 'g', 'n', 'e', 'd'};
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.label) + " mechanism " + std::to_string(row.mechanism));
    const CK_OBJECT_HANDLE key = privateKey(session, row.label);
    Bytes signature;
    ASSERT_EQ(sign(session, {row.mechanism, nullptr, 0}, key, row.callerHashes ? digestOf(row.digest(), data) : data,
                   signature),
              row.expected);
    if (row.expected != CKR_OK) continue;
    EXPECT_EQ(signature.size(), row.length);
    EXPECT_TRUE(verifies(attribute(session, key, CKA_PUBLIC_KEY_INFO), row.digest(), data, signature,
                         keyTypeOf(session, key)));
  }
}

// An EC key's curve as its OID and its point as the certificate has it, in
// an OCTET STRING; the mechanisms' key sizes are the curves' sizes.
TEST_F(Pkcs11ModuleTest, EcKeysShowTheirCurveAndPoint) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  const std::pair<const char*, int> cases[] = {{"ec:p256", NID_X9_62_prime256v1}, {"ec:p384", NID_secp384r1}};
  for (const auto& [key, curve] : cases) enrol(key);
  const CK_SESSION_HANDLE session = openSession();
  for (const auto& [label, curve] : cases) {
    const CK_OBJECT_HANDLE key = privateKey(session, label);
    EXPECT_EQ(keyTypeOf(session, key), CKK_EC) << label;
    unsigned char oid[16];
    unsigned char* cursor = oid;
    const int oidLength = i2d_ASN1_OBJECT(OBJ_nid2obj(curve), &cursor);
    EXPECT_EQ(attribute(session, key, CKA_EC_PARAMS), Bytes(oid, oid + oidLength)) << label;

    const Bytes publicKeyInfo = attribute(session, key, CKA_PUBLIC_KEY_INFO);
    const unsigned char* infoCursor = publicKeyInfo.data();
    platform::UniquePkey certified(d2i_PUBKEY(nullptr, &infoCursor, static_cast<long>(publicKeyInfo.size())));
    ASSERT_TRUE(certified);
    unsigned char* point = nullptr;
    const std::size_t pointLength = EVP_PKEY_get1_encoded_public_key(certified.get(), &point);
    platform::UniqueOpensslBytes ownedPoint(point);
    Bytes wrapped = {0x04, static_cast<unsigned char>(pointLength)};  // OCTET STRING, short length
    wrapped.insert(wrapped.end(), point, point + pointLength);
    EXPECT_EQ(attribute(session, key, CKA_EC_POINT), wrapped) << label;
  }
  CK_MECHANISM_INFO info{};
  ASSERT_EQ(p11_->C_GetMechanismInfo(kSlot, CKM_ECDSA_SHA384, &info), CKR_OK);
  EXPECT_EQ(std::tuple(info.ulMinKeySize, info.ulMaxKeySize, info.flags & (CKF_SIGN | CKF_EC_NAMEDCURVE)),
            std::tuple(256ul, 384ul, CKF_SIGN | CKF_EC_NAMEDCURVE));
}

// Password-protected keys of both types stay hidden and unusable until the
// login with their password.
TEST_F(Pkcs11ModuleTest, ProtectedKeysSignOnlyAfterLogin) {
  ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
  enrol("", "key secret");
  enrol("ec:p384", "key secret");
  const CK_SESSION_HANDLE session = openSession();
  EXPECT_TRUE(findClass(session, CKO_PRIVATE_KEY).empty());
  std::string pin = "wrong";
  EXPECT_EQ(p11_->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()),
            CKR_PIN_INCORRECT);
  pin = "key secret";
  ASSERT_EQ(p11_->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), CKR_OK);
  const Bytes data = {'l', 'o', 'g', 'i', 'n'};
  for (const auto& [label, mechanism, keyType] :
       {std::tuple{"Ana Ruiz", CKM_SHA256_RSA_PKCS, CKK_RSA}, std::tuple{"ec:p384", CKM_ECDSA_SHA256, CKK_EC}}) {
    const CK_OBJECT_HANDLE key = privateKey(session, label);
    Bytes signature;
    ASSERT_EQ(sign(session, {mechanism, nullptr, 0}, key, data, signature), CKR_OK) << label;
    EXPECT_TRUE(verifies(attribute(session, key, CKA_PUBLIC_KEY_INFO), EVP_sha256(), data, signature, keyType))
        << label;
  }
}

// A pin-file among the module's parameters (as NSS passes them) logs every
// new session in, when it belongs to the user alone and holds the password.
TEST_F(Pkcs11ModuleTest, PinFileLogsInEveryNewSession) {
  enrol("ec:p256", "key secret");
  writeText(path("pin"), "key secret\n");
  writeText(path("wrong-pin"), "not it\n");
  writeText(path("shared-pin"), "key secret\n");
  ASSERT_EQ(chmod(path("pin").c_str(), 0600) | chmod(path("wrong-pin").c_str(), 0600) |
                chmod(path("shared-pin").c_str(), 0640),
            0);
  const struct {
    std::string parameters;
    CK_RV initialised;
    bool loggedIn;
  } cases[] = {
      {"pin-file=" + path("pin"), CKR_OK, true},
      {"  pin-file=" + path("pin") + "\n", CKR_OK, true},
      {"pin-file=" + path("wrong-pin"), CKR_OK, false},
      {"pin-file=" + path("shared-pin"), CKR_ARGUMENTS_BAD, false},
      {"pin-file=" + path("missing"), CKR_ARGUMENTS_BAD, false},
      {"pin-file=" + home_.path(), CKR_ARGUMENTS_BAD, false},
      {"verbose=1", CKR_ARGUMENTS_BAD, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.parameters);
    CK_C_INITIALIZE_ARGS args{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK,
                              const_cast<char*>(row.parameters.c_str())};
    ASSERT_EQ(p11_->C_Initialize(&args), row.initialised);
    if (row.initialised != CKR_OK) continue;
    const CK_SESSION_HANDLE session = openSession();
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11_->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, row.loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(findClass(session, CKO_PRIVATE_KEY).size(), row.loggedIn ? 1u : 0u);
    if (row.loggedIn) {
      Bytes signature;
      EXPECT_EQ(sign(session, {CKM_ECDSA_SHA256, nullptr, 0}, privateKey(session, "ec:p256"), {'p', 'i', 'n'},
                     signature),
                CKR_OK);
    }
    ASSERT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
  }
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
