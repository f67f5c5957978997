// The key lifecycle around enrolment through `tarvenholm`, run as a separate
// process on real files: PKCS#12 files made by the openssl command imported,
// listed (as text and as JSON), exported again and used to sign; keys and
// certificates deleted; an import that fails at any platform call leaves
// nothing behind.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"
#include "testlib/process_start.h"

namespace {

using testing_support::commandOutput;
using testing_support::fieldsOf;
using testing_support::kEnhancedProvider;
using testing_support::linesOf;
using testing_support::opensslThumbprint;
using testing_support::runHost;
using testing_support::writeText;

// A thumbprint as `openssl x509 -fingerprint` prints it, in lower case.
std::string colonsLowerCase(const std::string& thumbprint) {
  std::string text;
  for (std::size_t index = 0; index < thumbprint.size(); index += 2)
    text += (index == 0 ? "" : ":") + thumbprint.substr(index, 2);
  std::transform(text.begin(), text.end(), text.begin(), ::tolower);
  return text;
}

// How many key records the machine hive holds.
std::size_t keyRecordCount() {
  HKEY records = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvenholm\\GK", 0, KEY_READ, &records) != ERROR_SUCCESS) return 0;
  UniqueHkey owned(records);
  std::size_t count = 0;
  for (;; ++count) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(records, static_cast<DWORD>(count), name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      return count;
  }
}

nlohmann::json jsonOf(const std::vector<std::string>& args) {
  const auto run = runHost(args);
  EXPECT_EQ(run.status, 0) << run.err;
  return nlohmann::json::parse(run.out);
}

class HostLifecycleTest : public testing_support::HostEnrolmentTest {
 protected:
  std::string passwordFile(const std::string& name, const std::string& password) {
    writeText(path(name), password + "\n");
    return path(name);
  }
};

TEST_F(HostLifecycleTest, ImportedKeysAreListedBoundExportedAndSign) {
  struct Case {
    const char* name;
    const char* newKey;
    unsigned bits;
    bool withChain;
  };
  // The file without a chain first: the chain stays in CA and ROOT.
  const Case cases[] = {{"Luis Vega", "rsa:3072", 3072, false}, {"Ana Ruiz", "rsa:2048", 2048, true}};
  const std::string filePassword = passwordFile("p12.txt", "p12 secret");
  const std::string exportPassword = passwordFile("export.txt", "another secret");
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    const std::string file = pkcs12File(each.name, each.newKey, "p12 secret", each.withChain);
    const std::string certificate = path(std::string(each.name) + ".pem");
    const std::string thumbprint = opensslThumbprint(certificate);

    // Without a terminal the new key is protected by the password file's password.
    const auto imported = runHost({"--trust-new-roots", "--password-file", filePassword, "store", "import", file});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.err, "");
    const std::vector<std::string> printed = fieldsOf(imported.out.substr(0, imported.out.find('\n')));
    ASSERT_EQ(printed.size(), 2u) << imported.out;
    EXPECT_EQ(printed[0], thumbprint);
    const std::string container = printed[1];

    const std::vector<std::string> my = linesOf(runHost({"store", "list", "MY"}).out);
    EXPECT_NE(std::find(my.begin(), my.end(),
                        thumbprint + "\tO=Example,CN=" + each.name + "\t" + container + "\t" + kEnhancedProvider),
              my.end());
    const std::vector<std::string> keys = linesOf(runHost({"keys", "list"}).out);
    EXPECT_NE(std::find(keys.begin(), keys.end(),
                        container + "\t" + kEnhancedProvider + "\t" + std::to_string(each.bits) + "\t" + thumbprint),
              keys.end());
    const std::string authorities = runHost({"store", "list", "CA"}).out + runHost({"store", "list", "ROOT"}).out;
    EXPECT_EQ(authorities.find(opensslThumbprint(authority() + "/intermediate.pem")) != std::string::npos,
              each.withChain);
    EXPECT_EQ(authorities.find(opensslThumbprint(authority() + "/root.pem")) != std::string::npos, each.withChain);

    // The JSON documents say what the lines say.
    const nlohmann::json myJson = jsonOf({"store", "list", "MY", "--json"});
    EXPECT_EQ(myJson["store"], "MY");
    const nlohmann::json bound = {{"thumbprint", thumbprint},
                                  {"subject", "O=Example,CN=" + std::string(each.name)},
                                  {"container", container},
                                  {"provider", kEnhancedProvider}};
    EXPECT_NE(std::find(myJson["certificates"].begin(), myJson["certificates"].end(), bound),
              myJson["certificates"].end())
        << myJson.dump();
    const nlohmann::json keysJson = jsonOf({"keys", "list", "--json"});
    const nlohmann::json listed = {{"name", container},      {"provider", kEnhancedProvider}, {"keyPair", true},
                                   {"bits", each.bits}, {"certificate", thumbprint}};
    EXPECT_NE(std::find(keysJson["containers"].begin(), keysJson["containers"].end(), listed),
              keysJson["containers"].end())
        << keysJson.dump();

    // Exported again under a password of its own, with the CN as friendly name, and signing.
    const std::string exported = path(std::string(each.name) + ".again.p12");
    const auto exportRun = runHost({"--password-file", filePassword, "store", "export", colonsLowerCase(thumbprint),
                                    "--out", exported, "--export-password-file", exportPassword});
    ASSERT_EQ(exportRun.status, 0) << exportRun.err;
    const std::string open = "openssl pkcs12 -in '" + exported + "' -passin 'file:" + exportPassword + "'";
    EXPECT_NE(commandOutput(open + " -nokeys -clcerts 2>&1").find(std::string("friendlyName: ") + each.name),
              std::string::npos);
    std::string refused;
    EXPECT_NE(testing_support::runCommand(open.substr(0, open.find(" -passin")) + " -passin 'file:" + filePassword +
                                              "' -noout 2>&1",
                                          refused),
              0)
        << "the key's password does not open the file";
    const std::string key = path("exported.key");
    commandOutput(open + " -nocerts -nodes -out '" + key + "' 2>&1");
    writeText(path("data.txt"), "signed data");
    commandOutput("openssl dgst -sha256 -sign '" + key + "' -out '" + path("data.sig") + "' '" + path("data.txt") + "'");
    commandOutput("openssl x509 -in '" + certificate + "' -noout -pubkey > '" + path("public.pem") + "'");
    EXPECT_NE(commandOutput("openssl dgst -sha256 -verify '" + path("public.pem") + "' -signature '" +
                            path("data.sig") + "' '" + path("data.txt") + "'")
                  .find("Verified OK"),
              std::string::npos);

    // A second import of the same certificate is refused.
    const auto again = runHost({"--lang", "en", "--password-file", filePassword, "store", "import", file});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "tarvenholm: the certificate " + thumbprint + " is in MY bound to a key already\n");
  }
  EXPECT_EQ(keyRecordCount(), 2u);
}

TEST_F(HostLifecycleTest, KeysAndCertificatesAreDeletedWithTheirRecords) {
  const std::string password = passwordFile("p12.txt", "");
  const std::string file = pkcs12File("Ana Ruiz", "rsa:2048", "", true);
  const auto imported = runHost({"--trust-new-roots", "--password-file", password, "store", "import", file});
  ASSERT_EQ(imported.status, 0) << imported.err;
  const std::string container = fieldsOf(linesOf(imported.out).front()).back();
  const std::string thumbprint = opensslThumbprint(path("Ana Ruiz.pem"));
  UniqueCryptProv empty;
  ASSERT_TRUE(CryptAcquireContextA(empty.put(), "left-empty", kEnhancedProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  const std::string emptyLine = std::string("left-empty\t") + kEnhancedProvider + "\t-\t-\tno-key-pair";
  EXPECT_NE(runHost({"keys", "list"}).out.find(emptyLine + "\n"), std::string::npos);
  EXPECT_NE(runHost({"keys", "list", "--json"}).out.find("\"bits\": null"), std::string::npos);

  struct Step {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string keys;  // keys list afterwards
    std::string my;    // store list MY afterwards, thumbprints only
  };
  const std::string bound = container + "\t" + kEnhancedProvider + "\t2048\t" + thumbprint + "\n";
  const std::vector<Step> steps = {
      {{"keys", "delete", container}, 1,
       "tarvenholm: the key container " + container + " has its certificate " + thumbprint +
           " in MY; delete both with --with-certificate\n",
       bound + emptyLine + "\n", thumbprint},
      {{"keys", "delete", "left-empty"}, 0, "", bound, thumbprint},
      {{"keys", "delete", container, "--provider", "Microsoft Strong Cryptographic Provider"}, 1,
       "tarvenholm: no key container " + container + "\n", bound, thumbprint},
      {{"keys", "delete", container, "--with-certificate"}, 0, "", "", ""},
      {{"store", "delete", "root", colonsLowerCase(opensslThumbprint(authority() + "/root.pem"))}, 0, "", "", ""},
      {{"store", "delete", "ROOT", opensslThumbprint(authority() + "/root.pem")}, 1,
       "tarvenholm: no certificate with the thumbprint " + opensslThumbprint(authority() + "/root.pem") +
           " in ROOT\n",
       "", ""},
  };
  for (const Step& step : steps) {
    std::vector<std::string> args{"--lang", "en"};
    args.insert(args.end(), step.args.begin(), step.args.end());
    SCOPED_TRACE(args[2] + " " + args[3] + " " + args[4]);
    const auto run = runHost(args);
    EXPECT_EQ(run.status, step.status);
    EXPECT_EQ(run.err, step.err);
    EXPECT_EQ(runHost({"keys", "list"}).out, step.keys);
    std::string my;
    for (const std::string& line : linesOf(runHost({"store", "list", "MY"}).out)) my += fieldsOf(line).front();
    EXPECT_EQ(my, step.my);
  }
  EXPECT_EQ(keyRecordCount(), 0u);
  EXPECT_EQ(runHost({"store", "list", "ROOT"}).out, "");
  EXPECT_EQ(linesOf(runHost({"store", "list", "CA"}).out).size(), 1u);
}

TEST_F(HostLifecycleTest, ProviderListAsJsonNamesWhatTheTextNames) {
  const std::string text = runHost({"csp-list"}).out;
  std::string joined;
  const nlohmann::json list = jsonOf({"csp-list", "--json"});
  for (const nlohmann::json& provider : list["providers"])
    joined += provider["name"].get<std::string>() + "|";
  EXPECT_EQ(joined + "\n", text);
  EXPECT_NE(text.find(kEnhancedProvider), std::string::npos);
}

TEST_F(HostLifecycleTest, AnImportThatFailsAtAnyPlatformCallLeavesNothingBehind) {
#ifndef TARVENHOLM_FAULTS
  GTEST_SKIP() << "the fault switch is not built in";
#endif
  const std::string password = passwordFile("p12.txt", "");
  const std::string file = pkcs12File("Fails", "rsa:2048", "", false);
  int failures = 0;
  for (const char* call : {"CryptAcquireContextA", "CryptImportPKCS8", "CertAddCertificateContextToStore",
                           "CertSetCertificateContextProperty", "RegCreateKeyExA", "RegSetValueExA"}) {
    for (unsigned nth = 1;; ++nth) {
      const std::string fault = std::string(call) + ":" + std::to_string(nth);
      SCOPED_TRACE(fault);
      const auto run = runHost({"--lang", "en", "--password-file", password, "store", "import", file},
                               {"", {{"TARVENHOLM_FAULTS", fault}}});
      if (run.status == 0) {
        ASSERT_EQ(runHost({"keys", "delete", fieldsOf(linesOf(run.out).front()).back(), "--with-certificate"}).status,
                  0);
        break;
      }
      ++failures;
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(linesOf(run.err).size(), 1u) << run.err;
      EXPECT_EQ(run.err.rfind("tarvenholm: ", 0), 0u) << run.err;
      EXPECT_EQ(runHost({"keys", "list"}).out, "");
      EXPECT_EQ(runHost({"store", "list", "MY"}).out, "");
      EXPECT_EQ(keyRecordCount(), 0u);
      ASSERT_LT(nth, 20u) << "the import never gets past " << call;
    }
  }
  EXPECT_GE(failures, 6);
}

}  // namespace
