// What the tests of the `tarvenholm` command share: files in the test's
// home, the openssl command, and the local test authority of
// scripts/test-ca issuing certificates for the requests the command makes.
#pragma once

#include <string>
#include <vector>

#include "testlib/host_process.h"
#include "testlib/test_home.h"

namespace testing_support {

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

// What a shell command line prints (standard output and error); a failed
// expectation when it does not succeed.
std::string commandOutput(const std::string& commandLine);

// The SHA-1 thumbprint of a PEM certificate as the openssl command gives
// it: 40 upper-case hexadecimal digits.
std::string opensslThumbprint(const std::string& pemPath);

// Registers the control's module in the current home, as the first run of
// tarvenholm on a home does (that first run is tested on its own).
void registerControlModule();

// Every case starts on a home where the control is registered.
class HostEnrolmentTest : public HomeTest {
 protected:
  HostEnrolmentTest();

  // A file name in the test's home.
  std::string path(const std::string& name) const { return home_.path() + "/" + name; }

  // The test authority (made on first use, in the test's home).
  const std::string& authority();

  // A request made by `tarvenholm genreq` (1024 bits), expected to succeed.
  std::string genreq(std::vector<std::string> globalOptions = {}, const HostEnvironment& environment = {});

  // The authority's answer to a request, in one of the forms of
  // scripts/test-ca ("--base64", "--der", "--pem-chain"): the file's path.
  std::string issue(const std::string& request, const std::string& form, const std::string& name);

  // A PKCS#12 file made by `openssl pkcs12 -export` under `password`: a new
  // key (`newKey` as `openssl req -newkey` takes it) with the CN `name`, its
  // certificate from the test authority's issuing CA and, when `withChain`,
  // that CA and the root. The key is `name`.key, the certificate `name`.pem.
  std::string pkcs12File(const std::string& name, const std::string& newKey, const std::string& password,
                         bool withChain);

  // The user's certificate issued last, and its thumbprint.
  std::string issuedCertificate() { return authority() + "/user.pem"; }
  std::string issuedThumbprint() { return opensslThumbprint(issuedCertificate()); }

 private:
  std::string authority_;
};

}  // namespace testing_support
