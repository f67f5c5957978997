// The current user's system stores, kept in the user hive: names, order,
// add dispositions, the key-provider property, persistence across handles
// and processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/wincrypt.h"
#include "testlib/child_process.h"
#include "testlib/test_certs.h"
#include "testlib/test_home.h"

namespace {

using testing_support::Bytes;
using testing_support::TestCertificate;
using testing_support::TestKey;

constexpr const char* kChildVariable = "TARVENHOLM_CERTSTORE_CHILD";
constexpr const char* kStoresKey = "Software\\Tarvenholm\\SystemCertificates\\";

UniqueCertStore openUserStore(const char16_t* name, DWORD flags = 0) {
  return UniqueCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER | flags, name));
}

UniqueCertContext contextOf(const TestCertificate& certificate) {
  return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.der().data(),
                                                        static_cast<DWORD>(certificate.der().size())));
}

std::string thumbprintOf(PCCERT_CONTEXT context) {
  Bytes hash(20);
  DWORD length = 20;
  EXPECT_TRUE(CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash.data(), &length));
  return testing_support::hexText(hash);
}

// The thumbprints of a store, in its order.
std::vector<std::string> listed(HCERTSTORE store) {
  std::vector<std::string> thumbprints;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) thumbprints.push_back(thumbprintOf(context));
  return thumbprints;
}
std::vector<std::string> listed(const char16_t* name) { return listed(openUserStore(name).get()); }

struct KeyBinding {
  std::u16string container;
  std::u16string provider;
  DWORD provType = 0;
  DWORD flags = 0;
  DWORD keySpec = 0;
  bool operator==(const KeyBinding&) const = default;
};

BOOL bind(PCCERT_CONTEXT context, const KeyBinding& binding) {
  std::u16string container = binding.container;
  std::u16string provider = binding.provider;
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container.data();
  info.pwszProvName = provider.data();
  info.dwProvType = binding.provType;
  info.dwFlags = binding.flags;
  info.dwKeySpec = binding.keySpec;
  return CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
}

std::optional<KeyBinding> bindingOf(PCCERT_CONTEXT context) {
  DWORD length = 0;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length)) return std::nullopt;
  std::vector<BYTE> buffer(length);
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &length))
    return std::nullopt;
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
  return KeyBinding{info->pwszContainerName, info->pwszProvName, info->dwProvType, info->dwFlags, info->dwKeySpec};
}

const KeyBinding kBinding{u"6b0d3c1e-2f4a-4b8c-9d7e-0a1b2c3d4e5f", u"Microsoft Enhanced Cryptographic Provider v1.0",
                          PROV_RSA_FULL, 0, AT_KEYEXCHANGE};

// Certificates that differ only in their serial number: distinct thumbprints.
class SystemStoreTest : public testing_support::HomeTest {
 protected:
  static void SetUpTestSuite() {
    key_ = new TestKey(TestKey::ed25519());
    authority_ = new TestCertificate(TestCertificate::selfSigned(
        {"/CN=Store Test Root", false, {testing_support::basicConstraints(true, true)}, 1, 30}, *key_));
    for (long serial = 100; serial < 106; ++serial)
      certificates_.push_back(authority_->issue({"/CN=Store Test User", false, {}, serial, 30}, *key_));
  }
  static void TearDownTestSuite() {
    certificates_.clear();
    delete authority_;
    delete key_;
  }

  static const TestCertificate& certificate(std::size_t i) { return certificates_.at(i); }
  static std::string thumbprint(std::size_t i) { return testing_support::hexText(certificate(i).thumbprint()); }

  static void add(HCERTSTORE store, std::size_t i, DWORD disposition = CERT_STORE_ADD_USE_EXISTING) {
    ASSERT_TRUE(CertAddCertificateContextToStore(store, contextOf(certificate(i)).get(), disposition, nullptr))
        << std::hex << GetLastError();
  }

  static inline TestKey* key_ = nullptr;
  static inline TestCertificate* authority_ = nullptr;
  static inline std::vector<TestCertificate> certificates_;
};

TEST_F(SystemStoreTest, KeepsCertificatesInTheUserHiveByThumbprint) {
  {
    UniqueCertStore my = openUserStore(u"MY");
    ASSERT_NE(my, nullptr) << std::hex << GetLastError();
    add(my.get(), 0);
  }
  const std::string path = std::string(kStoresKey) + "MY\\Certificates\\" + thumbprint(0);
  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &raw), ERROR_SUCCESS);
  UniqueHkey entry(raw);
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(entry.get(), "Blob", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  Bytes blob(size);
  ASSERT_EQ(RegQueryValueExA(entry.get(), "Blob", nullptr, &type, blob.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(blob, certificate(0).der());
}

TEST_F(SystemStoreTest, StoreNamesCompareCaseInsensitivelyAndStoresAreSeparate) {
  {
    UniqueCertStore my = openUserStore(u"MY");
    add(my.get(), 0);
    UniqueCertStore ca = openUserStore(u"CA");
    add(ca.get(), 1);
    UniqueCertStore own = openUserStore(u"Tarvenholm Test Store");
    ASSERT_NE(own, nullptr);
    add(own.get(), 2);
  }
  EXPECT_EQ(listed(u"my"), std::vector<std::string>{thumbprint(0)});
  EXPECT_EQ(listed(u"Ca"), std::vector<std::string>{thumbprint(1)});
  EXPECT_EQ(listed(u"TARVENHOLM TEST STORE"), std::vector<std::string>{thumbprint(2)});
  EXPECT_TRUE(listed(u"ROOT").empty());
}

TEST_F(SystemStoreTest, RefusesBadNamesLocationsAndMissingStores) {
  for (const char16_t* name : {u"", u"MY\\Certificates", u"M\u00dd"}) {
    EXPECT_EQ(openUserStore(name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, 0x00020000 /* local machine */, u"MY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  EXPECT_EQ(openUserStore(u"CA", CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Read-only, a store never written to is empty and stays unwritten.
  UniqueCertStore readOnly = openUserStore(u"CA", CERT_STORE_READONLY_FLAG);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_TRUE(listed(readOnly.get()).empty());
  EXPECT_FALSE(CertAddCertificateContextToStore(readOnly.get(), contextOf(certificate(0)).get(),
                                                CERT_STORE_ADD_USE_EXISTING, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(openUserStore(u"CA", CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
}

TEST_F(SystemStoreTest, EnumeratesInInsertionOrderAcrossReopens) {
  const std::vector<std::size_t> order = {3, 0, 5, 1};
  {
    UniqueCertStore ca = openUserStore(u"CA");
    for (std::size_t i : order) add(ca.get(), i);
  }
  std::vector<std::string> expected;
  for (std::size_t i : order) expected.push_back(thumbprint(i));
  EXPECT_EQ(listed(u"CA"), expected);

  UniqueCertStore ca = openUserStore(u"CA");
  // Replacing keeps the place; deleting removes it; adding again goes last.
  add(ca.get(), 0, CERT_STORE_ADD_REPLACE_EXISTING);
  EXPECT_EQ(listed(ca.get()), expected);
  Bytes hash = certificate(5).thumbprint();
  CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
  PCCERT_CONTEXT found = CertFindCertificateInStore(ca.get(), 0, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  ASSERT_NE(found, nullptr);
  ASSERT_TRUE(CertDeleteCertificateFromStore(found));
  add(ca.get(), 5);
  add(ca.get(), 2);
  expected = {thumbprint(3), thumbprint(0), thumbprint(1), thumbprint(5), thumbprint(2)};
  EXPECT_EQ(listed(ca.get()), expected);
  EXPECT_EQ(listed(u"CA"), expected);
}

TEST_F(SystemStoreTest, UseExistingKeepsTheStoredCopyAndItsProperty) {
  UniqueCertStore my = openUserStore(u"MY");
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(0)).get(), CERT_STORE_ADD_NEW, &stored));
  ASSERT_TRUE(bind(stored, kBinding));

  PCCERT_CONTEXT again = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(0)).get(), CERT_STORE_ADD_USE_EXISTING,
                                               &again));
  EXPECT_EQ(again, stored);  // the store's own copy, handed back
  CertFreeCertificateContext(again);
  CertFreeCertificateContext(stored);
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(0)).get(), CERT_STORE_ADD_USE_EXISTING,
                                               &again));
  EXPECT_EQ(bindingOf(again), kBinding);
  CertFreeCertificateContext(again);

  UniqueCertStore reopened = openUserStore(u"MY");
  EXPECT_EQ(listed(reopened.get()), std::vector<std::string>{thumbprint(0)});
  UniqueCertContext first(CertEnumCertificatesInStore(reopened.get(), nullptr));
  EXPECT_EQ(bindingOf(first.get()), kBinding);

  EXPECT_FALSE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(0)).get(), CERT_STORE_ADD_NEW, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_EXISTS));
  EXPECT_EQ(again, nullptr);
}

TEST_F(SystemStoreTest, ReplaceExistingDropsTheOldPropertyUnlessTheNewCopyBringsOne) {
  UniqueCertStore my = openUserStore(u"MY");
  PCCERT_CONTEXT old = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(1)).get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &old));
  ASSERT_TRUE(bind(old, kBinding));

  PCCERT_CONTEXT replacement = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(1)).get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &replacement));
  EXPECT_NE(replacement, old);
  EXPECT_EQ(replacement->hCertStore, my.get());
  EXPECT_EQ(bindingOf(replacement), std::nullopt);
  // The replaced copy lives on for its holder; changing it no longer touches the store.
  EXPECT_EQ(bindingOf(old), kBinding);
  KeyBinding other = kBinding;
  other.container = u"detached";
  EXPECT_TRUE(bind(old, other));
  CertFreeCertificateContext(old);
  EXPECT_EQ(bindingOf(UniqueCertContext(CertEnumCertificatesInStore(openUserStore(u"MY").get(), nullptr)).get()),
            std::nullopt);

  // A copy that carries the property brings it into the store.
  UniqueCertContext carrier = contextOf(certificate(1));
  ASSERT_TRUE(bind(carrier.get(), kBinding));
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), carrier.get(), CERT_STORE_ADD_ALWAYS, nullptr));
  CertFreeCertificateContext(replacement);
  UniqueCertStore reopened = openUserStore(u"MY");
  EXPECT_EQ(listed(reopened.get()), std::vector<std::string>{thumbprint(1)});
  EXPECT_EQ(bindingOf(UniqueCertContext(CertEnumCertificatesInStore(reopened.get(), nullptr)).get()), kBinding);
}

TEST_F(SystemStoreTest, KeyProviderPropertyPersistsAndIsDeletedWithNullData) {
  {
    UniqueCertStore my = openUserStore(u"MY");
    PCCERT_CONTEXT stored = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(2)).get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &stored));
    ASSERT_TRUE(bind(stored, kBinding));
    CertFreeCertificateContext(stored);
  }
  UniqueCertStore my = openUserStore(u"MY");
  UniqueCertContext stored(CertEnumCertificatesInStore(my.get(), nullptr));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(bindingOf(stored.get()), kBinding);
  ASSERT_TRUE(CertSetCertificateContextProperty(stored.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_EQ(bindingOf(UniqueCertContext(CertEnumCertificatesInStore(openUserStore(u"MY").get(), nullptr)).get()),
            std::nullopt);
}

TEST_F(SystemStoreTest, EntriesThatAreNotCertificatesAreSkippedAndWrittenOver) {
  {
    UniqueCertStore ca = openUserStore(u"CA");
    add(ca.get(), 0);
  }
  // A damaged entry under the thumbprint of certificate 1, another certificate
  // under the thumbprint of certificate 3, and an entry not named by a thumbprint.
  const std::string certificates = std::string(kStoresKey) + "CA\\Certificates\\";
  const Bytes garbage{0x30, 0x03, 0x02, 0x01};
  for (const auto& [name, blob] : {std::pair{thumbprint(1), garbage}, std::pair{thumbprint(3), certificate(2).der()},
                                   std::pair{std::string("not a thumbprint"), garbage}}) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (certificates + name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &raw, nullptr),
              ERROR_SUCCESS);
    UniqueHkey entry(raw);
    ASSERT_EQ(RegSetValueExA(entry.get(), "Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(listed(u"CA"), std::vector<std::string>{thumbprint(0)});
  {
    UniqueCertStore ca = openUserStore(u"CA");
    add(ca.get(), 1, CERT_STORE_ADD_NEW);
    add(ca.get(), 3, CERT_STORE_ADD_NEW);
  }
  EXPECT_EQ(listed(u"CA"), (std::vector<std::string>{thumbprint(0), thumbprint(1), thumbprint(3)}));
}

TEST_F(SystemStoreTest, ContextsOutliveTheirStoresHandle) {
  UniqueCertStore my = openUserStore(u"MY");
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(3)).get(), CERT_STORE_ADD_NEW, &stored));
  EXPECT_FALSE(CertCloseStore(my.release(), CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
  // Still the store's copy: a property set now persists.
  ASSERT_TRUE(bind(stored, kBinding));
  EXPECT_EQ(Bytes(stored->pbCertEncoded, stored->pbCertEncoded + stored->cbCertEncoded), certificate(3).der());
  CertFreeCertificateContext(stored);
  EXPECT_EQ(bindingOf(UniqueCertContext(CertEnumCertificatesInStore(openUserStore(u"MY").get(), nullptr)).get()),
            kBinding);
}

TEST_F(SystemStoreTest, FaultSwitchFailsStoreCallsWithoutChangingTheStore) {
  platform::faultArm("CertOpenStore", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(openUserStore(u"MY"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  UniqueCertStore my = openUserStore(u"MY");
  platform::faultArm("CertAddCertificateContextToStore", 1, ERROR_WRITE_FAULT);
  PCCERT_CONTEXT stored = nullptr;
  EXPECT_FALSE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(4)).get(),
                                                CERT_STORE_ADD_REPLACE_EXISTING, &stored));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_TRUE(listed(my.get()).empty());

  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(4)).get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, &stored));
  platform::faultArm("CertSetCertificateContextProperty", 1, NTE_FAIL);
  EXPECT_FALSE(bind(stored, kBinding));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  CertFreeCertificateContext(stored);
  EXPECT_EQ(bindingOf(UniqueCertContext(CertEnumCertificatesInStore(openUserStore(u"MY").get(), nullptr)).get()),
            std::nullopt);
}

// The thumbprints of a walk of MY, stopped after `limit` so that a walk that
// does not end fails instead of hanging.
std::vector<std::string> boundedWalk(HCERTSTORE store, std::size_t limit,
                                     const std::function<void(std::size_t)>& between = {}) {
  std::vector<std::string> thumbprints;
  PCCERT_CONTEXT context = nullptr;
  while (thumbprints.size() < limit && (context = CertEnumCertificatesInStore(store, context)) != nullptr) {
    thumbprints.push_back(thumbprintOf(context));
    if (between) between(thumbprints.size());
  }
  CertFreeCertificateContext(context);
  return thumbprints;
}

TEST_F(SystemStoreTest, WalkGivesEachEntryOnceAndEndsWhenReadsFailOrEntriesMove) {
  {
    UniqueCertStore my = openUserStore(u"MY");
    for (std::size_t i = 0; i < 3; ++i) add(my.get(), i);
  }
  const std::vector<std::string> all{thumbprint(0), thumbprint(1), thumbprint(2)};
  // Every read of a value failing once, in turn: an entry may be missed, never repeated.
  for (unsigned nth = 1; nth <= 16; ++nth) {
    platform::faultArm("RegQueryValueExA", nth, ERROR_REGISTRY_IO_FAILED);
    const std::vector<std::string> walked = boundedWalk(openUserStore(u"MY", CERT_STORE_READONLY_FLAG).get(), 10);
    platform::faultReset();
    // Some of the store's entries (one whose order was not read comes last), each once.
    std::vector<std::string> seen = walked;
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> sortedAll = all;
    std::sort(sortedAll.begin(), sortedAll.end());
    EXPECT_TRUE(std::adjacent_find(seen.begin(), seen.end()) == seen.end() &&
                std::includes(sortedAll.begin(), sortedAll.end(), seen.begin(), seen.end()))
        << "read " << nth << " failing: " << testing::PrintToString(walked);
  }
  // Another handle takes the second entry out and puts it back (last in the
  // order now) and adds a new one while the walk is at the first.
  UniqueCertStore walking = openUserStore(u"MY");
  const std::vector<std::string> walked = boundedWalk(walking.get(), 10, [](std::size_t seen) {
    if (seen != 1) return;
    UniqueCertStore other = openUserStore(u"MY");
    UniqueCertContext moved(CertEnumCertificatesInStore(other.get(), nullptr));
    moved.reset(CertEnumCertificatesInStore(other.get(), moved.release()));
    ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(moved.get())));
    add(other.get(), 1);
    add(other.get(), 3);
  });
  EXPECT_EQ(walked, all);
}

TEST_F(SystemStoreTest, RootAsksBeforeANewCertificateAndNeverTakesABrokenSelfSignature) {
  UniqueCertStore root = openUserStore(u"ROOT");
  const UniqueCertContext authority = contextOf(*authority_);
  // Declined: not added, and asked again next time.
  boxes_.trustRoots = false;
  EXPECT_FALSE(CertAddCertificateContextToStore(root.get(), authority.get(), CERT_STORE_ADD_USE_EXISTING, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
  EXPECT_TRUE(listed(u"ROOT").empty());
  // Accepted once: a root already there is not asked about again.
  boxes_.trustRoots = true;
  for (int time = 0; time < 2; ++time)
    EXPECT_TRUE(CertAddCertificateContextToStore(root.get(), authority.get(), CERT_STORE_ADD_USE_EXISTING, nullptr));
  ASSERT_EQ(boxes_.rootsAsked().size(), 2u);
  const platform::RootCertificateQuestion& asked = boxes_.rootsAsked()[1];
  EXPECT_EQ(asked.subject, "CN=Store Test Root");
  EXPECT_EQ(asked.issuer, "CN=Store Test Root");
  EXPECT_EQ(asked.sha1, testing_support::hexText(authority_->thumbprint()));
  EXPECT_EQ(asked.sha256.size(), 64u);
  EXPECT_EQ(asked.notAfter.size(), std::string("2026-12-09 05:00:00 UTC").size());
  EXPECT_LT(asked.notBefore, asked.notAfter);
  // Never asked, never added: a certificate that is not self-signed, and a
  // self-signed one whose signature was changed.
  testing_support::Bytes broken = authority_->der();
  broken[broken.size() - 3] ^= 0x01;
  const UniqueCertContext brokenRoot(
      CertCreateCertificateContext(X509_ASN_ENCODING, broken.data(), static_cast<DWORD>(broken.size())));
  ASSERT_NE(brokenRoot, nullptr);
  const UniqueCertContext issued = contextOf(certificate(1));
  for (PCCERT_CONTEXT refused : {issued.get(), brokenRoot.get()}) {
    EXPECT_FALSE(CertAddCertificateContextToStore(root.get(), refused, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(TRUST_E_CERT_SIGNATURE));
  }
  EXPECT_EQ(boxes_.rootsAsked().size(), 2u);
  EXPECT_EQ(listed(u"ROOT"), std::vector<std::string>{testing_support::hexText(authority_->thumbprint())});
}

// ---- A second process ----

// Runs one child case of this binary as a separate process (same home) with
// `argument`, and returns the lines it reported.
std::vector<std::string> runChild(const std::string& childCase, const std::string& argument) {
  const testing_support::ChildResult result =
      testing_support::runTestInChild("SystemStoreChild." + childCase, {{kChildVariable, argument}});
  EXPECT_EQ(result.exitStatus, 0) << childCase;
  return result.reports;
}

const char* childArgument() { return std::getenv(kChildVariable); }

// Lists MY: thumbprint and container of the key-provider property.
TEST(SystemStoreChild, ListMy) {
  if (childArgument() == nullptr) GTEST_SKIP() << "runs only as the second process of another test";
  UniqueCertStore my = openUserStore(u"MY", CERT_STORE_READONLY_FLAG);
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(my.get(), context)) != nullptr) {
    std::optional<KeyBinding> binding = bindingOf(context);
    std::string container;
    if (binding)
      for (char16_t unit : binding->container) container.push_back(static_cast<char>(unit));
    testing_support::reportToParent(thumbprintOf(context) + " " + (binding ? container : "-"));
  }
}

// Adds the DER certificate in the file named by the argument to CA.
TEST(SystemStoreChild, AddToCa) {
  if (childArgument() == nullptr) GTEST_SKIP() << "runs only as the second process of another test";
  std::ifstream in(childArgument(), std::ios::binary);
  const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  ASSERT_NE(context, nullptr);
  UniqueCertStore ca = openUserStore(u"CA");
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(CertAddCertificateContextToStore(ca.get(), context.get(), CERT_STORE_ADD_USE_EXISTING, &stored));
  testing_support::reportToParent(thumbprintOf(stored));
  CertFreeCertificateContext(stored);
}

TEST_F(SystemStoreTest, AnotherProcessSeesTheStoresAndAddsToThem) {
  {
    UniqueCertStore my = openUserStore(u"MY");
    add(my.get(), 2);
    PCCERT_CONTEXT bound = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), contextOf(certificate(0)).get(),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &bound));
    ASSERT_TRUE(bind(bound, kBinding));
    CertFreeCertificateContext(bound);
  }
  EXPECT_EQ(runChild("ListMy", "list"),
            (std::vector<std::string>{thumbprint(2) + " -", thumbprint(0) + " 6b0d3c1e-2f4a-4b8c-9d7e-0a1b2c3d4e5f"}));

  UniqueCertStore ca = openUserStore(u"CA");
  add(ca.get(), 4);
  const std::string file = home_.path() + "/certificate.der";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(certificate(5).der().data()),
             static_cast<std::streamsize>(certificate(5).der().size()));
  EXPECT_EQ(runChild("AddToCa", file), std::vector<std::string>{thumbprint(5)});
  // This handle sees the other process's certificate at the next enumeration.
  EXPECT_EQ(listed(ca.get()), (std::vector<std::string>{thumbprint(4), thumbprint(5)}));
}

}  // namespace
