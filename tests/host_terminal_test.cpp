// Passwords asked on the terminal: `tarvenholm` run with a pseudo-terminal
// as its controlling terminal, the test typing the answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testlib/crypt_fixtures.h"
#include "testlib/host_fixture.h"

namespace {

using testing_support::fieldsOf;
using testing_support::linesOf;
using testing_support::runHost;
using testing_support::runHostOnTerminal;
using testing_support::TerminalExchange;

constexpr const char* kNewKeyPrompt = "Password to protect the new key (empty for none): ";
constexpr const char* kRepeatPrompt = "Repeat the password: ";
const std::vector<std::string> kGenreq = {"genreq", "--names", "2.5.4.3=Ana Ruiz", "--key-size", "1024"};

std::vector<std::string> concat(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class HostTerminalTest : public testing_support::HostEnrolmentTest {
 protected:
  std::string onlyContainer() {
    const std::vector<std::string> keys = linesOf(runHost({"keys", "list"}).out);
    EXPECT_EQ(keys.size(), 1u);
    return keys.empty() ? std::string() : fieldsOf(keys.front()).front();
  }

  // Whether the container's key needs a password, and opens with `password`.
  void expectKeyPassword(const std::string& password) {
    UniqueCryptProv context;
    ASSERT_TRUE(CryptAcquireContextA(context.put(), onlyContainer().c_str(), testing_support::kEnhancedProvider,
                                     PROV_RSA_FULL, 0));
    testing_support::PasswordAnswers answers("", password);
    EXPECT_FALSE(testing_support::exportPkcs8(context.get()).empty());
    EXPECT_EQ(answers.useKeyQuestions(), password.empty() ? 0 : 1);
  }
};

TEST_F(HostTerminalTest, GenreqAsksTwiceWithoutEchoAndTheTerminalComesFirst) {
  testing_support::writeText(path("password"), "from the file\n");
  const auto run = runHostOnTerminal(concat({"--password-file", path("password")}, kGenreq),
                                     {{kNewKeyPrompt, "typed secret"}, {kRepeatPrompt, "typed secret"}},
                                     {"", {{"TARVENHOLM_KEY_PASSWORD", "from the environment"}}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(linesOf(run.out).size(), 1u);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.terminal, std::string(kNewKeyPrompt) + "\r\n" + kRepeatPrompt + "\r\n")
      << "the password is not echoed, and signing the request asks nothing more";
  expectKeyPassword("typed secret");
}

TEST_F(HostTerminalTest, DifferingAnswersAreAskedAgain) {
  const auto run = runHostOnTerminal(
      kGenreq,
      {{kNewKeyPrompt, "first"}, {kRepeatPrompt, "second"}, {kNewKeyPrompt, "third"}, {kRepeatPrompt, "third"}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.terminal.find("The two passwords differ; try again."), std::string::npos) << run.terminal;
  expectKeyPassword("third");
}

TEST_F(HostTerminalTest, AnEmptyAnswerLeavesTheKeyWithoutPassword) {
  const auto run = runHostOnTerminal(kGenreq, {{kNewKeyPrompt, ""}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.terminal, std::string(kNewKeyPrompt) + "\r\n");
  expectKeyPassword("");
}

TEST_F(HostTerminalTest, PromptsFollowTheLanguage) {
  const auto run = runHostOnTerminal(concat({"--lang", "es"}, kGenreq),
                                     {{"Contraseña para proteger la llave nueva (vacía para ninguna): ", "clave"},
                                      {"Repita la contraseña: ", "clave"}});
  EXPECT_EQ(run.status, 0) << run.err;
  expectKeyPassword("clave");
}

TEST_F(HostTerminalTest, BatchNeverAsksOnTheTerminal) {
  testing_support::writeText(path("password"), "from the file\n");
  const auto run = runHostOnTerminal(concat({"--batch", "--password-file", path("password")}, kGenreq), {});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.terminal, "");
  expectKeyPassword("from the file");
}

TEST_F(HostTerminalTest, ExportAsksTheKeysPasswordThenTheFilesTwice) {
  const auto made = runHostOnTerminal(kGenreq, {{kNewKeyPrompt, "key secret"}, {kRepeatPrompt, "key secret"}});
  ASSERT_EQ(made.status, 0) << made.err;
  const auto installed = runHost({"--trust-new-roots", "setcert", issue(linesOf(made.out).front(), "--der", "answer")});
  ASSERT_EQ(installed.out, "2000\n") << installed.err;
  const std::string container = onlyContainer();
  const std::string out = path("ana.p12");
  const std::vector<std::string> exportArgs = {"store", "export", issuedThumbprint(), "--out", out};

  const auto differing =
      runHostOnTerminal(exportArgs, {{"Password of the key in container " + container + ": ", "key secret"},
                                     {"Password for " + out + ": ", "file secret"},
                                     {kRepeatPrompt, "file secrets"}});
  EXPECT_EQ(differing.status, 1);
  EXPECT_EQ(differing.err, "tarvenholm: the two passwords differ\n");
  EXPECT_NE(::access(out.c_str(), F_OK), 0);

  const auto run =
      runHostOnTerminal(exportArgs, {{"Password of the key in container " + container + ": ", "key secret"},
                                     {"Password for " + out + ": ", "file secret"},
                                     {kRepeatPrompt, "file secret"}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.terminal.find("secret"), std::string::npos) << run.terminal;
  testing_support::commandOutput("openssl pkcs12 -in '" + out + "' -passin 'pass:file secret' -info -noout 2>&1");
}

}  // namespace
