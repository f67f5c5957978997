// The command line of `tarvenholm`: help, version and usage errors, run as
// a separate process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testlib/host_process.h"
#include "testlib/test_home.h"

namespace {

using testing_support::runHost;

class HostUsageTest : public testing_support::HomeTest {};

const std::vector<std::string> kCommands = {"csp-list",     "genreq",       "setcert",   "store list",
                                            "store export", "store delete", "store import", "keys list",
                                            "keys delete",  "register",     "unregister"};

std::vector<std::string> wordsOf(const std::string& command) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t end; (end = command.find(' ', start)) != std::string::npos; start = end + 1)
    words.push_back(command.substr(start, end - start));
  words.push_back(command.substr(start));
  return words;
}

TEST_F(HostUsageTest, GeneralHelpNamesEveryCommandAndGlobalOption) {
  for (const char* help : {"--help", "-h"}) {
    const auto run = runHost({help});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("Usage: tarvenholm [OPTION]... COMMAND [ARG]...\n", 0), 0u) << run.out;
    for (const std::string& command : kCommands)
      EXPECT_NE(run.out.find("\n  " + command + " "), std::string::npos) << command;
    for (const char* option : {"--home DIR", "--lang en|es", "--quiet", "--password-file FILE", "--batch"})
      EXPECT_NE(run.out.find(option), std::string::npos) << option;
    EXPECT_NE(run.out.find("Exit status: 0"), std::string::npos);
  }
  EXPECT_EQ(runHost({"help"}).out, runHost({"--help"}).out);
}

TEST_F(HostUsageTest, EachCommandHasItsOwnHelp) {
  for (const std::string& command : kCommands) {
    std::vector<std::string> args = wordsOf(command);
    args.push_back("--help");
    const auto run = runHost(args);
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_EQ(run.out.rfind("Usage: tarvenholm [OPTION]... " + command, 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");

    std::vector<std::string> helpArgs{"help"};
    for (const std::string& word : wordsOf(command)) helpArgs.push_back(word);
    EXPECT_EQ(runHost(helpArgs).out, run.out) << command;
  }
  const auto genreq = runHost({"genreq", "-h"});
  for (const char* option : {"--names TEXT", "--key-size N", "--provider NAME"})
    EXPECT_NE(genreq.out.find(option), std::string::npos) << option;
  // The help of a group names every command of it.
  const auto store = runHost({"store", "--help"});
  EXPECT_EQ(store.status, 0);
  EXPECT_NE(store.out.find("store list MY|CA|ROOT"), std::string::npos);
  EXPECT_NE(store.out.find("store export THUMBPRINT --out FILE"), std::string::npos);
}

TEST_F(HostUsageTest, VersionIsOneLine) {
  const auto run = runHost({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("tarvenholm ", 0), 0u);
  EXPECT_EQ(testing_support::linesOf(run.out).size(), 1u);
}

struct UsageCase {
  std::vector<std::string> args;
  std::string problem;  // what the first line must say
  std::string helpTopic;
};

TEST_F(HostUsageTest, UsageErrorsNameTheProblemAndPointToHelp) {
  const std::vector<UsageCase> cases = {
      {{}, "no command given", ""},
      {{"frobnicate"}, "unknown command 'frobnicate'", ""},
      {{"--frobnicate", "csp-list"}, "unknown option '--frobnicate'", ""},
      {{"-x", "csp-list"}, "unknown option '-x'", ""},
      {{"genreq", "--frobnicate", "x"}, "unknown option '--frobnicate' for genreq", "genreq "},
      {{"genreq"}, "genreq needs --names TEXT", "genreq "},
      {{"genreq", "--key-size", "1024"}, "genreq needs --names TEXT", "genreq "},
      {{"genreq", "--names"}, "option '--names' needs a value", "genreq "},
      {{"genreq", "--quiet", "--names", "2.5.4.3=A"}, "unknown option '--quiet' for genreq", "genreq "},
      {{"genreq", "--names", "2.5.4.3=A", "extra"}, "unexpected argument 'extra' for genreq", "genreq "},
      {{"--lang", "fr", "csp-list"}, "option '--lang' takes en or es, not 'fr'", ""},
      {{"--lang"}, "option '--lang' needs a value", ""},
      {{"--home", "", "csp-list"}, "option '--home' needs a directory", ""},
      {{"--quiet=yes", "csp-list"}, "option '--quiet' takes no value", ""},
      {{"store"}, "'store' needs one of: list, export", "store "},
      {{"keys"}, "'keys' needs one of: list", "keys "},
      {{"store", "remove"}, "unknown command 'store remove'", "store "},
      {{"store", "list"}, "missing operand: store list MY|CA|ROOT", "store list "},
      {{"store", "list", "TRUST"}, "unknown store 'TRUST': use MY, CA or ROOT", "store list "},
      {{"store", "list", "MY", "CA"}, "unexpected argument 'CA' for store list", "store list "},
      {{"store", "export", std::string(40, 'A')}, "store export needs --out FILE", "store export "},
      {{"store", "export", std::string(39, 'A'), "--out", "x.p12"}, "is not a thumbprint", "store export "},
      {{"store", "export", std::string(39, 'A') + "G", "--out", "x.p12"}, "is not a thumbprint", "store export "},
      {{"setcert", "a", "b"}, "unexpected argument 'b' for setcert", "setcert "},
      {{"help", "frobnicate"}, "no help for 'frobnicate'", ""},
  };
  for (const UsageCase& usage : cases) {
    std::string shown;
    for (const std::string& arg : usage.args) shown += "[" + arg + "]";
    const auto run = runHost(usage.args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    const std::vector<std::string> lines = testing_support::linesOf(run.err);
    ASSERT_EQ(lines.size(), 2u) << shown << "\n" << run.err;
    EXPECT_EQ(lines[0].rfind("tarvenholm: ", 0), 0u) << shown;
    EXPECT_NE(lines[0].find(usage.problem), std::string::npos) << shown << "\n" << lines[0];
    EXPECT_EQ(lines[1], "Try 'tarvenholm " + usage.helpTopic + "--help' for more information.") << shown;
  }
}

TEST_F(HostUsageTest, KeySizeMustBeADecimal32BitInteger) {
  for (const char* size :
       {"abc", "12x", "", " 1024", "1024 ", "0x400", "2147483648", "-2147483649", "+-5", "--5", "1e3", "2048.0"}) {
    const auto run = runHost({"genreq", "--names", "2.5.4.3=Ana", "--key-size", size});
    EXPECT_EQ(run.status, 2) << "[" << size << "]";
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("--key-size takes a decimal 32-bit integer, not '" + std::string(size) + "'"),
              std::string::npos)
        << run.err;
  }
}

TEST_F(HostUsageTest, MissingPasswordFileIsAUsageError) {
  const auto run = runHost({"--password-file", home_.path() + "/absent", "keys", "list"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot read the password file '" + home_.path() + "/absent'"), std::string::npos) << run.err;
}

TEST_F(HostUsageTest, ExportWithoutTerminalOrPasswordFileIsAUsageError) {
  const auto run = runHost({"store", "export", std::string(40, 'A'), "--out", home_.path() + "/out.p12"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("run it on a terminal or give --password-file"), std::string::npos) << run.err;
}

}  // namespace
