#include "testlib/host_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "testlib/control_module.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/process_start.h"

namespace testing_support {

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string commandOutput(const std::string& commandLine) {
  std::string output;
  EXPECT_EQ(runCommand(commandLine, output), 0) << commandLine << "\n" << output;
  return output;
}

std::string opensslThumbprint(const std::string& pemPath) {
  std::string line = commandOutput("openssl x509 -noout -fingerprint -sha1 -in '" + pemPath + "'");
  line = line.substr(line.find('=') + 1);
  line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == ':' || c == '\n'; }), line.end());
  return line;
}

void registerControlModule() {
  const ControlModule module;
  EXPECT_EQ(module.registerServer(), S_OK);
}

HostEnrolmentTest::HostEnrolmentTest() { registerControlModule(); }

const std::string& HostEnrolmentTest::authority() {
  if (authority_.empty()) {
    authority_ = path("ca");
    commandOutput("bash '" TARVENHOLM_SOURCE_DIR "/scripts/test-ca' '" + authority_ + "' init");
  }
  return authority_;
}

std::string HostEnrolmentTest::genreq(std::vector<std::string> globalOptions, const HostEnvironment& environment) {
  globalOptions.insert(globalOptions.end(),
                       {"genreq", "--names", "2.5.4.3=Ana Ruiz;2.5.4.10=Example;2.5.4.6=MX", "--key-size", "1024"});
  const HostRun run = runHost(globalOptions, environment);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> lines = linesOf(run.out);
  EXPECT_EQ(lines.size(), 1u) << run.out;
  return lines.empty() ? std::string() : lines.front();
}

std::string HostEnrolmentTest::issue(const std::string& request, const std::string& form, const std::string& name) {
  const std::string requestFile = path(name + ".req");
  writeText(requestFile, request + "\n");
  const std::string answer = path(name + ".answer");
  commandOutput("bash '" TARVENHOLM_SOURCE_DIR "/scripts/test-ca' '" + authority() + "' issue '" + requestFile + "' '" +
                answer + "' " + form);
  return answer;
}

std::string HostEnrolmentTest::pkcs12File(const std::string& name, const std::string& newKey,
                                          const std::string& password, bool withChain) {
  const std::string base = path(name);
  const std::string ca = authority();
  commandOutput("openssl req -new -newkey " + newKey + " -nodes -keyout '" + base + ".key' -subj '/CN=" + name +
                "/O=Example' -out '" + base + ".csr' 2>&1");
  commandOutput("openssl x509 -req -in '" + base + ".csr' -CA '" + ca + "/intermediate.pem' -CAkey '" + ca +
                "/intermediate.key' -CAcreateserial -days 30 -sha256 -out '" + base + ".pem' 2>&1");
  std::string chain;
  if (withChain) {
    writeText(base + ".chain.pem", readText(ca + "/intermediate.pem") + readText(ca + "/root.pem"));
    chain = " -certfile '" + base + ".chain.pem'";
  }
  commandOutput("openssl pkcs12 -export -inkey '" + base + ".key' -in '" + base + ".pem'" + chain + " -passout 'pass:" +
                password + "' -out '" + base + ".p12' 2>&1");
  return base + ".p12";
}

}  // namespace testing_support
