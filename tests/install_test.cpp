// Which certificate of a collection goes where, and what binds the user's
// certificate to its key container.
#include "install/install.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "engine/keyrecords.h"
#include "testlib/installed.h"
#include "testlib/process_start.h"

namespace {

using namespace testing_support;
using tarvenholm::installCert;

constexpr const char* kAesProvider = "Microsoft Enhanced RSA and AES Cryptographic Provider";
constexpr const char* kOtherContainer = "6b7e1b2a-3c4d-4e5f-8a9b-0c1d2e3f4a5b";

void expectBoundTo(const StoredCertificate& stored, const std::string& container, const std::string& provider,
                   unsigned providerType) {
  ASSERT_TRUE(stored.keyProvider.has_value());
  const KeyProviderProperty& property = *stored.keyProvider;
  EXPECT_EQ(property.containerName, container);
  EXPECT_EQ(property.providerName, provider);
  EXPECT_EQ(property.providerType, providerType);
  EXPECT_EQ(property.flags, 0u);
  EXPECT_EQ(property.providerParameterCount, 0u);
  EXPECT_FALSE(property.hasProviderParameters);
  EXPECT_EQ(property.keySpec, 1u);
}

using InstallPlacement = InstallTest;

TEST_F(InstallPlacement, ChainGoesToRootCaAndMyWithTheKeyBound) {
  recordKey(user_, kContainer, kProvider);

  EXPECT_EQ(installCert(collectionText({&root_, &issuing_, &user_}).c_str()), 2000);

  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_EQ(personal[0].der, user_.der());
  expectBoundTo(personal[0], kContainer, kProvider, 1);
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(InstallPlacement, InstallingAgainKeepsOneCopyOfEachAndBindsTheUsersCopyAfresh) {
  recordKey(user_, kContainer, kProvider);
  const std::string text = collectionText({&root_, &issuing_, &user_});
  ASSERT_EQ(installCert(text.c_str()), 2000);

  // The record now names another container and provider: the copy in "MY"
  // is replaced and bound to them.
  recordKey(user_, kOtherContainer, kAesProvider);
  EXPECT_EQ(installCert(text.c_str()), 2000);

  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  expectBoundTo(personal[0], kOtherContainer, kAesProvider, 24);
  EXPECT_TRUE(boxes_.boxes().empty());
}

// A requested authority certificate is the user's; a record of another user
// binds nothing; a failed add is not hidden by a later success.
TEST_F(InstallPlacement, RecordDecidesFirstAndFailuresAreNotReportedAsSuccess) {
  // The user's key record and container for a subordinate authority it requested.
  const TestCertificate requestedAuthority =
      root_.issue(specWith("/CN=Requested Sub CA", {basicConstraints(true, true, 0)}, 20), sharedKey(6));
  recordKey(requestedAuthority, kOtherContainer, kProvider);
  EXPECT_EQ(installCert(collectionText({&requestedAuthority}).c_str()), 2000);
  ASSERT_EQ(storeContents(u"MY").size(), 1u);
  expectBoundTo(storeContents(u"MY")[0], kOtherContainer, kProvider, 1);
  EXPECT_TRUE(storeDers(u"CA").empty());

  // A record whose container this user does not have (another user's, in a
  // shared machine hive): the certificate has no record here.
  tarvenholm::writeKeyRecord(keyIdOf(user_), "not-a-container-of-this-user", kProvider);
  EXPECT_EQ(installCert(collectionText({&user_}).c_str()), -1);
  EXPECT_EQ(storeContents(u"MY").size(), 1u);

  // The root's add fails (declined), the authority under it succeeds after it.
  boxes_.trustRoots = false;
  EXPECT_EQ(installCert(collectionText({&root_, &issuing_}).c_str()), -7);
  EXPECT_TRUE(storeDers(u"ROOT").empty());
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
}

TEST_F(InstallPlacement, AuthorityIsCaTrueWhateverTheCriticalityAndPathLength) {
  const TestCertificate notCritical =
      root_.issue(specWith("/CN=Not critical", {basicConstraints(false, true)}, 10), sharedKey(3));
  const TestCertificate withPathLength =
      root_.issue(specWith("/CN=Path length 5", {basicConstraints(false, true, 5)}, 11), sharedKey(4));
  const TestCertificate rootWithPathLength =
      TestCertificate::selfSigned(specWith("/CN=Root with path length", {basicConstraints(false, true, 1)}), sharedKey(5));

  EXPECT_EQ(installCert(collectionText({&issuing_, &notCritical, &withPathLength, &rootWithPathLength}).c_str()), 2000);

  EXPECT_EQ(storeDers(u"CA"), (std::vector<Bytes>{issuing_.der(), notCritical.der(), withPathLength.der()}));
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{rootWithPathLength.der()});
  EXPECT_TRUE(storeDers(u"MY").empty());
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(InstallPlacement, RootIsTheAuthorityWhoseIssuerAndSubjectAreTheSameBytes) {
  CertificateSpec differentlyEncoded = specWith("/C=MX/CN=Self issued", {basicConstraints(true, true)});
  differentlyEncoded.issuerAsPrintableStrings = true;
  const TestCertificate sameNameOtherBytes = TestCertificate::selfSigned(differentlyEncoded, sharedKey(3));
  ASSERT_NE(sameNameOtherBytes.issuerName(), sameNameOtherBytes.subjectName());

  EXPECT_EQ(installCert(collectionText({&sameNameOtherBytes, &root_}).c_str()), 2000);

  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{sameNameOtherBytes.der()});
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
}

TEST_F(InstallPlacement, CaFalseWithoutKeyRecordEndsTheWalk) {
  EXPECT_EQ(installCert(collectionText({&root_, &user_, &issuing_}).c_str()), -1);

  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  EXPECT_TRUE(storeDers(u"CA").empty()) << "a certificate after the stop was looked at";
  EXPECT_TRUE(storeDers(u"MY").empty());
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "No es posible instalar el certificado en este equipo");
}

TEST_F(InstallPlacement, ConstraintsThatGrantNothingMakeTheUsersCertificate) {
  // The empty sequence says cA FALSE; bytes that do not decode say nothing.
  const TestCertificate emptyConstraints =
      issuing_.issue(specWith("/CN=Empty constraints", {{"2.5.29.19", false, {0x30, 0x00}}}, 20), sharedKey(3));
  const TestCertificate brokenConstraints =
      issuing_.issue(specWith("/CN=Broken constraints", {{"2.5.29.19", true, {0x30, 0x03, 0x01, 0x01}}}, 21),
                     sharedKey(4));
  recordKey(emptyConstraints, kContainer, kProvider);

  EXPECT_EQ(installCert(collectionText({&emptyConstraints, &brokenConstraints, &root_}).c_str()), -1);

  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_EQ(personal[0].der, emptyConstraints.der());
  expectBoundTo(personal[0], kContainer, kProvider, 1);
  EXPECT_TRUE(storeDers(u"CA").empty());
  EXPECT_TRUE(storeDers(u"ROOT").empty());
}

// Which of two would count is anybody's guess: such a certificate is invalid.
TEST_F(InstallPlacement, TwoBasicConstraintsExtensionsMakeTheCollectionInvalid) {
  const TestCertificate authorityFirst = root_.issue(
      specWith("/CN=Authority first", {basicConstraints(true, true), basicConstraints(false, false)}, 30),
      sharedKey(3));
  const TestCertificate userFirst = root_.issue(
      specWith("/CN=User first", {basicConstraints(false, false), basicConstraints(true, true)}, 31), sharedKey(4));

  for (const TestCertificate* twice : {&authorityFirst, &userFirst})
    EXPECT_EQ(installCert(collectionText({&issuing_, twice}).c_str()), -9);

  EXPECT_TRUE(storeDers(u"CA").empty());
  EXPECT_TRUE(storeDers(u"MY").empty());
}

TEST_F(InstallPlacement, CertificateWithoutConstraintsIsIgnoredUnlessItsKeyIsRecorded) {
  const TestCertificate noExtensions = issuing_.issue(specWith("/CN=No extensions", {}, 40), sharedKey(3));
  const TestCertificate otherExtension = issuing_.issue(
      specWith("/CN=Key usage only", {{"2.5.29.15", true, {0x03, 0x02, 0x05, 0xA0}}}, 41), sharedKey(4));

  EXPECT_EQ(installCert(collectionText({&root_, &noExtensions, &otherExtension, &issuing_}).c_str()), 2000);
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  EXPECT_TRUE(storeDers(u"MY").empty());
  EXPECT_TRUE(boxes_.boxes().empty());

  recordKey(otherExtension, kContainer, kProvider);
  EXPECT_EQ(installCert(collectionText({&noExtensions, &otherExtension, &root_}).c_str()), 2000);
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_EQ(personal[0].der, otherExtension.der());
  expectBoundTo(personal[0], kContainer, kProvider, 1);
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(InstallPlacement, CertificateWithoutConstraintsIsBoundLikeAUsersOne) {
  const TestCertificate noExtensions = issuing_.issue(specWith("/CN=No extensions", {}, 40), sharedKey(3));
  tarvenholm::regWriteString(HKEY_LOCAL_MACHINE, tarvenholm::keyRecordPath(keyIdOf(noExtensions)), "a", kContainer);

  EXPECT_EQ(installCert(collectionText({&noExtensions, &root_}).c_str()), -2);

  EXPECT_TRUE(storeDers(u"ROOT").empty());
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "No es posible instalar el certificado debido a un dato faltante");
}

TEST_F(InstallPlacement, TwoUsersCertificatesAreBoundToTheirOwnContainers) {
  const TestCertificate secondUser =
      issuing_.issue(specWith("/CN=Second user", {basicConstraints(false, false)}, 50), sharedKey(3));
  recordKey(user_, kContainer, kProvider);
  recordKey(secondUser, kOtherContainer, kAesProvider);

  EXPECT_EQ(installCert(collectionText({&user_, &root_, &secondUser}).c_str()), 2000);

  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 2u);
  EXPECT_EQ(personal[0].der, user_.der());
  expectBoundTo(personal[0], kContainer, kProvider, 1);
  EXPECT_EQ(personal[1].der, secondUser.der());
  expectBoundTo(personal[1], kOtherContainer, kAesProvider, 24);
}

TEST_F(InstallPlacement, CollectionWithoutCertificatesPlacesNothing) {
  const std::string bundle = home_.path() + "/empty.p7b";
  std::string output;
  ASSERT_EQ(testing_support::runCommand("openssl crl2pkcs7 -nocrl -outform DER -out '" + bundle + "'", output), 0)
      << output;
  std::ifstream in(bundle, std::ios::binary);
  const Bytes empty{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(empty.empty());

  EXPECT_EQ(installCert(base64Text(empty).c_str()), 2000);

  for (const char16_t* store : {u"MY", u"CA", u"ROOT"}) EXPECT_TRUE(storeDers(store).empty());
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(InstallPlacement, ArmouredTextWithCrLfLineBreaksIsAccepted) {
  recordKey(user_, kContainer, kProvider);
  const Bytes bundle = bundleWithOpenssl({&root_, &issuing_, &user_}, home_.path());
  const std::string text = "-----BEGIN PKCS7-----\r\n" + base64Text(bundle, true) + "-----END PKCS7-----\r\n";

  EXPECT_EQ(installCert(text.c_str()), 2000);

  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root_.der()});
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{issuing_.der()});
  EXPECT_EQ(storeDers(u"MY"), std::vector<Bytes>{user_.der()});
}

}  // namespace
