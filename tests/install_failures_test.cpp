// Every way installation fails: its code, its box, and how far the walk
// over the collection goes.
#include "install/install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "engine/keyrecords.h"
#include "platform/application.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/errors.h"
#include "testlib/installed.h"

namespace {

using namespace testing_support;
using tarvenholm::installCert;
using tarvenholm::linkUserCert;

// The system's text for an error number, as a box shows it.
std::string systemText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error, 0,
                                      reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result(text != nullptr ? text : "", length);
  LocalFree(text);
  return result;
}

class InstallFailure : public InstallTest {
 protected:
  void expectOneErrorBox(const std::string& text) {
    ASSERT_EQ(boxes_.boxes().size(), 1u);
    EXPECT_EQ(boxes_.boxes()[0].text, text);
    EXPECT_EQ(boxes_.boxes()[0].caption, "Tarvenholm");
    EXPECT_EQ(boxes_.boxes()[0].flags, static_cast<UINT>(MB_ICONERROR));
  }
  void expectStoresEmpty() {
    for (const char16_t* store : {u"MY", u"CA", u"ROOT"}) EXPECT_TRUE(storeDers(store).empty());
  }
  UniqueCertContext contextOf(const TestCertificate& certificate) {
    return UniqueCertContext(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.der().data(),
                                                          static_cast<DWORD>(certificate.der().size())));
  }
};

TEST_F(InstallFailure, TextTheCodecRejectsIsNotDecoded) {
  for (const char* text : {"Zg=", "Zm9v=", "====", "Zg", "-----BEGIN PKCS7-----\r\nZm9v\r\nZg=\r\n"}) {
    boxes_.clear();
    platform::faultReset();
    EXPECT_EQ(installCert(text), -9) << text;
    EXPECT_EQ(platform::faultUses("LocalAlloc"), 0u) << "a buffer was reserved for " << text;
    EXPECT_EQ(platform::faultUses("CertOpenStore"), 0u) << text;
    expectOneErrorBox("Error al abrir la cadena de certificados parametrizada");
  }
  expectStoresEmpty();
}

TEST_F(InstallFailure, BytesThatAreNotAPkcs7MessageDoNotOpen) {
  for (const std::string& text : {std::string("Zm9v"), base64Text(user_.der())}) {
    boxes_.clear();
    EXPECT_EQ(installCert(text.c_str()), -9);
    expectOneErrorBox(systemText(GetLastError()));
  }
  expectStoresEmpty();
}

TEST_F(InstallFailure, CollectionThatCannotBeOpenedShowsTheSystemsText) {
  platform::faultArm("CertOpenStore", 1, ERROR_ACCESS_DENIED);

  EXPECT_EQ(installCert(collectionText({&root_}).c_str()), -9);

  expectOneErrorBox("Access is denied.\r\n");
  expectStoresEmpty();
}

TEST_F(InstallFailure, NoMemoryForTheDecodedBytes) {
  platform::faultArm("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);

  EXPECT_EQ(installCert(collectionText({&root_}).c_str()), -6);

  EXPECT_EQ(platform::faultUses("CertOpenStore"), 0u);
  expectOneErrorBox(systemText(ERROR_NOT_ENOUGH_MEMORY));
  expectStoresEmpty();
}

TEST_F(InstallFailure, StoreThatCannotBeOpenedLeavesItsCertificateOutAndTheWalkGoesOn) {
  // Opens: the collection, then one store per certificate placed.
  platform::faultArm("CertOpenStore", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(installCert(collectionText({&root_, &issuing_}).c_str()), -8);
  EXPECT_TRUE(storeDers(u"ROOT").empty());
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  expectOneErrorBox("Access is denied.\r\n");

  boxes_.clear();
  recordKey(user_, kContainer, kProvider);
  platform::faultReset();
  platform::faultArm("CertOpenStore", 3, ERROR_ACCESS_DENIED);
  EXPECT_EQ(installCert(collectionText({&root_, &user_}).c_str()), -8);
  EXPECT_TRUE(storeDers(u"MY").empty());
  expectOneErrorBox("Access is denied.\r\n");
}

TEST_F(InstallFailure, CertificateThatCannotBeAddedIsLeftOutAndTheWalkGoesOn) {
  recordKey(user_, kContainer, kProvider);
  platform::faultArm("CertAddCertificateContextToStore", 1, ERROR_DISK_FULL);
  EXPECT_EQ(installCert(collectionText({&root_, &user_}).c_str()), -7);
  EXPECT_TRUE(storeDers(u"ROOT").empty());
  EXPECT_EQ(storeDers(u"MY"), std::vector<Bytes>{user_.der()});
  expectOneErrorBox(systemText(ERROR_DISK_FULL));

  boxes_.clear();
  platform::faultReset();
  platform::faultArm("CertAddCertificateContextToStore", 2, ERROR_DISK_FULL);
  EXPECT_EQ(installCert(collectionText({&issuing_, &user_}).c_str()), -7);
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  expectOneErrorBox(systemText(ERROR_DISK_FULL));
}

TEST_F(InstallFailure, AFailedCertificateIsNotHiddenByALaterSuccess) {
  recordKey(user_, kContainer, kProvider);
  // The authority's add fails after the user's certificate was bound...
  platform::faultArm("CertAddCertificateContextToStore", 2, ERROR_DISK_FULL);
  EXPECT_EQ(installCert(collectionText({&user_, &issuing_}).c_str()), -7);
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_TRUE(personal[0].keyProvider.has_value());
  EXPECT_TRUE(storeDers(u"CA").empty());

  // ...or before it: the later success does not make it one.
  platform::faultReset();
  platform::faultArm("CertAddCertificateContextToStore", 1, ERROR_DISK_FULL);
  EXPECT_EQ(installCert(collectionText({&issuing_, &user_}).c_str()), -7);
  EXPECT_TRUE(storeDers(u"CA").empty());
}

TEST_F(InstallFailure, PropertyThatCannotBeSetLeavesTheCopyUnbound) {
  recordKey(user_, kContainer, kProvider);
  platform::faultArm("CertSetCertificateContextProperty", 1, ERROR_WRITE_FAULT);

  EXPECT_EQ(installCert(collectionText({&user_, &root_}).c_str()), -3);

  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_FALSE(personal[0].keyProvider.has_value());
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  expectOneErrorBox(systemText(ERROR_WRITE_FAULT));

  boxes_.clear();
  platform::faultReset();
  platform::faultArm("CertSetCertificateContextProperty", 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(installCert(collectionText({&user_}).c_str()), -3);
  expectOneErrorBox(systemText(ERROR_WRITE_FAULT));
}

TEST_F(InstallFailure, KeyIdentifierThatCannotBeComputedEndsTheWalk) {
  recordKey(user_, kContainer, kProvider);
  platform::faultArm("CryptHashPublicKeyInfo", 0, NTE_FAIL);

  EXPECT_EQ(installCert(collectionText({&user_, &root_}).c_str()), -4);

  expectOneErrorBox(systemText(NTE_FAIL));
  expectStoresEmpty();
}

TEST_F(InstallFailure, CertificateWithoutConstraintsWhoseKeyCannotBeHashedIsPassedOver) {
  const TestCertificate noExtensions = issuing_.issue(specWith("/CN=No extensions", {}, 40), sharedKey(3));
  recordKey(noExtensions, kContainer, kProvider);
  platform::faultArm("CryptHashPublicKeyInfo", 0, NTE_FAIL);

  EXPECT_EQ(installCert(collectionText({&noExtensions, &root_}).c_str()), 2000);

  EXPECT_TRUE(storeDers(u"MY").empty());
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(InstallFailure, RecordWithoutContainerOrProviderEndsTheWalk) {
  const std::string record = tarvenholm::keyRecordPath(keyIdOf(user_));
  struct Case {
    const char* container;  // null: value not written
    const char* provider;
  };
  for (const Case& incomplete : {Case{nullptr, kProvider}, Case{kContainer, nullptr}, Case{"", kProvider},
                                 Case{kContainer, ""}}) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, record.c_str());
    tarvenholm::regCreateSubKey(HKEY_LOCAL_MACHINE, tarvenholm::kKeyRecordsPath, keyIdOf(user_));
    if (incomplete.container) tarvenholm::regWriteString(HKEY_LOCAL_MACHINE, record, "a", incomplete.container);
    if (incomplete.provider) tarvenholm::regWriteString(HKEY_LOCAL_MACHINE, record, "b", incomplete.provider);
    boxes_.clear();

    EXPECT_EQ(installCert(collectionText({&user_, &root_}).c_str()), -2);

    expectOneErrorBox("No es posible instalar el certificado debido a un dato faltante");
    expectStoresEmpty();
  }
}

TEST_F(InstallFailure, ProviderThatIsNotInstalledLeavesTheCertificateOutAndTheWalkGoesOn) {
  for (const char* provider : {"Microsoft Enhanced Cryptographic Provider v1.0 ", "No Such Provider",
                               "Microsoft Base DSS Cryptographic Provider"}) {
    recordKey(user_, kContainer, provider);
    boxes_.clear();

    EXPECT_EQ(installCert(collectionText({&user_, &root_}).c_str()), -28) << provider;
    EXPECT_EQ(installCert(collectionText({&root_, &user_}).c_str()), -28) << provider;

    EXPECT_TRUE(storeDers(u"MY").empty());
    EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
    ASSERT_EQ(boxes_.boxes().size(), 2u);
    for (const Box& box : boxes_.boxes()) EXPECT_EQ(box.text, "Se proporcionó un CSP inválido");
  }
}

TEST_F(InstallFailure, NamesLongerThanThePropertyHoldsAreRefusedBeforeTheStoreIsTouched) {
  const UniqueCertContext certificate = contextOf(user_);
  ASSERT_TRUE(certificate);
  const std::string tooLong(1024, 'c');

  EXPECT_EQ(linkUserCert(certificate.get(), tooLong, kProvider), -3);
  EXPECT_TRUE(storeDers(u"MY").empty());
  expectOneErrorBox("Error al instalar el certificado de usuario");

  // 1023 characters fit, counted as wide characters: two-byte letters too.
  std::string longest;
  for (int index = 0; index < 1023; ++index) longest += "\xC3\xA9";
  EXPECT_EQ(linkUserCert(certificate.get(), longest, kProvider), 2000);
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  ASSERT_TRUE(personal[0].keyProvider.has_value());
  EXPECT_EQ(personal[0].keyProvider->containerName, longest);
}

TEST_F(InstallFailure, BoxesComeInTheOrderOfTheWalkInTheChosenLanguage) {
  const TestCertificate secondUser =
      issuing_.issue(specWith("/CN=Second user", {basicConstraints(false, false)}, 50), sharedKey(3));
  recordKey(user_, kContainer, "No Such Provider");
  const std::string text = collectionText({&user_, &secondUser});

  EXPECT_EQ(installCert(text.c_str()), -1);
  EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"Se proporcionó un CSP inválido",
                                                       "No es posible instalar el certificado en este equipo"}));

  boxes_.clear();
  tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::English);
  EXPECT_EQ(installCert(text.c_str()), -1);
  EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"An invalid CSP name was supplied",
                                                       "Unable to install your certificate on this computer"}));
  EXPECT_EQ(installCert("Zg="), -9);
  EXPECT_EQ(boxes_.texts().back(), "Error while opening certificate chain");
  for (const Box& box : boxes_.boxes()) {
    EXPECT_EQ(box.caption, "Tarvenholm");
    EXPECT_EQ(box.flags, static_cast<UINT>(MB_ICONERROR));
  }
}

// Whatever the bytes, installation ends with one of its codes.
class MalformedCollection : public InstallFailure {
 protected:
  void expectHandled(const std::string& text) {
    const int result = installCert(text.c_str());
    EXPECT_TRUE(kInstallationCodes.count(result)) << result;
  }
  const std::set<int> kInstallationCodes{2000, -1, -2, -3, -4, -7, -8, -9, -28};
  std::mt19937 random_{20261208};
};

TEST_F(MalformedCollection, TruncatedMessagesDoNotOpen) {
  const Bytes bundle = bundleWithOpenssl({&root_, &issuing_, &user_}, home_.path());
  for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{10}, bundle.size() / 3, bundle.size() / 2,
                             bundle.size() - 1}) {
    EXPECT_EQ(installCert(base64Text(Bytes(bundle.begin(), bundle.begin() + length)).c_str()), -9) << length;
  }
  expectStoresEmpty();
}

TEST_F(MalformedCollection, RandomBytesDoNotOpen) {
  for (int round = 0; round < 200; ++round) {
    Bytes bytes(std::uniform_int_distribution<std::size_t>(0, 3000)(random_));
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random_());
    EXPECT_EQ(installCert(base64Text(bytes).c_str()), -9);
  }
  Bytes oversized(8u << 20);
  for (unsigned char& byte : oversized) byte = static_cast<unsigned char>(random_());
  oversized[0] = 0x30;
  EXPECT_EQ(installCert(base64Text(oversized).c_str()), -9);
  expectStoresEmpty();
}

TEST_F(MalformedCollection, DamagedMessagesEndWithAnInstallationCode) {
  recordKey(user_, kContainer, kProvider);
  const Bytes bundle = bundleWithOpenssl({&root_, &issuing_, &user_}, home_.path());
  std::uniform_int_distribution<std::size_t> position(0, bundle.size() - 1);
  for (int round = 0; round < 300; ++round) {
    Bytes damaged = bundle;
    for (int change = 0; change <= round % 4; ++change)
      damaged[position(random_)] = static_cast<unsigned char>(random_());
    expectHandled(base64Text(damaged));
  }
  // A length that claims more than the message holds.
  Bytes overlong = bundle;
  overlong.insert(overlong.end(), 4096, 0);
  overlong[1] = 0x84;
  expectHandled(base64Text(overlong));
}

}  // namespace
