// `tarvenholm store list`, `store export` and `keys list` over the user's
// stores and key containers, run as a separate process against what the
// test puts there through the platform.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/oletext.h"
#include "platform/openssl_handles.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"
#include "testlib/process_start.h"

namespace {

using testing_support::fieldsOf;
using testing_support::linesOf;
using testing_support::runCommand;
using testing_support::runHost;

constexpr const char* kStrongProvider = "Microsoft Strong Cryptographic Provider";

using testing_support::commandOutput;
using testing_support::opensslThumbprint;
using testing_support::readText;
using testing_support::writeText;

// The first line a command prints; a failed expectation when it fails.
std::string firstLine(const std::string& commandLine) {
  const std::vector<std::string> lines = linesOf(commandOutput(commandLine));
  return lines.empty() ? std::string() : lines.front();
}

std::string derOfPem(const std::string& pemPath, testing_support::Bytes& der) {
  const std::string pem = readText(pemPath);
  const platform::UniqueBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  const platform::UniqueX509 certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) return "no certificate in " + pemPath;
  der = platform::derOf<X509, i2d_X509>(certificate.get());
  return {};
}

// The openssl command's view of a subject, the reference for the host's.
std::string opensslSubject(const std::string& pemPath) {
  const std::string line = firstLine("openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in '" + pemPath + "'");
  EXPECT_EQ(line.rfind("subject=", 0), 0u) << line;
  return line.substr(std::string("subject=").size());
}

struct Binding {
  std::string container;
  std::string provider;
};

class HostStoreTest : public testing_support::HostEnrolmentTest {
 protected:
  // Puts the certificate of a PEM file into one of the user's stores, bound
  // to a key container when `binding` is given.
  void addToStore(const char16_t* store, const std::string& pemPath, const std::optional<Binding>& binding = {}) {
    testing_support::Bytes der;
    ASSERT_EQ(derOfPem(pemPath, der), "");
    UniqueCertStore opened(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, store));
    ASSERT_TRUE(opened);
    UniqueCertContext certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(certificate);
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(
        CertAddCertificateContextToStore(opened.get(), certificate.get(), CERT_STORE_ADD_REPLACE_EXISTING, &added));
    UniqueCertContext owned(added);
    if (!binding) return;
    std::u16string container = platform::utf8ToWide(binding->container);
    std::u16string provider = platform::utf8ToWide(binding->provider);
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }

  // A certificate from the test authority's intermediate for the public key
  // of the context's key pair, and the authority's root and intermediate
  // in ROOT and CA.
  std::string issueFor(HCRYPTPROV context, const std::string& name, const std::string& subject) {
    std::vector<BYTE> buffer = testing_support::exportPublicKeyInfo(context);
    EXPECT_FALSE(buffer.empty());
    const CERT_PUBLIC_KEY_INFO* info = testing_support::asPublicKeyInfo(buffer);
    const unsigned char* cursor = info->PublicKey.pbData;
    const platform::UniquePkey key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, info->PublicKey.cbData));
    EXPECT_TRUE(key);
    const std::string publicKey = path(name + ".pub.pem");
    PEM_write_bio_PUBKEY(platform::UniqueBio(BIO_new_file(publicKey.c_str(), "w")).get(), key.get());
    // The request only carries the subject: the certificate gets the container's key.
    const std::string request = path(name + ".csr");
    const std::string certificate = path(name + ".pem");
    commandOutput(
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null -utf8 -subj '" +
        subject + "' -out '" + request + "' 2>/dev/null");
    commandOutput("openssl x509 -req -in '" + request + "' -force_pubkey '" + publicKey + "' -CA '" + authority() +
                  "/intermediate.pem' -CAkey '" + authority() + "/intermediate.key' -CAcreateserial -days 30 -sha256" +
                  " -out '" + certificate + "' 2>/dev/null");
    addToStore(u"ROOT", authority() + "/root.pem");
    addToStore(u"CA", authority() + "/intermediate.pem");
    return certificate;
  }

  std::string writePasswordFile(const std::string& password) {
    const std::string file = path("password.txt");
    writeText(file, password + "\n");
    return file;
  }
};

// ---- store list ----

TEST_F(HostStoreTest, StoresOfAFreshHomeListNothing) {
  for (const char* store : {"MY", "CA", "ROOT", "my", "Root"}) {
    const auto run = runHost({"store", "list", store});
    EXPECT_EQ(run.status, 0) << store;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(HostStoreTest, ListsThumbprintAndSubjectAsOpensslPrintsThem) {
  // Subjects with what RFC 2253 escapes, a multi-valued RDN, UTF-8 and an
  // e-mail address; each line is checked against the openssl command.
  const std::vector<std::string> subjects = {
      "/C=MX/O=Tarvenholm Test Authority/CN=Tarvenholm Test Root",
      "/CN=Ana Ruiz+O=Example+C=MX",
      "/CN=José Ñúñez Peña/O=Señales, S.A./OU=\"Quoted\" <unit>;x",
      "/emailAddress=ana@example.mx/CN=#hash=equals/L= leading and trailing ",
  };
  std::vector<std::string> files;
  for (std::size_t index = 0; index < subjects.size(); ++index) {
    const auto certificate = testing_support::TestCertificate::selfSigned(
        {subjects[index], false, {}, static_cast<long>(index + 1), 30}, testing_support::TestKey::ed25519());
    files.push_back(path("subject" + std::to_string(index) + ".pem"));
    writeText(files.back(), certificate.pem());
    addToStore(index % 2 == 0 ? u"CA" : u"ROOT", files.back());
    addToStore(u"MY", files.back());
  }
  std::vector<std::string> expectedMy, expectedCa, expectedRoot;
  for (std::size_t index = 0; index < files.size(); ++index) {
    const std::string line = opensslThumbprint(files[index]) + "\t" + opensslSubject(files[index]);
    expectedMy.push_back(line);
    (index % 2 == 0 ? expectedCa : expectedRoot).push_back(line);
  }
  EXPECT_EQ(linesOf(runHost({"store", "list", "MY"}).out), expectedMy);
  EXPECT_EQ(linesOf(runHost({"store", "list", "CA"}).out), expectedCa);
  EXPECT_EQ(linesOf(runHost({"store", "list", "ROOT"}).out), expectedRoot);
  // The escapes really were exercised.
  EXPECT_NE(expectedMy[2].find("Señales\\, S.A."), std::string::npos) << expectedMy[2];
  EXPECT_NE(expectedMy[1].find('+'), std::string::npos) << expectedMy[1];
}

TEST_F(HostStoreTest, ACertificateOfMyBoundToAContainerShowsContainerAndProvider) {
  UniqueCryptProv context;
  ASSERT_TRUE(testing_support::makeKeyPair(context, "bound-one", 1024u << 16 | CRYPT_EXPORTABLE));
  const std::string bound = issueFor(context.get(), "bound", "/CN=Bound/O=Example");
  const auto loose =
      testing_support::TestCertificate::selfSigned({"/CN=Loose", false, {}, 1, 30}, testing_support::TestKey::p256());
  writeText(path("loose.pem"), loose.pem());
  addToStore(u"MY", path("loose.pem"));
  addToStore(u"MY", bound, Binding{"bound-one", testing_support::kEnhancedProvider});

  const auto run = runHost({"store", "list", "MY"});
  EXPECT_EQ(run.status, 0);
  const std::vector<std::string> lines = linesOf(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_EQ(fieldsOf(lines[0]), (std::vector<std::string>{opensslThumbprint(path("loose.pem")), "CN=Loose"}));
  EXPECT_EQ(fieldsOf(lines[1]), (std::vector<std::string>{opensslThumbprint(bound), "O=Example,CN=Bound", "bound-one",
                                                          testing_support::kEnhancedProvider}));
  // Outside MY the binding is not shown.
  addToStore(u"CA", bound, Binding{"bound-one", testing_support::kEnhancedProvider});
  const std::vector<std::string> ca = linesOf(runHost({"store", "list", "CA"}).out);
  ASSERT_FALSE(ca.empty());
  EXPECT_EQ(fieldsOf(ca.back()).size(), 2u) << ca.back();
}

// ---- keys list ----

TEST_F(HostStoreTest, KeysListShowsEachContainerOnceWithSizeAndBoundCertificate) {
  EXPECT_EQ(runHost({"keys", "list"}).out, "");

  UniqueCryptProv withCertificate, plain, strong, empty;
  ASSERT_TRUE(testing_support::makeKeyPair(withCertificate, "alpha", 1024u << 16 | CRYPT_EXPORTABLE));
  ASSERT_TRUE(testing_support::makeKeyPair(plain, "bravo", 512u << 16));
  ASSERT_TRUE(CryptAcquireContextA(strong.put(), "charlie", kStrongProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  UniqueCryptKey strongKey;
  ASSERT_TRUE(CryptGenKey(strong.get(), AT_SIGNATURE, 768u << 16, strongKey.put()));
  ASSERT_TRUE(CryptAcquireContextA(empty.put(), "delta", testing_support::kEnhancedProvider, PROV_RSA_FULL,
                                   CRYPT_NEWKEYSET));
  const std::string certificate = issueFor(withCertificate.get(), "alpha", "/CN=Alpha");
  addToStore(u"MY", certificate, Binding{"alpha", testing_support::kEnhancedProvider});

  const auto run = runHost({"keys", "list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::vector<std::string> lines = linesOf(run.out);
  std::sort(lines.begin(), lines.end());
  const std::string enhanced = testing_support::kEnhancedProvider;
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "alpha\t" + enhanced + "\t1024\t" + opensslThumbprint(certificate),
                       "bravo\t" + enhanced + "\t512\t-",
                       "charlie\t" + std::string(kStrongProvider) + "\t768\t-",
                       "delta\t" + enhanced + "\t-\t-\tno-key-pair",
                   }));
}

// ---- store export ----

TEST_F(HostStoreTest, ExportWritesAPkcs12WithKeyAndChainThatOpensslReads) {
  UniqueCryptProv context;
  ASSERT_TRUE(testing_support::makeKeyPair(context, "export-me", 1024u << 16 | CRYPT_EXPORTABLE));
  const std::string certificate = issueFor(context.get(), "export", "/CN=Export Me/O=Example");
  addToStore(u"MY", certificate, Binding{"export-me", testing_support::kEnhancedProvider});
  const std::string out = path("export.p12");
  writeText(out, "an older file of the same name");
  ::chmod(out.c_str(), 0644);
  const std::string password = writePasswordFile("file secret");

  const std::string thumbprint = opensslThumbprint(certificate);
  std::string lowerCase = thumbprint;
  std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(), ::tolower);
  const auto run = runHost({"--password-file", password, "store", "export", lowerCase, "--out", out});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  struct stat status {};
  ASSERT_EQ(::stat(out.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // A link in place of the file is not followed: its target stays as it was.
  const std::string target = path("target.txt");
  writeText(target, "not to be overwritten");
  const std::string link = path("link.p12");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const auto linked = runHost({"--password-file", password, "store", "export", thumbprint, "--out", link});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.err, "tarvenholm: cannot write " + link + ": it is a symbolic link, which is not followed\n");
  EXPECT_EQ(readText(target), "not to be overwritten");

  const std::string open = "openssl pkcs12 -in '" + out + "' -passin 'file:" + password + "'";
  commandOutput(open + " -info -noout 2>&1");
  const std::string key = path("exported.key");
  commandOutput(open + " -nocerts -nodes -out '" + key + "' 2>/dev/null");
  EXPECT_EQ(commandOutput("openssl pkey -in '" + key + "' -pubout"),
            commandOutput("openssl x509 -in '" + certificate + "' -noout -pubkey"));
  const std::string chain = commandOutput(open + " -nokeys -cacerts 2>/dev/null | grep '^subject='");
  EXPECT_NE(chain.find("Tarvenholm Test Root"), std::string::npos) << chain;
  EXPECT_NE(chain.find("Tarvenholm Test Issuing CA"), std::string::npos) << chain;
  std::string wrong;
  EXPECT_NE(runCommand("openssl pkcs12 -in '" + out + "' -passin pass:wrong -noout", wrong), 0);
}

TEST_F(HostStoreTest, ExportRefusesAKeyNotGeneratedExportable) {
  UniqueCryptProv context;
  ASSERT_TRUE(testing_support::makeKeyPair(context, "kept-inside", 1024u << 16));
  const std::string certificate = issueFor(context.get(), "kept", "/CN=Kept Inside");
  addToStore(u"MY", certificate, Binding{"kept-inside", testing_support::kEnhancedProvider});
  const std::string out = path("refused.p12");
  const std::string password = writePasswordFile("file secret");

  const auto english = runHost(
      {"--lang", "en", "--password-file", password, "store", "export", opensslThumbprint(certificate), "--out", out});
  EXPECT_EQ(english.status, 1);
  EXPECT_EQ(english.out, "");
  EXPECT_EQ(
      english.err,
      "tarvenholm: the private key in container kept-inside was not generated exportable; it cannot be exported\n");
  EXPECT_NE(::access(out.c_str(), F_OK), 0);

  const auto spanish =
      runHost({"--password-file", password, "store", "export", opensslThumbprint(certificate), "--out", out},
              {"", {{"LANG", "es_ES.UTF-8"}}});
  EXPECT_EQ(spanish.status, 1);
  EXPECT_NE(spanish.err.find("no se generó exportable"), std::string::npos) << spanish.err;
}

TEST_F(HostStoreTest, ExportNeedsACertificateOfMyBoundToAKey) {
  const std::string password = writePasswordFile("file secret");
  const auto missing =
      runHost({"--password-file", password, "store", "export", std::string(40, 'A'), "--out", path("x.p12")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "tarvenholm: no certificate with the thumbprint " + std::string(40, 'A') + " in MY\n");

  const auto loose =
      testing_support::TestCertificate::selfSigned({"/CN=Loose", false, {}, 1, 30}, testing_support::TestKey::p256());
  writeText(path("loose.pem"), loose.pem());
  addToStore(u"MY", path("loose.pem"));
  const std::string thumbprint = opensslThumbprint(path("loose.pem"));
  const auto unbound = runHost({"--password-file", password, "store", "export", thumbprint, "--out", path("x.p12")});
  EXPECT_EQ(unbound.status, 1);
  EXPECT_EQ(unbound.err, "tarvenholm: the certificate " + thumbprint + " is not bound to a key container\n");

  // Bound to a container that holds another key.
  UniqueCryptProv other;
  ASSERT_TRUE(testing_support::makeKeyPair(other, "other-key", 512u << 16 | CRYPT_EXPORTABLE));
  addToStore(u"MY", path("loose.pem"), Binding{"other-key", testing_support::kEnhancedProvider});
  const auto mismatched = runHost({"--password-file", password, "store", "export", thumbprint, "--out", path("x.p12")});
  EXPECT_EQ(mismatched.status, 1);
  EXPECT_EQ(mismatched.err, "tarvenholm: the key in container other-key does not belong to the certificate\n");
  EXPECT_NE(::access(path("x.p12").c_str(), F_OK), 0);
}

TEST_F(HostStoreTest, ExportOfAPasswordProtectedKeyTakesThePasswordFromTheFile) {
  UniqueCryptProv context;
  {
    testing_support::PasswordAnswers answers("key secret", "key secret");
    ASSERT_TRUE(
        testing_support::makeKeyPair(context, "protected", 1024u << 16 | CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED));
    ASSERT_EQ(answers.newKeyQuestions(), 1);
  }
  const std::string certificate = issueFor(context.get(), "protected", "/CN=Protected");
  addToStore(u"MY", certificate, Binding{"protected", testing_support::kEnhancedProvider});
  const std::string thumbprint = opensslThumbprint(certificate);

  const auto wrong = runHost(
      {"--password-file", writePasswordFile("not it"), "store", "export", thumbprint, "--out", path("wrong.p12")});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err, "tarvenholm: wrong password for the key in container protected\n");

  // Without a terminal or a file the key's password comes from the environment.
  const auto fromEnvironment = runHost({"store", "export", thumbprint, "--out", path("env.p12")},
                                       {"", {{"TARVENHOLM_KEY_PASSWORD", "key secret"}}});
  EXPECT_EQ(fromEnvironment.status, 2) << "the file's password never comes from the environment";

  const std::string password = writePasswordFile("key secret");
  const auto run = runHost({"--password-file", password, "store", "export", thumbprint, "--out", path("right.p12")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.find("key secret"), std::string::npos);
  commandOutput("openssl pkcs12 -in '" + path("right.p12") + "' -passin 'file:" + password + "' -info -noout 2>&1");
}

}  // namespace

namespace {

// ---- platform failures are reported, never taken for an empty result ----

class HostPlatformFailureTest : public testing_support::HostEnrolmentTest {
 protected:
  void SetUp() override {
#ifndef TARVENHOLM_FAULTS
    GTEST_SKIP() << "the fault switch is not built in";
#endif
  }
  testing_support::HostRun runFailing(const std::string& fault, const std::vector<std::string>& args) {
    return runHost(args, {"", {{"TARVENHOLM_FAULTS", fault}}});
  }
};

TEST_F(HostPlatformFailureTest, AStoreThatCannotBeReadFails) {
  const auto certificate =
      testing_support::TestCertificate::selfSigned({"/CN=One", false, {}, 1, 30}, testing_support::TestKey::p256());
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA"));
  UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.der().data(),
                                                         static_cast<DWORD>(certificate.der().size())));
  ASSERT_TRUE(CertAddCertificateContextToStore(store.get(), context.get(), CERT_STORE_ADD_NEW, nullptr));

  const auto unread = runFailing("CertEnumCertificatesInStore:2:30", {"store", "list", "CA"});
  EXPECT_EQ(unread.status, 1);
  EXPECT_EQ(linesOf(unread.out).size(), 1u) << "what was read before the failure is shown";
  EXPECT_EQ(unread.err.rfind("tarvenholm: cannot read the store CA: ", 0), 0u) << unread.err;
  EXPECT_NE(unread.err.find("(0x0000001E)"), std::string::npos) << unread.err;

  const auto unopened = runFailing("CertOpenStore:1:5", {"--lang", "es", "store", "list", "MY"});
  EXPECT_EQ(unopened.status, 1);
  EXPECT_EQ(unopened.err.rfind("tarvenholm: no se pudo leer el almacén MY: ", 0), 0u) << unopened.err;
}

TEST_F(HostPlatformFailureTest, KeysListFailsWhenProvidersOrContainersCannotBeRead) {
  UniqueCryptProv context;
  ASSERT_TRUE(testing_support::makeKeyPair(context, "listed", 512u << 16));
  const auto providers = runFailing("CryptEnumProvidersA:3", {"keys", "list"});
  EXPECT_EQ(providers.status, 1);
  EXPECT_EQ(providers.out, "");
  EXPECT_EQ(providers.err.rfind("tarvenholm: cannot list the key providers: ", 0), 0u) << providers.err;

  const auto keys = runFailing("CryptGetKeyParam:1:0x80090020", {"keys", "list"});
  EXPECT_EQ(keys.status, 1);
  EXPECT_EQ(keys.err.rfind("tarvenholm: cannot read the key container listed: ", 0), 0u) << keys.err;
}

TEST_F(HostPlatformFailureTest, AFailedKeyGenerationPrintsNoRequest) {
  const auto run = runFailing("CryptGenKey:1", {"genreq", "--names", "2.5.4.3=Ana", "--key-size", "512"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("Tarvenholm [error] ", 0), 0u) << run.err;
  EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
}

}  // namespace
