// `tarvenholm request`: requests of every key type and hash, with subject
// alternative names, key usages, extended key usages and a challenge
// password, checked by three independent verifiers (the openssl command,
// python-cryptography, Go's crypto/x509); certificates issued for them by
// `openssl ca`, installed, exported and used for TLS client
// authentication; EC containers across processes, password-protected and
// renewed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "testlib/host_fixture.h"

namespace {

using testing_support::commandOutput;
using testing_support::hostBinary;
using testing_support::HostEnvironment;
using testing_support::HostRun;
using testing_support::linesOf;
using testing_support::readText;
using testing_support::runHost;
using testing_support::runProgram;
using testing_support::writeText;

const std::string kData = TARVENHOLM_SOURCE_DIR "/tests/data/modern";

struct KeyAndHash {
  std::string key;
  std::string hash;
  bool pss;
  std::string signatureName;  // as `openssl req -text` names it
};

class HostRequestTest : public testing_support::HostEnrolmentTest {
 protected:
  // A request with every kind of extension, written as PEM to `name`.
  HostRun request(const KeyAndHash& choice, const std::string& name, std::vector<std::string> more = {}) {
    writeText(path("challenge"), "s3cret passw\xc3\xb6rd\n");
    std::vector<std::string> args = {"request", "--subject", "CN=Ana Ruiz,OU=Ventas+OU=Se\xc3\xb1" "ales,O=Example\\, S.A.,C=MX,E=ana@example.org",
                                     "--key", choice.key, "--hash", choice.hash, "--san", "email:ana@example.org",
                                     "--san", "dns:ana.example.org", "--san", "uri:https://example.org/ana",
                                     "--san", "ip:192.0.2.7", "--san", "ip:2001:db8::7",
                                     "--key-usage", "digitalSignature,keyEncipherment", "--eku",
                                     "clientAuth,serverAuth,emailProtection,1.3.6.1.4.1.99999.1",
                                     "--challenge-password-file", path("challenge"), "--out", path(name)};
    if (choice.pss) args.push_back("--pss");
    args.insert(args.end(), more.begin(), more.end());
    return runHost(args);
  }

  // The container a request's notice names.
  static std::string containerOf(const HostRun& run) {
    const std::string marker = "container ";
    const std::size_t at = run.err.find(marker);
    if (at == std::string::npos) return {};
    return run.err.substr(at + marker.size(), run.err.find(' ', at + marker.size()) - at - marker.size());
  }

  std::string publicKeyOf(const std::string& requestPath) {
    return commandOutput("openssl req -in '" + requestPath + "' -noout -pubkey");
  }
};

TEST_F(HostRequestTest, EveryKeyAndHashIsAcceptedByThreeVerifiers) {
  const std::vector<KeyAndHash> choices = {
      {"rsa:2048", "sha256", false, "sha256WithRSAEncryption"},
      {"rsa:3072", "sha384", false, "sha384WithRSAEncryption"},
      {"rsa:4096", "sha512", false, "sha512WithRSAEncryption"},
      {"rsa:3072", "sha256", true, "rsassaPss"},
      {"rsa:2048", "sha512", true, "rsassaPss"},
      {"ec:p256", "sha256", false, "ecdsa-with-SHA256"},
      {"ec:p384", "sha384", false, "ecdsa-with-SHA384"},
      {"ec:p256", "sha384", false, "ecdsa-with-SHA384"},
  };
  std::string files;
  for (std::size_t index = 0; index < choices.size(); ++index) {
    const KeyAndHash& choice = choices[index];
    SCOPED_TRACE(choice.key + " " + choice.hash + (choice.pss ? " pss" : ""));
    const std::string name = "request" + std::to_string(index) + ".pem";
    const HostRun run = request(choice, name);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string text = commandOutput("openssl req -in '" + path(name) + "' -verify -noout -text 2>&1");
    EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
    EXPECT_NE(text.find("Signature Algorithm: " + choice.signatureName), std::string::npos) << text;
    if (choice.pss) {
      EXPECT_NE(text.find("Mask Algorithm: mgf1 with " + choice.hash), std::string::npos) << text;
    }
    for (const char* part : {"email:ana@example.org", "DNS:ana.example.org", "URI:https://example.org/ana",
                             "IP Address:192.0.2.7", "IP Address:2001:DB8:0:0:0:0:0:7", "Digital Signature, Key Encipherment",
                             "TLS Web Client Authentication, TLS Web Server Authentication, E-mail Protection, 1.3.6.1.4.1.99999.1",
                             "challengePassword"})
      EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_EQ(text.find("sha1"), std::string::npos);
    EXPECT_EQ(commandOutput("openssl req -in '" + path(name) + "' -noout -subject -nameopt RFC2253"),
              "subject=CN=Ana Ruiz,OU=Se\\C3\\B1ales+OU=Ventas,O=Example\\, S.A.,C=MX,emailAddress=ana@example.org\n");
    files += " '" + path(name) + "'";
  }

  // Encoding order E, C, O, OU+OU (a DER SET, sorted), CN; C
  // PrintableString, E IA5String, the value with a non-ASCII letter UTF8String.
  const std::vector<std::string> python =
      linesOf(commandOutput("/usr/bin/python3 '" + kData + "/verify_requests.py'" + files));
  ASSERT_EQ(python.size(), choices.size());
  for (const std::string& line : python)
    EXPECT_NE(line.find(" True 5 1.2.840.113549.1.9.1:IA5String,2.5.4.6:PrintableString,2.5.4.10:PrintableString,"
                        "2.5.4.11:UTF8String,2.5.4.11:PrintableString,2.5.4.3:PrintableString"),
              std::string::npos)
        << line;

  const std::string go = "cd '" + path("") + "' && GOCACHE='" + path("gocache") + "' GOPATH='" + path("gopath") +
                         "' GOTOOLCHAIN=local GOPROXY=off GO111MODULE=off go build -o verify '" + kData +
                         "/verify_requests.go' && ./verify" + files;
  const std::vector<std::string> checked = linesOf(commandOutput(go));
  ASSERT_EQ(checked.size(), choices.size());
  for (const std::string& line : checked) EXPECT_EQ(line.rfind("OK ", 0), 0u) << line;
  EXPECT_NE(checked.front().find(" 1 1 2 1"), std::string::npos) << checked.front();
}

// A whole request process, counted by strace as the system sees it: in a
// home already in use, one sync for each hive's commit and no more than as
// many again (a log's header after a checkpoint), nothing when it exits.
TEST_F(HostRequestTest, ARequestProcessSyncsEachHiveItWritesOnce) {
  const std::vector<std::vector<std::string>> commands = {
      {"genreq", "--names", "2.5.4.3=Test User", "--key-size", "1024"},
      {"request", "--subject", "CN=Test User", "--key", "ec:p256", "--out", "-"},
  };
  // LeakSanitizer stops the world through ptrace, which a process strace
  // already traces cannot do: in the sanitizer build the other tests check leaks.
  const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
  const HostEnvironment traced{
      "", {{"ASAN_OPTIONS", std::string(sanitizerOptions ? sanitizerOptions : "detect_leaks=1") + ":detect_leaks=0"}}};
  for (const std::vector<std::string>& command : commands) {
    SCOPED_TRACE(command[0]);
    for (const bool homeInUse : {false, true}) {
      std::vector<std::string> args = {"-f", "-qq", "-c", "-e", "trace=fsync,fdatasync", "-o", path("syncs"),
                                       hostBinary(), "--home", home_.path(), "--quiet"};
      args.insert(args.end(), command.begin(), command.end());
      ASSERT_EQ(runProgram("/usr/bin/strace", args, traced).status, 0);
      if (!homeInUse) continue;
      // strace's table: % time, seconds, usecs/call, calls, [errors,] syscall.
      unsigned long syncs = 0;
      for (const std::string& line : linesOf(readText(path("syncs")))) {
        std::istringstream fields(line);
        std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
        if (field.size() >= 5 && (field.back() == "fsync" || field.back() == "fdatasync")) syncs += std::stoul(field[3]);
      }
      EXPECT_GE(syncs, 2u);
      EXPECT_LE(syncs, 4u);
    }
  }
}

TEST_F(HostRequestTest, SubjectFormsAndRdnLayout) {
  struct Case {
    std::vector<std::string> args;
    std::string subject;  // openssl's RFC 2253 form: last RDN encoded first
  };
  const std::vector<Case> cases = {
      {{"--subject", "2.5.4.3=Ana;2.5.4.10=Example;2.5.4.6=MX"}, "subject=C=MX,O=Example,CN=Ana\n"},
      // One RDN: a DER SET, its attributes sorted by their encoding.
      {{"--subject", "CN=Ana,O=Example,C=MX", "--single-rdn"}, "subject=O=Example+CN=Ana+C=MX\n"},
      {{"--subject", "cn=\\ lead\\2Btrail\\ ,dc=example,DC=org,UID=ana,SERIALNUMBER=A-1,GN=Ana,SN=Ruiz,L=Puebla,ST=PUE"},
       "subject=CN=\\ lead\\+trail\\ ,DC=example,DC=org,UID=ana,serialNumber=A-1,GN=Ana,SN=Ruiz,L=Puebla,ST=PUE\n"},
  };
  for (std::size_t index = 0; index < cases.size(); ++index) {
    std::vector<std::string> args = {"request", "--key", "ec:p256", "--out", path("s" + std::to_string(index))};
    args.insert(args.end(), cases[index].args.begin(), cases[index].args.end());
    const HostRun run = runHost(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(commandOutput("openssl req -in '" + path("s" + std::to_string(index)) + "' -noout -subject -nameopt RFC2253"),
              cases[index].subject);
  }
  // Nothing beyond what was asked: no extensions and no attributes.
  EXPECT_NE(commandOutput("openssl req -in '" + path("s0") + "' -noout -text").find("Attributes:\n            (none)"),
            std::string::npos);
  const HostRun der = runHost({"request", "--subject", "CN=Ana", "--key", "ec:p256", "--format", "der"});
  ASSERT_EQ(der.status, 0);
  writeText(path("der"), der.out);
  EXPECT_NE(commandOutput("openssl req -inform DER -in '" + path("der") + "' -verify -noout 2>&1").find("verify OK"),
            std::string::npos);
  const HostRun base64 = runHost({"request", "--subject", "CN=Ana", "--key", "ec:p256", "--format", "base64"});
  ASSERT_EQ(linesOf(base64.out).size(), 1u);
}

// `openssl ca` issues certificates for an RSA and an EC request; each is
// installed, bound, exported and authenticates a TLS client.
TEST_F(HostRequestTest, IssuedCertificatesAreInstalledExportedAndAuthenticateTlsClients) {
  const std::string ca = authority();
  writeText(path("ca.cnf"), "[ca]\ndefault_ca = issuing\n[issuing]\ndir = " + path("ca") +
                                "\ndatabase = $dir/index.txt\nnew_certs_dir = $dir\nserial = $dir/serial\n"
                                "certificate = " + ca + "/intermediate.pem\nprivate_key = " + ca +
                                "/intermediate.key\ndefault_md = sha256\ndefault_days = 30\npolicy = match\n"
                                "copy_extensions = copy\nunique_subject = no\n"
                                "[match]\ncountryName = match\norganizationName = supplied\ncommonName = supplied\n"
                                "[user]\nbasicConstraints = CA:FALSE\n");
  commandOutput("mkdir -p '" + path("ca") + "' && : > '" + path("ca/index.txt") + "' && echo 01 > '" +
                path("ca/serial") + "'");
  commandOutput("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost -days 1 "
                "-keyout '" + path("server.key") + "' -out '" + path("server.pem") + "' 2>&1");
  commandOutput("cat '" + ca + "/root.pem' '" + ca + "/intermediate.pem' > '" + path("authority.pem") + "'");
  writeText(path("export-password"), "export-pass\n");

  for (const std::string key : {"rsa:3072", "ec:p256"}) {
    SCOPED_TRACE(key);
    const HostRun made = runHost({"request", "--subject", "CN=Ana Ruiz,O=Test,C=MX", "--key", key, "--eku",
                                  "clientAuth", "--out", path("user.csr"), "--force"});
    ASSERT_EQ(made.status, 0) << made.err;
    commandOutput("openssl ca -batch -config '" + path("ca.cnf") + "' -extensions user -in '" + path("user.csr") +
                  "' -out '" + path("user.pem") + "' 2>&1");
    commandOutput("cat '" + path("authority.pem") + "' '" + path("user.pem") + "' > '" + path("chain.pem") + "'");
    const HostRun installed = runHost({"--trust-new-roots", "setcert", path("chain.pem")});
    ASSERT_EQ(installed.out, "2000\n") << installed.err;
    const std::string thumbprint = testing_support::opensslThumbprint(path("user.pem"));
    const std::string listed = runHost({"store", "list", "MY"}).out;
    EXPECT_NE(listed.find(thumbprint + "\tCN=Ana Ruiz,O=Test,C=MX\t" + containerOf(made) +
                          "\tTarvenholm Software Key Storage Provider"),
              std::string::npos)
        << listed;
    EXPECT_NE(runHost({"keys", "list"}).out.find(containerOf(made) + "\tTarvenholm Software Key Storage Provider\t" +
                                                 (key == "ec:p256" ? "256" : "3072") + "\t" + thumbprint),
              std::string::npos);
    std::remove(path("user.p12").c_str());
    const HostRun exported = runHost({"--password-file", path("export-password"), "store", "export", thumbprint,
                                      "--out", path("user.p12")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    commandOutput("openssl pkcs12 -in '" + path("user.p12") + "' -passin pass:export-pass -nodes -out '" +
                  path("client.pem") + "' 2>&1");

    // Loopback only; the server takes one connection and both sides are bounded in time.
    platform::UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    probe.reset();
    const std::string server = "timeout 60 openssl s_server -accept 127.0.0.1:" + port + " -naccept 1 -www -cert '" +
                               path("server.pem") + "' -key '" + path("server.key") + "' -CAfile '" +
                               path("authority.pem") + "' -Verify 1 -verify_return_error < /dev/null > '" +
                               path("server.log") + "' 2>&1 & ";
    const std::string client = "for i in $(seq 100); do printf 'GET / HTTP/1.0\\r\\n\\r\\n' | timeout 30 openssl s_client "
                               "-ign_eof -connect 127.0.0.1:" + port + " -cert '" + path("client.pem") + "' > '" +
                               path("client.log") + "' 2>&1; grep -q 'HTTP/1.0 200' '" + path("client.log") +
                               "' && break; sleep 0.2; done; wait";
    commandOutput(server + client);
    const std::string serverLog = readText(path("server.log"));
    EXPECT_NE(serverLog.find("depth=0 C = MX, O = Test, CN = Ana Ruiz"), std::string::npos) << serverLog;
    EXPECT_NE(serverLog.find("1 server accepts that finished"), std::string::npos) << serverLog;
    EXPECT_NE(readText(path("client.log")).find("HTTP/1.0 200 ok"), std::string::npos);
  }
}

// EC containers are kept across processes, protected by the user's
// password like RSA ones, listed, and renewed over the same key; a legacy
// 2048-bit container renews to a SHA-256 request over its key.
TEST_F(HostRequestTest, ContainersArePasswordProtectedListedAndRenewedOverTheSameKey) {
  writeText(path("password"), "key password\n");
  writeText(path("wrong"), "not it\n");
  const HostRun made = runHost({"--password-file", path("password"), "request", "--subject", "CN=Ana", "--key",
                                "ec:p384", "--out", path("first.csr")});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string container = containerOf(made);
  EXPECT_NE(runHost({"keys", "list"}).out.find(container + "\tTarvenholm Software Key Storage Provider\t384\t-"),
            std::string::npos);

  const HostRun wrong = runHost({"--password-file", path("wrong"), "request", "--subject", "CN=Ana", "--renew",
                                 container, "--out", path("wrong.csr")});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("password"), std::string::npos) << wrong.err;
  const HostRun renewed = runHost({"--password-file", path("password"), "request", "--subject", "CN=Ana Renewed",
                                   "--renew", container, "--hash", "sha384", "--out", path("second.csr")});
  ASSERT_EQ(renewed.status, 0) << renewed.err;
  EXPECT_EQ(containerOf(renewed), container);
  EXPECT_EQ(publicKeyOf(path("second.csr")), publicKeyOf(path("first.csr")));

  const HostRun legacy = runHost({"genreq", "--names", "2.5.4.3=Old", "--key-size", "2048"});
  ASSERT_EQ(legacy.status, 0);
  writeText(path("legacy.b64"), legacy.out);
  commandOutput("(echo '-----BEGIN CERTIFICATE REQUEST-----'; fold -w 64 '" + path("legacy.b64") +
                "'; echo '-----END CERTIFICATE REQUEST-----') > '" + path("legacy.csr") + "'");
  std::string legacyContainer;
  for (const std::string& line : linesOf(runHost({"keys", "list"}).out))
    if (line.find("Microsoft Enhanced") != std::string::npos) legacyContainer = line.substr(0, line.find('\t'));
  const HostRun renewedLegacy =
      runHost({"request", "--subject", "CN=Old", "--renew", legacyContainer, "--out", path("legacy-renewed.csr")});
  ASSERT_EQ(renewedLegacy.status, 0) << renewedLegacy.err;
  EXPECT_EQ(publicKeyOf(path("legacy-renewed.csr")), publicKeyOf(path("legacy.csr")));
  EXPECT_NE(commandOutput("openssl req -in '" + path("legacy-renewed.csr") + "' -noout -text")
                .find("Signature Algorithm: sha256WithRSAEncryption"),
            std::string::npos);

  const HostRun weak = runHost({"genreq", "--names", "2.5.4.3=Weak", "--key-size", "1024"});
  ASSERT_EQ(weak.status, 0);
  std::string weakContainer;
  for (const std::string& line : linesOf(runHost({"keys", "list"}).out))
    if (line.find("\t1024\t") != std::string::npos) weakContainer = line.substr(0, line.find('\t'));
  const HostRun refused = runHost({"request", "--subject", "CN=Weak", "--renew", weakContainer});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "tarvenholm: request: the key in container '" + weakContainer +
                             "' has 1024 bits; requests on this path need at least 2048\n");
}

}  // namespace
