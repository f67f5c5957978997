// The commands of `tarvenholm` that go through the control (csp-list,
// genreq, setcert), run as a separate process, with the openssl command as
// the authority and verifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"
#include "testlib/process_start.h"

namespace {

using testing_support::fieldsOf;
using testing_support::HostEnvironment;
using testing_support::linesOf;
using testing_support::runCommand;
using testing_support::runHost;

constexpr const char* kNames = "2.5.4.3=Ana Ruiz;2.5.4.10=Example;2.5.4.6=MX";
constexpr const char* kInvalidNameEnglish = "Tarvenholm [error] An invalid name was found\n";
constexpr const char* kInvalidNameSpanish = "Tarvenholm [error] Se localizó un nombre incorrecto\n";

using testing_support::commandOutput;
using testing_support::readText;
using testing_support::writeText;

class HostControlTest : public testing_support::HostEnrolmentTest {
 protected:
  // MY holds the certificate issued last, bound to a container that keys
  // list shows bound to it; CA and ROOT hold the authority's.
  void expectInstalledAndBound() {
    const std::string thumbprint = issuedThumbprint();
    const std::vector<std::string> mine = linesOf(runHost({"store", "list", "MY"}).out);
    ASSERT_EQ(mine.size(), 1u);
    const std::vector<std::string> fields = fieldsOf(mine.front());
    ASSERT_EQ(fields.size(), 4u) << mine.front();
    EXPECT_EQ(fields[0], thumbprint);
    EXPECT_EQ(fields[3], testing_support::kEnhancedProvider);
    const std::vector<std::string> keys = linesOf(runHost({"keys", "list"}).out);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(fieldsOf(keys.front()),
              (std::vector<std::string>{fields[2], testing_support::kEnhancedProvider, "1024", thumbprint}));
    EXPECT_EQ(linesOf(runHost({"store", "list", "CA"}).out).size(), 1u);
    EXPECT_EQ(linesOf(runHost({"store", "list", "ROOT"}).out).size(), 1u);
  }
};

TEST_F(HostControlTest, CspListPrintsTheControlsProviderList) {
  const auto run = runHost({"csp-list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Microsoft Base Cryptographic Provider v1.0|Microsoft DH SChannel Cryptographic Provider|"
            "Microsoft Enhanced Cryptographic Provider v1.0|Microsoft Enhanced RSA and AES Cryptographic Provider|"
            "Microsoft RSA SChannel Cryptographic Provider|Microsoft Strong Cryptographic Provider|\n");
}

TEST_F(HostControlTest, GenreqPrintsARequestThatOpensslVerifies) {
  const auto run = runHost({"genreq", "--names", kNames});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(linesOf(run.out).size(), 1u);
  writeText(path("request.b64"), run.out);
  commandOutput("{ echo '-----BEGIN CERTIFICATE REQUEST-----'; tr -d '\\n' < '" + path("request.b64") +
                "' | fold -w 64; echo; echo '-----END CERTIFICATE REQUEST-----'; } > '" + path("request.pem") + "'");
  const std::string text = commandOutput("openssl req -in '" + path("request.pem") + "' -noout -text -verify 2>&1");
  EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
  // The host's default key size, not the control's 1024.
  EXPECT_NE(text.find("(2048 bit)"), std::string::npos) << text;
  EXPECT_NE(text.find("CN = Ana Ruiz"), std::string::npos) << text;

  // Size and provider reach the control.
  const auto strong = runHost(
      {"genreq", "--names", kNames, "--key-size", "+512", "--provider", "Microsoft Strong Cryptographic Provider"});
  ASSERT_EQ(strong.status, 0) << strong.err;
  std::vector<std::string> keys = linesOf(runHost({"keys", "list"}).out);
  std::sort(keys.begin(), keys.end(),
            [](const std::string& a, const std::string& b) { return fieldsOf(a)[2] < fieldsOf(b)[2]; });
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(fieldsOf(keys[0])[1], testing_support::kEnhancedProvider);
  EXPECT_EQ(fieldsOf(keys[0])[2], "2048");
  EXPECT_EQ(fieldsOf(keys[1])[1], "Microsoft Strong Cryptographic Provider");
  EXPECT_EQ(fieldsOf(keys[1])[2], "512");
}

TEST_F(HostControlTest, GenreqFailuresPrintNothingAndShowTheControlsMessage) {
  struct Failure {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Failure> failures = {
      {{"genreq", "--names", "cn=Ana"}, kInvalidNameEnglish},
      {{"genreq", "--names", ""}, "Tarvenholm [error] RDN Chain should not be empty\n"},
      {{"genreq", "--names", kNames, "--key-size", "1000"},
       "Tarvenholm [error] An invalid Private Key's Size was supplied\n"},
      {{"genreq", "--names", kNames, "--key-size", "2147483647"},
       "Tarvenholm [error] An invalid Private Key's Size was supplied\n"},
      {{"genreq", "--names", kNames, "--key-size", "-2147483648"},
       "Tarvenholm [error] An invalid Private Key's Size was supplied\n"},
      {{"genreq", "--names", kNames, "--provider", "No Such Provider"},
       "Tarvenholm [error] An invalid CSP name was supplied\n"},
  };
  for (const Failure& failure : failures) {
    const auto run = runHost(failure.args);
    EXPECT_EQ(run.status, 1) << failure.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, failure.err);
  }
  EXPECT_EQ(runHost({"keys", "list"}).out, "") << "no container is made before the checks pass";
}

TEST_F(HostControlTest, MessageLanguageComesFromLangElseFromTheLocale) {
  struct Case {
    std::vector<std::string> options;
    std::vector<std::pair<std::string, std::string>> variables;
    const char* err;
  };
  const std::vector<Case> cases = {
      {{}, {{"LANG", "C"}}, kInvalidNameEnglish},
      {{}, {{"LANG", "es_MX.UTF-8"}}, kInvalidNameSpanish},
      {{}, {{"LANG", "es"}}, kInvalidNameSpanish},
      {{}, {{"LANG", "en_US.UTF-8"}}, kInvalidNameEnglish},
      {{}, {{"LANG", "fr_FR.UTF-8"}}, kInvalidNameEnglish},
      {{}, {{"LANG", "C"}, {"LC_MESSAGES", "es_ES.UTF-8"}}, kInvalidNameSpanish},
      {{}, {{"LANG", "es_ES.UTF-8"}, {"LC_MESSAGES", "C"}}, kInvalidNameEnglish},
      {{}, {{"LANG", "es_ES.UTF-8"}, {"LC_ALL", "C"}}, kInvalidNameEnglish},
      {{}, {{"LANG", "C"}, {"LC_MESSAGES", "C"}, {"LC_ALL", "es_AR.UTF-8"}}, kInvalidNameSpanish},
      {{}, {{"LANG", ""}}, kInvalidNameEnglish},
      {{"--lang", "es"}, {{"LANG", "C"}}, kInvalidNameSpanish},
      {{"--lang", "en"}, {{"LANG", "es_MX.UTF-8"}}, kInvalidNameEnglish},
  };
  for (const Case& languageCase : cases) {
    std::vector<std::string> args = languageCase.options;
    args.insert(args.end(), {"genreq", "--names", "2.5.4.3=Ana;cn=Ana"});
    const auto run = runHost(args, {"", languageCase.variables});
    std::string shown;
    for (const auto& [name, value] : languageCase.variables) shown += name + "=" + value + " ";
    EXPECT_EQ(run.status, 1) << shown;
    EXPECT_EQ(run.err, languageCase.err) << shown;
  }
}

TEST_F(HostControlTest, QuietDropsInformationButNeverAnError) {
  for (const char* quiet : {"--quiet", "-q"}) {
    const auto failed = runHost({quiet, "--lang", "en", "genreq", "--names", "cn=Ana"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "Tarvenholm [error] An invalid name was found\n");
  }
  const auto empty = runHost({"--quiet", "--lang", "en", "--trust-new-roots", "setcert", "-"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "Tarvenholm [error] An empty certificate cannot be processed\n");
}

TEST_F(HostControlTest, SetcertAcceptsEveryFormAnAuthorityHandsOut) {
  struct Form {
    const char* name;
    // Makes the input from a request; fills the file to name, or what to send on standard input.
    std::function<void(const std::string& request, std::vector<std::string>& args, std::string& input)> make;
  };
  const std::vector<Form> forms = {
      {"base64 text", [this](const std::string& request, std::vector<std::string>& args,
                             std::string&) { args.push_back(issue(request, "--base64", "base64")); }},
      {"PEM-armoured PKCS#7 with CR LF",
       [this](const std::string& request, std::vector<std::string>& args, std::string&) {
         const std::string base64 = readText(issue(request, "--base64", "armoured"));
         std::string armoured = "-----BEGIN PKCS7-----\r\n";
         for (std::size_t start = 0; start < base64.size(); start += 64) armoured += base64.substr(start, 64) + "\r\n";
         armoured += "-----END PKCS7-----\r\n";
         writeText(path("armoured.p7c"), armoured);
         args.push_back(path("armoured.p7c"));
       }},
      {"DER .p7b", [this](const std::string& request, std::vector<std::string>& args,
                          std::string&) { args.push_back(issue(request, "--der", "der")); }},
      {"PEM chain", [this](const std::string& request, std::vector<std::string>& args,
                           std::string&) { args.push_back(issue(request, "--pem-chain", "chain")); }},
      {"PEM chain with other blocks and text around",
       [this](const std::string& request, std::vector<std::string>& args, std::string&) {
         const std::string chain = readText(issue(request, "--pem-chain", "noisy"));
         writeText(path("noisy.pem"), "Issued for Ana Ruiz\n" + chain +
                                          "\n-----BEGIN NOTE-----\nAAAA\n"
                                          "-----END NOTE-----\ntrailing words\n");
         args.push_back(path("noisy.pem"));
       }},
      {"base64 text on standard input with -",
       [this](const std::string& request, std::vector<std::string>& args, std::string& input) {
         input = readText(issue(request, "--base64", "stdin"));
         args.push_back("-");
       }},
      {"PEM chain on standard input without an operand",
       [this](const std::string& request, std::vector<std::string>&, std::string& input) {
         input = readText(issue(request, "--pem-chain", "stdin-pem"));
       }},
      {"DER .p7b on standard input",
       [this](const std::string& request, std::vector<std::string>& args, std::string& input) {
         input = readText(issue(request, "--der", "stdin-der"));
         args.push_back("-");
       }},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    testing_support::TempHome home;  // a fresh user for each form
    testing_support::registerControlModule();
    const std::string request = genreq();
    std::vector<std::string> args{"--trust-new-roots", "setcert"};
    std::string input;
    form.make(request, args, input);
    const auto run = runHost(args, {input, {}});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "2000\n");
    EXPECT_EQ(run.err, "");
    expectInstalledAndBound();
  }
}

TEST_F(HostControlTest, SetcertOfTheUsersDerCertificateAloneBindsIt) {
  const std::string request = genreq();
  issue(request, "--der", "single");
  commandOutput("openssl x509 -in '" + issuedCertificate() + "' -outform DER -out '" + path("user.cer") + "'");
  const auto run = runHost({"--trust-new-roots", "setcert", path("user.cer")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "2000\n");
  const std::vector<std::string> mine = linesOf(runHost({"store", "list", "MY"}).out);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(fieldsOf(mine.front()).front(), issuedThumbprint());
}

TEST_F(HostControlTest, SetcertFailures) {
  // Nothing to install: the control's box, nothing on standard output.
  const auto empty = runHost({"--trust-new-roots", "setcert"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "Tarvenholm [error] An empty certificate cannot be processed\n");
  writeText(path("empty.txt"), "");
  EXPECT_EQ(runHost({"--lang", "es", "--trust-new-roots", "setcert", path("empty.txt")}).err,
            "Tarvenholm [error] Parametrice un certificado correcto\n");

  // Text that is no collection: the control's code and its box.
  writeText(path("garbage.txt"), "this is not base64 at all!\n");
  const auto garbage = runHost({"--trust-new-roots", "setcert", path("garbage.txt")});
  EXPECT_EQ(garbage.status, 1);
  ASSERT_EQ(linesOf(garbage.out).size(), 1u);
  EXPECT_LT(std::stoi(garbage.out), 0) << garbage.out;
  EXPECT_EQ(garbage.err.rfind("Tarvenholm [error] ", 0), 0u) << garbage.err;

  // A certificate for a key this user never made.
  writeText(path("foreign.req"), "");
  commandOutput("openssl req -new -newkey rsa:1024 -nodes -keyout /dev/null -subj '/CN=Foreign' -out '" +
                path("foreign.req") + "' 2>/dev/null");
  commandOutput("bash '" TARVENHOLM_SOURCE_DIR "/scripts/test-ca' '" + authority() + "' issue '" + path("foreign.req") +
                "' '" + path("foreign.p7b") + "' --der");
  const auto foreign = runHost({"--trust-new-roots", "setcert", path("foreign.p7b")});
  EXPECT_EQ(foreign.status, 1);
  EXPECT_LT(std::stoi(foreign.out), 0) << foreign.out;
  EXPECT_NE(foreign.err, "");

  // What the host cannot read or convert never reaches the control.
  const auto missing = runHost({"--trust-new-roots", "setcert", path("absent.p7b")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "tarvenholm: cannot read " + path("absent.p7b") + ": No such file or directory\n");
  writeText(path("broken.pem"), "-----BEGIN CERTIFICATE-----\nMIIB!!!notbase64\n-----END CERTIFICATE-----\n");
  const auto broken = runHost({"--trust-new-roots", "setcert", path("broken.pem")});
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.out, "");
  EXPECT_EQ(broken.err, "tarvenholm: a CERTIFICATE block of the PEM text does not hold a certificate\n");
}

// The key a request was made with: the only container of the user.
std::string onlyContainer() {
  const std::vector<std::string> keys = linesOf(runHost({"keys", "list"}).out);
  EXPECT_EQ(keys.size(), 1u);
  return keys.empty() ? std::string() : fieldsOf(keys.front()).front();
}

// Whether the container's key opens with `password` and not without it.
void expectProtectedBy(const std::string& container, const std::string& password) {
  for (const std::string& answer : {std::string("wrong"), password}) {
    UniqueCryptProv context;
    ASSERT_TRUE(CryptAcquireContextA(context.put(), container.c_str(), testing_support::kEnhancedProvider,
                                     PROV_RSA_FULL, 0));
    testing_support::PasswordAnswers answers("", answer);
    const std::vector<BYTE> key = testing_support::exportPkcs8(context.get());
    EXPECT_EQ(answers.useKeyQuestions(), 1);
    if (answer == password) {
      EXPECT_FALSE(key.empty()) << "the right password opens the key";
    } else {
      EXPECT_TRUE(key.empty());
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PASSWORD));
    }
  }
}

TEST_F(HostControlTest, KeyPasswordFromThePasswordFileProtectsTheKeyThroughExport) {
  writeText(path("password"), "correct horse\n");
  const std::vector<std::string> withFile{"--password-file", path("password")};
  const std::string request = genreq(withFile);
  expectProtectedBy(onlyContainer(), "correct horse");

  std::vector<std::string> setcert = withFile;
  setcert.insert(setcert.end(), {"--trust-new-roots", "setcert", issue(request, "--der", "protected")});
  const auto installed = runHost(setcert);
  EXPECT_EQ(installed.out, "2000\n") << installed.err;

  std::vector<std::string> exportArgs = withFile;
  exportArgs.insert(exportArgs.end(), {"store", "export", issuedThumbprint(), "--out", path("out.p12")});
  const auto exported = runHost(exportArgs);
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.out + exported.err, "");
  const std::string info = commandOutput("openssl pkcs12 -in '" + path("out.p12") +
                                         "' -passin 'file:" + path("password") + "' -info -noout 2>&1");
  EXPECT_NE(info.find("Shrouded Keybag"), std::string::npos) << info;
}

TEST_F(HostControlTest, KeyPasswordFromTheEnvironmentWhenThereIsNoFile) {
  const HostEnvironment environment{"", {{"TARVENHOLM_KEY_PASSWORD", "from the environment"}}};
  const std::string request = genreq({}, environment);
  expectProtectedBy(onlyContainer(), "from the environment");
  const auto installed = runHost({"--trust-new-roots", "setcert", issue(request, "--base64", "env")}, environment);
  EXPECT_EQ(installed.out, "2000\n") << installed.err;
  // The file's password comes from the password file, the key's then too.
  writeText(path("password"), "from the environment\n");
  const auto exported =
      runHost({"--password-file", path("password"), "store", "export", issuedThumbprint(), "--out", path("env.p12")},
              environment);
  EXPECT_EQ(exported.status, 0) << exported.err;
}

TEST_F(HostControlTest, WithoutAnyPasswordTheKeyIsNotProtected) {
  genreq();
  UniqueCryptProv context;
  ASSERT_TRUE(CryptAcquireContextA(context.put(), onlyContainer().c_str(), testing_support::kEnhancedProvider,
                                   PROV_RSA_FULL, 0));
  testing_support::PasswordAnswers answers("", "");
  EXPECT_FALSE(testing_support::exportPkcs8(context.get()).empty());
  EXPECT_EQ(answers.useKeyQuestions(), 0);
}

}  // namespace
